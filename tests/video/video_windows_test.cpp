// The picture window, the user window and the other video windows on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QSlider>

#include "JpegTestPictures.h"
#include "VideoTestEnvironment.h"
#include "app/WindowMessages.h"
#include "video/CameraView.h"
#include "video/CapterDlg.h"
#include "video/FullWindow.h"
#include "video/PageClientCapter.h"
#include "video/PictureWnd.h"
#include "video/UserWndObject.h"
#include "platform/winmsg/WinMsgPayload.h"

using namespace std::chrono_literals;

namespace {

// Records the messages a window object or picture window sends to its parent.
class Recorder : public CMsgTarget {
public:
    ~Recorder() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        messages.push_back({message, wParam, lParam});
        return 0;
    }
    int Count(UINT message) const
    {
        return static_cast<int>(
            std::count_if(messages.begin(), messages.end(), [&](const auto& m) { return m.message == message; }));
    }
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<Message> messages;
};

void Settle()
{
    WaitFor([] { return false; }, 50ms);
}

void Send(CPictureWnd& window, const std::vector<unsigned char>& jpeg)
{
    const COPYDATASTRUCT copy{0, static_cast<std::uint32_t>(jpeg.size()), jpeg.data()};
    EXPECT_EQ(SendPayload(window.Handle(), WM_COPYDATA, 0, copy), 1);
}

bool AllBlack(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if ((image.pixel(x, y) & 0xFFFFFF) != 0) return false;
        }
    }
    return true;
}

CUserInformation Record(std::uint32_t userId, std::uint32_t groupId, const char* name)
{
    CUserInformation record;
    record.SetUserId(userId);
    record.SetGroupId(groupId);
    record.SetUserName(name);
    record.SetAddress("192.0.2.7");
    return record;
}

struct MainArea {
    MainArea()
    {
        widget.resize(640, 480);
        widget.show();
    }
    QWidget widget;
    Recorder hub;
};

}  // namespace

TEST(PictureWnd, StartsBlackAndAnEmptyBlockKeepsItBlack)
{
    QWidget parent;
    parent.resize(200, 200);
    CPictureWnd picture(QRect(0, 0, 160, 120), &parent, 1063);
    picture.SetFitMode(true);
    EXPECT_TRUE(AllBlack(picture.grab().toImage()));
    Send(picture, {});
    Settle();
    EXPECT_EQ(picture.ReceivedCount(), 1u);
    EXPECT_TRUE(AllBlack(picture.grab().toImage()));

    Send(picture, EncodeDefault(MakeBandedBitmap(320, 240)));
    Settle();
    EXPECT_FALSE(AllBlack(picture.grab().toImage()));
    // A block that does not decode after a good one: black again.
    Send(picture, {0xFF, 0xD8, 0x00});
    Settle();
    EXPECT_TRUE(AllBlack(picture.grab().toImage()));
}

TEST(PictureWnd, FramesArrivingBeforeAPaintAreDecodedOnce)
{
    QWidget parent;
    CPictureWnd picture(QRect(0, 0, 160, 120), &parent, 1063);
    picture.SetFitMode(true);
    const auto a = EncodeDefault(MakeBandedBitmap(320, 240));
    const auto b = EncodeDefault(MakeNoisyBitmap(320, 240, 7));
    Send(picture, a);
    Send(picture, b);
    EXPECT_EQ(picture.Core().QueuedCount(), 2u);
    Settle();  // both drain messages run; no paint is asked of a hidden window
    EXPECT_EQ(picture.Core().QueuedCount(), 0u);
    EXPECT_EQ(picture.Core().CurrentJpeg(), b);
    ASSERT_NE(picture.CurrentBitmap(), nullptr);
    EXPECT_EQ(picture.Core().DecodeCount(), 1u);
}

