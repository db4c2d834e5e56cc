#pragma once
// The image page of a user window's property sheet: a live preview of that user's picture
// and the brightness slider.

#include <QWidget>

class CPictureWnd;
class CUserWndObject;
class QSlider;

class CPageClientCapter : public QWidget {
    Q_OBJECT
public:
    CPageClientCapter(CUserWndObject& owner, QWidget* parent);
    ~CPageClientCapter() override;

    // The user window's picture takes the preview's brightness.
    void OnOK();

    CPictureWnd* Preview() const { return m_pPreview; }
    QSlider* Slider() const { return m_pSlider; }

private:
    CUserWndObject& m_owner;
    CPictureWnd* m_pPreview;
    QSlider* m_pSlider;
};
