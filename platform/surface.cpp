#include "surface.h"

#include "toolkit.h"

#include <QElapsedTimer>
#include <QPaintEvent>
#include <QPainter>
#include <QWindow>

#include <algorithm>
#include <functional>
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
    // Nothing is painted that nobody can see: the next sight of the window is a full repaint.
    if (!seen_)
        return;
    // Child controls are windows of their own on a classic desktop and clip the form's drawing;
    // skipping them here also spares them a repaint per pixel.
    if (!rect().contains(x, y) || childAt(x, y))
        return;
    pending_.push_back({{x, y}, color});
    if (rounds_ > 0)
        held_ += QRect(x, y, 1, 1);
    else
        update(x, y, 1, 1);
}

Surface::Round::Round(Surface *surface) : surface_(surface) { ++surface_->rounds_; }

// Painted at once rather than asked for: that spares the event loop a turn of its own.
Surface::Round::~Round()
{
    if (--surface_->rounds_ == 0 && !surface_->held_.isEmpty())
        surface_->repaint(std::exchange(surface_->held_, QRegion()));
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

void Surface::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!watching_ && window()->windowHandle()) {
        window()->windowHandle()->installEventFilter(this);
        watching_ = true;
    }
}

// The desktop says what it shows again; Qt alone would copy it back from its backing store,
// pixels and trails included.
bool Surface::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Expose)
        return QWidget::eventFilter(watched, event);
    // A window drawn nowhere is exposed to nobody: its pixels never run.
    const bool exposed = !headless() && static_cast<QWindow *>(watched)->isExposed();
    if (exposed != seen_) {
        if (exposed)
            emit seenChanged(true); // before seen_ is set: what it sets off paints nothing
        seen_ = exposed;
        if (!exposed)
            emit seenChanged(false);
    }
    if (exposed) {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED // the region is still the only word on what was exposed
        const QRegion region = static_cast<QExposeEvent *>(event)->region();
        QT_WARNING_POP
        const QRegion here = region.translated(-mapTo(window(), QPoint(0, 0))) & rect();
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                      [&](const Pixel &pixel) { return here.contains(pixel.at); }),
                       pending_.end());
        update(here);
    }
    return false;
}

namespace {

std::function<qint64()> testClock;

qint64 now()
{
    if (testClock)
        return testClock();
    static QElapsedTimer sinceStart;
    if (!sinceStart.isValid())
        sinceStart.start();
    return sinceStart.elapsed();
}

// The desktops the form was made for never fired a timer more often than every 10 to 55 ms, so
// asking for 1 ms meant "as often as the system will". Here every tick costs a wake-up and a
// repaint of a few pixels; 30 ms keeps a decorative animation visibly stepping while the process
// stays near idle.
int effectiveInterval(int requestedMs) { return std::max(requestedMs, 30); }

} // namespace

Timer::Timer(int requestedMs, Surface *surface, QObject *parent, int ticksPerRound)
    : QObject(parent), surface_(surface), tickMs_(effectiveInterval(requestedMs))
{
    waker_.setInterval(tickMs_ * std::max(ticksPerRound, 1));
    connect(&waker_, &QTimer::timeout, this, &Timer::fireDue);
    connect(surface, &Surface::seenChanged, this, &Timer::seenChanged);
}

void Timer::start()
{
    enabled_ = true;
    lastTick_ = -1;
    if (surface_->seen()) {
        lastTick_ = now();
        waker_.start();
    }
}

void Timer::stop()
{
    enabled_ = false;
    waker_.stop();
}

void Timer::setClock(std::function<qint64()> msClock) { testClock = std::move(msClock); }

void Timer::fireDue()
{
    const qint64 at = now();
    const qint64 due = (at - lastTick_) / tickMs_;
    // In ten minutes every pixel has crossed any screen: more would change nothing but the cost.
    const qint64 tenMinutes = 600 * 1000 / tickMs_;
    lastTick_ = due < 0 || due > tenMinutes ? at : lastTick_ + due * tickMs_;
    const Surface::Round round(surface_);
    for (qint64 n = std::clamp(due, qint64(0), tenMinutes); n > 0 && enabled_; --n)
        emit timeout();
}

void Timer::seenChanged(bool seen)
{
    if (!enabled_)
        return;
    if (!seen) {
        waker_.stop();
        return;
    }
    if (lastTick_ < 0)
        lastTick_ = now(); // started out of sight: nothing was missed
    else
        fireDue(); // before the surface counts as seen: made up without painting
    waker_.start();
}

} // namespace platform
