#pragma once
// The program's skinned dialog: no system frame, its own 22-pixel caption bar with the title
// and a close button, a one-pixel edge and the light background every dialog shares.

#include <QDialog>
#include <QPixmap>

#include <vector>

class CDlgMorvika : public QDialog {
    Q_OBJECT
public:
    static constexpr int kCaptionHeight = 22;
    enum HitZone { kHitClient, kHitCaption, kHitClose };

    // assetsFolder holds Pictures/Standard/Button/ButtonExitDlg.bmp; empty: the folder the
    // program found at start (SetDefaultAssetsFolder).
    explicit CDlgMorvika(QWidget* parent = nullptr, const QString& assetsFolder = QString());

    static void SetDefaultAssetsFolder(const QString& folder);
    static QString DefaultAssetsFolder();

    HitZone HitTest(const QPoint& p) const;
    QRect CloseButtonRect() const;
    int CloseLook() const { return m_nCloseLook; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void SetCloseLook(int look);

    std::vector<QPixmap> m_closeFrames;
    int m_nCloseLook = 2;
    bool m_bClosePressed = false;
    bool m_bDragging = false;
    QPoint m_dragOffset;
};
