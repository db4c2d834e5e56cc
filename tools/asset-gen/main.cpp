// Draws Morvika's pictures (icons, button strips, frame pieces) into an assets folder.
// The committed files under assets/Pictures are this program's output:
//   morvika-asset-gen <assets-dir>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLinearGradient>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cstdio>
#include <functional>

namespace {

using Glyph = std::function<void(QPainter&, const QRectF&, const QColor&)>;

const QColor kInk(52, 74, 58);
const QColor kAccent(230, 126, 34);
const QColor kButtonMask(198, 218, 135);  // transparent colour of the button strips
const QColor kDialogMask(255, 247, 140);  // transparent colour of the dialog close button
const QColor kSharesMask(0, 128, 128);    // transparent colour of the shared files icons

void MicGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(QPen(ink, r.width() / 14.0, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(ink);
    const QRectF capsule(r.center().x() - r.width() * 0.14, r.top() + r.height() * 0.12, r.width() * 0.28,
                         r.height() * 0.48);
    p.drawRoundedRect(capsule, capsule.width() / 2, capsule.width() / 2);
    p.setBrush(Qt::NoBrush);
    const QRectF arc(r.center().x() - r.width() * 0.25, r.top() + r.height() * 0.28, r.width() * 0.5,
                     r.height() * 0.45);
    p.drawArc(arc, 180 * 16, 180 * 16);
    p.drawLine(QPointF(r.center().x(), arc.bottom()), QPointF(r.center().x(), r.bottom() - r.height() * 0.1));
    p.drawLine(QPointF(r.center().x() - r.width() * 0.15, r.bottom() - r.height() * 0.1),
               QPointF(r.center().x() + r.width() * 0.15, r.bottom() - r.height() * 0.1));
}

void CameraGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    const QRectF body(r.left() + r.width() * 0.1, r.top() + r.height() * 0.3, r.width() * 0.55, r.height() * 0.4);
    p.drawRoundedRect(body, r.width() * 0.06, r.width() * 0.06);
    QPainterPath lens;
    lens.moveTo(body.right(), r.center().y());
    lens.lineTo(r.right() - r.width() * 0.08, r.top() + r.height() * 0.3);
    lens.lineTo(r.right() - r.width() * 0.08, r.bottom() - r.height() * 0.3);
    lens.closeSubpath();
    p.drawPath(lens);
}

void ChatGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    const QRectF bubble(r.left() + r.width() * 0.12, r.top() + r.height() * 0.18, r.width() * 0.76, r.height() * 0.5);
    p.drawRoundedRect(bubble, r.width() * 0.14, r.width() * 0.14);
    QPainterPath tail;
    tail.moveTo(bubble.left() + bubble.width() * 0.25, bubble.bottom() - 1);
    tail.lineTo(bubble.left() + bubble.width() * 0.15, r.bottom() - r.height() * 0.12);
    tail.lineTo(bubble.left() + bubble.width() * 0.5, bubble.bottom() - 1);
    p.drawPath(tail);
    p.setBrush(Qt::white);
    for (int i = 0; i < 3; ++i) {
        const double x = bubble.left() + bubble.width() * (0.28 + 0.22 * i);
        p.drawEllipse(QPointF(x, bubble.center().y()), r.width() * 0.05, r.width() * 0.05);
    }
}

void FolderGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    QPainterPath folder;
    folder.moveTo(r.left() + r.width() * 0.1, r.top() + r.height() * 0.25);
    folder.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.25);
    folder.lineTo(r.left() + r.width() * 0.46, r.top() + r.height() * 0.33);
    folder.lineTo(r.right() - r.width() * 0.1, r.top() + r.height() * 0.33);
    folder.lineTo(r.right() - r.width() * 0.1, r.bottom() - r.height() * 0.2);
    folder.lineTo(r.left() + r.width() * 0.1, r.bottom() - r.height() * 0.2);
    folder.closeSubpath();
    p.drawPath(folder);
    p.setPen(QPen(Qt::white, r.width() / 14.0, Qt::SolidLine, Qt::RoundCap));
    const double cx = r.center().x();
    p.drawLine(QPointF(cx, r.top() + r.height() * 0.42), QPointF(cx, r.bottom() - r.height() * 0.3));
    p.drawLine(QPointF(cx - r.width() * 0.1, r.bottom() - r.height() * 0.4),
               QPointF(cx, r.bottom() - r.height() * 0.3));
    p.drawLine(QPointF(cx + r.width() * 0.1, r.bottom() - r.height() * 0.4),
               QPointF(cx, r.bottom() - r.height() * 0.3));
}

void WindowGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(QPen(ink, r.width() / 16.0));
    p.setBrush(Qt::white);
    const QRectF win(r.left() + r.width() * 0.12, r.top() + r.height() * 0.2, r.width() * 0.76, r.height() * 0.58);
    p.drawRect(win);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRect(QRectF(win.left(), win.top(), win.width(), win.height() * 0.2));
    p.setBrush(kAccent);
    p.drawEllipse(QPointF(win.center().x(), win.center().y() + win.height() * 0.1), r.width() * 0.1, r.width() * 0.1);
}

void HelpGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(r.adjusted(r.width() * 0.15, r.height() * 0.15, -r.width() * 0.15, -r.height() * 0.15));
    QFont font;
    font.setBold(true);
    font.setPixelSize(static_cast<int>(r.height() * 0.5));
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, "?");
}

void ExitGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    // Down into the tray: a bar with an arrow pointing at it.
    p.setPen(QPen(ink, r.width() / 10.0, Qt::SolidLine, Qt::RoundCap));
    const double cx = r.center().x();
    p.drawLine(QPointF(r.left() + r.width() * 0.2, r.bottom() - r.height() * 0.2),
               QPointF(r.right() - r.width() * 0.2, r.bottom() - r.height() * 0.2));
    p.drawLine(QPointF(cx, r.top() + r.height() * 0.18), QPointF(cx, r.bottom() - r.height() * 0.38));
    p.drawLine(QPointF(cx - r.width() * 0.16, r.bottom() - r.height() * 0.52),
               QPointF(cx, r.bottom() - r.height() * 0.38));
    p.drawLine(QPointF(cx + r.width() * 0.16, r.bottom() - r.height() * 0.52),
               QPointF(cx, r.bottom() - r.height() * 0.38));
}

void LoginGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    // Two people joined by a line.
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    for (double fx : {0.3, 0.7}) {
        const double x = r.left() + r.width() * fx;
        p.drawEllipse(QPointF(x, r.top() + r.height() * 0.32), r.width() * 0.1, r.width() * 0.1);
        p.drawPie(QRectF(x - r.width() * 0.17, r.top() + r.height() * 0.48, r.width() * 0.34, r.height() * 0.4), 0,
                  180 * 16);
    }
    p.setPen(QPen(kAccent, r.width() / 14.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(r.left() + r.width() * 0.42, r.top() + r.height() * 0.32),
               QPointF(r.left() + r.width() * 0.58, r.top() + r.height() * 0.32));
}

