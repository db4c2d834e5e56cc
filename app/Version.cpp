#include "app/Version.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "app/Log.h"

int OsVersionCode(std::uint32_t major, std::uint32_t minor)
{
    if (major == 4) {
        if (minor == 0) return 2;
        if (minor == 90) return 1;
        return 0;
    }
    if (major == 5) {
        if (minor == 0) return 3;
        if (minor == 1) return 4;
        if (minor == 2) return 5;
        return 0;
    }
    if (major > 5) return 6;
    return 255;
}

std::uint32_t PackFileVersion(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    return (a << 24) + ((b % 256) << 16) + (c << 8) + d;
}

int GetVersion(bool log)
{
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    utsname info{};
    if (::uname(&info) == 0) {
        unsigned parsedMajor = 0;
        unsigned parsedMinor = 0;
        if (std::sscanf(info.release, "%u.%u", &parsedMajor, &parsedMinor) >= 1) {
            major = parsedMajor;
            minor = parsedMinor;
        }
    }
    const int code = OsVersionCode(major, minor);
    if (log) {
        MORVIKA_LOG("LOG   CHalvoApp::GetVersion() OS Version %d %d %d \n", code, static_cast<int>(major),
                    static_cast<int>(minor));
    }
    return code;
}

std::uint32_t GetFileVersion(bool log)
{
#if defined(MORVIKA_VERSION_A)
    const std::uint32_t version =
        PackFileVersion(MORVIKA_VERSION_A, MORVIKA_VERSION_B, MORVIKA_VERSION_C, MORVIKA_VERSION_D);
#else
    const std::uint32_t version = 0;
#endif
    if (log) {
        char path[PATH_MAX] = {};
        const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
        if (length < 0) path[0] = '\0';
        MORVIKA_LOG("LOG   CHalvoApp::GetFileVersion() APP Version %x %s \n", version, path);
    }
    return version;
}
