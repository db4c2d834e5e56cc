#include <gtest/gtest.h>

#include <QSettings>
#include <QString>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AppTestSupport.h"
#include "app/AppPaths.h"
#include "app/HalvoApp.h"
#include "app/SettingsValue.h"

namespace {

using apptest::TempFolderTest;

class SettingsTest : public TempFolderTest {
protected:
    QVariant Raw(const char* key) const
    {
        QSettings settings(QString::fromStdString(settings_), QSettings::NativeFormat);
        return settings.value(QString::fromUtf8(key));
    }
};

TEST_F(SettingsTest, FreshStoreGivesTheDefaults)
{
    CHalvoApp app(settings_);
    app.SetWorkAreaProvider([] { return WindowRect{0, 0, 1920, 1080}; });

    EXPECT_FALSE(AppPaths::LogonUserName().empty());
    EXPECT_EQ(app.GetUserName(), AppPaths::LogonUserName());
    EXPECT_EQ(app.GetConnectCheck(), 1);
    EXPECT_EQ(app.GetSoundState(), 1);
    EXPECT_EQ(app.GetInitState(), 0);
    EXPECT_EQ(app.GetMainPosition(), (WindowRect{0, 0, 320, 320}));
    EXPECT_EQ(app.GetChatPosition(), (WindowRect{960 - 338, 540 - 141, 961, 541}));
    EXPECT_EQ(app.GetCapturePosition(), (WindowRect{622, 399, 961, 541}));
    EXPECT_EQ(app.GetTopmost(), 0);
    EXPECT_EQ(app.GetNonVoice(), 0);
    EXPECT_FALSE(app.HasNonVoice());
    EXPECT_EQ(app.GetCameraName(), "");
    EXPECT_EQ(app.GetPassword(), "");
    EXPECT_EQ(app.GetCaptureDevice(), "");
    EXPECT_EQ(app.GetSoundDevice(), "");
    EXPECT_EQ(app.GetLanguage(), "ja");
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetConnectCheck() 1 \n")) << Log();
}

TEST_F(SettingsTest, CentredRectangleUsesIntegerHalvesOfTheWorkArea)
{
    EXPECT_EQ(CHalvoApp::CentredRect({0, 0, 1365, 767}), (WindowRect{682 - 338, 383 - 141, 683, 384}));
    CHalvoApp app(settings_);  // no screen: the fallback work area
    EXPECT_EQ(app.GetChatPosition(), CHalvoApp::CentredRect(CHalvoApp::kFallbackWorkArea));
}

TEST_F(SettingsTest, ValuesRoundTripWithTheirNamesTypesAndLogLines)
{
    CHalvoApp app(settings_);
    app.SetUserName("山田 太郎");
    app.SetCameraName("USB カメラ");
    app.SetConnectCheck(2);
    app.SetPassword("pa ss,word");
    app.SetSoundState(0);
    app.SetInitState(1);
    app.SetTopmost(1);
    app.SetCaptureDevice("Built-in Audio Analog Stereo");
    app.SetSoundDevice("HDMI");
    app.SetNonVoice(-42);

    EXPECT_EQ(app.GetUserName(), "山田 太郎");
    EXPECT_EQ(app.GetCameraName(), "USB カメラ");
    EXPECT_EQ(app.GetConnectCheck(), 2);
    EXPECT_EQ(app.GetPassword(), "pa ss,word");
    EXPECT_EQ(app.GetSoundState(), 0);
    EXPECT_EQ(app.GetInitState(), 1);
    EXPECT_EQ(app.GetTopmost(), 1);
    EXPECT_EQ(app.GetCaptureDevice(), "Built-in Audio Analog Stereo");
    EXPECT_EQ(app.GetSoundDevice(), "HDMI");
    EXPECT_EQ(app.GetNonVoice(), -42);

    // The stored names and types are what other tools and older files rely on.
    EXPECT_EQ(Raw("MAIN/ユーザ名").toString(), QString::fromUtf8("山田 太郎"));
    EXPECT_EQ(Raw("MAIN/カメラ").toString(), QString::fromUtf8("USB カメラ"));
    EXPECT_EQ(Raw("MAIN/接続の承諾").toInt(), 2);
    EXPECT_EQ(Raw("MAIN/SundStat").toInt(), 0);
    EXPECT_EQ(Raw("Device/NonVoice").toInt(), -42);

    app.SetLanguage("en");
    EXPECT_EQ(app.GetLanguage(), "en");
    EXPECT_EQ(Raw("MAIN/Language").toString(), QStringLiteral("en"));
    // A language no translation exists for starts in the source language, not with no texts.
    app.SetLanguage("fr");
    EXPECT_EQ(app.GetLanguage(), "ja");

    const std::string log = Log();
    EXPECT_NE(log.find("ms LOG   CHalvoApp::SetUserName() 山田 太郎 \n"), std::string::npos) << log;
    EXPECT_NE(log.find("ms LOG   CHalvoApp::SetCameraName() USB カメラ \n"), std::string::npos) << log;
    EXPECT_NE(log.find("ms LOG   CHalvoApp::SetConnectCheck() 2 \n"), std::string::npos) << log;
    EXPECT_NE(log.find("ms LOG   CHalvoApp::GetConnectCheck() 2 \n"), std::string::npos) << log;
}

TEST_F(SettingsTest, RectanglesAreSixteenLittleEndianBytes)
{
    CHalvoApp app(settings_);
    app.SetMainPosition({-1280, 5, 100000, 0x01020304});
    app.SetChatPosition({1, 2, 3, 4});
    app.SetCapturePosition({-5, -6, -7, -8});
    EXPECT_EQ(app.GetMainPosition(), (WindowRect{-1280, 5, 100000, 0x01020304}));
    EXPECT_EQ(app.GetChatPosition(), (WindowRect{1, 2, 3, 4}));
    EXPECT_EQ(app.GetCapturePosition(), (WindowRect{-5, -6, -7, -8}));

    const QVariant raw = Raw("Position/StringChat");
    ASSERT_EQ(raw.metaType().id(), QMetaType::QByteArray);
    EXPECT_EQ(raw.toByteArray(), QByteArray("\x01\0\0\0\x02\0\0\0\x03\0\0\0\x04\0\0\0", 16));
}

TEST_F(SettingsTest, WhereTheDesktopPlacesWindowsOnlyTheirSizesAreStored)
{
    CHalvoApp app(settings_);
    app.SetChatPosition({100, 200, 400, 500});
    app.SetPlacesDecidedByDesktop(true);
    // A Wayland window reports no real place: the stored one stays, the new size is kept.
    app.SetChatPosition({0, 0, 350, 250});
    EXPECT_EQ(app.GetChatPosition(), (WindowRect{100, 200, 450, 450}));
    app.SetMainPosition({0, 0, 640, 480});
    const WindowRect main = app.GetMainPosition();
    EXPECT_EQ(main.right - main.left, 640);
    EXPECT_EQ(main.bottom - main.top, 480);
}

TEST_F(SettingsTest, NonVoicePresenceIsDistinguishedFromAnyStoredValue)
{
    CHalvoApp app(settings_);
    EXPECT_FALSE(app.HasNonVoice());
    for (int value : {7066, 226, 0, -3}) {
        app.SetNonVoice(value);
        EXPECT_TRUE(app.HasNonVoice()) << value;
        EXPECT_EQ(app.GetNonVoice(), value);
    }
    // A value that cannot be read is as good as none: the microphone test runs again.
    app.WriteSetting("Device/NonVoice", QStringLiteral("noise"));
    EXPECT_FALSE(app.HasNonVoice());
    EXPECT_EQ(app.GetNonVoice(), 0);
}

TEST_F(SettingsTest, VoiceConfigDefaultsFlagsRuleAndPartialReads)
{
    CHalvoApp app(settings_);
    CVoiceClientConfig config;
    app.GetVoiceConfig(config);
    EXPECT_EQ(config, CVoiceClientConfig{});
    EXPECT_EQ(config.m_dwSize, 32u);
    EXPECT_EQ(config.m_dwFlags, 12u);
    EXPECT_EQ(config.m_lRecordVolume, 1);
    EXPECT_EQ(config.m_dwThreshold, 7u);
    EXPECT_EQ(config.m_dwNotifyPeriod, 20u);
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetVoiceConfig() \n"));

    // Flags 15 stored by someone else reads back as 7; written through the record it is stored as 7.
    app.WriteSetting("VoiceClientConfig/Flags", SettingsValue::EncodeBinaryInt(15));
    app.GetVoiceConfig(config);
    EXPECT_EQ(config.RawFlags(), 7u);
    config.m_dwFlags = 15;
    config.m_lRecordVolume = -700;
    config.m_dwThreshold = 4;
    app.SetVoiceConfig(config);
    EXPECT_TRUE(Logged("LOG   CHalvoApp::SetVoiceConfig() \n"));
    EXPECT_EQ(Raw("VoiceClientConfig/Flags").toByteArray(), SettingsValue::EncodeBinaryInt(7));
    EXPECT_EQ(Raw("VoiceClientConfig/RecordVolume").toByteArray(), SettingsValue::EncodeBinaryInt(-700));
    EXPECT_FALSE(Raw("VoiceClientConfig/Size").isValid());

    CVoiceClientConfig back;
    app.GetVoiceConfig(back);
    EXPECT_EQ(back.RawFlags(), 7u);
    EXPECT_EQ(back.m_lRecordVolume, -700);
    EXPECT_EQ(back.m_dwThreshold, 4u);

    // Only stored values overwrite: a record with its own values keeps them for absent ones.
    CHalvoApp other((dir_ / "other.conf").string());
    other.WriteSetting("VoiceClientConfig/Threshold", SettingsValue::EncodeBinaryInt(8));
    CVoiceClientConfig mine;
    mine.m_dwNotifyPeriod = 99;
    mine.m_lPlaybackVolume = -5;
    other.GetVoiceConfig(mine);
    EXPECT_EQ(mine.m_dwThreshold, 8u);
    EXPECT_EQ(mine.m_dwNotifyPeriod, 99u);
    EXPECT_EQ(mine.m_lPlaybackVolume, -5);
}

TEST_F(SettingsTest, DamagedValuesFallBackToTheirDefaults)
{
    CHalvoApp app(settings_);
    app.SetWorkAreaProvider([] { return WindowRect{0, 0, 800, 600}; });
    app.WriteSetting("Position/Main", QByteArray(15, '\x01'));
    app.WriteSetting("Position/StringChat", QByteArray(17, '\x01'));
    app.WriteSetting("Position/WindowCapter", QStringLiteral("0123456789abcdef"));  // 16 bytes, but text
    app.WriteSetting("MAIN/SundStat", QStringLiteral("garbage"));
    app.WriteSetting("MAIN/接続の承諾", QStringLiteral("12abc"));
    app.WriteSetting("Position/Topmost", QStringLiteral("99999999999"));
    app.WriteSetting("VoiceClientConfig/Threshold", QByteArray(3, '\x09'));
    app.WriteSetting("VoiceClientConfig/NotifyPeriod", 5);  // an integer, not 4 bytes

    EXPECT_EQ(app.GetMainPosition(), (WindowRect{0, 0, 320, 320}));
    EXPECT_EQ(app.GetChatPosition(), CHalvoApp::CentredRect({0, 0, 800, 600}));
    EXPECT_EQ(app.GetCapturePosition(), CHalvoApp::CentredRect({0, 0, 800, 600}));
    EXPECT_EQ(app.GetSoundState(), 1);
    EXPECT_EQ(app.GetConnectCheck(), 1);
    EXPECT_EQ(app.GetTopmost(), 0);
    CVoiceClientConfig config;
    app.GetVoiceConfig(config);
    EXPECT_EQ(config, CVoiceClientConfig{});
}

TEST_F(SettingsTest, HandEditedFileIsReadAsFarAsItMakesSense)
{
    apptest::WriteFile(settings_, "[MAIN]\nSundStat= 0 \nPassword=a, b\n%U30E6%U30FC%U30B6%U540D=Taro\n"
                                  "[Position]\nMain=@ByteArray(short)\nTopmost=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1)\n"
                                  "[Device\nbroken line without equals\n=value without key\n");
    CHalvoApp app(settings_);
    EXPECT_EQ(app.GetSoundState(), 0);
    EXPECT_EQ(app.GetPassword(), "a, b");
    EXPECT_EQ(app.GetUserName(), "Taro");
    EXPECT_EQ(app.GetMainPosition(), (WindowRect{0, 0, 320, 320}));
    EXPECT_EQ(app.GetTopmost(), 0);
}

TEST_F(SettingsTest, NothingIsCachedBetweenInstancesOrProcesses)
{
    CHalvoApp first(settings_);
    CHalvoApp second(settings_);
    EXPECT_EQ(second.GetSoundState(), 1);
    first.SetUserName("alice");
    first.SetSoundState(0);
    EXPECT_EQ(second.GetUserName(), "alice");
    EXPECT_EQ(second.GetSoundState(), 0);
    second.SetMainPosition({10, 20, 330, 340});
    EXPECT_EQ(first.GetMainPosition(), (WindowRect{10, 20, 330, 340}));

    // Another process writes the file behind this one's back.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CHalvoApp writer(settings_);
        writer.SetUserName("bob, from another process");
        writer.SetConnectCheck(0);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(first.GetUserName(), "bob, from another process");
    EXPECT_EQ(second.GetConnectCheck(), 0);
}

TEST_F(SettingsTest, SettingsAndAssetLocations)
{
    {
        apptest::ScopedEnv config("XDG_CONFIG_HOME", "/cfg/home");
        apptest::ScopedEnv data("XDG_DATA_HOME", "/data/home");
        EXPECT_EQ(CHalvoApp::DefaultSettingsFile(), "/cfg/home/OSKEL/Morvika.conf");
        EXPECT_EQ(AppPaths::DefaultWorkingFolder(), "/data/home/OSKEL/Morvika/");
    }
    EXPECT_EQ(AppPaths::ProfileSettingsFile("/tmp/p1/"), "/tmp/p1/Morvika.conf");

    // <prefix>/bin finds <prefix>/share/morvika; a folder without one finds nothing.
    std::filesystem::create_directories(dir_ / "prefix/bin");
    std::filesystem::create_directories(dir_ / "prefix/share/morvika");
    EXPECT_EQ(AppPaths::AssetsFolderFrom((dir_ / "prefix/bin").string()), (dir_ / "prefix/share/morvika/").string());

    // This test binary runs from the build tree, which carries a copy of the assets.
    apptest::ScopedEnv forced("MORVIKA_ASSETS_DIR", nullptr);
    const std::string assets = AppPaths::AssetsFolder();
    ASSERT_FALSE(assets.empty());
    for (const char* sound : {"pingpong.wav", "typewriter.wav", "jet.wav", "windowshair.wav"}) {
        const std::string wav = apptest::ReadFile(assets + "Sound/" + sound);
        ASSERT_GT(wav.size(), 44u) << sound;
        EXPECT_EQ(wav.substr(0, 4), "RIFF");
        EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    }
    CHalvoApp app(settings_);
    EXPECT_EQ(app.GetAssetsFolder(), assets);
}

unsigned Mode(const std::filesystem::path& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Passwords live in these files: the user's alone, whatever the umask, and the user's own
// folders above them are left as they are.
TEST_F(SettingsTest, TheProgramsFoldersAndFilesAreTheUsersAloneAndNothingAboveThem)
{
    const auto config = dir_ / "config";
    const auto data = dir_ / "data";
    apptest::ScopedEnv configHome("XDG_CONFIG_HOME", config.c_str());
    apptest::ScopedEnv dataHome("XDG_DATA_HOME", data.c_str());
    apptest::ScopedEnv cacheHome("XDG_CACHE_HOME", (dir_ / "cache").c_str());
    std::filesystem::create_directories(data / "OSKEL");
    std::filesystem::permissions(data / "OSKEL", std::filesystem::perms(0755));
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));

