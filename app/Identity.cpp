#include "app/Identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/Log.h"

namespace InstallIdentity {

namespace {

std::string Join(const std::string& folder, const char* name)
{
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool ReadAll(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return static_cast<bool>(in) || in.eof();
}

// Written under a temporary name with mode 0600 from the start, then renamed: nobody else
// can read it at any moment, and a crash never leaves half a key.
bool WritePrivate(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// A key that others can read is no longer private to this user; tighten it.
void KeepPrivate(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
        MORVIKA_LOG("LOG   InstallIdentity::LoadOrCreate() %s was readable by others; now 0600\n", path.c_str());
        ::chmod(path.c_str(), 0600);
    }
}

}  // namespace

bool LoadOrCreate(const std::string& folder, peer::Identity& out, std::string& error)
{
    const std::string keyPath = Join(folder, kKeyFile);
    const std::string certPath = Join(folder, kCertificateFile);
    peer::Identity loaded;
    const bool haveKey = ReadAll(keyPath, loaded.privateKeyPem);
    const bool haveCert = ReadAll(certPath, loaded.certificatePem);
    if (haveKey || haveCert) {
        KeepPrivate(keyPath);
        KeepPrivate(certPath);
        std::string why;
        if (haveKey && haveCert && peer::IdentityUsable(loaded, why)) {
            out = std::move(loaded);
            return true;
        }
        MORVIKA_LOG("ERROR InstallIdentity::LoadOrCreate() the identity in %s cannot be used (%s); a new one is made\n",
                    folder.c_str(), why.empty() ? "half of it is missing" : why.c_str());
        ::rename(keyPath.c_str(), (keyPath + ".broken").c_str());
        ::rename(certPath.c_str(), (certPath + ".broken").c_str());
    }
    peer::Identity created;
    if (!peer::CreateIdentity(created, error)) return false;
    // The certificate goes last: a key without it is treated as broken and made again.
    if (!WritePrivate(keyPath, created.privateKeyPem, error) ||
        !WritePrivate(certPath, created.certificatePem, error)) {
        return false;
    }
    MORVIKA_LOG("LOG   InstallIdentity::LoadOrCreate() new identity %s\n",
                peer::CertificateFingerprint(created.certificatePem).c_str());
    out = std::move(created);
    return true;
}

}  // namespace InstallIdentity
