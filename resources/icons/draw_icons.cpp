// Draws the application's images: the back arrow and close cross used by the views, and the
// application icon at the sizes the desktop asks for. Run at build time:
//   draw_icons OUTPUT_DIR
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>
#include <string>

namespace {

QImage canvas(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A leftward chevron, black on transparent: a template the views tint.
QImage navBack(int size) {
    QImage image = canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QPen pen(Qt::black, s * 0.095, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    QPainterPath chevron;
    chevron.moveTo(s * 0.60, s * 0.22);
    chevron.lineTo(s * 0.32, s * 0.50);
    chevron.lineTo(s * 0.60, s * 0.78);
    p.drawPath(chevron);
    return image;
}

// A white cross on a dark translucent disc with a thin light rim.
QImage closeIcon(int size) {
    QImage image = canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    p.setPen(QPen(QColor(255, 255, 255, 90), s * 0.04));
    p.setBrush(QColor(28, 28, 30, 225));
    p.drawEllipse(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92));
    p.setPen(QPen(Qt::white, s * 0.085, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s * 0.35, s * 0.35), QPointF(s * 0.65, s * 0.65));
    p.drawLine(QPointF(s * 0.65, s * 0.35), QPointF(s * 0.35, s * 0.65));
    return image;
}

// The application icon: a dark rounded tile holding a screen, a camera bubble in its corner and
// a red record dot.
QImage appIcon(int size) {
    QImage image = canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QRectF tile(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
    QLinearGradient background(tile.topLeft(), tile.bottomRight());
    background.setColorAt(0, QColor(0x3a, 0x3d, 0x48));
    background.setColorAt(1, QColor(0x16, 0x17, 0x1c));
    p.setPen(QPen(QColor(255, 255, 255, 40), s * 0.008));
    p.setBrush(background);
    p.drawRoundedRect(tile, s * 0.2, s * 0.2);

    const QRectF screen(s * 0.18, s * 0.24, s * 0.64, s * 0.42);
    QLinearGradient glass(screen.topLeft(), screen.bottomLeft());
    glass.setColorAt(0, QColor(0x2f, 0x8c, 0xff));
    glass.setColorAt(1, QColor(0x1a, 0x5c, 0xd6));
    p.setPen(Qt::NoPen);
    p.setBrush(glass);
    p.drawRoundedRect(screen, s * 0.05, s * 0.05);
    p.setBrush(QColor(0xe8, 0xea, 0xf0));
    p.drawRoundedRect(QRectF(s * 0.36, s * 0.70, s * 0.28, s * 0.05), s * 0.025, s * 0.025);

    // Camera bubble over the screen's lower right corner.
    const QRectF bubble(s * 0.58, s * 0.46, s * 0.22, s * 0.22);
    p.setPen(QPen(QColor(0xf4, 0xf5, 0xf8), s * 0.018));
    p.setBrush(QColor(0x23, 0x25, 0x2d));
    p.drawEllipse(bubble);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xc9, 0xcd, 0xd8));
    p.drawEllipse(QRectF(s * 0.655, s * 0.505, s * 0.07, s * 0.07));
    p.drawChord(QRectF(s * 0.625, s * 0.585, s * 0.13, s * 0.12), 0, 180 * 16);

    // Record dot.
    QRadialGradient red(QPointF(s * 0.29, s * 0.34), s * 0.08);
    red.setColorAt(0, QColor(0xff, 0x6b, 0x5e));
    red.setColorAt(1, QColor(0xe5, 0x2d, 0x27));
    p.setBrush(red);
    p.drawEllipse(QPointF(s * 0.29, s * 0.35), s * 0.065, s * 0.065);
    return image;
}

bool save(const QImage& image, const std::string& dir, const char* name) {
    const QString path = QString::fromStdString(dir) + QLatin1Char('/') + QLatin1String(name);
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "draw_icons: cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_icons OUTPUT_DIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const std::string dir = argv[1];
    bool ok = save(navBack(56), dir, "nav_back.png") &&
              save(closeIcon(40), dir, "close_icon.png") && save(appIcon(256), dir, "zimlo.png");
    for (int size : {48, 64, 128}) {
        const std::string name = "zimlo-" + std::to_string(size) + ".png";
        ok = ok && save(appIcon(size), dir, name.c_str());
    }
    return ok ? 0 : 1;
}
