// A whole settings file of any content, read through every getter and the address book load.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/HalvoApp.h"

namespace {

std::string SettingsPath()
{
    static const std::string path = [] {
        const std::filesystem::path dir = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        return (dir / ("morvika-settings-fuzz-" + std::to_string(::getpid()) + ".conf")).string();
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = SettingsPath();
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    CHalvoApp app(path);
    app.SetWorkAreaProvider([] { return WindowRect{0, 0, 1920, 1080}; });
    (void)app.GetUserName();
    (void)app.GetCameraName();
    (void)app.GetConnectCheck();
    (void)app.GetPassword();
    (void)app.GetSoundState();
    (void)app.GetInitState();
    (void)app.GetMainPosition();
    (void)app.GetChatPosition();
    (void)app.GetCapturePosition();
    (void)app.GetTopmost();
    (void)app.GetCaptureDevice();
    (void)app.GetSoundDevice();
    (void)app.GetNonVoice();
    (void)app.HasNonVoice();
    CVoiceClientConfig config;
    app.GetVoiceConfig(config);
    CAddressDataList book;
    app.LoadAddressBook(book);
    if (book.Count() > 65536) std::abort();
    return 0;
}
