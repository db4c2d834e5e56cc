// A window of known content for the Wayland cases: a four by four grid of solid colours chosen
// by a seed. Each line on standard input is a new seed; the window repaints with it.
#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

QColor Block(int seed, int index)
{
    const unsigned value = static_cast<unsigned>(seed * 7919 + index * 104729) * 2654435761u;
    // Saturated steps of 0 and 255 only, so a JPEG keeps each block's colour.
    return QColor((value >> 3) & 1 ? 255 : 0, (value >> 7) & 1 ? 255 : 0, (value >> 11) & 1 ? 255 : 0);
}

class PatternWindow : public QRasterWindow {
public:
    void SetSeed(int seed)
    {
        m_seed = seed;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        for (int row = 0; row < 4; ++row) {
            for (int column = 0; column < 4; ++column) {
                painter.fillRect(column * width() / 4, row * height() / 4, width() / 4 + 1, height() / 4 + 1,
                                 Block(m_seed, row * 4 + column));
            }
        }
    }

private:
    int m_seed = 1;
};

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    PatternWindow window;
    window.setTitle(QStringLiteral("morvika-test-pattern"));
    // An optional size: width height.
    window.resize(argc >= 3 ? std::atoi(argv[1]) : 640, argc >= 3 ? std::atoi(argv[2]) : 400);
    window.show();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[64];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            QGuiApplication::quit();
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            window.SetSeed(std::atoi(pending.substr(0, end).c_str()));
        }
    });
    return app.exec();
}
