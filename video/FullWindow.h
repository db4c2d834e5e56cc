#pragma once
// One user's picture over the whole screen. It borrows the user window's picture child
// and gives it back when it closes. The display mode is left alone.

#include <QDialog>

class CUserWndObject;
class QTimer;

class CFullWindow : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 480;

    explicit CFullWindow(CUserWndObject& owner);
    ~CFullWindow() override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void Place();

    CUserWndObject& m_owner;
    QTimer* m_pTimer;
};
