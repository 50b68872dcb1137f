// The window's client area as a surface that can be painted one pixel at a time.
#pragma once

#include <QWidget>

#include <vector>

namespace platform {

// 32-bit colours as the form stores them: 0x00BBGGRR, or 0x80 in the top byte and a system
// colour index (0x0F the button face) in the low byte.
using TColor = quint32;
QColor toQColor(TColor color, const QPalette &palette);

// SetPixel paints at once, as far as the caller can tell: the pixel reaches the screen with the
// next paint of that one spot and then stays in the backing store. Any later repaint of the spot
// (uncovered, resized, restored) brings the background back, as a surface without a paint handler
// of its own would.
class Surface : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    void SetPixel(int x, int y, TColor color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Pixel {
        QPoint at;
        TColor color;
    };
    std::vector<Pixel> pending_;
};

} // namespace platform