void CloseGlyph(QPainter& p, const QRectF& r, const QColor& ink)
{
    p.setPen(QPen(ink, r.width() / 8.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(r.topLeft() + QPointF(r.width() * 0.3, r.height() * 0.3),
               r.bottomRight() - QPointF(r.width() * 0.3, r.height() * 0.3));
    p.drawLine(QPointF(r.right() - r.width() * 0.3, r.top() + r.height() * 0.3),
               QPointF(r.left() + r.width() * 0.3, r.bottom() - r.height() * 0.3));
}

const QColor kStripBack(255, 249, 161);  // the volume strip's background

// The volume knob: normal, dragging and muted frames side by side.
QImage KnobStrip()
{
    const int w = 15, h = 9;
    QImage image(w * 3, h, QImage::Format_RGB32);
    image.fill(kStripBack);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor faces[3] = {QColor(120, 150, 96), kAccent, QColor(170, 170, 170)};
    for (int i = 0; i < 3; ++i) {
        const QRectF cell(i * w + 0.5, 0.5, w - 1, h - 1);
        p.setPen(QPen(faces[i].darker(150), 1));
        p.setBrush(faces[i]);
        p.drawRoundedRect(cell, 2, 2);
        p.setPen(QPen(Qt::white, 1));
        p.drawLine(QPointF(cell.left() + 3, cell.center().y()), QPointF(cell.right() - 3, cell.center().y()));
    }
    return image;
}

// The speaker under the knob: sound on, and muted.
QImage SpeakerStrip()
{
    const int w = 15, h = 13;
    QImage image(w * 2, h, QImage::Format_RGB32);
    image.fill(kStripBack);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 2; ++i) {
        const double x = i * w;
        QPainterPath cone;
        cone.moveTo(x + 1.5, 4.5);
        cone.lineTo(x + 4.5, 4.5);
        cone.lineTo(x + 8.5, 1.5);
        cone.lineTo(x + 8.5, 11.5);
        cone.lineTo(x + 4.5, 8.5);
        cone.lineTo(x + 1.5, 8.5);
        cone.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(i == 0 ? kInk : QColor(130, 130, 130));
        p.drawPath(cone);
        if (i == 0) {
            p.setPen(QPen(kInk, 1.2));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(x + 6, 3.5, 5, 6), -60 * 16, 120 * 16);
            p.drawArc(QRectF(x + 5.5, 1.5, 8, 10), -60 * 16, 120 * 16);
        } else {
            p.setPen(QPen(QColor(200, 40, 40), 1.6, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(x + 10, 4), QPointF(x + 14, 9));
            p.drawLine(QPointF(x + 14, 4), QPointF(x + 10, 9));
        }
    }
    return image;
}

// The side picture of the microphone settings.
QImage MicPicture()
{
    QImage image(80, 120, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 120);
    g.setColorAt(0, QColor(250, 250, 220));
    g.setColorAt(1, QColor(198, 218, 135));
    p.fillRect(image.rect(), g);
    MicGlyph(p, QRectF(8, 16, 64, 72), kInk);
    p.setPen(QPen(kAccent, 2, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i) p.drawLine(QPointF(20 + 20 * i, 104), QPointF(20 + 20 * i, 104 - 6 - 4 * i));
    return image;
}

QImage Gradient(int w, int h, const QColor& top, const QColor& bottom);

// The address book's row icon: a card with a person, on the list's transparent teal.
QImage ListIcon(int size)
{
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(QColor(0, 128, 128));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    p.setPen(QPen(kInk, s / 16.0));
    p.setBrush(QColor(255, 247, 140));
    p.drawRoundedRect(QRectF(s * 0.08, s * 0.18, s * 0.84, s * 0.64), s * 0.08, s * 0.08);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawEllipse(QPointF(s * 0.34, s * 0.42), s * 0.1, s * 0.1);
    p.drawPie(QRectF(s * 0.18, s * 0.52, s * 0.32, s * 0.36), 0, 180 * 16);
    p.setBrush(kAccent);
    p.drawRect(QRectF(s * 0.56, s * 0.36, s * 0.26, s * 0.07));
    p.drawRect(QRectF(s * 0.56, s * 0.52, s * 0.2, s * 0.07));
    return image;
}

// The wizard's side picture: a tall band with the program's mark and soft circles.
QImage WizardSide(int w, int h)
{
    QImage image = Gradient(w, h, QColor(255, 247, 140), QColor(198, 218, 135));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 6; ++i) {
        p.setBrush(QColor(255, 255, 255, 40 + 12 * i));
        const double r = w * (0.18 + 0.05 * i);
        p.drawEllipse(QPointF(w * (0.2 + 0.13 * i), h * (0.55 + 0.06 * (i % 3))), r, r);
    }
    p.setBrush(QColor(255, 247, 140));
    p.drawEllipse(QRectF(w * 0.2, h * 0.12, w * 0.6, w * 0.6));
    LoginGlyph(p, QRectF(w * 0.28, h * 0.12 + w * 0.08, w * 0.44, w * 0.44), kInk);
    return image;
}

bool Save(const QImage& image, const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// A strip of four frames: disabled, pressed, normal, hot.
QImage ButtonStrip(const Glyph& glyph, int size, const QColor& mask)
{
    QImage image(size * 4, size, QImage::Format_RGB32);
    image.fill(mask);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor faces[4] = {QColor(200, 200, 190), QColor(236, 214, 120), QColor(250, 250, 236),
                             QColor(255, 244, 190)};
    const QColor inks[4] = {QColor(150, 150, 150), kInk.darker(130), kInk, kInk};
    for (int look = 0; look < 4; ++look) {
        const QRectF cell(look * size + 1.5, 1.5, size - 3, size - 3);
        const QRectF face = look == 1 ? cell.translated(1, 1) : cell;
        p.setPen(QPen(look == 3 ? kAccent : QColor(150, 160, 120), 1));
        p.setBrush(faces[look]);
        p.drawRoundedRect(face, size / 6.0, size / 6.0);
        glyph(p, face.adjusted(size * 0.12, size * 0.12, -size * 0.12, -size * 0.12), inks[look]);
    }
    return image;
}

// Drawn on a 32-pixel grid and scaled, so that every size of an icon has the same shape.
QImage Icon(const Glyph& glyph, const QColor& back, const QColor& ink, bool crossed = false, int size = 32)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawEllipse(QRectF(1, 1, 30, 30));
    glyph(p, QRectF(4, 4, 24, 24), ink);
    if (crossed) {
        p.setPen(QPen(QColor(200, 40, 40), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(7, 25), QPointF(25, 7));
    }
    return image;
}

// A sheet of paper with a folded corner, drawn for image 0 (unavailable, grey and crossed)
// and image 1 (available) side by side.
QImage FileIcons(int size)
{
    QImage image(size * 2, size, QImage::Format_RGB32);
    image.fill(kSharesMask);
    QPainter p(&image);
    for (int i = 0; i < 2; ++i) {
        const qreal x = i * size;
        const qreal fold = size * 0.28;
        QPainterPath sheet;
        sheet.moveTo(x + size * 0.2, size * 0.06);
        sheet.lineTo(x + size * 0.8 - fold, size * 0.06);
        sheet.lineTo(x + size * 0.8, size * 0.06 + fold);
        sheet.lineTo(x + size * 0.8, size * 0.94);
        sheet.lineTo(x + size * 0.2, size * 0.94);
        sheet.closeSubpath();
        p.setPen(QPen(i == 0 ? QColor(128, 128, 128) : kInk, 1));
        p.setBrush(i == 0 ? QColor(210, 210, 210) : QColor(250, 250, 236));
        p.drawPath(sheet);
        p.setPen(QPen(i == 0 ? QColor(160, 160, 160) : kAccent, qMax(1, size / 16)));
        for (int line = 1; line <= 3; ++line) {
            const qreal y = size * (0.3 + 0.16 * line);
            p.drawLine(QPointF(x + size * 0.3, y), QPointF(x + size * 0.7, y));
        }
        if (i == 0) {
            p.setPen(QPen(QColor(200, 40, 40), qMax(1, size / 10)));
            p.drawLine(QPointF(x + size * 0.15, size * 0.85), QPointF(x + size * 0.85, size * 0.15));
        }
    }
    return image;
}

QImage Gradient(int w, int h, const QColor& top, const QColor& bottom)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(image.rect(), g);
    return image;
}

// The sample pictures offered by the still image chooser: small landscapes.
QImage Landscape(const QColor& skyTop, const QColor& skyBottom, const QColor& ground, const QColor& sun, bool stars)
{
    QImage image(320, 240, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 170);
    sky.setColorAt(0, skyTop);
    sky.setColorAt(1, skyBottom);
    p.fillRect(image.rect(), sky);
    if (stars) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(250, 250, 220));
        for (int i = 0; i < 40; ++i) p.drawEllipse(QPointF((i * 83) % 320, (i * 47) % 150), 1.2, 1.2);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(sun);
    p.drawEllipse(QPointF(230, 120), 26, 26);
    QPainterPath hills;
    hills.moveTo(0, 240);
    hills.lineTo(0, 175);
    hills.cubicTo(60, 140, 120, 190, 180, 165);
    hills.cubicTo(230, 145, 280, 170, 320, 160);
    hills.lineTo(320, 240);
    hills.closeSubpath();
    p.setBrush(ground);
    p.drawPath(hills);
    p.setBrush(ground.darker(130));
    p.drawRect(QRectF(0, 205, 320, 35));
    return image;
}

