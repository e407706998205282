// Draws the program's icons into resources/images/. Run once after changing a drawing:
//   g++ -std=c++17 -fPIC scripts/makeicons.cpp -o /tmp/makeicons $(pkg-config --cflags --libs
//   Qt6Gui) QT_QPA_PLATFORM=offscreen /tmp/makeicons resources/images

#include <cmath>
#include <functional>
#include <utility>

#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QTextStream>

namespace {

// Icons are drawn on a 24 x 24 grid and rendered at twice that size, so they stay crisp
// on high-density screens and scale down cleanly to the 24-pixel buttons.
const int gridSize = 24;
const int scale = 2;

QPen roundPen(const QColor &color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void drawBadge(QPainter &p, const QColor &fill)
{
    p.setPen(roundPen(fill.darker(130), 1));
    p.setBrush(fill);
    p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
}

void drawSettings(QPainter &p)
{
    const QColor steel(0x55, 0x6b, 0x82);
    QPainterPath gear;
    const int teeth = 8;
    const QPointF c(12, 12);
    for (int i = 0; i < teeth * 2; ++i) {
        const qreal a0 = (i - 0.5) * M_PI / teeth;
        const qreal a1 = (i + 0.5) * M_PI / teeth;
        const qreal r = (i % 2 == 0) ? 10.5 : 7.8;
        const QPointF p0 = c + QPointF(std::cos(a0) * r, std::sin(a0) * r);
        const QPointF p1 = c + QPointF(std::cos(a1) * r, std::sin(a1) * r);
        if (i == 0)
            gear.moveTo(p0);
        else
            gear.lineTo(p0);
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    gear.addEllipse(c, 3.5, 3.5);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(roundPen(steel.darker(140), 1));
    p.setBrush(steel);
    p.drawPath(gear);
}

void drawHide(QPainter &p)
{
    const QColor frame(0x3c, 0x5a, 0x8c);
    p.setPen(roundPen(frame, 1.5));
    p.setBrush(QColor(0xf4, 0xf7, 0xfb));
    p.drawRoundedRect(QRectF(2.5, 3.5, 19, 15), 1.5, 1.5);
    p.fillRect(QRectF(3.25, 4.25, 17.5, 3), frame);
    // Arrow into the bar below: the window goes down to the tray.
    p.setPen(roundPen(QColor(0x2e, 0x7d, 0x32), 2.2));
    p.drawLine(QPointF(12, 9.5), QPointF(12, 20));
    p.drawLine(QPointF(8, 16.5), QPointF(12, 20.5));
    p.drawLine(QPointF(16, 16.5), QPointF(12, 20.5));
}

void drawExit(QPainter &p)
{
    drawBadge(p, QColor(0xd3, 0x2f, 0x2f));
    p.setPen(roundPen(Qt::white, 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(7, 7.5, 10, 10), 120 * 16, 300 * 16);
    p.drawLine(QPointF(12, 5.5), QPointF(12, 11.5));
}

void drawTolvern(QPainter &p)
{
    const QColor teal(0x00, 0x79, 0x6b);
    p.setPen(roundPen(teal.darker(140), 1));
    p.setBrush(teal);
    p.drawRoundedRect(QRectF(1.5, 1.5, 21, 21), 4.5, 4.5);
    // A stack of three disks: the save data the server keeps.
    p.setPen(roundPen(teal, 1));
    p.setBrush(QColor(0xe0, 0xf2, 0xf1));
    for (int i = 2; i >= 0; --i)
        p.drawEllipse(QRectF(5.5, 5 + i * 4.5, 13, 5.5));
}

void drawRefresh(QPainter &p)
{
    const QColor green(0x2e, 0x7d, 0x32);
    p.setPen(roundPen(green, 2.4));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4.5, 4.5, 15, 15), 40 * 16, 290 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(green);
    p.drawPolygon(QPolygonF({ QPointF(21.5, 3.5), QPointF(21.5, 11), QPointF(14, 11) }));
}

void drawAdd(QPainter &p)
{
    drawBadge(p, QColor(0x43, 0xa0, 0x47));
    p.setPen(roundPen(Qt::white, 2.6));
    p.drawLine(QPointF(12, 7), QPointF(12, 17));
    p.drawLine(QPointF(7, 12), QPointF(17, 12));
}

void drawDel(QPainter &p)
{
    drawBadge(p, QColor(0xe5, 0x39, 0x35));
    p.setPen(roundPen(Qt::white, 2.6));
    p.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
    p.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
}

void drawOpen(QPainter &p)
{
    const QColor back(0xe0, 0xa1, 0x1b);
    const QColor front(0xff, 0xc8, 0x3d);
    p.setPen(roundPen(back.darker(130), 1));
    p.setBrush(back);
    QPainterPath rear;
    rear.moveTo(2.5, 19.5);
    rear.lineTo(2.5, 5.5);
    rear.lineTo(9, 5.5);
    rear.lineTo(11, 7.5);
    rear.lineTo(19.5, 7.5);
    rear.lineTo(19.5, 19.5);
    rear.closeSubpath();
    p.drawPath(rear);
    p.setBrush(front);
    p.drawPolygon(QPolygonF(
        { QPointF(2.5, 19.5), QPointF(6, 10.5), QPointF(22, 10.5), QPointF(19.5, 19.5) }));
}

void drawPass(QPainter &p)
{
    const QColor gold(0xc9, 0x8a, 0x00);
    p.setPen(roundPen(gold.darker(140), 1));
    p.setBrush(gold);
    QPainterPath key;
    key.addEllipse(QPointF(7.5, 12), 5.5, 5.5);
    key.addRect(QRectF(12, 10.5, 10, 3));
    key.addRect(QRectF(17, 13.5, 2, 3.5));
    key.addRect(QRectF(20, 13.5, 2, 2.5));
    key.setFillRule(Qt::WindingFill);
    p.drawPath(key.simplified());
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(6, 12), 1.8, 1.8);
}

void drawClear(QPainter &p)
{
    // An eraser lying on a line.
    p.setPen(roundPen(QColor(0x75, 0x75, 0x75), 1.5));
    p.drawLine(QPointF(3, 21), QPointF(21, 21));
    p.translate(12, 12);
    p.rotate(-40);
    p.setPen(roundPen(QColor(0x9e, 0x3a, 0x50), 1));
    p.setBrush(QColor(0xf0, 0x62, 0x92));
    p.drawRoundedRect(QRectF(-9, -4.5, 11, 9), 1.5, 1.5);
    p.setBrush(QColor(0x90, 0xca, 0xf9));
    p.setPen(roundPen(QColor(0x42, 0x6e, 0x9e), 1));
    p.drawRoundedRect(QRectF(2, -4.5, 7, 9), 1.5, 1.5);
}

bool writeIcon(const QString &dir, const QString &name, const std::function<void(QPainter &)> &draw)
{
    QImage image(gridSize * scale, gridSize * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);
    draw(painter);
    painter.end();
    return image.save(QDir(dir).filePath(name + QStringLiteral(".png")), "PNG");
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    const QString dir = args.size() > 1 ? args.at(1) : QStringLiteral("resources/images");

    const std::pair<const char *, void (*)(QPainter &)> icons[] = {
        { "settings", drawSettings },
        { "hide", drawHide },
        { "exit", drawExit },
        { "tolvern", drawTolvern },
        { "refresh", drawRefresh },
        { "add", drawAdd },
        { "del", drawDel },
        { "open", drawOpen },
        { "pass", drawPass },
        { "clear", drawClear },
    };
    QTextStream err(stderr);
    int failures = 0;
    for (const auto &icon : icons) {
        if (!writeIcon(dir, QLatin1String(icon.first), icon.second)) {
            err << "cannot write " << icon.first << ".png into " << dir << Qt::endl;
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
