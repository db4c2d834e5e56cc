#include "share/SharesStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

namespace morvika::shares {
namespace {

constexpr const char* kRootFolder = "OSKEL";

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    bool Ok() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Creates the folder when missing (private to the user) and opens it; a symbolic link in
// its place is refused.
int OpenFolderAt(int parent, const std::string& name)
{
    if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) ::fchmod(fd, 0700);  // one left by an older version may be open to others
    return fd;
}

// The temporary folder itself is the user's own (~/.cache or the profile's): created with
// its parents when missing.
int OpenTempRoot(const std::string& folder)
{
    if (folder.empty()) return -1;
    std::string path;
    for (std::size_t at = 0; at <= folder.size(); ++at) {
        if (at == folder.size() || (folder[at] == '/' && at > 0)) {
            path = folder.substr(0, at);
            if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return -1;
        }
    }
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string TemporaryName(const std::string& file)
{
    static thread_local std::mt19937 rng(std::random_device{}());
    return "." + file + ".part-" + std::to_string(rng() % 1000000000u);
}

// Removes the oldest regular files of the folder but `keep` until the rest fit the quota.
void EnforceQuota(int folder, const std::string& keep, std::uint64_t quota)
{
    const int listFd = ::dup(folder);
    if (listFd < 0) return;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return;
    }
    struct Copy {
        std::string name;
        std::uint64_t size;
        struct timespec modified;
    };
    std::vector<Copy> copies;
    std::uint64_t total = 0;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info {};
        if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        total += static_cast<std::uint64_t>(info.st_size);
        if (entry->d_name != keep)
            copies.push_back({entry->d_name, static_cast<std::uint64_t>(info.st_size), info.st_mtim});
    }
    ::closedir(dir);
    std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) {
        return a.modified.tv_sec != b.modified.tv_sec ? a.modified.tv_sec < b.modified.tv_sec
                                                      : a.modified.tv_nsec < b.modified.tv_nsec;
    });
    for (const Copy& copy : copies) {
        if (total <= quota) break;
        if (::unlinkat(folder, copy.name.c_str(), 0) == 0) total -= copy.size;
    }
}

}  // namespace

std::string PlainName(std::string_view name)
{
    std::string plain;
    plain.reserve(name.size());
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        plain += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    if (plain.size() > kMaxPlainName) {
        std::size_t cut = kMaxPlainName;
        // Back off over continuation bytes so that no character is split.
        while (cut > 0 && (static_cast<unsigned char>(plain[cut]) & 0xC0) == 0x80) --cut;
        plain.resize(cut);
    }
    if (plain.find_first_not_of('.') == std::string::npos) plain = "_";
    return plain;
}

std::string OwnerFolder(const std::string& tempFolder, std::string_view owner)
{
    std::string folder = tempFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + kRootFolder + "/" + PlainName(owner) + "/";
}

std::optional<std::string> StoreCopy(const std::string& tempFolder, std::string_view owner, std::string_view file,
                                     const std::uint8_t* bytes, std::size_t size)
{
    const Fd temp(OpenTempRoot(tempFolder));
    if (!temp.Ok()) return std::nullopt;
    const Fd root(OpenFolderAt(temp.Get(), kRootFolder));
    if (!root.Ok()) return std::nullopt;
    const Fd folder(OpenFolderAt(root.Get(), PlainName(owner)));
    if (!folder.Ok()) return std::nullopt;

    const std::string name = PlainName(file);
    std::string partName;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        partName = TemporaryName(name);
        fd = ::openat(folder.Get(), partName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) return std::nullopt;
    }
    if (fd < 0) return std::nullopt;
    bool ok = WriteAll(fd, bytes, size);
    ok = ::close(fd) == 0 && ok;
    // rename replaces an earlier copy, or a link planted in its place, never what a link names.
    if (!ok || ::renameat(folder.Get(), partName.c_str(), folder.Get(), name.c_str()) != 0) {
        ::unlinkat(folder.Get(), partName.c_str(), 0);
        return std::nullopt;
    }
    EnforceQuota(folder.Get(), name, kOwnerQuota);
    return OwnerFolder(tempFolder, owner);
}

}  // namespace morvika::shares