// The program's icon as SVG for the desktop's scalable theme folder: the same circle and two
// people as Icon(LoginGlyph, ...) draws, on the same 32-unit grid.
QString ProgramIconSvg(const QColor& back, const QColor& ink)
{
    const QRectF r(4, 4, 24, 24);
    QString people;
    for (double fx : {0.3, 0.7}) {
        const double x = r.left() + r.width() * fx;
        const double headY = r.top() + r.height() * 0.32;
        const double bodyY = r.top() + r.height() * 0.68;
        people += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>\n")
                      .arg(x)
                      .arg(headY)
                      .arg(r.width() * 0.1)
                      .arg(ink.name());
        people += QStringLiteral("  <path d=\"M %1 %2 A %3 %4 0 0 1 %5 %2 Z\" fill=\"%6\"/>\n")
                      .arg(x - r.width() * 0.17)
                      .arg(bodyY)
                      .arg(r.width() * 0.17)
                      .arg(r.height() * 0.2)
                      .arg(x + r.width() * 0.17)
                      .arg(ink.name());
    }
    const double lineY = r.top() + r.height() * 0.32;
    return QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" viewBox=\"0 0 32 32\">\n"
               "  <circle cx=\"16\" cy=\"16\" r=\"15\" fill=\"%1\"/>\n"
               "%2"
               "  <line x1=\"%3\" y1=\"%4\" x2=\"%5\" y2=\"%4\" stroke=\"%6\" stroke-width=\"%7\" "
               "stroke-linecap=\"round\"/>\n"
               "</svg>\n")
        .arg(back.name(), people)
        .arg(r.left() + r.width() * 0.42)
        .arg(lineY)
        .arg(r.left() + r.width() * 0.58)
        .arg(kAccent.name())
        .arg(r.width() / 14.0);
}

