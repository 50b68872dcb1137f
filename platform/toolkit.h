// What the window needs of the desktop beyond Qt's widgets themselves.
#pragma once

#include <QString>

class QWidget;

namespace platform {

// A modal box with the text and one OK button; returns once the person has dismissed it.
void ShowMessage(QWidget *parent, const QString &text);

// SIGTERM, SIGINT and SIGHUP close `window` the ordinary way, as a desktop's close request would.
void closeOnTerminationSignals(QWidget *window);

} // namespace platform
