// Draws the installer's artwork (logos, check box, arrow, window glyphs and the three slideshow
// pictures) for both brands and writes the PNGs, each at its size and at twice it, into
// resources/Resources*/.
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace {

struct Brand
{
    QString folder;
    QColor accent;
    QColor accentLight;
    QColor accentDark;
    QColor tint; // a pale wash of the accent for large shapes
};

const QColor glyphGrey(0x99, 0x99, 0x99);
const QColor outlineGrey(0xbb, 0xbb, 0xbb);

using Drawing = std::function<void(QPainter &, const QSizeF &)>;

// Writes the picture at its size and, as "<name>@2x.png", at twice its size, which the toolkit
// shows on displays scaled by 150 % or more. Both are drawn in the same coordinates.
bool save(const QString &folder, const QString &name, int width, int height, const Drawing &draw)
{
    for (int scale : {1, 2}) {
        QImage image(width * scale, height * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            draw(painter, QSizeF(width, height));
        }
        QString file = name;
        if (scale > 1)
            file.insert(file.lastIndexOf('.'), QStringLiteral("@%1x").arg(scale));
        const QString path = QDir(folder).filePath(file);
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
        std::printf("%s %dx%d\n", qPrintable(path), image.width(), image.height());
    }
    return true;
}

QPen roundPen(const QColor &color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A circular arrow: the product's "bring it back" sign.
void drawRestoreArrow(QPainter &p, const QPointF &centre, qreal radius, const QColor &color,
                      qreal width)
{
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    p.setPen(roundPen(color, width));
    p.setBrush(Qt::NoBrush);
    // From 120 degrees round to 60 degrees, counter-clockwise, leaving a gap at the top right.
    p.drawArc(box, 120 * 16, 300 * 16);
    // The head sits where the arc ends and points on along it, into the gap.
    const qreal end = qDegreesToRadians(60.0);
    const QPointF base(centre.x() + radius * qCos(end), centre.y() - radius * qSin(end));
    const QPointF along(-qSin(end), -qCos(end));
    const QPointF outward(qCos(end), -qSin(end));
    const qreal head = width * 1.5;
    QPainterPath arrow;
    arrow.moveTo(base + along * head * 1.3);
    arrow.lineTo(base + outward * head);
    arrow.lineTo(base - outward * head);
    arrow.closeSubpath();
    p.setPen(roundPen(color, width * 0.4));
    p.setBrush(color);
    p.drawPath(arrow);
}

// The product mark: a rounded tile in the brand colour with a white restore arrow around a disk.
void drawMark(QPainter &p, const QRectF &square, const Brand &brand)
{
    const qreal s = square.width();
    QLinearGradient fill(square.topLeft(), square.bottomLeft());
    fill.setColorAt(0, brand.accentLight);
    fill.setColorAt(1, brand.accentDark);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(square, s * 0.22, s * 0.22);
    const QPointF c = square.center();
    drawRestoreArrow(p, c, s * 0.28, Qt::white, qMax<qreal>(1.2, s * 0.075));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(c, s * 0.09, s * 0.09);
}

// The mark centred in a wider canvas, as the window's logos show it.
Drawing logo(const Brand &brand)
{
    return [brand](QPainter &p, const QSizeF &size) {
        const qreal side = qMin(size.width(), size.height()) - 2;
        drawMark(p, QRectF((size.width() - side) / 2, (size.height() - side) / 2, side, side),
                 brand);
    };
}

Drawing tickedBox(const Brand &brand)
{
    return [brand](QPainter &p, const QSizeF &size) {
        const QRectF box(0.5, 0.5, size.width() - 1, size.height() - 1);
        p.setPen(Qt::NoPen);
        p.setBrush(brand.accent);
        p.drawRoundedRect(box, 2.5, 2.5);
        const qreal w = size.width();
        const qreal h = size.height();
        QPainterPath tick;
        tick.moveTo(w * 0.24, h * 0.52);
        tick.lineTo(w * 0.43, h * 0.70);
        tick.lineTo(w * 0.77, h * 0.32);
        p.setPen(roundPen(Qt::white, qMax<qreal>(1.6, w * 0.12)));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    };
}

void untickedBox(QPainter &p, const QSizeF &size)
{
    p.setPen(QPen(outlineGrey, 1));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 2.5, 2.5);
}

// White, because it sits on the coloured install and start buttons.
void arrow(QPainter &p, const QSizeF &size)
{
    const qreal w = size.width();
    const qreal h = size.height();
    p.setPen(roundPen(Qt::white, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(1, 1, w - 2, h - 2));
    QPainterPath path;
    path.moveTo(w * 0.30, h * 0.5);
    path.lineTo(w * 0.68, h * 0.5);
    path.moveTo(w * 0.52, h * 0.33);
    path.lineTo(w * 0.69, h * 0.5);
    path.lineTo(w * 0.52, h * 0.67);
    p.drawPath(path);
}

void minimiseGlyph(QPainter &p, const QSizeF &size)
{
    p.setPen(roundPen(glyphGrey, 1.6));
    p.drawLine(QPointF(size.width() * 0.2, size.height() * 0.6),
               QPointF(size.width() * 0.8, size.height() * 0.6));
}

void closeGlyph(QPainter &p, const QSizeF &size)
{
    p.setPen(roundPen(glyphGrey, 1.6));
    const qreal top = (size.height() - size.width()) / 2;
    p.drawLine(QPointF(1.5, top + 1.5), QPointF(size.width() - 1.5, top + size.width() - 1.5));
    p.drawLine(QPointF(size.width() - 1.5, top + 1.5), QPointF(1.5, top + size.width() - 1.5));
}

// --- slide 1: storage devices ---------------------------------------------------------------

void computer(QPainter &p, const QRectF &r)
{
    const QRectF screen(r.left(), r.top() + r.height() * 0.1, r.width(), r.height() * 0.6);
    p.drawRoundedRect(screen, 3, 3);
    p.drawLine(QPointF(r.center().x(), screen.bottom()),
               QPointF(r.center().x(), r.top() + r.height() * 0.85));
    p.drawLine(QPointF(r.left() + r.width() * 0.25, r.top() + r.height() * 0.88),
               QPointF(r.right() - r.width() * 0.25, r.top() + r.height() * 0.88));
}

void hardDisk(QPainter &p, const QRectF &r)
{
    const QRectF body(r.left() + r.width() * 0.08, r.top() + r.height() * 0.05, r.width() * 0.84,
                      r.height() * 0.9);
    p.drawRoundedRect(body, 4, 4);
    const QPointF platter(body.center().x(), body.top() + body.height() * 0.42);
    p.drawEllipse(platter, body.width() * 0.32, body.width() * 0.32);
    p.drawEllipse(platter, 2, 2);
    p.drawLine(QPointF(body.left() + body.width() * 0.2, body.bottom() - body.height() * 0.12),
               QPointF(body.center().x(), platter.y() + body.width() * 0.1));
}

void recycleBin(QPainter &p, const QRectF &r)
{
    const qreal l = r.left() + r.width() * 0.18;
    const qreal rr = r.right() - r.width() * 0.18;
    QPainterPath bin;
    bin.moveTo(l, r.top() + r.height() * 0.22);
    bin.lineTo(l + r.width() * 0.06, r.bottom() - r.height() * 0.04);
    bin.lineTo(rr - r.width() * 0.06, r.bottom() - r.height() * 0.04);
    bin.lineTo(rr, r.top() + r.height() * 0.22);
    p.drawPath(bin);
    p.drawLine(QPointF(r.left() + r.width() * 0.08, r.top() + r.height() * 0.17),
               QPointF(r.right() - r.width() * 0.08, r.top() + r.height() * 0.17));
    p.drawLine(QPointF(r.center().x() - r.width() * 0.12, r.top() + r.height() * 0.08),
               QPointF(r.center().x() + r.width() * 0.12, r.top() + r.height() * 0.08));
    for (qreal f : {0.38, 0.5, 0.62})
        p.drawLine(QPointF(r.left() + r.width() * f, r.top() + r.height() * 0.35),
                   QPointF(r.left() + r.width() * f, r.bottom() - r.height() * 0.16));
}

void usbStick(QPainter &p, const QRectF &r)
{
    const qreal cx = r.center().x();
    const QRectF plug(cx - r.width() * 0.16, r.top() + r.height() * 0.05, r.width() * 0.32,
                      r.height() * 0.22);
    const QRectF body(cx - r.width() * 0.26, plug.bottom(), r.width() * 0.52, r.height() * 0.68);
    p.drawRect(plug);
    p.drawRoundedRect(body, 4, 4);
    p.drawRect(QRectF(cx - r.width() * 0.09, plug.top() + plug.height() * 0.3, r.width() * 0.06,
                      plug.height() * 0.3));
    p.drawRect(QRectF(cx + r.width() * 0.03, plug.top() + plug.height() * 0.3, r.width() * 0.06,
                      plug.height() * 0.3));
}

void sdCard(QPainter &p, const QRectF &r)
{
    const qreal l = r.left() + r.width() * 0.18;
    const qreal rr = r.right() - r.width() * 0.18;
    const qreal t = r.top() + r.height() * 0.05;
    const qreal b = r.bottom() - r.height() * 0.05;
    QPainterPath card;
    card.moveTo(l, t + r.height() * 0.2);
    card.lineTo(l + r.width() * 0.18, t);
    card.lineTo(rr, t);
    card.lineTo(rr, b);
    card.lineTo(l, b);
    card.closeSubpath();
    p.drawPath(card);
    const qreal step = (rr - l - r.width() * 0.2) / 4;
    for (int i = 0; i < 4; ++i) {
        const qreal x = l + r.width() * 0.2 + i * step;
        p.drawLine(QPointF(x, t + r.height() * 0.1), QPointF(x, t + r.height() * 0.28));
    }
}

void camera(QPainter &p, const QRectF &r)
{
    const QRectF body(r.left(), r.top() + r.height() * 0.25, r.width(), r.height() * 0.6);
    p.drawRoundedRect(body, 5, 5);
    QPainterPath hump;
    hump.moveTo(r.left() + r.width() * 0.3, body.top());
    hump.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.12);
    hump.lineTo(r.left() + r.width() * 0.62, r.top() + r.height() * 0.12);
    hump.lineTo(r.left() + r.width() * 0.7, body.top());
    p.drawPath(hump);
    p.drawEllipse(body.center(), body.height() * 0.3, body.height() * 0.3);
    p.drawEllipse(body.center(), body.height() * 0.14, body.height() * 0.14);
}

Drawing storageDevices(const Brand &brand)
{
    return [brand](QPainter &p, const QSizeF &size) {
        const QList<void (*)(QPainter &, const QRectF &)> devices = {computer, hardDisk, recycleBin,
                                                                     usbStick, sdCard,   camera};
        const qreal cell = size.width() / devices.size();
        const qreal iconSide = cell * 0.72;
        // A soft band behind the row ties the devices together.
        p.setPen(Qt::NoPen);
        p.setBrush(brand.tint);
        p.drawRoundedRect(QRectF(4, size.height() * 0.22, size.width() - 8, size.height() * 0.56),
                          18, 18);
        for (int i = 0; i < devices.size(); ++i) {
            const QRectF r(i * cell + (cell - iconSide) / 2, (size.height() - iconSide) / 2,
                           iconSide, iconSide);
            p.setPen(roundPen(brand.accent, 2.2));
            p.setBrush(Qt::white);
            devices[i](p, r);
        }
        // Small dots under the row: everything flows to one recovery.
        p.setPen(Qt::NoPen);
        p.setBrush(brand.accentLight);
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(size.width() / 2 + (i - 1) * 14, size.height() * 0.9), 3, 3);
    };
}

