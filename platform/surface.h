// The window's client area as a surface that can be painted one pixel at a time, and a timer
// that drives it only while it can be seen.
#pragma once

#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

namespace platform {

// 32-bit colours as the form stores them: 0x00BBGGRR, or 0x80 in the top byte and a system
// colour index (0x0F the button face) in the low byte.
using TColor = quint32;
QColor toQColor(TColor color, const QPalette &palette);

// SetPixel paints at once, as far as the caller can tell: the pixel reaches the screen with the
// next paint of that one spot. Whatever the desktop shows again (uncovered, restored, resized)
// is repainted, not copied back, so it shows the background, as a surface without a paint
// handler of its own would.
class Surface : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    void SetPixel(int x, int y, TColor color);
    bool seen() const { return seen_; }

    // The pixels set while a round lasts reach the screen together, in one repaint as it ends.
    class Round {
    public:
        explicit Round(Surface *surface);
        ~Round();
        Round(const Round &) = delete;
        Round &operator=(const Round &) = delete;

    private:
        Surface *surface_;
    };

signals:
    // The window could not be seen and now can (emitted before any pixel is painted again), or
    // the other way round.
    void seenChanged(bool seen);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Pixel {
        QPoint at;
        TColor color;
    };
    std::vector<Pixel> pending_;
    QRegion held_; // set during a round, not yet asked for
    int rounds_ = 0;
    bool seen_ = false;
    bool watching_ = false;
};

// The form's timer. It ticks only while its surface can be seen: hidden, minimised or on another
// workspace, the process does not wake up for it at all. Once seen again it fires the ticks it
// missed at once (nothing is painted for them), at most ten minutes' worth.
//
// A form whose ticks only show in rounds (each moves one of several things) names how many ticks
// make one: the timer then wakes once a round and fires, one after the other, every tick that
// fell due since it last woke, so a late wake-up loses none and the round reaches the screen in
// one repaint.
class Timer : public QObject {
    Q_OBJECT
public:
    Timer(int requestedMs, Surface *surface, QObject *parent, int ticksPerRound = 1);
    void start();
    void stop();
    bool isActive() const { return enabled_; }
    bool isSleeping() const { return enabled_ && !waker_.isActive(); }
    // Tests step time themselves; an empty clock brings the real one back.
    static void setClock(std::function<qint64()> msClock);

signals:
    void timeout();

private:
    void seenChanged(bool seen);
    void fireDue();
    QTimer waker_;
    Surface *surface_;
    int tickMs_;
    bool enabled_ = false;
    qint64 lastTick_ = -1; // when the last tick fired was due; -1: not shown since started
};

} // namespace platform
