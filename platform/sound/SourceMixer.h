#pragma once
// The recording side of the sound server's mixer: the capture sources with their volume, and
// the loopbacks that route a source into a sink (where a microphone would be heard through
// the speakers). PulseSourceMixer is the real server's; tests give their own.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace morvika::sound {

class PulseSoundBackend;

struct SourceInfo {
    std::string name;         // the server's device name
    std::string description;  // what the device lists show
};

class ISourceMixer {
public:
    virtual ~ISourceMixer() = default;

    // Every capture source, the server's default source first, then in the server's order.
    virtual int ListSources(std::vector<SourceInfo>* out) = 0;
    // The source's volume (the loudest channel) and the bounds it is set within.
    virtual int GetSourceVolume(const std::string& source, std::uint32_t* value, std::uint32_t* min,
                                std::uint32_t* max) = 0;
    // Sets every channel of the source to the value.
    virtual int SetSourceVolume(const std::string& source, std::uint32_t value) = 0;
    // Mutes (or unmutes) every loopback of the source into a sink (a module-loopback that
    // records the source: its playback stream); *count receives how many there were. None is a
    // success. No other stream is ever touched. Unmuting gives a loopback back the state it had
    // before it was first muted.
    virtual int MuteLoopbacks(const std::string& source, bool mute, int* count) = 0;
};

class PulseSourceMixer : public ISourceMixer {
public:
    // The backend must outlive the mixer; it is connected on first use.
    explicit PulseSourceMixer(PulseSoundBackend& backend) : m_backend(backend) {}
    // Gives every loopback it muted its previous state back.
    ~PulseSourceMixer() override;
    PulseSourceMixer(const PulseSourceMixer&) = delete;
    PulseSourceMixer& operator=(const PulseSourceMixer&) = delete;

    int ListSources(std::vector<SourceInfo>* out) override;
    int GetSourceVolume(const std::string& source, std::uint32_t* value, std::uint32_t* min,
                        std::uint32_t* max) override;
    int SetSourceVolume(const std::string& source, std::uint32_t value) override;
    int MuteLoopbacks(const std::string& source, bool mute, int* count) override;
    // Every loopback muted here gets its state from before back (exit does this too).
    int RestoreLoopbacks();

private:
    PulseSoundBackend& m_backend;
    std::mutex m_savedLock;
    // (sink input, its module) -> muted before the first change
    std::map<std::pair<std::uint32_t, std::uint32_t>, bool> m_saved;
};

}  // namespace morvika::sound