// --- slide 2: file types --------------------------------------------------------------------

QRectF drawPage(QPainter &p, const QRectF &r, const QColor &line)
{
    const qreal fold = r.width() * 0.28;
    QPainterPath page;
    page.moveTo(r.left(), r.top());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.right(), r.bottom());
    page.lineTo(r.left(), r.bottom());
    page.closeSubpath();
    p.setPen(roundPen(line, 2));
    p.setBrush(Qt::white);
    p.drawPath(page);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    p.drawPath(corner);
    return QRectF(r.left() + r.width() * 0.15, r.top() + r.height() * 0.35, r.width() * 0.7,
                  r.height() * 0.5);
}

void photoGlyph(QPainter &p, const QRectF &g)
{
    QPainterPath hills;
    hills.moveTo(g.left(), g.bottom());
    hills.lineTo(g.left() + g.width() * 0.35, g.top() + g.height() * 0.35);
    hills.lineTo(g.left() + g.width() * 0.6, g.top() + g.height() * 0.7);
    hills.lineTo(g.left() + g.width() * 0.75, g.top() + g.height() * 0.5);
    hills.lineTo(g.right(), g.bottom());
    hills.closeSubpath();
    p.drawPath(hills);
    p.drawEllipse(QPointF(g.right() - g.width() * 0.15, g.top() + g.height() * 0.12),
                  g.width() * 0.1, g.width() * 0.1);
}

