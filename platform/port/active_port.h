// The process's one port. A write that fails is told once and the port carries on simulated, so
// the window keeps working whatever the hardware does.
#pragma once

#include "choice.h"

#include <QObject>

namespace platform::port {

class ActivePort : public QObject {
    Q_OBJECT
public:
    static ActivePort &instance();

    // Tells what the choice could not do as asked, or where it found the port.
    void use(Choice choice);
    void use(std::unique_ptr<Output> output, quint16 address);
    void write(quint16 address, quint16 value);
    Where where() const;

signals:
    // Delivered through the event loop, so that the window hears of trouble found before it
    // existed, and never from inside one of its own handlers.
    void trouble(const QString &text);

private:
    void report(const QString &text);
    Choice choice_; // what was asked and tried, for the words if the first write fails
};

} // namespace platform::port