    const auto folders = AppPaths::OwnFolders("");
    EXPECT_EQ(folders,
              (std::vector<std::string>{(config / "OSKEL/").string(), (data / "OSKEL/").string(),
                                        (data / "OSKEL/Morvika/").string(), (dir_ / "cache/OSKEL/").string()}));
    for (const std::string& folder : folders) {
        ASSERT_TRUE(AppPaths::MakePrivateFolder(folder)) << folder;
        EXPECT_EQ(Mode(folder), 0700u) << folder;
    }
    EXPECT_EQ(Mode(dir_), 0755u);
    EXPECT_NE(Mode(config) & 0077, 0u);  // made as a parent, with the usual mode
    EXPECT_EQ(AppPaths::OwnFolders("/home/u/p"),
              (std::vector<std::string>{"/home/u/p/", "/home/u/p/cache/", "/home/u/p/cache/OSKEL/"}));

    // A link in the folder's place is not followed.
    std::filesystem::create_directories(dir_ / "elsewhere");
    std::filesystem::permissions(dir_ / "elsewhere", std::filesystem::perms(0755));
    std::filesystem::create_directory_symlink(dir_ / "elsewhere", dir_ / "linked");
    EXPECT_TRUE(AppPaths::MakePrivateFolder((dir_ / "linked").string()));
    EXPECT_EQ(Mode(dir_ / "elsewhere"), 0755u);

    // A new settings file is private from its first byte; an old open one is tightened and
    // keeps its contents; Qt's rewrite of it keeps the mode.
    const mode_t oldMask = ::umask(0);
    CHalvoApp fresh((dir_ / "new/Morvika.conf").string());
    fresh.SetPassword("secret");
    EXPECT_EQ(Mode(dir_ / "new/Morvika.conf"), 0600u);
    EXPECT_EQ(Mode(dir_ / "new"), 0700u);
    ::umask(oldMask);

    CHalvoApp app(settings_);
    app.SetPassword("older");
    std::filesystem::permissions(settings_, std::filesystem::perms(0644));
    AppPaths::MakePrivateFile(settings_);
    EXPECT_EQ(Mode(settings_), 0600u);
    EXPECT_EQ(app.GetPassword(), "older");
    CAddressDataList book;
    CAddressData entry;
    entry.m_strPassword = "booked";
    book.PushBack(entry);
    app.SaveAddressBook(book);
    app.SetPassword("newer");
    EXPECT_EQ(Mode(settings_), 0600u);
    EXPECT_EQ(app.GetPassword(), "newer");
}

}  // namespace