void documentGlyph(QPainter &p, const QRectF &g)
{
    for (int i = 0; i < 4; ++i) {
        const qreal y = g.top() + g.height() * (0.1 + 0.27 * i);
        p.drawLine(QPointF(g.left(), y), QPointF(g.right() - (i == 3 ? g.width() * 0.35 : 0), y));
    }
}

void videoGlyph(QPainter &p, const QRectF &g)
{
    QPainterPath play;
    play.moveTo(g.left() + g.width() * 0.3, g.top() + g.height() * 0.1);
    play.lineTo(g.right() - g.width() * 0.2, g.center().y());
    play.lineTo(g.left() + g.width() * 0.3, g.bottom() - g.height() * 0.1);
    play.closeSubpath();
    p.drawPath(play);
}

void mailGlyph(QPainter &p, const QRectF &g)
{
    const QRectF env(g.left(), g.top() + g.height() * 0.15, g.width(), g.height() * 0.7);
    p.setBrush(Qt::NoBrush);
    p.drawRect(env);
    QPainterPath flap;
    flap.moveTo(env.topLeft());
    flap.lineTo(env.center().x(), env.top() + env.height() * 0.55);
    flap.lineTo(env.topRight());
    p.drawPath(flap);
}

void musicGlyph(QPainter &p, const QRectF &g)
{
    const QPointF a(g.left() + g.width() * 0.25, g.bottom() - g.height() * 0.12);
    const QPointF b(g.right() - g.width() * 0.1, g.bottom() - g.height() * 0.25);
    p.drawEllipse(a, g.width() * 0.14, g.height() * 0.11);
    p.drawEllipse(b, g.width() * 0.14, g.height() * 0.11);
    p.setBrush(Qt::NoBrush);
    QPainterPath stems;
    stems.moveTo(a + QPointF(g.width() * 0.14, 0));
    stems.lineTo(a.x() + g.width() * 0.14, g.top());
    stems.lineTo(b.x() + g.width() * 0.14, g.top() - g.height() * 0.1 + g.height() * 0.1);
    stems.lineTo(b + QPointF(g.width() * 0.14, 0));
    p.drawPath(stems);
}

