#pragma once
// The session view's microphone icon on the main window: it shows whether the microphone is
// muted; a left click toggles that, a right click opens the microphone settings.

#include <QIcon>
#include <QWidget>

#include <functional>

class CMicIconWnd : public QWidget {
    Q_OBJECT
public:
    static constexpr int kControlId = 4000;

    // normal and muted: ".../Icon_MicN.ico" and ".../Icon_MicD.ico".
    CMicIconWnd(const QString& normalIcon, const QString& mutedIcon, QWidget* parent);

    void SetMuted(bool muted);
    bool IsMuted() const { return m_bMuted; }

    std::function<void()> onLeftClick;
    std::function<void()> onRightClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QIcon m_normal;
    QIcon m_muted;
    bool m_bMuted = false;
    bool m_bPressed = false;
};