TEST(PictureWnd, FitModeDecodesAQuarterAndStretchesToTheWindow)
{
    QWidget parent;
    parent.resize(200, 200);
    CPictureWnd picture(QRect(0, 0, 160, 100), &parent, 1063);
    picture.SetFitMode(true);
    Send(picture, EncodeDefault(MakeBandedBitmap(640, 480)));
    Settle();
    const PictureBitmap* bitmap = picture.CurrentBitmap();
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 160);
    EXPECT_EQ(bitmap->height, 120);
    EXPECT_EQ(picture.size(), QSize(160, 100));  // fit mode never resizes the window
    // Stretched over the whole height: red band at the top row, blue at the bottom.
    const QImage shown = picture.grab().toImage();
    const QColor top = shown.pixelColor(80, 0);
    const QColor bottom = shown.pixelColor(80, 99);
    EXPECT_GT(top.red(), top.blue());
    EXPECT_GT(bottom.blue(), bottom.red());
}

TEST(PictureWnd, FullSizeModeResizesAndTellsTheParentOnce)
{
    Recorder parentTarget;
    QWidget parent;
    CPictureWnd picture(QRect(0, 0, 100, 100), &parent, 0);
    picture.SetNotifyTarget(parentTarget.Handle());
    const auto frame = EncodeDefault(MakeBandedBitmap(320, 240));
    Send(picture, frame);
    Settle();
    ASSERT_NE(picture.CurrentBitmap(), nullptr);
    EXPECT_EQ(picture.size(), QSize(320, 240));
    Settle();
    ASSERT_EQ(parentTarget.Count(WM_PICTURE_SIZE), 1);
    EXPECT_EQ(parentTarget.messages.back().wParam, 320u);
    EXPECT_EQ(parentTarget.messages.back().lParam, 240);

    Send(picture, frame);
    Settle();
    ASSERT_NE(picture.CurrentBitmap(), nullptr);
    Settle();
    EXPECT_EQ(parentTarget.Count(WM_PICTURE_SIZE), 1);
}

TEST(PictureWnd, BrightnessChangesThePaintedPicture)
{
    QWidget parent;
    CPictureWnd picture(QRect(0, 0, 64, 48), &parent, 0);
    picture.SetFitMode(true);
    Send(picture, EncodeDefault(MakeBandedBitmap(64, 48)));
    Settle();
    const QImage plain = picture.CurrentImage();
    picture.SetBrightness(31);
    EXPECT_EQ(picture.GetBrightness(), 31);
    const QImage brighter = picture.CurrentImage();
    ASSERT_EQ(plain.size(), brighter.size());
    const QColor a = plain.pixelColor(32, 24);
    const QColor b = brighter.pixelColor(32, 24);
    EXPECT_EQ(b.green(), std::min(255, a.green() + 31));
    picture.SetBrightness(-31);
    EXPECT_EQ(picture.CurrentImage().pixelColor(32, 24).green(), std::max(0, a.green() - 31));
}

TEST(UserWndObject, LayoutFollowsTheViews)
{
    MainArea area;
    CUserWndObject window(Record(0x11, 0x22, "たろう"), area.hub.Handle(), &area.widget);
    EXPECT_EQ(window.Information().GetViewType(), kViewMediumWindow);
    EXPECT_EQ(window.geometry(), QRect(0, 32, 179, 142));
    EXPECT_EQ(window.Picture()->geometry(), QRect(1, 1, 160, 120));
    EXPECT_EQ(window.Picture()->ControlId(), 1063);

    window.SetViewMode(kViewLargeWindow);
    EXPECT_EQ(window.size(), QSize(339, 262));
    EXPECT_EQ(window.Picture()->size(), QSize(320, 240));
    window.SetViewMode(kViewSmallWindow);
    EXPECT_EQ(window.size(), QSize(99, 82));
    EXPECT_EQ(window.Picture()->size(), QSize(80, 60));
    EXPECT_EQ(window.VolumeBarRect(), QRect(82, 0, 17, 82));

    // The two buttons at the bottom right, the rightmost 24 pixels from the edge.
    auto* disconnect = window.findChild<QWidget*>(QStringLiteral("disconnect"));
    auto* step = window.findChild<QWidget*>(QStringLiteral("viewstep"));
    ASSERT_NE(disconnect, nullptr);
    ASSERT_NE(step, nullptr);
    EXPECT_EQ(disconnect->geometry().right() + 1, 99 - 24);
    EXPECT_EQ(disconnect->geometry().bottom() + 1, 82 - 2);
    EXPECT_EQ(step->geometry().right() + 1 + 2, disconnect->geometry().left());

    // Any other type is the default view, which has the creation size and position.
    window.SetViewMode(7);
    EXPECT_EQ(window.Information().GetViewType(), kViewDefault);
    EXPECT_EQ(window.geometry(), QRect(0, 32, 339, 262));
    Settle();
    EXPECT_GE(area.hub.Count(WM_WND_OBJECT_MOVED), 4);
}

