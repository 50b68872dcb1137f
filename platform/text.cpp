#include "text.h"

namespace platform {

QString escapeControls(const QString &text)
{
    QString safe;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            safe += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            safe += c;
    }
    return safe;
}

} // namespace platform
