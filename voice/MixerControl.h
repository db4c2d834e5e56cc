#pragma once
// The microphone side of the sound server's mixer: the recording level of the capture
// device's source on the scale -1000 (softest) to 0 (loudest), and the mute of any loopback
// that would play the microphone through the speakers. Failures are logged and thrown as
// OskelExcept.

#include <cstdint>
#include <string>

#include "app/OskelExcept.h"
#include "app/TracedObject.h"
#include "platform/sound/SourceMixer.h"

class CMixerControl : public TracedObject {
public:
    // mixer may be null (no sound server): every mixer is then absent.
    explicit CMixerControl(morvika::sound::ISourceMixer* mixer);
    ~CMixerControl() override;
    CMixerControl(const CMixerControl&) = delete;
    CMixerControl& operator=(const CMixerControl&) = delete;

    // Opens the mixer of the device description (the only one when there is just one).
    void Open(const char* deviceName);
    void Close();
    bool IsOpen() const { return !m_hMixer.empty(); }
    // The index of the mixer for the device description; 0 when none matches.
    int GetMixerNumberDevice(const char* deviceName);

    void MuteMicPlayback();
    long GetRecordingMicVolume();
    void SetRecordingMicVolume(long volume);

    // The open source's server name (empty when closed).
    const std::string& SourceName() const { return m_hMixer; }

private:
    void CheckOpen() const;
    // The source's volume and bounds; throws when the source cannot be read.
    void GetRecordingControl(std::uint32_t* value, std::uint32_t* min, std::uint32_t* max, const char* operation);

    morvika::sound::ISourceMixer* m_pMixer;
    std::string m_hMixer;  // the open source; empty when closed
};
