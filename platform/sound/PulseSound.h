#pragma once
// The PulseAudio backend: one threaded main loop and context per backend, one stream per
// capture buffer, and one per playback device and sample layout into which every playing
// buffer is mixed here. Works on PipeWire's PulseAudio service as well.
//
// Threads: the main loop's own thread runs every stream callback (moving a buffer's cursor and
// signalling its notification events); the callers' threads run everything public, taking the
// main loop lock for server calls. The backend must outlive its devices and buffers.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/sound/SoundService.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace morvika::sound {

class PlaybackMix;

class PulseSoundBackend : public ISoundBackend {
public:
    // The application name is what the server's mixer shows for the context and its streams.
    explicit PulseSoundBackend(std::string applicationName);
    ~PulseSoundBackend() override;
    PulseSoundBackend(const PulseSoundBackend&) = delete;
    PulseSoundBackend& operator=(const PulseSoundBackend&) = delete;

    // Connects to the server (PULSE_SERVER or the session's); never spawns one. 0 or an error.
    int Connect();
    bool IsConnected();

    int EnumerateDevices(SoundDirection direction, const std::function<bool(const SoundDeviceInfo&)>& visit) override;
    int OpenDevice(SoundDirection direction, const SoundDeviceId* id, std::unique_ptr<ISoundDevice>* out) override;

    // The identifier of a server device name: stable across runs, derived from the name.
    static SoundDeviceId IdForName(const std::string& name);

    pa_threaded_mainloop* MainLoop() const { return m_mainloop; }
    pa_context* Context() const { return m_context; }
    const std::string& ApplicationName() const { return m_applicationName; }
    // Main loop lock held: the mix a playback buffer of the device plays through, with a
    // connected stream; null when none could be made.
    std::shared_ptr<PlaybackMix> MixFor(const std::string& device, std::uint32_t rate, std::uint16_t channels);

private:
    static void OnContextState(pa_context* context, void* self);

    const std::string m_applicationName;
    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    std::mutex m_namesMutex;
    std::map<SoundDeviceId, std::string> m_names;               // identifiers seen in enumeration
    std::map<std::string, std::weak_ptr<PlaybackMix>> m_mixes;  // main loop lock
};

}  // namespace morvika::sound
