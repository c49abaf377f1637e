// Draws resources/logo.png, the program's mark: a histogram of event times
// (a decay seen as step bars, with the time pulses that fed it along the
// baseline) beside the name. 400 x 106 pixels, 8-bit RGBA, transparent.
//
// With a second file name it also draws the desktop icon: the histogram
// and its pulses alone on a 128 x 128 transparent square.
//
// Built and run by scripts/make_logo.sh; needs only QtGui and a sans font.

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <cstdio>

namespace {

const QColor ink(0x1f, 0x2a, 0x44);
const QColor accent(0x10, 0x7a, 0xb0);
const QColor accent_light(0x4f, 0xc3, 0xe8);

// Step histogram of an exponential decay that starts after a short delay,
// smoothed by the detector response; heights in 0..1.
double decay_height(int bin) {
    const double t = bin - 2.0;
    const double rise = 1.0 / (1.0 + std::exp(-2.2 * t));
    return rise * std::exp(-std::max(0.0, t) / 4.2);
}

void draw_histogram(QPainter &p, const QRectF &area) {
    const int bins = 18;
    const double w = area.width() / bins;
    QPainterPath steps;
    steps.moveTo(area.left(), area.bottom());
    for (int i = 0; i < bins; ++i) {
        const double y = area.bottom() - decay_height(i) * area.height();
        steps.lineTo(area.left() + i * w, y);
        steps.lineTo(area.left() + (i + 1) * w, y);
    }
    steps.lineTo(area.right(), area.bottom());
    steps.closeSubpath();

    QLinearGradient fill(area.topLeft(), area.bottomLeft());
    QColor top = accent_light;
    top.setAlpha(200);
    QColor bottom = accent_light;
    bottom.setAlpha(40);
    fill.setColorAt(0.0, top);
    fill.setColorAt(1.0, bottom);
    p.fillPath(steps, fill);
    p.setPen(QPen(accent, 2.2, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.drawPath(steps);
}

void draw_pulses(QPainter &p, double left, double right, double baseline) {
    // Arrival times of single events; denser early, like the decay above.
    const double times[] = {0.10, 0.13, 0.15, 0.18, 0.22, 0.25, 0.31,
                            0.36, 0.44, 0.52, 0.63, 0.77, 0.92};
    p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::FlatCap));
    for (double t : times) {
        const double x = left + t * (right - left);
        p.drawLine(QPointF(x, baseline), QPointF(x, baseline + 9));
    }
    p.setPen(QPen(ink, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(left - 4, baseline), QPointF(right + 4, baseline));
    // Time axis arrow head.
    QPainterPath head;
    head.moveTo(right + 9, baseline);
    head.lineTo(right + 2, baseline - 4);
    head.lineTo(right + 2, baseline + 4);
    head.closeSubpath();
    p.fillPath(head, ink);
}

void draw_name(QPainter &p) {
    QFont name("DejaVu Sans");
    name.setPixelSize(52);
    name.setWeight(QFont::Bold);
    name.setLetterSpacing(QFont::PercentageSpacing, 96);
    p.setFont(name);
    p.setPen(ink);
    p.drawText(QRectF(140, 8, 258, 64), Qt::AlignLeft | Qt::AlignVCenter, "Velmora");

    QFont tag("DejaVu Sans");
    tag.setPixelSize(14);
    tag.setLetterSpacing(QFont::AbsoluteSpacing, 1.2);
    p.setFont(tag);
    p.setPen(accent);
    p.drawText(QRectF(142, 70, 256, 24), Qt::AlignLeft | Qt::AlignVCenter,
               "TIME-TO-DIGITAL HISTOGRAMS");
}

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_logo <logo.png> [<icon.png>]\n");
        return 2;
    }
    QImage image(400, 106, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        draw_histogram(p, QRectF(8, 8, 112, 72));
        draw_pulses(p, 8, 120, 88);
        draw_name(p);
    }
    if (!image.save(argv[1], "PNG")) {
        std::fprintf(stderr, "make_logo: cannot write %s\n", argv[1]);
        return 1;
    }
    if (argc == 3) {
        QImage icon(128, 128, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        {
            QPainter p(&icon);
            p.setRenderHint(QPainter::Antialiasing);
            draw_histogram(p, QRectF(10, 14, 104, 84));
            draw_pulses(p, 10, 112, 104);
        }
        if (!icon.save(argv[2], "PNG")) {
            std::fprintf(stderr, "make_logo: cannot write %s\n", argv[2]);
            return 1;
        }
    }
    return 0;
}
