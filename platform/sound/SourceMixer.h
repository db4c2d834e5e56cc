#pragma once
// The recording side of the sound server's mixer: the capture sources with their volume, and
// the loopbacks that route a source into a sink (where a microphone would be heard through
// the speakers). PulseSourceMixer is the real server's; tests give their own.

#include <cstdint>
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
    // Mutes (or unmutes) every loopback of the source into a sink; *count receives how many
    // there were. None is a success.
    virtual int MuteLoopbacks(const std::string& source, bool mute, int* count) = 0;
};

class PulseSourceMixer : public ISourceMixer {
public:
    // The backend must outlive the mixer; it is connected on first use.
    explicit PulseSourceMixer(PulseSoundBackend& backend) : m_backend(backend) {}

    int ListSources(std::vector<SourceInfo>* out) override;
    int GetSourceVolume(const std::string& source, std::uint32_t* value, std::uint32_t* min,
                        std::uint32_t* max) override;
    int SetSourceVolume(const std::string& source, std::uint32_t value) override;
    int MuteLoopbacks(const std::string& source, bool mute, int* count) override;

private:
    PulseSoundBackend& m_backend;
};

}  // namespace morvika::sound