Drawing fileTypes(const Brand &brand)
{
    return [brand](QPainter &p, const QSizeF &size) {
        const QList<void (*)(QPainter &, const QRectF &)> glyphs = {
            photoGlyph, documentGlyph, videoGlyph, mailGlyph, musicGlyph};
        const qreal cell = size.width() / glyphs.size();
        const qreal w = cell * 0.62;
        const qreal h = w * 1.3;
        p.setPen(Qt::NoPen);
        p.setBrush(brand.tint);
        p.drawEllipse(QPointF(size.width() / 2, size.height() * 0.86), size.width() * 0.46, 12);
        for (int i = 0; i < glyphs.size(); ++i) {
            // Alternate heights make the row read as a pile of recovered files.
            const qreal lift = (i % 2) ? 10 : 0;
            const QRectF r(i * cell + (cell - w) / 2, (size.height() - h) / 2 - lift, w, h);
            const QRectF g = drawPage(p, r, brand.accent);
            p.setPen(roundPen(brand.accent, 1.8));
            p.setBrush(brand.accentLight);
            glyphs[i](p, g);
        }
    };
}

// --- slide 3: one-click restore ------------------------------------------------------------

Drawing oneClickRestore(const Brand &brand)
{
    return [brand](QPainter &p, const QSizeF &size) {
        const QPointF c(size.width() * 0.5, size.height() * 0.47);
        const qreal r = size.height() * 0.36;
        // Rings around the button, fading out.
        for (int i = 3; i >= 1; --i) {
            QColor ring = brand.tint;
            ring.setAlphaF(0.35 + 0.2 * (3 - i));
            p.setPen(Qt::NoPen);
            p.setBrush(ring);
            p.drawEllipse(c, r + i * 7, r + i * 7);
        }
        QRadialGradient face(c - QPointF(r * 0.3, r * 0.3), r * 1.6);
        face.setColorAt(0, brand.accentLight);
        face.setColorAt(1, brand.accentDark);
        p.setBrush(face);
        p.drawEllipse(c, r, r);
        drawRestoreArrow(p, c, r * 0.55, Qt::white, r * 0.14);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(c, r * 0.16, r * 0.16);

        // A pointer pressing the button: one click is all it takes.
        const QPointF tip(c.x() + r * 0.65, c.y() + r * 0.6);
        QPainterPath pointer;
        pointer.moveTo(tip);
        pointer.lineTo(tip + QPointF(0, 30));
        pointer.lineTo(tip + QPointF(7, 23));
        pointer.lineTo(tip + QPointF(13, 35));
        pointer.lineTo(tip + QPointF(18, 32));
        pointer.lineTo(tip + QPointF(12, 21));
        pointer.lineTo(tip + QPointF(22, 21));
        pointer.closeSubpath();
        p.setPen(roundPen(QColor(0x33, 0x33, 0x33), 1.6));
        p.setBrush(Qt::white);
        p.drawPath(pointer);

        // Sparks where the click lands.
        p.setPen(roundPen(brand.accent, 2));
        for (int i = 0; i < 3; ++i) {
            const qreal a = qDegreesToRadians(200.0 + i * 35.0);
            const QPointF from = tip + QPointF(qCos(a) * 8, -qSin(a) * 8);
            const QPointF to = tip + QPointF(qCos(a) * 15, -qSin(a) * 15);
            p.drawLine(from, to);
        }
    };
}

