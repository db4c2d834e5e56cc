#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QMouseEvent>

#include <memory>
#include <vector>

#include "ui/BmpButton.h"
#include "ui/DlgMorvika.h"
#include "ui/TabWnd.h"

namespace {

void Mouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButtons held = Qt::NoButton)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &event);
    QCoreApplication::processEvents();
}

// A seven-frame strip, each frame filled with its own grey so frames are told apart.
QImage Strip(int frames)
{
    QImage strip(32 * frames, 32, QImage::Format_RGB32);
    for (int i = 0; i < frames; ++i) {
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) strip.setPixel(i * 32 + x, y, qRgb(10 * i + 1, 10 * i + 1, 10 * i + 1));
        }
    }
    return strip;
}

}  // namespace

TEST(BmpButtonTest, FrameFollowsStateAndLookAndDisabledStaysOnLookZero)
{
    QWidget parent;
    CBmpButton toggle(Strip(7), &parent);
    toggle.Create(&parent, 1036, 0, 0, 1);
    EXPECT_EQ(toggle.FrameSize(), QSize(32, 32));
    parent.show();

    Mouse(&toggle, QEvent::MouseMove, {5, 5});
    EXPECT_EQ(toggle.CurrentLook(), CBmpButton::kLookHot);
    EXPECT_EQ(toggle.CurrentFrame(), 6);  // hovered, state 1

    toggle.setEnabled(false);
    EXPECT_EQ(toggle.CurrentFrame(), 3);  // state 1 disabled shares frame 3 with state 0 hot
    Mouse(&toggle, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    EXPECT_EQ(toggle.CurrentFrame(), 3);

    CBmpButton push(&parent);
    push.SetBitmap(Strip(4));
    push.Create(&parent, 1031, 40, 0, -1);
    push.setEnabled(false);
    EXPECT_EQ(push.CurrentFrame(), 0);
}

TEST(BmpButtonTest, ReleaseInsideFlipsAndReportsReleaseOutsideReportsNothing)
{
    QWidget parent;
    CBmpButton toggle(Strip(7), &parent);
    toggle.Create(&parent, 1037, 0, 0, 0);
    parent.show();
    std::vector<int> clicks;
    QObject::connect(&toggle, &CBmpButton::clicked, [&](int id) { clicks.push_back(id); });

    Mouse(&toggle, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    EXPECT_TRUE(toggle.IsPressed());
    EXPECT_EQ(toggle.CurrentLook(), CBmpButton::kLookPressed);
    Mouse(&toggle, QEvent::MouseButtonRelease, {100, 100});
    EXPECT_TRUE(clicks.empty());
    EXPECT_EQ(toggle.GetState(), 0);

    Mouse(&toggle, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    Mouse(&toggle, QEvent::MouseButtonRelease, {6, 6});
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0], 1037);
    EXPECT_EQ(toggle.GetState(), 1);
    EXPECT_EQ(toggle.CurrentFrame(), 6);

    // The space key reports a click but leaves a toggle's state alone.
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QKeyEvent up(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QCoreApplication::sendEvent(&toggle, &down);
    QCoreApplication::sendEvent(&toggle, &up);
    QCoreApplication::processEvents();
    EXPECT_EQ(clicks.size(), 2u);
    EXPECT_EQ(toggle.GetState(), 1);
}

TEST(TabWndTest, ClickingTheSecondOfTenTabsHostsTheListInItsPageAndRaisesIt)
{
    QWidget dialog;
    dialog.resize(500, 400);
    auto* list = new QListWidget(&dialog);
    std::vector<CTabWnd*> tabs;
    const QRect rect(QPoint(60, 10), QPoint(480, 340));
    for (int i = 0; i < 10; ++i) {
        auto* tab = new CTabWnd(i, &dialog);
        tab->Create(QStringLiteral("t%1").arg(i), rect, &dialog, 2000 + i);
        tab->SetHostedWindow(list);
        tabs.push_back(tab);
    }
    dialog.show();
    tabs[0]->ShowNoActivate();
    EXPECT_EQ(list->parentWidget(), tabs[0]);

    const QPoint onSecondTab = tabs[1]->TabRect().center();
    EXPECT_EQ(tabs[1]->TabRect(), QRect(0, 23, 40, 24));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(onSecondTab), QPointF(tabs[1]->mapToGlobal(onSecondTab)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tabs[1], &press);
    QCoreApplication::processEvents();

    EXPECT_EQ(list->parentWidget(), tabs[1]);
    EXPECT_EQ(list->geometry(), QRect(48, 8, rect.width() - 40 - 16, rect.height() - 16));
    const auto siblings = dialog.findChildren<CTabWnd*>(QString(), Qt::FindDirectChildrenOnly);
    QWidget* top = nullptr;
    for (QObject* child : dialog.children()) {
        if (auto* tab = qobject_cast<CTabWnd*>(child)) top = tab;
    }
    EXPECT_EQ(top, tabs[1]);
    EXPECT_EQ(siblings.size(), 10);
    // The visible region is the tab and the page, not the other tabs' places.
    EXPECT_FALSE(tabs[1]->mask().contains(tabs[0]->TabRect().center()));
    EXPECT_TRUE(tabs[1]->mask().contains(QPoint(200, 200)));
}

TEST(DlgMorvikaTest, CloseButtonCancelsOnlyWhenPressedAndReleasedOnIt)
{
    CDlgMorvika dialog;
    dialog.resize(300, 200);
    dialog.show();
    EXPECT_EQ(dialog.HitTest({10, 10}), CDlgMorvika::kHitCaption);
    EXPECT_EQ(dialog.HitTest({10, 30}), CDlgMorvika::kHitClient);
    const QPoint close = dialog.CloseButtonRect().center();
    EXPECT_EQ(dialog.HitTest(close), CDlgMorvika::kHitClose);
    EXPECT_EQ(dialog.CloseButtonRect().right(), 300 - 4 - 1);
    EXPECT_EQ(dialog.contentsRect(), QRect(1, 22, 298, 177));

    int rejected = 0;
    QObject::connect(&dialog, &QDialog::rejected, [&] { ++rejected; });
    // Pressed on the caption, released on the button: nothing.
    Mouse(&dialog, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    Mouse(&dialog, QEvent::MouseButtonRelease, close);
    EXPECT_EQ(rejected, 0);
    Mouse(&dialog, QEvent::MouseButtonPress, close, Qt::LeftButton);
    EXPECT_EQ(dialog.CloseLook(), 1);
    Mouse(&dialog, QEvent::MouseButtonRelease, close);
    EXPECT_EQ(rejected, 1);
    EXPECT_EQ(dialog.CloseLook(), 2);
}

TEST(DlgMorvikaTest, DraggingTheCaptionMovesTheDialogWhereThePlatformCannot)
{
    // The offscreen platform offers no system move, so the dialog follows the mouse itself.
    CDlgMorvika dialog;
    dialog.setGeometry(100, 100, 300, 200);
    dialog.show();
    const QPoint start = dialog.frameGeometry().topLeft();
    Mouse(&dialog, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    Mouse(&dialog, QEvent::MouseMove, {40, 30}, Qt::LeftButton);
    EXPECT_EQ(dialog.frameGeometry().topLeft(), start + QPoint(30, 20));
    Mouse(&dialog, QEvent::MouseButtonRelease, {40, 30});
    Mouse(&dialog, QEvent::MouseMove, {60, 60});
    EXPECT_EQ(dialog.frameGeometry().topLeft(), start + QPoint(30, 20));
}
