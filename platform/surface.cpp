#include "surface.h"

#include <QPaintEvent>
#include <QPainter>

#include <iterator>

namespace platform {

QColor toQColor(TColor color, const QPalette &palette)
{
    if ((color >> 24) == 0x80) {
        // The desktop colours a classic form names by index, as far as a palette has them.
        static const QPalette::ColorRole roles[] = {
            QPalette::Button,          // 0 scroll bar
            QPalette::Window,          // 1 desktop
            QPalette::Highlight,       // 2 active caption
            QPalette::Mid,             // 3 inactive caption
            QPalette::Window,          // 4 menu
            QPalette::Base,            // 5 window
            QPalette::Shadow,          // 6 window frame
            QPalette::WindowText,      // 7 menu text
            QPalette::WindowText,      // 8 window text
            QPalette::HighlightedText, // 9 caption text
            QPalette::Window,          // 10 active border
            QPalette::Window,          // 11 inactive border
            QPalette::Dark,            // 12 application workspace
            QPalette::Highlight,       // 13 highlight
            QPalette::HighlightedText, // 14 highlighted text
            QPalette::Button,          // 15 button face
            QPalette::Dark,            // 16 button shadow
            QPalette::PlaceholderText, // 17 grey text
            QPalette::ButtonText,      // 18 button text
            QPalette::WindowText,      // 19 inactive caption text
            QPalette::Light,           // 20 button highlight
            QPalette::Shadow,          // 21 dark 3D shadow
            QPalette::Midlight,        // 22 3D light
            QPalette::ToolTipText,     // 23 tooltip text
            QPalette::ToolTipBase,     // 24 tooltip background
        };
        const quint32 index = color & 0xFF;
        return palette.color(index < std::size(roles) ? roles[index] : QPalette::Window);
    }
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

void Surface::SetPixel(int x, int y, TColor color)
{
    // Child controls are windows of their own on a classic desktop and clip the form's drawing;
    // skipping them here also spares them a repaint per pixel.
    if (!rect().contains(x, y) || childAt(x, y))
        return;
    // Nothing is painted while the window is hidden or minimised, and its next paint is a full
    // one that shows the background anyway: past a few frames' worth there is no point keeping more.
    if (pending_.size() >= 1024)
        pending_.clear();
    pending_.push_back({{x, y}, color});
    update(x, y, 1, 1);
}

void Surface::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const QRegion dirty = event->region();
    auto drawn = pending_.begin();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (dirty.contains(it->at)) {
            painter.setPen(toQColor(it->color, palette()));
            painter.drawPoint(it->at);
        } else {
            *drawn++ = *it;
        }
    }
    pending_.erase(drawn, pending_.end());
}

} // namespace platform
