#pragma once
// One index tab: a 40 x 24 tab at y = 23 * index on the left edge, and a page right of it
// that can host another window. Tabs of one set share one rectangle, so their pages overlap
// and only the tab on top shows its page.

#include <QColor>
#include <QPointer>
#include <QWidget>

class CTabWnd : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTabWidth = 40;
    static constexpr int kTabHeight = 24;
    static constexpr int kTabStep = 23;
    static constexpr int kHostInset = 8;

    CTabWnd(int index, QWidget* parent = nullptr);

    // The window text is the caption; rect is in the parent's coordinates.
    bool Create(const QString& caption, const QRect& rect, QWidget* parent, int id);
    void SetFrameColor(const QColor& color);
    void SetHostedWindow(QWidget* window) { m_hosted = window; }
    QWidget* HostedWindow() const { return m_hosted; }
    int Index() const { return m_nIndex; }

    // Brings the tab to the top of its siblings and moves the hosted window into its page,
    // without taking the focus.
    void ShowNoActivate();

    QRect TabRect() const;
    QRect PageRect() const;
    // The rectangle the hosted window takes in the page.
    QRect HostRect() const { return PageRect().adjusted(kHostInset, kHostInset, -kHostInset, -kHostInset); }

signals:
    // The tab was brought up by a click or by the focus.
    void activated(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildRegion();
    void HostHere();

    int m_nIndex;
    QColor m_frameColor{240, 241, 198};
    QPointer<QWidget> m_hosted;
};
