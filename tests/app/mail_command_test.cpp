#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>

#include "AppTestSupport.h"
#include "app/HalvoApp.h"
#include "app/MailCommand.h"

namespace {

using apptest::ScopedEnv;
using apptest::TempFolderTest;
using apptest::WriteFile;
using namespace MailCommand;

TEST(DesktopEntryTest, ExecOfTheMainGroupWithEscapesResolved)
{
    EXPECT_EQ(ParseDesktopEntryExec("[Desktop Entry]\nName=Mail\nExec=mailer %u\n"), "mailer %u");
    EXPECT_EQ(ParseDesktopEntryExec("# comment\n[Desktop Action compose]\nExec=wrong %u\n"
                                    "[Desktop Entry]\r\n  Exec = \"/opt/My\\sMail/mail\" --to %U\r\n"),
              "\"/opt/My Mail/mail\" --to %U");
    EXPECT_EQ(ParseDesktopEntryExec("[Desktop Entry]\nExec[de]=x\nTryExec=y\n"), std::nullopt);
    EXPECT_EQ(ParseDesktopEntryExec("Exec=outside any group\n"), std::nullopt);
    EXPECT_EQ(ParseDesktopEntryExec(""), std::nullopt);
    EXPECT_EQ(ParseDesktopEntryExec("[Desktop Entry]\nExec=a\\\\b \\"), "a\\b \\");
}

TEST(DesktopEntryTest, UrlFieldCodesBecomePercentOne)
{
    EXPECT_EQ(ExecToMailCommand("thunderbird -compose %u"), "thunderbird -compose %1");
    EXPECT_EQ(ExecToMailCommand("\"/opt/mail app\" %U"), "\"/opt/mail app\" %1");
    EXPECT_EQ(ExecToMailCommand("mailer --icon %i --name %c %k 100%% %u"), "mailer --icon  --name   100% %1");
    EXPECT_EQ(ExecToMailCommand("mailer %f"), "mailer");
    EXPECT_EQ(ExecToMailCommand("trailing %"), "trailing %");
}

TEST(RunWithTimeoutTest, CollectsOutputAndKillsAChildThatHangs)
{
    std::string output;
    EXPECT_TRUE(RunWithTimeout({"sh", "-c", "echo hello; echo oops >&2"}, std::chrono::seconds(20), output));
    EXPECT_EQ(output, "hello\n");
    EXPECT_FALSE(RunWithTimeout({"sh", "-c", "exit 3"}, std::chrono::seconds(20), output));
    EXPECT_FALSE(RunWithTimeout({"no-such-program-morvika"}, std::chrono::seconds(20), output));

    // A grandchild holding the output open must not keep us waiting either.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunWithTimeout({"sh", "-c", "sleep 30 & sleep 30"}, std::chrono::milliseconds(300), output));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

// A private desktop: the XDG folders point into the test's own folder only.
class MailCommandTest : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        const auto set = [this](const char* name, const std::filesystem::path& value) {
            env_.push_back(std::make_unique<ScopedEnv>(name, value.c_str()));
        };
        set("XDG_CONFIG_HOME", dir_ / "config");
        set("XDG_DATA_HOME", dir_ / "data");
        set("XDG_CONFIG_DIRS", dir_ / "system-config");
        set("XDG_DATA_DIRS", dir_ / "system-data");
        for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                                 "GNOME_DESKTOP_SESSION_ID", "XDG_SESSION_DESKTOP"}) {
            env_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
        }
        std::filesystem::create_directories(dir_ / "config");
        std::filesystem::create_directories(dir_ / "system-data");
    }
    void TearDown() override
    {
        env_.clear();
        TempFolderTest::TearDown();
    }

    // An executable mail client (xdg-mime only names handlers whose program exists).
    std::string FakeMailer()
    {
        const auto path = dir_ / "bin" / "fakemail";
        WriteFile(path, "#!/bin/sh\nexit 0\n");
        ::chmod(path.c_str(), 0755);
        return path.string();
    }

    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(MailCommandTest, RegisteredHandlerGivesItsCommandLine)
{
    const std::string mailer = FakeMailer();
    WriteFile(dir_ / "config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=vendor-fakemail.desktop;\n");
    WriteFile(dir_ / "data/applications/vendor/fakemail.desktop",
              "[Desktop Entry]\nType=Application\nName=Fake Mail\nExec=" + mailer +
                  " -compose %u\nMimeType=x-scheme-handler/mailto;\n");
    EXPECT_EQ(FindDesktopFile("vendor-fakemail.desktop"),
              (dir_ / "data/applications/vendor/fakemail.desktop").string());
    CHalvoApp app(settings_);
    EXPECT_EQ(app.GetMailCommand(), mailer + " -compose %1");
}

TEST_F(MailCommandTest, NoHandlerGivesAnEmptyCommand)
{
    CHalvoApp app(settings_);
    EXPECT_EQ(app.GetMailCommand(), "");

    // A handler named in mimeapps.list whose desktop entry is gone counts as none.
    WriteFile(dir_ / "config/mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=gone.desktop\n");
    EXPECT_EQ(app.GetMailCommand(), "");
    EXPECT_EQ(FindDesktopFile("../../etc/passwd"), "");
    EXPECT_EQ(FindDesktopFile(""), "");
}

}  // namespace