bool SaveText(const QString& text, const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool SaveJpeg(const QImage& image, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path, "JPEG", 85)) {
        std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: morvika-asset-gen ASSETS_DIR [PREVIEW.png]\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]) + "/Pictures/Standard/";
    bool ok = true;
    const QColor iconBack(226, 240, 200);

    ok &= Save(ButtonStrip(ExitGlyph, 32, kButtonMask), root + "Button/ButtonExit.bmp");
    ok &= Save(ButtonStrip(LoginGlyph, 32, kButtonMask), root + "Button/ButtonLogin.bmp");
    ok &= Save(ButtonStrip(ChatGlyph, 32, kButtonMask), root + "Button/ButtonChat.bmp");
    ok &= Save(ButtonStrip(FolderGlyph, 32, kButtonMask), root + "Button/ButtonFtp.bmp");
    ok &= Save(ButtonStrip(WindowGlyph, 32, kButtonMask), root + "Button/ButtonWinSh.bmp");
    ok &= Save(ButtonStrip(HelpGlyph, 32, kButtonMask), root + "Button/ButtonHelp.bmp");
    ok &= Save(ButtonStrip(CloseGlyph, 16, kDialogMask), root + "Button/ButtonExitDlg.bmp");

    ok &= Save(FileIcons(32), root + "SharesFile/BigIcon.bmp");
    ok &= Save(FileIcons(16), root + "SharesFile/SmallIcon.bmp");

    ok &= Save(Icon(MicGlyph, iconBack, kInk), root + "Icon/Icon_MicN.ico");
    ok &= Save(Icon(MicGlyph, QColor(220, 220, 220), QColor(120, 120, 120), true), root + "Icon/Icon_MicD.ico");
    ok &= Save(Icon(CameraGlyph, iconBack, kInk), root + "Icon/Icon_CameraN.ico");
    ok &= Save(Icon(CameraGlyph, QColor(220, 220, 220), QColor(120, 120, 120), true), root + "Icon/Icon_CameraD.ico");
    ok &= Save(Icon(LoginGlyph, QColor(255, 247, 140), kInk), root + "Icon/Morvika.ico");
    ok &= Save(Icon(LoginGlyph, QColor(255, 247, 140), kInk), root + "Icon/Icon_Task.ico");

    ok &= Save(KnobStrip(), root + "Control/Knob.bmp");
    ok &= Save(SpeakerStrip(), root + "Control/Speaker.bmp");
    ok &= Save(MicPicture(), root + "Propertys/MicPropertyImage.bmp");

    ok &= Save(Gradient(8, 20, QColor(240, 241, 198), QColor(206, 216, 150)), root + "Frame/StatBar-center.bmp");
    ok &= Save(Gradient(8, 40, QColor(250, 250, 220), QColor(214, 224, 160)), root + "Frame/ToolBar-center.bmp");
    QImage title =
        Icon(LoginGlyph, QColor(255, 247, 140), kInk).scaled(18, 18, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    ok &= Save(title.convertToFormat(QImage::Format_RGB32), root + "Frame/TitleIcon.bmp");
    QImage grip(12, 12, QImage::Format_RGB32);
    grip.fill(QColor(240, 241, 198));
    {
        QPainter p(&grip);
        p.setPen(QColor(128, 128, 128));
        for (int i = 3; i < 12; i += 3) p.drawLine(i, 11, 11, i);
    }
    ok &= Save(grip, root + "Frame/Resize.bmp");
    ok &= Save(ListIcon(32), root + "Control/ListCtrlIconB.bmp");
    ok &= Save(ListIcon(16), root + "Control/ListCtrlIconS.bmp");
    ok &= Save(WizardSide(120, 300), root + "Propertys/MainPropertyPage.bmp");

    // The desktop's launcher and software centre take the program's icon from the icon theme.
    const QString theme = QString::fromLocal8Bit(argv[1]) + "/icons/hicolor/";
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        ok &= Save(Icon(LoginGlyph, QColor(255, 247, 140), kInk, false, size),
                   theme + QStringLiteral("%1x%1/apps/morvika.png").arg(size));
    }
    ok &= SaveText(ProgramIconSvg(QColor(255, 247, 140), kInk), theme + "scalable/apps/morvika.svg");

    // Copied into the working folder's "サンプル画像" when it does not exist yet.
    const QString samples = QString::fromLocal8Bit(argv[1]) + "/Pictures/Sample/";
    ok &= SaveJpeg(
        Landscape(QColor(255, 140, 80), QColor(255, 210, 150), QColor(90, 70, 80), QColor(255, 240, 200), false),
        samples + QString::fromUtf8("夕焼け.jpg"));
    ok &= SaveJpeg(
        Landscape(QColor(90, 160, 230), QColor(200, 230, 250), QColor(90, 160, 70), QColor(255, 250, 210), false),
        samples + QString::fromUtf8("草原.jpg"));
    ok &= SaveJpeg(Landscape(QColor(10, 20, 60), QColor(40, 60, 120), QColor(20, 40, 40), QColor(240, 240, 210), true),
                   samples + QString::fromUtf8("夜空.jpg"));
    if (argc == 3) {
        // A contact sheet of every picture, enlarged, for looking at them.
        QImage sheet(560, 420, QImage::Format_RGB32);
        sheet.fill(Qt::white);
        QPainter p(&sheet);
        int y = 4;
        for (const char* name : {"ButtonExit", "ButtonLogin", "ButtonChat", "ButtonFtp", "ButtonWinSh", "ButtonHelp"}) {
            const QImage strip(root + "Button/" + name + ".bmp");
            p.drawImage(QRect(4, y, strip.width() * 2, strip.height() * 2), strip);
            y += strip.height() * 2 + 2;
        }
        int x = 280;
        for (const char* name : {"Icon_MicN", "Icon_MicD", "Icon_CameraN", "Icon_CameraD", "Morvika"}) {
            const QImage icon(root + "Icon/" + name + ".ico");
            p.drawImage(QRect(x, 4, 48, 48), icon);
            x += 52;
        }
        p.end();
        ok &= Save(sheet, QString::fromLocal8Bit(argv[2]));
    }
    return ok ? 0 : 1;
}
