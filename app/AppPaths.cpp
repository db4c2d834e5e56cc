#include "app/AppPaths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace AppPaths {
namespace {

// XDG base directory: the variable when it holds an absolute path, else $HOME + fallback.
std::string XdgDir(const char* variable, const char* homeRelative)
{
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    std::string base = home != nullptr ? home : "";
    if (base.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
            base = pw->pw_dir;
        }
    }
    return base + "/" + homeRelative;
}

std::string WithSlash(std::string dir)
{
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

// Ancestors searched above the executable's folder: <prefix>/bin and build/tests/<folder>.
constexpr int kAncestorLevels = 4;

}  // namespace

std::string DefaultSettingsFile()
{
    return XdgDir("XDG_CONFIG_HOME", ".config") + "/OSKEL/Morvika.conf";
}

std::string ProfileSettingsFile(const std::string& profileDir)
{
    return WithSlash(profileDir) + "Morvika.conf";
}

std::string DefaultTempFolder()
{
    return WithSlash(XdgDir("XDG_CACHE_HOME", ".cache"));
}

std::string DefaultWorkingFolder()
{
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/OSKEL/Morvika/";
}

std::string AssetsFolderFrom(const std::string& executableDir)
{
    std::error_code ec;
    fs::path dir = executableDir;
    for (int level = 0; level <= kAncestorLevels && !dir.empty(); ++level) {
        const fs::path candidate = dir / "share" / "morvika";
        if (fs::is_directory(candidate, ec)) {
            return WithSlash(candidate.string());
        }
        if (dir == dir.root_path()) {
            break;
        }
        dir = dir.parent_path();
    }
    return {};
}

std::string AssetsFolder()
{
    if (const char* forced = std::getenv("MORVIKA_ASSETS_DIR"); forced != nullptr && forced[0] != '\0') {
        return WithSlash(forced);
    }
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return {};
    }
    return AssetsFolderFrom(exe.parent_path().string());
}

std::vector<std::string> OwnFolders(const std::string& profileDir)
{
    if (!profileDir.empty()) {
        const std::string profile = WithSlash(profileDir);
        return {profile, profile + "cache/", profile + "cache/OSKEL/"};
    }
    const std::string data = XdgDir("XDG_DATA_HOME", ".local/share") + "/OSKEL/";
    return {XdgDir("XDG_CONFIG_HOME", ".config") + "/OSKEL/", data, data + "Morvika/", DefaultTempFolder() + "OSKEL/"};
}

bool MakePrivateFolder(const std::string& folder)
{
    if (folder.empty()) return false;
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (::mkdir(path.c_str(), 0700) != 0) {
        if (errno == ENOENT) {
            std::error_code ec;
            fs::create_directories(fs::path(path).parent_path(), ec);
            if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return true;
    if (!S_ISDIR(st.st_mode)) return false;
    if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::chmod(path.c_str(), st.st_mode & 07700);
    return true;
}

void MakePrivateFile(const std::string& file)
{
    const fs::path parent = fs::path(file).parent_path();
    std::error_code ec;
    if (!parent.empty() && !fs::exists(parent, ec)) MakePrivateFolder(parent.string());
    const int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 07700);
    ::close(fd);
}

std::string LogonUserName()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_name != nullptr) {
        return result->pw_name;
    }
    for (const char* variable : {"USER", "LOGNAME"}) {
        if (const char* value = std::getenv(variable); value != nullptr && value[0] != '\0') {
            return value;
        }
    }
    return {};
}

}  // namespace AppPaths
