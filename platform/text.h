// Text from outside as it may be shown: needs nothing but Qt Core, for the command line too.
#pragma once

#include <QString>

namespace platform {

// Control characters as \xNN escapes: text from outside may be shown, never obeyed by a terminal.
QString escapeControls(const QString &text);

} // namespace platform
