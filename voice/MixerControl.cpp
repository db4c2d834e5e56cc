#include "voice/MixerControl.h"

#include <algorithm>
#include <vector>

#include "app/Log.h"

using OskelClassLib::OskelExcept;

CMixerControl::CMixerControl(morvika::sound::ISourceMixer* mixer)
    : TracedObject("CMixerControl", TracedObject::kVersion, TraceSwitch()),
      m_pMixer(mixer)
{
}

CMixerControl::~CMixerControl()
{
    Close();
}

int CMixerControl::GetMixerNumberDevice(const char* deviceName)
{
    const std::string name = deviceName != nullptr ? deviceName : "";
    std::vector<morvika::sound::SourceInfo> sources;
    const int rc = m_pMixer != nullptr ? m_pMixer->ListSources(&sources) : 0;
    if (rc != 0) {
        MORVIKA_LOG("ERROR CMixerControl::GetMixerNumberDevice() ミキサの情報を取得出来ない %s \n", name.c_str());
        throw OskelExcept("CMixerControl::GetMixerNumberDevice() ミキサの情報を取得出来ない ",
                          static_cast<std::uint32_t>(rc));
    }
    if (sources.empty()) {
        MORVIKA_LOG("ERROR CMixerControl::GetMixerNumberDevice() デバイスが存在しない %s \n", name.c_str());
        throw OskelExcept("CMixerControl::GetMixerNumberDevice() デバイスが存在しない ");
    }
    if (sources.size() == 1) return 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (sources[i].description == name) return static_cast<int>(i);
    }
    return 0;
}

void CMixerControl::Open(const char* deviceName)
{
    Close();
    const int index = GetMixerNumberDevice(deviceName);
    std::vector<morvika::sound::SourceInfo> sources;
    std::uint32_t value = 0, min = 0, max = 0;
    // Opening is reaching the source: it may have gone since the list was read.
    int rc = m_pMixer->ListSources(&sources);
    if (rc == 0 && static_cast<std::size_t>(index) < sources.size()) {
        rc = m_pMixer->GetSourceVolume(sources[static_cast<std::size_t>(index)].name, &value, &min, &max);
    } else if (rc == 0) {
        rc = 1;
    }
    if (rc != 0) {
        MORVIKA_LOG("ERROR CMixerControl::Open() オープン出来ない %s \n", deviceName != nullptr ? deviceName : "");
        throw OskelExcept("CMixerControl::Open() オープン出来ない ", static_cast<std::uint32_t>(rc));
    }
    m_hMixer = sources[static_cast<std::size_t>(index)].name;
}

void CMixerControl::Close()
{
    m_hMixer.clear();
}

void CMixerControl::CheckOpen() const
{
    if (!IsOpen() || m_pMixer == nullptr) throw OskelExcept("CMixerControl::IsOpen() オープンしていない ");
}

void CMixerControl::MuteMicPlayback()
{
    CheckOpen();
    int count = 0;
    // Without a loopback the microphone is not in the speaker mix: nothing to mute.
    const int rc = m_pMixer->MuteLoopbacks(m_hMixer, true, &count);
    if (rc != 0) {
        MORVIKA_LOG("ERROR CMixerControl::GetMixerLineControl() ラインコントロールが見つからない %d %x \n", count,
                    static_cast<unsigned>(rc));
    }
}

void CMixerControl::GetRecordingControl(std::uint32_t* value, std::uint32_t* min, std::uint32_t* max,
                                        const char* operation)
{
    const int rc = m_pMixer->GetSourceVolume(m_hMixer, value, min, max);
    if (rc != 0) {
        MORVIKA_LOG("ERROR CMixerControl::GetRecordingControl() 録音コントロールが見つからない %x \n",
                    static_cast<unsigned>(rc));
        throw OskelExcept("CMixerControl::GetRecordingControl() 録音コントロールが見つからない ",
                          static_cast<std::uint32_t>(rc));
    }
    // A range narrower than the scale has no usable step (and would divide by zero).
    if (*max <= *min || (*max - *min) / 1000 == 0) {
        MORVIKA_LOG("ERROR CMixerControl::%s() ラインコントロールが見つからない %x \n", operation, *max - *min);
        throw OskelExcept(std::string("CMixerControl::") + operation + "() ラインコントロールが見つからない ");
    }
}

long CMixerControl::GetRecordingMicVolume()
{
    CheckOpen();
    std::uint32_t x = 0, min = 0, max = 0;
    GetRecordingControl(&x, &min, &max, "GetRecordingMicVolume");
    const std::uint32_t step = (max - min) / 1000;
    if (x < min) return -1000;
    const long b = static_cast<long>((x - min) / step);
    return b <= 1000 ? b - 1000 : 0;
}

void CMixerControl::SetRecordingMicVolume(long volume)
{
    CheckOpen();
    std::uint32_t x = 0, min = 0, max = 0;
    GetRecordingControl(&x, &min, &max, "SetRecordingMicVolume");
    const std::uint32_t step = (max - min) / 1000;
    // Levels outside the scale (1 stands for automatic gain) stay within the control's bounds.
    const long steps = std::max(0L, volume + 1000);
    const std::uint64_t value =
        std::min<std::uint64_t>(std::uint64_t{min} + std::uint64_t{step} * static_cast<std::uint64_t>(steps), max);
    const int rc = m_pMixer->SetSourceVolume(m_hMixer, static_cast<std::uint32_t>(value));
    if (rc != 0) {
        MORVIKA_LOG("ERROR CMixerControl::SetRecordingMicVolume() 録音マイクの現在の音量を設定できない %x \n",
                    static_cast<unsigned>(rc));
        throw OskelExcept("CMixerControl::SetRecordingMicVolume() 録音マイクの現在の音量を設定できない ",
                          static_cast<std::uint32_t>(rc));
    }
}