bool drawSet(const QString &root, const Brand &brand, bool withMinimise, QSize aboutLogo,
             QSize bigLogo, QSize ticked, QSize unticked)
{
    const QString folder = QDir(root).filePath(brand.folder);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
        return false;
    }
    bool ok = true;
    ok &= save(folder, QStringLiteral("about_us_logo.png"), aboutLogo.width(), aboutLogo.height(),
               logo(brand));
    ok &= save(folder, QStringLiteral("logo2.png"), bigLogo.width(), bigLogo.height(), logo(brand));
    ok &= save(folder, QStringLiteral("agree_agreement.png"), ticked.width(), ticked.height(),
               tickedBox(brand));
    ok &= save(folder, QStringLiteral("no_check.png"), unticked.width(), unticked.height(),
               untickedBox);
    ok &= save(folder, QStringLiteral("arr.png"), 17, 17, arrow);
    if (withMinimise)
        ok &= save(folder, QStringLiteral("icon_min.png"), 16, 16, minimiseGlyph);
    ok &= save(folder, QStringLiteral("installation_close.png"), 13, 14, closeGlyph);
    ok &= save(folder, QStringLiteral("img1.png"), 396, 165, storageDevices(brand));
    ok &= save(folder, QStringLiteral("img2.png"), 365, 166, fileTypes(brand));
    ok &= save(folder, QStringLiteral("img3.png"), 289, 183, oneClickRestore(brand));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString root = args.size() > 1 ? args.at(1) : QStringLiteral(KOVRA_RESOURCES_DIR);

    const Brand standard{QStringLiteral("Resources"), QColor(0x49, 0x89, 0xfe),
                         QColor(0x6f, 0xa3, 0xff), QColor(0x41, 0x7e, 0xee),
                         QColor(0xe8, 0xf0, 0xff)};
    const Brand green{QStringLiteral("Resources_green"), QColor(0x21, 0xad, 0x36),
                      QColor(0x0e, 0xbe, 0x28), QColor(0x1b, 0x9f, 0x2f), QColor(0xe4, 0xf6, 0xe7)};

    bool ok =
        drawSet(root, standard, true, QSize(110, 76), QSize(90, 63), QSize(17, 17), QSize(16, 16));
    // The green set has no minimise glyph of its own.
    ok &= drawSet(root, green, false, QSize(30, 30), QSize(110, 76), QSize(14, 14), QSize(14, 14));
    return ok ? 0 : 1;
}
