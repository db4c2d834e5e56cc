// The microphone mixer: which source it opens, how the -1000..0 scale meets the source's
// volume range, and the loopback mute; first over a scripted mixer, then on the real server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "platform/sound/PulseSound.h"
#include "tests/support/MorvikaInstance.h"
#include "voice/MixerControl.h"

using e2e::RunCommand;

using morvika::sound::ISourceMixer;
using morvika::sound::SourceInfo;
using OskelClassLib::OskelExcept;

namespace {

class ScriptedMixer : public ISourceMixer {
public:
    int ListSources(std::vector<SourceInfo>* out) override
    {
        *out = sources;
        return listResult;
    }
    int GetSourceVolume(const std::string& source, std::uint32_t* v, std::uint32_t* lo, std::uint32_t* hi) override
    {
        *v = value;
        *lo = min;
        *hi = max;
        return source == missing ? -1 : 0;
    }
    int SetSourceVolume(const std::string& source, std::uint32_t v) override
    {
        written.push_back(v);
        lastSource = source;
        value = v;
        return 0;
    }
    int MuteLoopbacks(const std::string&, bool, int* count) override
    {
        *count = 0;
        return 0;
    }

    std::vector<SourceInfo> sources;
    int listResult = 0;
    std::string missing;
    std::uint32_t value = 0, min = 100, max = 5099;  // step 4: 0 does not reach max
    std::vector<std::uint32_t> written;
    std::string lastSource;
};

std::string ThrownBy(const std::function<void()>& f)
{
    try {
        f();
    } catch (const OskelExcept& e) {
        return e.what();
    }
    return {};
}

}  // namespace

TEST(MixerControl, OpensTheOnlySourceWhateverItsNameAndOtherwiseTheMatchOrTheDefault)
{
    ScriptedMixer mixer;
    mixer.sources = {{"only", "Some Card"}};
    CMixerControl control(&mixer);
    control.Open("Another Name");
    EXPECT_EQ(control.SourceName(), "only");

    mixer.sources = {{"default", "Default Mic"}, {"usb", "USB Mic"}, {"usb2", "USB Mic"}};
    EXPECT_EQ(control.GetMixerNumberDevice("USB Mic"), 1);  // the first match
    control.Open("USB Mic");
    EXPECT_EQ(control.SourceName(), "usb");
    control.Open("Primary Sound Capture Driver");
    EXPECT_EQ(control.SourceName(), "default");
}

TEST(MixerControl, FailuresThrowTheirTexts)
{
    ScriptedMixer mixer;
    CMixerControl control(&mixer);
    EXPECT_EQ(ThrownBy([&] { control.Open("Mic"); }), "CMixerControl::GetMixerNumberDevice() デバイスが存在しない ");
    mixer.listResult = -5;
    mixer.sources = {{"a", "A"}};
    EXPECT_EQ(ThrownBy([&] { control.Open("A"); }),
              "CMixerControl::GetMixerNumberDevice() ミキサの情報を取得出来ない ");
    EXPECT_EQ(ThrownBy([&] { control.GetRecordingMicVolume(); }), "CMixerControl::IsOpen() オープンしていない ");
    EXPECT_EQ(ThrownBy([&] { control.MuteMicPlayback(); }), "CMixerControl::IsOpen() オープンしていない ");

    mixer.listResult = 0;
    mixer.missing = "a";
    EXPECT_EQ(ThrownBy([&] { control.Open("A"); }), "CMixerControl::Open() オープン出来ない ");
    mixer.missing.clear();
    control.Open("A");
    mixer.missing = "a";  // unplugged after opening
    EXPECT_EQ(ThrownBy([&] { control.SetRecordingMicVolume(0); }),
              "CMixerControl::GetRecordingControl() 録音コントロールが見つからない ");
    mixer.missing.clear();
    mixer.max = mixer.min + 999;  // no step of the scale fits
    EXPECT_EQ(ThrownBy([&] { control.GetRecordingMicVolume(); }),
              "CMixerControl::GetRecordingMicVolume() ラインコントロールが見つからない ");
    EXPECT_TRUE(mixer.written.empty());
}