TEST(UserWndObject, ViewButtonStepsLargeSmallMediumAndDisconnectAsksTheMainWindow)
{
    MainArea area;
    CUserWndObject window(Record(0x11, 0x22, "u"), area.hub.Handle(), &area.widget);
    auto* step = window.findChild<QToolButton*>(QStringLiteral("viewstep"));
    window.SetViewMode(kViewLargeWindow);
    step->click();
    EXPECT_EQ(window.Information().GetViewType(), kViewSmallWindow);
    step->click();
    EXPECT_EQ(window.Information().GetViewType(), kViewMediumWindow);
    step->click();
    EXPECT_EQ(window.Information().GetViewType(), kViewLargeWindow);

    window.findChild<QToolButton*>(QStringLiteral("disconnect"))->click();
    Settle();
    ASSERT_EQ(area.hub.Count(WM_KILL_USER), 1);
    const auto kill = std::find_if(area.hub.messages.begin(), area.hub.messages.end(),
                                   [](const auto& m) { return m.message == WM_KILL_USER; });
    EXPECT_EQ(kill->wParam, 0x11u);
    EXPECT_EQ(kill->lParam, 0x22);
}

TEST(UserWndObject, DraggingIsClampedAndStoredForTheView)
{
    MainArea area;
    CUserWndObject window(Record(1, 1, "u"), area.hub.Handle(), &area.widget);
    ASSERT_EQ(window.size(), QSize(179, 142));
    auto drag = [&](QPoint to) {
        const QPointF grab(10, 10);
        QMouseEvent press(QEvent::MouseButtonPress, grab, window.mapToGlobal(grab), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(&window, &press);
        const QPointF local = QPointF(to - window.pos()) + grab;
        QMouseEvent move(QEvent::MouseMove, local, window.mapToGlobal(local), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(&window, &move);
        const QPointF end = QPointF(10, 10);
        QMouseEvent release(QEvent::MouseButtonRelease, end, window.mapToGlobal(end), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(&window, &release);
    };
    drag(QPoint(-10, 5));
    EXPECT_EQ(window.pos(), QPoint(0, 32));
    drag(QPoint(600, 400));
    EXPECT_EQ(window.pos(), QPoint(461, 321));
    EXPECT_EQ(window.Information().GetPosition("MediumWindow"), Oskel2DPoint(461, 321));
    // Another view keeps its own position.
    window.SetViewMode(kViewLargeWindow);
    EXPECT_EQ(window.pos(), QPoint(0, 32));
    window.SetViewMode(kViewMediumWindow);
    EXPECT_EQ(window.pos(), QPoint(461, 321));
}

TEST(UserWndObject, PicturesGoToTheLinkedViewerElseToThePicture)
{
    MainArea area;
    CUserWndObject window(Record(1, 1, "u"), area.hub.Handle(), &area.widget);
    QWidget other;
    CPictureWnd first(QRect(0, 0, 100, 100), &other, 0);
    CPictureWnd second(QRect(0, 0, 100, 100), &other, 0);
    const auto jpeg = EncodeDefault(MakeBandedBitmap(32, 32));

    window.ReceivePicture(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    EXPECT_EQ(window.Picture()->ReceivedCount(), 1u);

    window.LinkViewer(&first);
    window.LinkViewer(&second);  // one is linked: the first stays
    EXPECT_EQ(window.LinkedViewer(), &first);
    window.ReceivePicture(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    EXPECT_EQ(first.ReceivedCount(), 1u);
    EXPECT_EQ(second.ReceivedCount(), 0u);
    EXPECT_EQ(window.Picture()->ReceivedCount(), 1u);

    window.UnlinkViewer(&second);  // not the linked one
    EXPECT_EQ(window.LinkedViewer(), &first);
    window.UnlinkViewer(&first);
    EXPECT_EQ(window.LinkedViewer(), nullptr);
    window.ReceivePicture(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    EXPECT_EQ(window.Picture()->ReceivedCount(), 2u);
    EXPECT_EQ(window.PictureCount(), 3u);

    // A viewer that goes away unlinks itself.
    {
        CPictureWnd gone(QRect(0, 0, 10, 10), &other, 0);
        window.LinkViewer(&gone);
    }
    window.ReceivePicture(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    EXPECT_EQ(window.Picture()->ReceivedCount(), 3u);
}

TEST(UserWndObject, CopyPutsThePictureOnTheClipboardAtTheWindowSize)
{
    MainArea area;
    CUserWndObject window(Record(1, 1, "u"), area.hub.Handle(), &area.widget);
    const auto jpeg = EncodeDefault(MakeBandedBitmap(320, 240));
    window.ReceivePicture(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    Settle();
    window.OnCommand(ID_EDIT_COPY);
    const QImage copied = QApplication::clipboard()->image();
    EXPECT_EQ(copied.size(), QSize(160, 120));
    EXPECT_FALSE(AllBlack(copied));
}

TEST(PageClientCapter, PreviewsLiveFramesAndAppliesTheBrightnessOnOk)
{
    MainArea area;
    CUserWndObject window(Record(1, 1, "u"), area.hub.Handle(), &area.widget);
    window.Picture()->SetBrightness(-5);
    {
        CPageClientCapter page(window, nullptr);
        EXPECT_EQ(window.LinkedViewer(), page.Preview());
        EXPECT_EQ(page.Slider()->value(), -5);
        EXPECT_EQ(page.Slider()->minimum(), -31);
        EXPECT_EQ(page.Slider()->maximum(), 31);
        EXPECT_EQ(page.Preview()->geometry(), QRect(10, 10, 160, 120));
        const auto jpeg = EncodeDefault(MakeBandedBitmap(32, 32));
        window.ReceivePicture(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
        EXPECT_EQ(page.Preview()->ReceivedCount(), 1u);
        page.Slider()->setValue(20);
        EXPECT_EQ(page.Preview()->GetBrightness(), 20);
        EXPECT_EQ(window.Picture()->GetBrightness(), -5);  // only OK applies it
        page.OnOK();
        EXPECT_EQ(window.Picture()->GetBrightness(), 20);
    }
    EXPECT_EQ(window.LinkedViewer(), nullptr);
}

TEST(UserWndObject, ContextMenuItemsAndStates)
{
    MainArea area;
    class Probe : public CUserWndObject {
    public:
        using CUserWndObject::BuildContextMenu;
        using CUserWndObject::CUserWndObject;
    } window(Record(1, 1, "u"), area.hub.Handle(), &area.widget);
    QMenu menu;
    window.BuildContextMenu(menu);
    QStringList items;
    QStringList disabled;
    for (QAction* action : menu.actions()) {
        if (action->isSeparator()) continue;
        items << action->text();
        if (!action->isEnabled()) disabled << action->text();
    }
    EXPECT_EQ(items,
              (QStringList{"ウインドウ 大", "ウインドウ 中", "ウインドウ 小", "フルスクリーン", "アイコン 大",
                           "アイコン 小", "コピー", "貼り付け", "静止画の選択", "カメラ画像に戻す", "プロパティ"}));
    // A peer's window (no still-picture hooks): choosing a still is for the own window only.
    EXPECT_EQ(disabled, (QStringList{"フルスクリーン", "アイコン 大", "アイコン 小", "貼り付け", "静止画の選択",
                                     "カメラ画像に戻す"}));
    int chosen = 0;
    window.onChooseStill = [&] { ++chosen; };
    EXPECT_TRUE(window.ChooseMenuItem(ID_CHOOSE_STILL));
    EXPECT_FALSE(window.ChooseMenuItem(ID_BACK_TO_CAMERA));
    EXPECT_EQ(chosen, 1);
    window.OnCommand(ID_VIEW_SMALL_WINDOW);
    EXPECT_EQ(window.size(), QSize(99, 82));
}

TEST(CapterDlg, FollowsThePictureSizeWithScrollBars)
{
    CCapterDlg viewer(nullptr);
    viewer.resize(200, 150);
    viewer.show();
    const auto jpeg = EncodeDefault(MakeBandedBitmap(640, 480));
    const COPYDATASTRUCT copy{1, static_cast<std::uint32_t>(jpeg.size()), jpeg.data()};
    SendPayload(viewer.Picture()->Handle(), WM_COPYDATA, 0, copy);
    ASSERT_TRUE(WaitFor([&] { return viewer.Picture()->size() == QSize(640, 480); }, 5s));
    Settle();
    EXPECT_EQ(viewer.Picture()->pos(), QPoint(0, 0));
    EXPECT_GT(viewer.ScrollArea()->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(viewer.ScrollArea()->horizontalScrollBar()->singleStep(), 1);
    EXPECT_EQ(viewer.ScrollArea()->verticalScrollBar()->pageStep(), viewer.ScrollArea()->viewport()->height());
}

TEST(CameraView, LockedLargeIconThatTogglesLiveVideo)
{
    InitVideoGstreamer();
    MainArea area;
    CCameraView camera(area.hub.Handle(), &area.widget);
    camera.Create(QPoint(4, 0));
    EXPECT_EQ(camera.size(), QSize(320, 240));
    camera.ToggleIconView();
    camera.SetLocked(true);
    camera.SetIcon("Icon_CameraN.ico", true);
    camera.SetIcon("Icon_CameraD.ico", false);
    camera.SetViewMode(kViewLargeIcon);
    EXPECT_EQ(camera.geometry(), QRect(4, 0, 32, 32));
    camera.MoveTo(100, 100);  // locked
    EXPECT_EQ(camera.pos(), QPoint(4, 0));

    // A click switches live video off: small icon; again: on, large icon, rate 4.
    auto click = [&] {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), camera.mapToGlobal(QPointF(5, 5)), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&camera, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), camera.mapToGlobal(QPointF(5, 5)),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&camera, &release);
    };
    click();
    EXPECT_EQ(camera.Pipeline().ControlData().m_nFrameRate, 0);
    EXPECT_EQ(camera.Information().GetViewType(), kViewSmallIcon);
    EXPECT_EQ(camera.size(), QSize(16, 16));
    EXPECT_EQ(camera.pos(), QPoint(4, 0));
    click();
    EXPECT_EQ(camera.Pipeline().ControlData().m_nFrameRate, 4);
    EXPECT_EQ(camera.Information().GetViewType(), kViewLargeIcon);

    // Without a device name the window object's name is the camera name.
    EXPECT_EQ(camera.Run(), 1);
    EXPECT_EQ(camera.Pipeline().CameraName(), "CCameraDevice");
}

TEST(FullWindow, BorrowsThePictureAndGivesItBack)
{
    MainArea area;
    CUserWndObject window(Record(1, 1, "u"), area.hub.Handle(), &area.widget);
    CPictureWnd* picture = window.Picture();
    {
        CFullWindow full(window);
        EXPECT_EQ(picture->parentWidget(), &full);
        full.show();
        Settle();
        EXPECT_EQ(picture->geometry(), full.rect());
    }
    EXPECT_EQ(picture->parentWidget(), &window);
    EXPECT_EQ(picture->geometry(), QRect(1, 1, 160, 120));
    EXPECT_TRUE(picture->isVisible());
}

TEST(WndObject, NameKeepsAtMost127Characters)
{
    MainArea area;
    CCameraView camera(area.hub.Handle(), &area.widget);
    const std::string longName(300, 'n');
    camera.SetDeviceName(longName);
    EXPECT_EQ(std::string(camera.Name()), std::string(127, 'n'));
    camera.SetName("short");
    EXPECT_STREQ(camera.Name(), "short");
    // The camera keeps the whole device name.
    EXPECT_EQ(camera.Pipeline().CameraName(), longName);
}
