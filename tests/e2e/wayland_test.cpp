// The program on a Wayland desktop (WaylandTestSession: headless sway, PipeWire and the
// ScreenCast portal): its windows as the compositor shows them, and window sharing through
// the portal to a peer's viewer.
#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "E2eFixture.h"
#include "WaylandTestSession.h"

namespace e2e {
namespace {

constexpr int kWaylandPorts = 28120;

// Peak signal-to-noise ratio of two pictures of one size; 0 when the sizes differ.
double Psnr(const QImage& a, const QImage& b)
{
    if (a.isNull() || a.size() != b.size()) return 0.0;
    const QImage x = a.convertToFormat(QImage::Format_RGB888);
    const QImage y = b.convertToFormat(QImage::Format_RGB888);
    double sum = 0.0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 3; ++i) sum += (p[i] - q[i]) * (p[i] - q[i]);
    }
    const double mse = sum / (3.0 * x.width() * x.height());
    return mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The program's own picture of one of its windows next to what the compositor shows there.
double WindowOnScreen(MorvikaInstance& instance, WaylandTestSession& wayland, const std::string& window,
                      const std::string& title)
{
    const std::string own = instance.ProfileDir() + "/own-" + window + ".png";
    if (SplitWords(instance.Command("screenshot " + window + " " + own)).at(0) != "ok") return 0.0;
    const QRect rect = wayland.WindowRect(title);
    if (rect.isEmpty()) return 0.0;
    return Psnr(QImage(QString::fromStdString(own)), wayland.Screenshot(rect));
}

class WaylandTest : public E2eTest {
protected:
    void TearDown() override
    {
        E2eTest::TearDown();  // the programs end before their desktop
        if (HasFailure()) std::cerr << m_wayland.Diagnostics();
    }
    WaylandTestSession m_wayland;
};

TEST_F(WaylandTest, TheWizardAndThenTheMainWindowAppearOnTheCompositor)
{
    WaylandTestSession& wayland = m_wayland;
    std::string why;
    ASSERT_TRUE(wayland.Start(why)) << why;
    UsePorts(kWaylandPorts, 4);
    MorvikaInstance& yuki = Create("Yuki");
    yuki.ForgetInitState();  // a first start: the wizard comes up
    StartOptions options;
    options.port = kWaylandPorts;
    options.waitReady = false;
    wayland.Prepare(options);
    ASSERT_TRUE(yuki.Start(options));
    ASSERT_TRUE(yuki.WaitForEvent("dialog CMainPropertySeet")) << "no wizard on the compositor";
    double psnr = 0.0;
    EXPECT_TRUE(yuki.WaitUntil([&] {
        return (psnr = WindowOnScreen(yuki, wayland, "CMainPropertySeet", "ソラネムのプロパティ")) >= 30.0;
    })) << "the compositor does not show the wizard as drawn (PSNR "
        << psnr << " dB)";

    ASSERT_EQ(yuki.Command("press CMainPropertySeet 12324"), "ok");
    ASSERT_EQ(yuki.Command("press CMainPropertySeet 12324"), "ok");
    ASSERT_EQ(yuki.Command("press CMainPropertySeet 12325"), "ok");
    ASSERT_TRUE(yuki.WaitForEvent("ready ")) << "the main window never came";
    EXPECT_TRUE(yuki.WaitUntil([&] { return (psnr = WindowOnScreen(yuki, wayland, "main", "ソラネム ")) >= 30.0; }))
        << "the compositor does not show the main window as drawn (PSNR " << psnr << " dB)";
}

TEST_F(WaylandTest, ASharedScreenReachesThePeersViewerAndTheSecondShareAsksNoMore)
{
    WaylandTestSession& wayland = m_wayland;
    std::string why;
    ASSERT_TRUE(wayland.Start(why)) << why;
    UsePorts(kWaylandPorts + 4, 8);

    // The known picture: a pattern filling the shared output.
    int feed[2];
    ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
    ChildProcess pattern;
    ASSERT_TRUE(wayland.Spawn(pattern, {MORVIKA_PATTERN_PATH}, feed[0]));
    close(feed[0]);
    const QRect output(0, 0, WaylandTestSession::kWidth, WaylandTestSession::kHeight);

    MorvikaInstance& alice = Create("Alice");
    alice.SetConnectCheck(0);
    StartOptions onWayland;
    wayland.Prepare(onWayland);
    ASSERT_TRUE(Launch(alice, onWayland));
    MorvikaInstance& bob = Spawn("Bob");
    ASSERT_TRUE(Join(bob, alice));
    ASSERT_TRUE(HasWindows(alice, {"Alice", "Bob"}));
    ASSERT_TRUE(alice.WaitUntil([&] { return wayland.WindowRect("morvika-test-pattern") == output; }))
        << "the test pattern does not fill the shared output";
    const auto state = alice.State();
    const std::string ids = state.at("uid") + " " + state.at("gid");

    const std::size_t asked = alice.LogCount("画面共有ポータルで選ぶ");
    ASSERT_EQ(alice.Command("share on"), "ok");
    ASSERT_TRUE(alice.WaitForEvent("share 1")) << "sharing never started";
    ASSERT_TRUE(bob.WaitForEvent("share-view " + ids + " 1")) << "Bob's viewer never opened";

    // The portal's back end sends a picture when the output changes.
    const auto show = [&](int seed) {
        const std::string line = std::to_string(seed) + "\n";
        return write(feed[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    };
    int seed = 1;
    ASSERT_TRUE(bob.WaitUntil([&] {
        if (!show(++seed)) return false;
        const auto viewer = SplitWords(bob.Command("viewer " + ids));
        return viewer.size() == 4 && viewer[1] == "1" && std::atol(viewer[2].c_str()) >= 1;
    })) << "no picture reached Bob's viewer: "
        << bob.Command("viewer " + ids);

    // Bob's viewer against the compositor's own picture of the output, at the viewer's size.
    ASSERT_TRUE(show(100));
    const std::string seen = bob.ProfileDir() + "/viewer.png";
    double psnr = 0.0;
    EXPECT_TRUE(bob.WaitUntil([&] {
        if (SplitWords(bob.Command("save-viewer " + ids + " " + seen)).at(0) != "ok") return false;
        const QImage viewer(QString::fromStdString(seen));
        const QImage screen =
            wayland.Screenshot(output).scaled(viewer.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        return viewer.width() == 800 && (psnr = Psnr(viewer, screen)) >= 25.0;
    })) << "Bob's viewer does not show the shared output (PSNR "
        << psnr << " dB)";
    RecordProperty("psnr_db", std::to_string(psnr));

    // A change reaches Bob; meanwhile the processor time of sharing a changing picture.
    const double before = alice.CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int seed = 3; seed < 9; ++seed) {
        ASSERT_TRUE(show(seed));
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = (alice.CpuSeconds() - before) / seconds;
    RecordProperty("share_cpu_per_second", std::to_string(cpu));
    std::cout << "Wayland window sharing: " << cpu * 100.0 << " % of one core, PSNR " << psnr << " dB\n";
    EXPECT_TRUE(bob.WaitUntil([&] {
        if (SplitWords(bob.Command("save-viewer " + ids + " " + seen)).at(0) != "ok") return false;
        const QImage viewer(QString::fromStdString(seen));
        const QImage screen =
            wayland.Screenshot(output).scaled(viewer.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        return Psnr(viewer, screen) >= 25.0;
    })) << "the changed pattern never reached Bob";

    // Stopping and sharing again takes the same source without asking the user again.
    ASSERT_EQ(alice.Command("share off"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("share-view " + ids + " 0"));
    ASSERT_EQ(alice.Command("share on"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("share-view " + ids + " 1", kEventTimeout)) << "the second share never started";
    ASSERT_TRUE(show(9));
    EXPECT_EQ(alice.LogCount("画面共有ポータルで選ぶ"), asked + 1);
    EXPECT_EQ(alice.LogCount("前回選んだウインドウを共有する"), 1u);
    EXPECT_EQ(alice.LogCount("ERROR CHalvoDlg::AskPortal"), 0u) << alice.Log();
    close(feed[1]);
}

}  // namespace
}  // namespace e2e