TEST(MixerControl, TheScaleMapsOntoTheSourceRangeInWholeSteps)
{
    ScriptedMixer mixer;
    mixer.sources = {{"a", "A"}, {"b", "B"}};
    CMixerControl control(&mixer);
    control.Open("B");
    control.SetRecordingMicVolume(-1000);
    control.SetRecordingMicVolume(0);
    control.SetRecordingMicVolume(-500);
    control.SetRecordingMicVolume(1);      // automatic gain's marker
    control.SetRecordingMicVolume(-5000);  // below the scale
    EXPECT_EQ(mixer.written, (std::vector<std::uint32_t>{100, 4100, 2100, 4104, 100}));
    EXPECT_EQ(mixer.lastSource, "b");

    for (const auto& [value, level] : std::vector<std::pair<std::uint32_t, long>>{
             {100, -1000}, {103, -1000}, {104, -999}, {2100, -500}, {4100, 0}, {4104, 0}, {5099, 0}}) {
        mixer.value = value;
        EXPECT_EQ(control.GetRecordingMicVolume(), level) << value;
    }
    control.MuteMicPlayback();  // no loopback: nothing to do, nothing thrown
}

// On the real server: the level reaches the source's volume, and a loopback of the source
// into a sink is muted.
TEST(MixerControlOnServer, LevelMovesTheSourceVolumeAndLoopbacksAreMuted)
{
    if (!RunCommand({"pactl", "info"})) GTEST_SKIP() << "no PulseAudio server reachable; tools/test.sh starts one";
    const std::string sink = "mvmix" + std::to_string(::getpid());
    const auto module = RunCommand({"pactl", "load-module", "module-null-sink", "sink_name=" + sink,
                                    "sink_properties=device.description=" + sink + "-desc"});
    ASSERT_TRUE(module && !module->empty());
    struct Unload {
        std::vector<std::string> modules;
        ~Unload()
        {
            for (auto it = modules.rbegin(); it != modules.rend(); ++it) RunCommand({"pactl", "unload-module", *it});
        }
    } unload{{module->substr(0, module->find('\n'))}};

    morvika::sound::PulseSoundBackend backend{"Morvika"};
    morvika::sound::PulseSourceMixer pulse(backend);
    CMixerControl control(&pulse);
    const std::string description = "Monitor of " + sink + "-desc";
    control.Open(description.c_str());
    ASSERT_EQ(control.SourceName(), sink + ".monitor");

    control.SetRecordingMicVolume(-500);
    const auto volume = RunCommand({"pactl", "get-source-volume", sink + ".monitor"});
    ASSERT_TRUE(volume);
    EXPECT_NE(volume->find(" 32500 "), std::string::npos) << *volume;  // 500 steps of 65
    EXPECT_EQ(control.GetRecordingMicVolume(), -500);

    control.MuteMicPlayback();  // no loopback yet
    const auto loop = RunCommand({"pactl", "load-module", "module-loopback", "source=" + sink + ".monitor",
                                  "sink=" + sink, "source_dont_move=true", "sink_dont_move=true"});
    ASSERT_TRUE(loop && !loop->empty());
    unload.modules.push_back(loop->substr(0, loop->find('\n')));
    control.MuteMicPlayback();
    const auto inputs = RunCommand({"pactl", "list", "sink-inputs"});
    ASSERT_TRUE(inputs);
    const auto owner = inputs->find("Owner Module: " + unload.modules.back() + "\n");
    ASSERT_NE(owner, std::string::npos) << *inputs;
    const auto mute = inputs->find("Mute: ", owner);
    ASSERT_NE(mute, std::string::npos);
    EXPECT_EQ(inputs->substr(mute, 9), "Mute: yes");
}
