// Standard error's lines about what comes from outside, however much comes: nothing wakes once
// nothing is waiting.
#pragma once

#include "pace.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace platform::remote {

// Lines about bad input, at most one a second: one that comes sooner waits for the second to
// end, and only the last of those is said, with how many were left out.
class Hush : public QObject {
public:
    explicit Hush(std::function<void(const QString &line)> sayLine);
    // Says what is waiting.
    ~Hush() override;
    void say(const QString &line);

private:
    void sayWaiting();

    std::function<void(const QString &)> sayLine_;
    QTimer secondOver_;
    Pace::Clock::time_point lastSaid_{};
    bool saidAny_ = false;
    QString waiting_;
    long leftOut_ = 0; // lines that came while one was waiting, never said
};

// A count of what was dropped, said once a burst is over (a second without any), with the number.
class Tally : public QObject {
public:
    explicit Tally(std::function<void(long count)> sayCount);
    // Says what is counted.
    ~Tally() override;
    void add(long count);
    // Says what is counted now, burst over or not.
    void sayNow();

private:
    std::function<void(long)> sayCount_;
    QTimer quiet_;
    Pace::Clock::time_point last_{};
    long count_ = 0;
};

} // namespace platform::remote
