#pragma once
// The share viewer: a peer's shared window at full size, with scroll bars.

#include <QDialog>

#include <functional>

#include "platform/winmsg/WinMsg.h"

class CPictureWnd;
class QScrollArea;

class CCapterDlg : public QDialog, public CMsgTarget {
    Q_OBJECT
public:
    explicit CCapterDlg(QWidget* parent);
    ~CCapterDlg() override;

    // The window rectangle is read when the viewer opens and written when it closes.
    std::function<QRect()> loadRect;
    std::function<void(const QRect&)> saveRect;

    CPictureWnd* Picture() const { return m_pPicture; }
    QScrollArea* ScrollArea() const { return m_pScroll; }

    // WM_PICTURE_SIZE from the picture child.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateSteps();

    QScrollArea* m_pScroll;
    CPictureWnd* m_pPicture;
};
