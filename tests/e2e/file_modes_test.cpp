// The program's settings (passwords, address book, trusted hosts) and its log are the user's
// alone: a real instance on a fresh profile and on one left open to others.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "E2eFixture.h"
#include "app/HalvoApp.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Outside the shared blocks of E2eFixture.h.
constexpr int kFileModePorts = 27860;

unsigned Mode(const fs::path& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class FileModesTest : public E2eTest {};

TEST_F(FileModesTest, AFreshProfileIsPrivateFromTheFirstStart)
{
    UsePorts(kFileModePorts, 5);
    MorvikaInstance& alice = Create("alice");
    const fs::path profile = alice.ProfileDir();
    fs::remove_all(profile);  // nothing written beforehand: the program makes all of it

    StartOptions options;
    options.waitReady = false;  // a profile never set up shows the wizard
    options.port = kFileModePorts;
    ASSERT_TRUE(alice.Start(options));
    ASSERT_TRUE(alice.WaitForEvent("dialog CMainPropertySeet").has_value()) << alice.Diagnostics();

    EXPECT_EQ(Mode(profile), 0700u);
    for (const char* file : {"Morvika.conf", "HalvoLogFile.txt", "identity-key.pem", "identity-cert.pem"}) {
        EXPECT_EQ(Mode(profile / file), 0600u) << file;
    }
    EXPECT_EQ(Mode(profile.parent_path()) & 0700, 0700u);  // above the profile: untouched
}

TEST_F(FileModesTest, AProfileOpenToOthersIsTightenedAtStartAndStaysSo)
{
    UsePorts(kFileModePorts + 5, 5);
    MorvikaInstance& alice = Create("alice");
    alice.SetPassword("secret");
    const fs::path profile = alice.ProfileDir();
    const fs::path cache = profile / "cache";
    fs::create_directories(cache / "OSKEL/bob");
    std::ofstream(cache / "OSKEL/bob/notes.txt") << "bob's file";
    std::ofstream(profile / "HalvoLogFile.txt") << "an older run\n";
    std::ofstream(profile / "mine.txt") << "the user's own";
    for (const fs::path& folder : {profile.parent_path(), profile, cache, cache / "OSKEL"}) {
        fs::permissions(folder, fs::perms(0755));
    }
    for (const fs::path& file : {profile / "Morvika.conf", profile / "HalvoLogFile.txt", profile / "mine.txt"}) {
        fs::permissions(file, fs::perms(0644));
    }

    ASSERT_TRUE(Launch(alice));
    EXPECT_EQ(Mode(profile), 0700u);
    EXPECT_EQ(Mode(cache), 0700u);
    EXPECT_EQ(Mode(cache / "OSKEL"), 0700u);
    EXPECT_EQ(Mode(profile / "Morvika.conf"), 0600u);
    EXPECT_EQ(Mode(profile / "HalvoLogFile.txt"), 0600u);
    // Not the program's: the profile's parent and the user's own file stay as they were.
    EXPECT_EQ(Mode(profile.parent_path()), 0755u);
    EXPECT_EQ(Mode(profile / "mine.txt"), 0644u);

    // The program rewrites the settings at exit (window positions): still private, password kept.
    const auto exitStatus = alice.Quit();
    ASSERT_TRUE(exitStatus.has_value()) << alice.Diagnostics();
    EXPECT_EQ(*exitStatus, 0);
    EXPECT_EQ(Mode(profile / "Morvika.conf"), 0600u);
    EXPECT_EQ(CHalvoApp(alice.SettingsFile()).GetPassword(), "secret");
}

}  // namespace
}  // namespace e2e
