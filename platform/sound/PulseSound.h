#pragma once
// The PulseAudio backend: one threaded main loop and context per backend, one stream per
// buffer, so the server mixes the peers. Works on PipeWire's PulseAudio service as well.
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

private:
    static void OnContextState(pa_context* context, void* self);

    const std::string m_applicationName;
    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    std::mutex m_namesMutex;
    std::map<SoundDeviceId, std::string> m_names;  // identifiers seen in enumeration
};

}  // namespace morvika::sound
