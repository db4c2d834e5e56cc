#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "AppTestSupport.h"
#include "app/HalvoApp.h"
#include "app/MailCommand.h"
#include "app/NotificationSound.h"

namespace {

using apptest::ScopedEnv;
using apptest::TempFolderTest;

class RecordingPlayer final : public CNotificationSoundPlayer {
public:
    void Play(const std::string& path) override
    {
        std::lock_guard lock(mutex_);
        played_.push_back(path);
    }
    std::vector<std::string> Played()
    {
        std::lock_guard lock(mutex_);
        return played_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> played_;
};

class NotificationSoundTest : public TempFolderTest {};

TEST_F(NotificationSoundTest, EachEventPlaysItsFileOnlyWhileSoundsAreOn)
{
    CHalvoApp app(settings_);
    auto player = std::make_shared<RecordingPlayer>();
    app.SetSoundPlayer(player);
    app.SetAssetsFolder("/opt/morvika/share/morvika");

    app.PlayConnectSound();
    app.PlayChatSound();
    app.PlaySharesSound();
    app.PlayWindowShareSound();
    EXPECT_EQ(player->Played(), (std::vector<std::string>{
                                    "/opt/morvika/share/morvika/Sound/pingpong.wav",
                                    "/opt/morvika/share/morvika/Sound/typewriter.wav",
                                    "/opt/morvika/share/morvika/Sound/jet.wav",
                                    "/opt/morvika/share/morvika/Sound/windowshair.wav",
                                }));

    app.SetSoundState(0);
    app.PlayConnectSound();
    app.PlayChatSound();
    app.PlaySharesSound();
    app.PlayWindowShareSound();
    EXPECT_EQ(player->Played().size(), 4u);

    // Any non-zero value means on, and the setting is read at each sound.
    CHalvoApp(settings_).SetSoundState(7);
    app.PlayChatSound();
    EXPECT_EQ(player->Played().size(), 5u);
}

TEST_F(NotificationSoundTest, MissingServerAndMissingFileNeverHoldTheCaller)
{
    ScopedEnv server("PULSE_SERVER", ("unix:" + (dir_ / "no-such-socket").string()).c_str());
    ScopedEnv alsa("ALSA_CONFIG_PATH", (dir_ / "no-alsa.conf").c_str());
    CCanberraSoundPlayer player;
    const auto start = std::chrono::steady_clock::now();
    player.Play((dir_ / "missing.wav").string());
    player.Play((dir_ / "also-missing.wav").string());
    // Generous: the point is that the caller does not wait for the sound server.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_TRUE(player.WaitIdle(std::chrono::seconds(60)));
    EXPECT_EQ(player.Started(), 0);
    EXPECT_EQ(player.Failed(), 2);
}

TEST_F(NotificationSoundTest, RealSoundsThroughTheAppNeverFailLoudly)
{
    // Whatever the machine offers (a sound server or none), playing returns and the player
    // shuts down cleanly with requests still queued.
    CHalvoApp app(settings_);
    auto player = std::make_shared<CCanberraSoundPlayer>();
    app.SetSoundPlayer(player);
    app.PlayConnectSound();
    app.PlayChatSound();
    ASSERT_TRUE(player->WaitIdle(std::chrono::seconds(60)));
    EXPECT_EQ(player->Started() + player->Failed(), 2);
    std::string info;
    if (MailCommand::RunWithTimeout({"pactl", "info"}, std::chrono::seconds(10), info)) {
        EXPECT_EQ(player->Started(), 2) << "a sound server runs, yet the sounds did not start";
    }
    for (int i = 0; i < 20; ++i) app.PlaySharesSound();
    app.SetSoundPlayer(nullptr);
    player.reset();  // joins the worker with requests possibly pending
}

}  // namespace
