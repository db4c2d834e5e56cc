// Two whole Morvika processes on the real sound server, driven through their control
// channels: speech played into instance A's microphone comes out of instance B's speaker as
// the quantised speech, complete and in order. Needs the private PulseAudio daemon that
// tools/test.sh starts, and espeak-ng.
#include <gtest/gtest.h>

#include <pulse/pulseaudio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/HalvoApp.h"
#include "bench/voice/SpeechAlignment.h"
#include "platform/sound/PulseSound.h"
#include "platform/sound/SoundThreadPriority.h"
#include "tests/support/MorvikaInstance.h"
#include "tests/support/WaitFor.h"
#include "voice/VoiceCodec.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::MorvikaInstance;
using e2e::RunCommand;
using e2e::StartOptions;
using morvika::sound::PulseSoundBackend;
using morvika::sound::RequestRealtimeForThisThread;
using morvika::sound::SoundDeviceInfo;
using morvika::sound::SoundDirection;

namespace {

constexpr int kRate = 11025;
constexpr std::uint16_t kPortA = 27711;
constexpr std::uint16_t kPortB = 27712;
constexpr std::uint16_t kPortLoopback = 27714;
constexpr std::uint16_t kPortStrictA = 27715;
constexpr std::uint16_t kPortStrictB = 27716;
constexpr std::uint16_t kPortKnobA = 27717;
constexpr std::uint16_t kPortKnobB = 27718;
constexpr std::uint16_t kPortLoopbackA = 27719;
constexpr std::uint16_t kPortLoopbackB = 27720;
constexpr std::uint16_t kPortBareA = 28000;
constexpr std::uint16_t kPortBareB = 28001;

// Null sinks of this test only, so that other sound tests running at the same time do not mix in.
class TestSinks {
public:
    ~TestSinks()
    {
        for (const std::string& module : m_modules) RunCommand({"pactl", "unload-module", module});
    }
    // The sink's description, or empty when it could not be loaded.
    bool Load(const std::string& name, const std::string& description)
    {
        const auto out = RunCommand({"pactl", "load-module", "module-null-sink", "sink_name=" + name,
                                     "sink_properties=device.description=" + description});
        if (!out || out->empty()) return false;
        m_modules.push_back(out->substr(0, out->find('\n')));
        return true;
    }

private:
    std::vector<std::string> m_modules;
};

// A plain client of the sound server on a main loop of its own.
class ServerClient {
public:
    ServerClient(const ServerClient&) = delete;
    ServerClient& operator=(const ServerClient&) = delete;

protected:
    ServerClient(const char* name, bool realtime)
    {
        m_loop = pa_threaded_mainloop_new();
        if (m_loop == nullptr || pa_threaded_mainloop_start(m_loop) < 0) return;
        pa_threaded_mainloop_lock(m_loop);
        if (realtime) {
            pa_mainloop_api_once(
                pa_threaded_mainloop_get_api(m_loop), [](pa_mainloop_api*, void*) { RequestRealtimeForThisThread(); },
                nullptr);
        }
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), name);
        pa_context_set_state_callback(
            m_context, [](pa_context*, void* self) { static_cast<ServerClient*>(self)->Signal(); }, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            while (PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)) &&
                   pa_context_get_state(m_context) != PA_CONTEXT_READY) {
                pa_threaded_mainloop_wait(m_loop);
            }
        }
        pa_threaded_mainloop_unlock(m_loop);
    }

    // The subclass has dropped its streams.
    ~ServerClient()
    {
        if (m_loop == nullptr) return;
        Disconnect();
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
    }

    bool Connected() const { return m_context != nullptr && pa_context_get_state(m_context) == PA_CONTEXT_READY; }
    void Signal() { pa_threaded_mainloop_signal(m_loop, 0); }

    // Loop locked: a new stream whose state changes wake the waiting caller.
    pa_stream* NewStream(const char* name)
    {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(kRate), 1};
        pa_stream* stream = pa_stream_new(m_context, name, &spec, nullptr);
        pa_stream_set_state_callback(
            stream, [](pa_stream*, void* self) { static_cast<ServerClient*>(self)->Signal(); }, this);
        return stream;
    }
    // Loop locked: after a connect call's result.
    bool WaitReady(pa_stream* stream, bool connected)
    {
        while (connected && PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) &&
               pa_stream_get_state(stream) != PA_STREAM_READY) {
            pa_threaded_mainloop_wait(m_loop);
        }
        return connected && pa_stream_get_state(stream) == PA_STREAM_READY;
    }
    // Loop locked.
    static void Drop(pa_stream*& stream)
    {
        if (stream == nullptr) return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    void Disconnect()
    {
        pa_threaded_mainloop_lock(m_loop);
        if (m_context != nullptr) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
        pa_threaded_mainloop_unlock(m_loop);
    }

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

// Plays silence with the buffer the program's playback starts with. When it runs dry, the
// server or the whole machine stalled for longer than that buffer covers, and a dropout recorded
// meanwhile says nothing about the program. Scheduled as the program's own sound threads are, or
// it would run dry first.
class ServerStallWitness : ServerClient {
public:
    static constexpr std::uint32_t kTargetMs = 40;

    explicit ServerStallWitness(const std::string& sink) : ServerClient("stall witness", true)
    {
        if (!Connected()) return;
        pa_threaded_mainloop_lock(m_loop);
        m_stream = NewStream("stall witness");
        pa_stream_set_write_callback(m_stream, &ServerStallWitness::OnWritable, nullptr);
        pa_stream_set_underflow_callback(m_stream, &ServerStallWitness::OnUnderflow, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(2 * kRate * kTargetMs / 1000);
        attr.minreq = static_cast<std::uint32_t>(2 * kRate * 5 / 1000);
        attr.prebuf = 0;
        attr.fragsize = static_cast<std::uint32_t>(-1);
        m_ready = WaitReady(m_stream, pa_stream_connect_playback(m_stream, sink.c_str(), &attr,
                                                                 PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) >= 0);
        pa_threaded_mainloop_unlock(m_loop);
    }

    ~ServerStallWitness()
    {
        if (m_loop == nullptr) return;
        pa_threaded_mainloop_lock(m_loop);
        Drop(m_stream);
        pa_threaded_mainloop_unlock(m_loop);
    }

    bool Ready() const { return m_ready; }
    int Underflows() const { return m_underflows.load(); }

private:
    static void OnWritable(pa_stream* stream, std::size_t bytes, void*)
    {
        void* data = nullptr;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr) return;
        // Silence: mixed into the listener's speaker, it changes nothing of what is recorded.
        std::memset(data, 0, bytes);
        pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE);
    }
    static void OnUnderflow(pa_stream*, void* self) { ++static_cast<ServerStallWitness*>(self)->m_underflows; }

    pa_stream* m_stream = nullptr;
    bool m_ready = false;
    std::atomic<int> m_underflows{0};
};

// Records sources of the server at once, each sample placed on this process's clock by when its
// chunk came (the earliest such placement wins), so that a delay from one source to another is
// measured across both recordings.
class TimedRecorder : ServerClient {
public:
    explicit TimedRecorder(const std::vector<std::string>& sources)
        : ServerClient("timed recorder", false),
          m_tracks(sources.size())
    {
        bool ready = Connected();
        pa_threaded_mainloop_lock(m_loop);
        for (std::size_t i = 0; ready && i < sources.size(); ++i) {
            Track& track = m_tracks[i];
            track.stream = NewStream("timed recorder");
            pa_stream_set_read_callback(track.stream, &TimedRecorder::OnReadable, &track);
            pa_buffer_attr attr{};
            attr.maxlength = static_cast<std::uint32_t>(-1);
            attr.fragsize = static_cast<std::uint32_t>(2 * kRate * 5 / 1000);
            ready = WaitReady(track.stream, pa_stream_connect_record(track.stream, sources[i].c_str(), &attr,
                                                                     PA_STREAM_ADJUST_LATENCY) >= 0);
        }
        m_ready = ready;
        pa_threaded_mainloop_unlock(m_loop);
    }

    ~TimedRecorder() { Stop(); }

    bool Ready() const { return m_ready; }

    // Ends the recording; the tracks stay.
    void Stop()
    {
        if (m_loop == nullptr) return;
        pa_threaded_mainloop_lock(m_loop);
        for (Track& track : m_tracks) Drop(track.stream);
        pa_threaded_mainloop_unlock(m_loop);
        Disconnect();
    }

    std::size_t Count(std::size_t i)
    {
        pa_threaded_mainloop_lock(m_loop);
        const std::size_t count = m_tracks[i].samples.size();
        pa_threaded_mainloop_unlock(m_loop);
        return count;
    }
    const std::vector<double>& Samples(std::size_t i) const { return m_tracks[i].samples; }
    // Seconds on the steady clock of the track's first sample.
    double StartSeconds(std::size_t i) const { return m_tracks[i].start; }

private:
    struct Track {
        pa_stream* stream = nullptr;
        std::vector<double> samples;
        double start = 1e300;
    };

    static void OnReadable(pa_stream* stream, std::size_t, void* user)
    {
        auto* track = static_cast<Track*>(user);
        const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
            const auto* p = static_cast<const std::uint8_t*>(data);
            for (std::size_t i = 0; i + 1 < bytes; i += 2) {
                track->samples.push_back(p ? static_cast<std::int16_t>(p[i] | (p[i + 1] << 8)) : 0);
            }
            pa_stream_drop(stream);
        }
        track->start = std::min(track->start, now - static_cast<double>(track->samples.size()) / kRate);
    }

    std::vector<Track> m_tracks;
    bool m_ready = false;
};

std::string DescriptionOf(SoundDirection direction, const std::string& deviceName)
{
    PulseSoundBackend backend{"Morvika"};
    if (backend.Connect() != 0) return {};
    const auto id = PulseSoundBackend::IdForName(deviceName);
    std::string found;
    backend.EnumerateDevices(direction, [&](const SoundDeviceInfo& info) {
        if (info.hasId && info.id == id) found = info.description;
        return true;
    });
    return found;
}

std::vector<std::uint8_t> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t Le32(const std::uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Mono 16-bit samples of a wave file and its rate; empty when it is not one.
std::vector<std::int16_t> ReadWave(const fs::path& path, std::uint32_t& rate)
{
    const auto bytes = ReadFile(path);
    std::vector<std::int16_t> samples;
    if (bytes.size() < 12 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF") return samples;
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const std::string id(bytes.begin() + static_cast<long>(pos), bytes.begin() + static_cast<long>(pos + 4));
        std::size_t size = Le32(&bytes[pos + 4]);
        pos += 8;
        if (id == "fmt " && pos + 16 <= bytes.size()) {
            rate = Le32(&bytes[pos + 4]);
            if (bytes[pos + 2] != 1 || bytes[pos + 14] != 16) return samples;  // mono, 16 bits
        } else if (id == "data") {
            size = std::min(size, bytes.size() - pos);  // a streamed file may not know its size
            for (std::size_t i = 0; i + 1 < size; i += 2) {
                samples.push_back(static_cast<std::int16_t>(bytes[pos + i] | (bytes[pos + i + 1] << 8)));
            }
            return samples;
        }
        pos += size + (size & 1);
    }
    return samples;
}

void WriteWave(const fs::path& path, const std::vector<std::int16_t>& samples, std::uint32_t rate)
{
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.put(static_cast<char>(v >> (8 * i)));
    };
    auto u16 = [&](std::uint16_t v) {
        out.put(static_cast<char>(v & 0xFF));
        out.put(static_cast<char>(v >> 8));
    };
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    for (std::int16_t s : samples) u16(static_cast<std::uint16_t>(s));
}

// Halves the rate behind a windowed-sinc low-pass at a quarter of the input rate.
std::vector<std::int16_t> Decimate(const std::vector<std::int16_t>& in)
{
    constexpr int kTaps = 31, kMid = kTaps / 2;
    double h[kTaps], sum = 0;
    for (int n = 0; n < kTaps; ++n) {
        const double x = (n - kMid) / 2.0;
        const double sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
        h[n] = sinc * (0.54 - 0.46 * std::cos(2 * M_PI * n / (kTaps - 1)));
        sum += h[n];
    }
    std::vector<std::int16_t> out;
    for (std::size_t i = 0; i < in.size(); i += 2) {
        double acc = 0;
        for (int n = 0; n < kTaps; ++n) {
            const long j = static_cast<long>(i) + n - kMid;
            if (j >= 0 && j < static_cast<long>(in.size())) acc += h[n] / sum * in[static_cast<std::size_t>(j)];
        }
        out.push_back(static_cast<std::int16_t>(std::clamp(acc, -32768.0, 32767.0)));
    }
    return out;
}

// A user of this machine's sound devices who accepts callers without asking.
void SetUpVoiceUser(MorvikaInstance& instance, const std::string& capture, const std::string& sound)
{
    // The plain voice path: the echo canceller's own case below turns it on.
    CHalvoApp settings(instance.SettingsFile());
    settings.SetEchoCancel(0);
    settings.SetNoiseSuppress(0);
    instance.SetConnectCheck(0);
    instance.SetPassword("");
    instance.SetCaptureDevice(capture);
    instance.SetSoundDevice(sound);
}

bool Start(MorvikaInstance& instance, std::uint16_t port, std::vector<std::string> extraEnv = {})
{
    StartOptions options;
    options.port = port;
    options.extraEnv = std::move(extraEnv);
    options.readyTimeout = 60s;
    return instance.Start(options);
}

// Both have the other's window (with its playback) once each counts two users or more.
bool CountsOthers(MorvikaInstance& instance)
{
    const std::string state = instance.Command("state", 10s);
    return state.rfind("ok view=", 0) == 0 && state.find("users=1 ") == std::string::npos;
}

// A fresh folder under the temporary folder, removed with the test.
struct ScratchFolder {
    explicit ScratchFolder(const std::string& name) : path(fs::temp_directory_path() / name)
    {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

// How a call is set up, and what it gave.
struct Call {
    bool alone = false;  // A alone hears himself
    // A user's machine as it may be: three sinks (A's microphone, B's speaker, one idle sink for
    // A's speaker and B's microphone) and nothing else playing into them. B joins with --connect
    // at its start (joinAtStart) or through its control channel three seconds after it; the
    // speech comes three seconds after B's "ログイン完了".
    bool bare = false;
    bool joinAtStart = false;
    // The first seconds of a busy machine: A is held for 0.4 s just after B's playback of A
    // started (its capture then hands on a backlog at once); the speech comes five seconds later.
    bool holdAtStart = false;
    std::uint16_t portA = 0, portB = 0;

    std::vector<double> reference;  // the speech quantised as the codec does
    std::vector<double> heard;      // the listener's speaker
    double mouthToEarMs = 0;
    // How often a plain client of the server with the playback's buffer ran dry meanwhile.
    int serverStalls = 0;
};

// Speech played into A's microphone, recorded from the speaker of B (joined to A) or, alone,
// from A's own speaker (a lone user hears himself), and from A's microphone on the same clock.
// Fails the test (fatally) when the set-up does not work.
void SpeakAndRecord(Call& call)
{
    if (!RunCommand({"pactl", "info"})) GTEST_SKIP() << "no PulseAudio server reachable; tools/test.sh starts one";
    if (!RunCommand({"espeak-ng", "--version"})) GTEST_SKIP() << "espeak-ng is not installed";

    const std::string tag = "mvxi" + std::to_string(::getpid()) + (call.alone ? "l" : "p") + (call.bare ? "b" : "");
    const std::string aOut = call.bare ? "idle" : "aout";
    const std::string bMicSink = tag + (call.bare ? "_idle" : "_bmic");
    const std::string listening = tag + (call.alone ? "_" + aOut : "_bout");
    TestSinks sinks;
    for (const char* part : call.bare ? std::vector<const char*>{"amic", "bout", "idle", "witness"}
                                      : std::vector<const char*>{"amic", "aout", "bmic", "bout"}) {
        ASSERT_TRUE(sinks.Load(tag + "_" + part, tag + "-" + part)) << "cannot load a null sink";
    }
    // On the listener's speaker, whose sink thread it shares; in the bare set-up on a sink of its
    // own, so that the three stay as they are.
    const ServerStallWitness witness(call.bare ? tag + "_witness" : listening);
    ASSERT_TRUE(witness.Ready()) << "the stall witness could not play";
    const std::string aMic = DescriptionOf(SoundDirection::Capture, tag + "_amic.monitor");
    const std::string bMic = DescriptionOf(SoundDirection::Capture, bMicSink + ".monitor");
    ASSERT_FALSE(aMic.empty());
    ASSERT_FALSE(bMic.empty());

    // The sinks run from before the speech, as a sound card does: a null sink that starts from
    // idle renders ahead, which would hand A's capture a burst of blocks at once and shift the
    // first playback; and a recording from an idle one's monitor gets nothing for up to two
    // seconds, which holds up B's own playback as long.
    std::vector<std::unique_ptr<ChildProcess>> keepers;
    for (const char* part :
         call.bare ? std::vector<const char*>{} : std::vector<const char*>{"amic", "aout", "bmic", "bout"}) {
        keepers.push_back(std::make_unique<ChildProcess>());
        ASSERT_TRUE(keepers.back()->Start({"pacat", "--playback", "-d", tag + "_" + part, "--rate=11025",
                                           "--channels=1", "--format=s16le", "--raw", "/dev/zero"}));
    }
    const ScratchFolder scratch(tag + "-work");
    const fs::path& work = scratch.path;

    // The speech: espeak-ng at 22050 Hz, brought to the voice path's rate.
    const fs::path spoken = work / "spoken.wav";
    ASSERT_TRUE(
        RunCommand({"espeak-ng", "-v", "en", "-s", "150", "-w", spoken.string(),
                    "The quick brown fox jumps over the lazy dog. Seven friends talk across the city tonight."}));
    std::uint32_t rate = 0;
    const auto raw = ReadWave(spoken, rate);
    ASSERT_EQ(rate, 22050u);
    ASSERT_GT(raw.size(), 22050u);
    const std::vector<std::int16_t> speech = Decimate(raw);
    std::vector<std::int16_t> played(kRate / 2, 0);  // half a second of lead-in and tail
    played.insert(played.end(), speech.begin(), speech.end());
    played.insert(played.end(), kRate / 2, 0);
    const fs::path playedFile = work / "played.wav";
    WriteWave(playedFile, played, kRate);

    // The bare set-up records the whole call, from before A starts.
    std::optional<TimedRecorder> recorder;
    const std::vector<std::string> recorded{tag + "_amic.monitor", listening + ".monitor"};
    if (call.bare) recorder.emplace(recorded);
    const auto recordFor = [&](double seconds) {
        const std::size_t from = recorder->Count(1);
        return WaitFor([&] { return recorder->Count(1) >= from + static_cast<std::size_t>(seconds * kRate); }, 60s);
    };

    MorvikaInstance a("Alice");
    MorvikaInstance b("Bob");
    SetUpVoiceUser(a, aMic, tag + "-" + aOut);
    SetUpVoiceUser(b, bMic, tag + "-bout");
    ASSERT_TRUE(Start(a, call.portA)) << a.Log();
    ASSERT_TRUE(a.WaitForLog("音声キャプチャ開始", 30s)) << a.Log();
    const std::string address = "127.0.0.1:" + std::to_string(call.portA);
    if (!call.alone) {
        StartOptions options;
        options.port = call.portB;
        options.readyTimeout = 60s;
        if (call.joinAtStart) options.connect = address;
        ASSERT_TRUE(b.Start(options)) << b.Log();
        if (!call.joinAtStart) {
            ASSERT_TRUE(b.WaitForLog("音声キャプチャ開始", 30s)) << b.Log();
            if (call.bare) {
                ASSERT_TRUE(recordFor(3));
            }
            ASSERT_FALSE(b.Command("connect " + address + " - -").empty());
        }
        ASSERT_TRUE(b.WaitForLog("ログイン完了", 60s)) << b.Log();
        for (MorvikaInstance* instance : {&a, &b}) ASSERT_TRUE(WaitFor([&] { return CountsOthers(*instance); }, 60s));
    }
    if (!recorder) {
        recorder.emplace(recorded);
        ASSERT_TRUE(recordFor(0.2));
    }
    ASSERT_TRUE(recorder->Ready()) << "cannot record the sinks' monitors";
    if (call.holdAtStart) {
        ASSERT_TRUE(b.WaitForLog("CSoundPlay::SaveData() 音声を開始しました", 30s)) << b.Log();
        ASSERT_EQ(::kill(a.Pid(), SIGSTOP), 0);
        const bool held = recordFor(0.4);
        ::kill(a.Pid(), SIGCONT);
        ASSERT_TRUE(held);
        ASSERT_TRUE(recordFor(2));
    }
    if (call.bare) {
        ASSERT_TRUE(recordFor(3));
    }

    const int stallsBefore = witness.Underflows();
    ChildProcess mouth;
    ASSERT_TRUE(mouth.Start({"paplay", "-d", tag + "_amic", playedFile.string()}));
    const auto played_ok = mouth.WaitExit(60s);
    ASSERT_TRUE(played_ok.has_value() && *played_ok == 0) << "paplay failed or hung";
    // Another two seconds of the speaker after the speech ended.
    EXPECT_TRUE(recordFor(2));
    recorder->Stop();
    call.serverStalls = witness.Underflows() - stallsBefore;
    for (auto& keeper : keepers) keeper->Terminate();

    MorvikaInstance& listener = call.alone ? a : b;
    const std::string listenerLog = listener.Log();
    // The sound server running dry, or the playback stopping and starting again, explains a gap:
    // say so next to the figures.
    std::printf("listener's playback started %zu times\n",
                listener.LogCount("LOG   CSoundPlay::SaveData() 音声を開始しました"));
    for (const auto& [name, instance] : {std::pair{"A", &a}, std::pair{"B", &b}}) {
        std::istringstream lines(instance->ErrorOutput());
        for (std::string line; std::getline(lines, line);) {
            if (line.find("sound server") != std::string::npos) std::printf("%s: %s\n", name, line.c_str());
        }
    }
    EXPECT_EQ(a.Quit(), std::optional<int>(0)) << "A did not end cleanly";
    if (!call.alone) {
        EXPECT_EQ(b.Quit(), std::optional<int>(0)) << "B did not end cleanly";
    }
    EXPECT_NE(listenerLog.find("LOG   CSoundPlay::SaveData() 音声を開始しました"), std::string::npos) << listenerLog;

    for (std::int16_t s : speech) call.reference.push_back(CVoiceCodec::Quantise(s, 7, 0));
    call.heard = recorder->Samples(1);
    ASSERT_GT(call.heard.size(), call.reference.size());
    const SpeechWindowMatch said = AlignWhole(call.reference, recorder->Samples(0));
    const SpeechWindowMatch heard = AlignWhole(call.reference, call.heard);
    ASSERT_GT(said.correlation, 0.9) << "the speech is not in A's microphone";
    call.mouthToEarMs = (recorder->StartSeconds(1) + static_cast<double>(heard.lag) / kRate -
                         recorder->StartSeconds(0) - static_cast<double>(said.lag) / kRate) *
                        1000;
}

// As a listener hears it: one global alignment, then the whole correlates, every voiced 31 ms
// window carries the voice, and nothing slipped or dropped out.
void ExpectHeardWithoutSlipsOrGaps(const std::vector<double>& reference, const std::vector<double>& heard,
                                   const char* what)
{
    const SpeechComparison c = CompareSpeech(reference, heard, kRate);
    std::string slips, gaps;
    for (const auto& slip : c.slips) {
        slips += " at " + std::to_string(slip.atSeconds) + " s by " + std::to_string(slip.samples) + " samples;";
    }
    for (const auto& gap : c.gaps) {
        gaps += " at " + std::to_string(gap.atSeconds) + " s of " + std::to_string(gap.milliseconds) + " ms;";
    }
    std::printf("speech %s: correlation %.4f, %d voiced windows, %d below 0.9, worst %.3f at %.2f s, %zu slips, "
                "%zu gaps\n",
                what, c.correlation, c.voicedWindows, c.windowsBelow, c.worstWindow, c.worstWindowAt, c.slips.size(),
                c.gaps.size());
    ::testing::Test::RecordProperty("correlation", std::to_string(c.correlation));
    ::testing::Test::RecordProperty("worst_window", std::to_string(c.worstWindow));
    EXPECT_GT(c.voicedWindows, 50) << "the speech was not found in the recording";
    EXPECT_GE(c.correlation, 0.97);
    EXPECT_EQ(c.windowsBelow, 0) << "worst voiced window " << c.worstWindow << " at " << c.worstWindowAt << " s";
    EXPECT_TRUE(c.slips.empty()) << "slips:" << slips;
    EXPECT_TRUE(c.gaps.empty()) << "gaps:" << gaps;
}

// Every part of the speech is heard, in order: each quarter second is found near the lag of the
// whole (re-aligned on its own, so a small slip between them passes).
void ExpectHeardInOrder(const std::vector<double>& reference, const std::vector<double>& heard)
{
    // One lag for the whole speech: the server's resampling lets it slip by a few samples over
    // the seconds, so this figure is only indicative; the windows below carry the checks.
    const SpeechWindowMatch whole = AlignWhole(reference, heard);
    std::printf("speech through two instances: correlation %.3f at one lag, %.0f ms into the recording (%zu samples)\n",
                whole.correlation, whole.lag * 1000.0 / kRate, reference.size());
    ::testing::Test::RecordProperty("correlation_one_lag", std::to_string(whole.correlation));

    // Window by window (a quarter second each): every part is heard, near the lag of the whole
    // and in order; the windows together give the correlation of the speech as heard.
    constexpr std::size_t kWindow = kRate / 4;
    constexpr long kSlack = kRate / 8;
    double peak = 0;
    for (double v : reference) peak = std::max(peak, std::fabs(v));
    int windows = 0, found = 0;
    long previousLag = whole.lag - kSlack;
    double worst = 1, dot = 0, energyRef = 0, energyHeard = 0;
    for (std::size_t start = 0; start + kWindow <= reference.size(); start += kWindow) {
        double level = 0;
        for (std::size_t i = 0; i < kWindow; ++i) level = std::max(level, std::fabs(reference[start + i]));
        const SpeechWindowMatch m = BestLag(reference, heard, start, kWindow, whole.lag - kSlack, whole.lag + kSlack);
        for (std::size_t i = 0; i < kWindow; ++i) {
            const double r = reference[start + i];
            const double h = heard[static_cast<std::size_t>(static_cast<long>(start + i) + m.lag)];
            dot += r * h;
            energyRef += r * r;
            energyHeard += h * h;
        }
        if (level < peak / 4) continue;  // pauses say nothing about order
        ++windows;
        worst = std::min(worst, m.correlation);
        std::printf("  window at %5.2f s: lag %.1f ms, correlation %.3f\n", static_cast<double>(start) / kRate,
                    m.lag * 1000.0 / kRate, m.correlation);
        if (m.correlation > 0.4 && m.lag >= previousLag - kRate / 50) {
            ++found;
            previousLag = m.lag;
        }
    }
    const double windowed = dot / std::sqrt(energyRef * energyHeard);
    std::printf("speech windows heard in order: %d of %d (weakest correlation %.3f); correlation of the speech "
                "window by window %.3f\n",
                found, windows, worst, windowed);
    ::testing::Test::RecordProperty("windows", std::to_string(found) + "/" + std::to_string(windows));
    ::testing::Test::RecordProperty("correlation", std::to_string(windowed));
    EXPECT_GT(windows, 8);
    EXPECT_GE(found, windows - 1) << "parts of the speech are missing or out of order";
    EXPECT_GT(windowed, 0.6);
}

}  // namespace

TEST(VoiceBetweenInstances, SpeechIntoAsMicrophoneComesOutOfBsSpeakerCompleteAndInOrder)
{
    Call call;
    call.portA = kPortA;
    call.portB = kPortB;
    SpeakAndRecord(call);
    if (HasFatalFailure() || IsSkipped()) return;
    ExpectHeardInOrder(call.reference, call.heard);
}

// The strict cases measure sound on time: on a machine whose run queue holds more than twice
// as many threads as it has cores (other test suites and builds, each with its own real-time
// sound server and sound threads), the sound server itself runs late and no client can keep
// its time. Two busy processes on two cores still run the cases.
namespace {
std::optional<std::string> Overcommitted()
{
    // A developer measuring on a busy machine on purpose runs them all the same.
    if (std::getenv("MORVIKA_SOUND_TESTS_ALWAYS") != nullptr) return std::nullopt;
    double load[1] = {0};
    const long cores = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    if (::getloadavg(load, 1) != 1 || load[0] <= 2.0 * static_cast<double>(cores)) return std::nullopt;
    return "load average " + std::to_string(load[0]) + " on " + std::to_string(cores) + " cores";
}
}  // namespace

// What a listener should hear, soon after A's microphone heard it; bench/voice/measure-voice.py
// speech measures the same. A recording during which the sound server itself stalled (its
// witness ran dry) is void: the speech is played once more, and a second void one skips the case.
void ExpectHeardCleanly(const Call& setUp, const char* what)
{
    if (const auto why = Overcommitted()) GTEST_SKIP() << "machine overcommitted: " << *why;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        Call call = setUp;
        SpeakAndRecord(call);
        if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped()) return;
        if (call.serverStalls == 0) {
            ExpectHeardWithoutSlipsOrGaps(call.reference, call.heard, what);
            std::printf("mouth-to-ear %.0f ms\n", call.mouthToEarMs);
            ::testing::Test::RecordProperty("mouth_to_ear_ms", std::to_string(call.mouthToEarMs));
            // About 170 ms on an idle machine; a delay left by a busy start stayed 450-500 ms.
            EXPECT_LE(call.mouthToEarMs, 300.0);
            return;
        }
        std::printf("attempt %d void: a plain client with a %u ms buffer ran dry %d times meanwhile\n", attempt,
                    static_cast<unsigned>(ServerStallWitness::kTargetMs), call.serverStalls);
    }
    GTEST_SKIP() << "the sound server itself stalled during both recordings";
}

TEST(VoiceBetweenInstances, SpeechIntoAsMicrophoneIsHeardFromBsSpeakerWithoutSlipsOrGaps)
{
    Call call;
    call.portA = kPortStrictA;
    call.portB = kPortStrictB;
    ExpectHeardCleanly(call, "from A to B");
}

TEST(VoiceBetweenInstances, ALoneUserHearsHimselfWithoutSlipsOrGaps)
{
    Call call;
    call.alone = true;
    call.portA = kPortLoopback;
    ExpectHeardCleanly(call, "through the own loopback");
}

// Nothing but the three sinks: whether B joins at its start, on a busy machine, or later.
TEST(VoiceBetweenInstances, OnABareServerSpeechIsOnTimeAndWholeHoweverBJoins)
{
    for (const bool atStart : {true, false}) {
        Call call;
        call.bare = true;
        call.joinAtStart = call.holdAtStart = atStart;
        call.portA = kPortBareA;
        call.portB = kPortBareB;
        ExpectHeardCleanly(call, atStart ? "joined at start-up" : "joined later");
        if (HasFatalFailure() || IsSkipped()) return;
    }
}

TEST(VoiceBetweenInstances, WithoutASoundServerTheProgramRunsOnAndQuits)
{
    MorvikaInstance silent("Silent");
    SetUpVoiceUser(silent, "Some Microphone", "Some Speaker");
    ASSERT_TRUE(Start(silent, 27713, {"PULSE_SERVER=unix:" + silent.ProfileDir() + "/no-such-socket"}));
    const std::string state = silent.Command("state", 20s);
    ASSERT_EQ(state.rfind("ok view=", 0), 0u);
    EXPECT_NE(state.find("windows=1"), std::string::npos) << state;
    EXPECT_TRUE(silent.LogContains("サウンドサーバに接続できない"));
    EXPECT_TRUE(silent.LogContains("サウンドサーバがないため音声なしで動作します"));
    const auto status = silent.Quit(30s);
    ASSERT_TRUE(status.has_value()) << "the program hung on the way out";
    EXPECT_EQ(*status, 0);
}

namespace {

// RMS of the 16-bit samples between two byte offsets of a raw recording.
double Rms(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to, int* peak)
{
    double sum = 0;
    std::size_t n = 0;
    *peak = 0;
    for (std::size_t i = from & ~std::size_t{1}; i + 1 < std::min(to, bytes.size()); i += 2, ++n) {
        const auto s = static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8));
        sum += static_cast<double>(s) * s;
        *peak = std::max(*peak, std::abs(static_cast<int>(s)));
    }
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0;
}

// The ids of the user window named `name`, as "uid gid".
std::string WindowIds(MorvikaInstance& instance, const std::string& name)
{
    std::string ids;
    for (const auto& window : instance.Windows()) {
        if (window.name == name) ids = window.uid + " " + window.gid;
    }
    return ids;
}

}  // namespace

// B turns A down, mutes A, and A mutes the own microphone: what reaches B's speaker follows,
// measured on B's sink. A's microphone level reaches the sound server's source.
TEST(VoiceBetweenInstances, VolumeKnobPeerMuteAndMicrophoneMuteActOnWhatIsHeard)
{
    if (!RunCommand({"pactl", "info"})) GTEST_SKIP() << "no PulseAudio server reachable; tools/test.sh starts one";
    if (!RunCommand({"espeak-ng", "--version"})) GTEST_SKIP() << "espeak-ng is not installed";

    const std::string tag = "mvvc" + std::to_string(::getpid());
    TestSinks sinks;
    for (const char* part : {"amic", "aout", "bmic", "bout"}) {
        ASSERT_TRUE(sinks.Load(tag + "_" + part, tag + "-" + part)) << "cannot load a null sink";
    }
    const std::string aMic = DescriptionOf(SoundDirection::Capture, tag + "_amic.monitor");
    const std::string bMic = DescriptionOf(SoundDirection::Capture, tag + "_bmic.monitor");
    ASSERT_FALSE(aMic.empty());
    ChildProcess keeper;
    ASSERT_TRUE(keeper.Start({"pacat", "--playback", "-d", tag + "_amic", "--rate=11025", "--channels=1",
                              "--format=s16le", "--raw", "/dev/zero"}));
    const ScratchFolder scratch(tag + "-work");
    const fs::path& work = scratch.path;
    const fs::path spoken = work / "spoken.wav";
    ASSERT_TRUE(RunCommand(
        {"espeak-ng", "-v", "en", "-s", "160", "-w", spoken.string(), "The quick brown fox jumps over the lazy dog."}));

    MorvikaInstance a("Alice");
    MorvikaInstance b("Bob");
    SetUpVoiceUser(a, aMic, tag + "-aout");
    SetUpVoiceUser(b, bMic, tag + "-bout");
    ASSERT_TRUE(Start(a, kPortKnobA)) << a.Log();
    ASSERT_TRUE(Start(b, kPortKnobB)) << b.Log();
    ASSERT_TRUE(a.WaitForLog("音声キャプチャ開始", 30s)) << a.Log();
    ASSERT_FALSE(b.Command("connect 127.0.0.1:" + std::to_string(kPortKnobA) + " - -").empty());
    ASSERT_TRUE(b.WaitForEvent("user-added", 60s)) << b.Log();
    ASSERT_TRUE(WaitFor([&] { return !WindowIds(b, "Alice").empty(); }, 60s)) << b.Log();
    const std::string alice = WindowIds(b, "Alice");
    // A sends its voice to B only once it counts B (alone it hears itself), and B plays it once
    // the first packets started a talk spurt: measuring earlier would find silence.
    ASSERT_TRUE(WaitFor([&] { return CountsOthers(a); }, 60s)) << a.Log();
    ASSERT_TRUE(b.WaitForLog("CSoundPlay::SaveData() 音声を開始しました", 30s)) << b.Log();

    const fs::path recordFile = work / "heard.raw";
    ChildProcess recorder;
    ASSERT_TRUE(recorder.Start({"parec", "-d", tag + "_bout.monitor", "--rate=11025", "--channels=1", "--format=s16le",
                                "--raw", "--latency-msec=20"},
                               {}, recordFile.string()));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(recordFile) && fs::file_size(recordFile) > 4000; }, 20s));
    // One utterance into A's microphone; the byte range of B's speaker that holds it, with
    // a second and a half after it for the voice path's delay.
    auto speak = [&]() -> std::pair<std::size_t, std::size_t> {
        const std::size_t from = fs::file_size(recordFile);
        ChildProcess mouth;
        if (!mouth.Start({"paplay", "-d", tag + "_amic", spoken.string()})) return {0, 0};
        if (mouth.WaitExit(60s) != std::optional<int>(0)) return {0, 0};
        const std::size_t end = fs::file_size(recordFile);
        WaitFor([&] { return fs::file_size(recordFile) >= end + 3 * kRate; }, 30s);
        return {from, fs::file_size(recordFile)};
    };
    auto command = [](MorvikaInstance& instance, const std::string& line) {
        const std::string answer = instance.Command(line, 20s);
        return answer.empty() ? std::string("(no answer)") : answer;
    };

    const auto loud = speak();
    ASSERT_LT(loud.first, loud.second) << "paplay could not speak into A's microphone";
    EXPECT_EQ(command(b, "volume " + alice + " 50").rfind("ok ", 0), 0u);
    const auto half = speak();
    ASSERT_LT(half.first, half.second) << "paplay could not speak into A's microphone";
    EXPECT_EQ(command(b, "peer-mute " + alice + " 1"), "ok 49 1");
    const auto peerMuted = speak();
    ASSERT_LT(peerMuted.first, peerMuted.second) << "paplay could not speak into A's microphone";
    EXPECT_EQ(command(b, "peer-mute " + alice + " 0").rfind("ok ", 0), 0u);
    EXPECT_EQ(command(b, "volume " + alice + " 100"), "ok 100 0");
    EXPECT_EQ(command(a, "mic-mute 1"), "ok 1");
    EXPECT_NE(command(a, "state").find(" mute=1"), std::string::npos);
    const auto micMuted = speak();
    ASSERT_LT(micMuted.first, micMuted.second) << "paplay could not speak into A's microphone";
    EXPECT_EQ(command(a, "mic-mute 0"), "ok 0");
    recorder.Terminate();

    // The level moves the source of A's microphone: -300 is 700 steps of 65 above silence.
    EXPECT_EQ(command(a, "mic-level -300"), "ok -300");
    const auto volume = RunCommand({"pactl", "get-source-volume", tag + "_amic.monitor"});
    ASSERT_TRUE(volume);
    EXPECT_NE(volume->find(" 45500 "), std::string::npos) << *volume;
    keeper.Terminate();
    EXPECT_EQ(a.Quit(), std::optional<int>(0));
    EXPECT_EQ(b.Quit(), std::optional<int>(0));

    const auto heard = ReadFile(recordFile);
    int peakLoud = 0, peakHalf = 0, peakPeerMuted = 0, peakMicMuted = 0;
    const double rmsLoud = Rms(heard, loud.first, loud.second, &peakLoud);
    const double rmsHalf = Rms(heard, half.first, half.second, &peakHalf);
    Rms(heard, peerMuted.first, peerMuted.second, &peakPeerMuted);
    Rms(heard, micMuted.first, micMuted.second, &peakMicMuted);
    // Volume 50 plays at -(100 - 10 x sqrt(50)) dB: 29.29 dB below volume 100.
    const double drop = 20 * std::log10(rmsLoud / std::max(rmsHalf, 1e-9));
    std::printf("A's voice at B: rms %.1f at volume 100, %.1f at 50 (%.2f dB lower, 29.29 expected); "
                "peaks muted %d and %d\n",
                rmsLoud, rmsHalf, drop, peakPeerMuted, peakMicMuted);
    ASSERT_GT(peakLoud, 2000) << "A's voice did not reach B";
    EXPECT_NEAR(drop, 29.29, 1.5);
    EXPECT_LE(peakPeerMuted, 2) << "a muted peer is heard";
    EXPECT_LE(peakMicMuted, 2) << "a muted microphone is heard";
}

namespace {

struct SinkInputState {
    std::string sink;  // the sink's name
    std::string module;
    std::string application;
    bool muted = false;
};

// Every playback stream of the server, from pactl's listing.
std::vector<SinkInputState> SinkInputs()
{
    std::map<std::string, std::string> sinkNames;
    if (const auto sinks = RunCommand({"pactl", "list", "short", "sinks"})) {
        std::istringstream lines(*sinks);
        std::string index, name;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            if (fields >> index >> name) sinkNames[index] = name;
        }
    }
    std::vector<SinkInputState> out;
    const auto listing = RunCommand({"pactl", "list", "sink-inputs"});
    if (!listing) return out;
    std::istringstream lines(*listing);
    const auto valueOf = [](const std::string& line, const std::string& key) -> std::optional<std::string> {
        const auto at = line.find(key);
        if (at == std::string::npos) return std::nullopt;
        return line.substr(at + key.size());
    };
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Sink Input #", 0) == 0) out.emplace_back();
        if (out.empty()) continue;
        if (const auto v = valueOf(line, "\tSink: "); v && line.find("Sink: ") == 1) out.back().sink = sinkNames[*v];
        if (const auto v = valueOf(line, "Owner Module: ")) out.back().module = *v;
        if (const auto v = valueOf(line, "Mute: ")) out.back().muted = *v == "yes";
        if (const auto v = valueOf(line, "application.name = \"")) out.back().application = v->substr(0, v->size() - 1);
    }
    return out;
}

}  // namespace

// Opening the microphone settings mutes the microphone's loopback into a sink and nothing else:
// neither another program's playback nor the instances' own peer streams; exit unmutes it.
TEST(VoiceBetweenInstances, MicrophoneSettingsMuteOnlyTheMicrophonesLoopback)
{
    if (!RunCommand({"pactl", "info"})) GTEST_SKIP() << "no PulseAudio server reachable; tools/test.sh starts one";
    const std::string tag = "mvlb" + std::to_string(::getpid());
    TestSinks sinks;
    for (const char* part : {"amic", "aout", "bmic", "bout", "music"}) {
        ASSERT_TRUE(sinks.Load(tag + "_" + part, tag + "-" + part)) << "cannot load a null sink";
    }
    const std::string aMic = DescriptionOf(SoundDirection::Capture, tag + "_amic.monitor");
    const std::string bMic = DescriptionOf(SoundDirection::Capture, tag + "_bmic.monitor");
    ASSERT_FALSE(aMic.empty());
    // Another program plays throughout, from before the instances start.
    ChildProcess music;
    ASSERT_TRUE(music.Start({"pacat", "--playback", "-d", tag + "_music", "--rate=11025", "--channels=1",
                             "--format=s16le", "--raw", "/dev/zero"}));
    const auto ours = [&](const SinkInputState& s) { return s.sink.rfind(tag + "_", 0) == 0; };
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto all = SinkInputs();
            return std::any_of(all.begin(), all.end(), ours);
        },
        20s));

    MorvikaInstance a("Alice");
    MorvikaInstance b("Bob");
    SetUpVoiceUser(a, aMic, tag + "-aout");
    SetUpVoiceUser(b, bMic, tag + "-bout");
    ASSERT_TRUE(Start(a, kPortLoopbackA)) << a.Log();
    ASSERT_TRUE(Start(b, kPortLoopbackB)) << b.Log();
    ASSERT_FALSE(b.Command("connect 127.0.0.1:" + std::to_string(kPortLoopbackA) + " - -").empty());
    ASSERT_TRUE(WaitFor([&] { return CountsOthers(a) && CountsOthers(b); }, 60s)) << a.Log() << b.Log();
    // Each plays the other into its speaker.
    const auto playing = [&](const std::string& sink) {
        const auto all = SinkInputs();
        return std::any_of(all.begin(), all.end(),
                           [&](const SinkInputState& s) { return s.sink == sink && s.application == "Morvika"; });
    };
    ASSERT_TRUE(WaitFor([&] { return playing(tag + "_aout") && playing(tag + "_bout"); }, 30s));

    const auto mutedStreams = [&](const std::string& exceptModule) {
        std::vector<std::string> muted;
        for (const SinkInputState& s : SinkInputs()) {
            if (ours(s) && s.muted && s.module != exceptModule) muted.push_back(s.sink + " (" + s.application + ")");
        }
        return muted;
    };
    EXPECT_EQ(a.Command("mic-level -200", 20s), "ok -200");
    EXPECT_EQ(mutedStreams(""), std::vector<std::string>{}) << "start-up or the settings muted client streams";

    // A real loopback of A's microphone into A's speaker: the settings mute it, and only it.
    const auto loop = RunCommand({"pactl", "load-module", "module-loopback", "source=" + tag + "_amic.monitor",
                                  "sink=" + tag + "_aout", "source_dont_move=true", "sink_dont_move=true"});
    ASSERT_TRUE(loop && !loop->empty());
    const std::string loopModule = loop->substr(0, loop->find('\n'));
    struct Unload {
        std::string module;
        ~Unload() { RunCommand({"pactl", "unload-module", module}); }
    } unload{loopModule};
    const auto loopMuted = [&]() -> std::optional<bool> {
        for (const SinkInputState& s : SinkInputs()) {
            if (s.module == loopModule) return s.muted;
        }
        return std::nullopt;
    };
    ASSERT_TRUE(WaitFor([&] { return loopMuted().has_value(); }, 20s));
    EXPECT_EQ(loopMuted(), std::optional<bool>(false));
    EXPECT_EQ(a.Command("mic-level -200", 20s), "ok -200");
    EXPECT_EQ(loopMuted(), std::optional<bool>(true));
    EXPECT_EQ(mutedStreams(loopModule), std::vector<std::string>{});

    EXPECT_EQ(b.Quit(), std::optional<int>(0));
    EXPECT_EQ(a.Quit(), std::optional<int>(0));
    EXPECT_EQ(loopMuted(), std::optional<bool>(false)) << "exit left the loopback muted";
    EXPECT_EQ(mutedStreams(""), std::vector<std::string>{});
    music.Terminate();
}

namespace {

constexpr std::uint16_t kPortEchoA = 27721;
constexpr std::uint16_t kPortEchoB = 27722;

// A module of the sound server, unloaded with the test.
class ServerModule {
public:
    explicit ServerModule(const std::vector<std::string>& loadArgs)
    {
        std::vector<std::string> argv{"pactl", "load-module"};
        argv.insert(argv.end(), loadArgs.begin(), loadArgs.end());
        if (const auto out = RunCommand(argv); out && !out->empty()) m_index = out->substr(0, out->find('\n'));
    }
    ~ServerModule()
    {
        if (!m_index.empty()) RunCommand({"pactl", "unload-module", m_index});
    }
    const std::string& Index() const { return m_index; }

private:
    std::string m_index;
};

// The sink input a module owns, from `pactl list sink-inputs`; empty when there is none.
std::string SinkInputOf(const std::string& module)
{
    const auto list = RunCommand({"pactl", "list", "sink-inputs"});
    std::istringstream lines(list.value_or(""));
    std::string input;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Sink Input #", 0) == 0) input = line.substr(12);
        const auto owner = line.find("Owner Module: ");
        if (owner != std::string::npos && line.substr(owner + 14) == module) return input;
    }
    return {};
}

// Seconds the named thread of the process has run so far; -1 when it is not found.
double ThreadCpuSeconds(pid_t pid, const std::string& name)
{
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string taskName;
        std::getline(comm, taskName);
        if (taskName != name) continue;
        std::ifstream schedstat(task.path() / "schedstat");
        double ns = -1;
        schedstat >> ns;
        return ns / 1e9;
    }
    return -1;
}

// espeak-ng speech at the voice path's rate, quantised as the codec does for the reference.
bool Speech(const fs::path& work, const std::string& name, const std::string& text, std::vector<std::int16_t>& speech)
{
    const fs::path spoken = work / (name + ".wav");
    if (!RunCommand({"espeak-ng", "-v", "en", "-s", "150", "-w", spoken.string(), text})) return false;
    std::uint32_t rate = 0;
    const auto raw = ReadWave(spoken, rate);
    if (rate != 22050 || raw.size() < 22050) return false;
    speech = Decimate(raw);
    return true;
}

std::vector<double> Quantised(const std::vector<std::int16_t>& speech)
{
    std::vector<double> out;
    for (std::int16_t s : speech) out.push_back(CVoiceCodec::Quantise(s, 7, 0));
    return out;
}

// The 16-bit samples of a raw recording from one byte offset to another.
std::vector<double> Samples(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to)
{
    std::vector<double> out;
    for (std::size_t i = from & ~std::size_t{1}; i + 1 < std::min(to, bytes.size()); i += 2) {
        out.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return out;
}

double Energy(const std::vector<double>& x, long from, long to)
{
    double sum = 0;
    for (long i = std::max(0L, from); i < std::min(to, static_cast<long>(x.size())); ++i) {
        sum += x[static_cast<std::size_t>(i)] * x[static_cast<std::size_t>(i)];
    }
    return sum / static_cast<double>(std::max(1L, to - from));
}

double Db(double energyRatio)
{
    return 10 * std::log10(std::max(energyRatio, 1e-12));
}

// Where a speech pauses longest: the middle of the longest run of 10 ms frames 30 dB or more
// below its loudest, inside the speech.
std::size_t LongestPause(const std::vector<double>& speech)
{
    constexpr std::size_t kFrame = kRate / 100;
    std::vector<double> level;
    for (std::size_t at = 0; at + kFrame <= speech.size(); at += kFrame) {
        level.push_back(Energy(speech, static_cast<long>(at), static_cast<long>(at + kFrame)));
    }
    const double loudest = level.empty() ? 0 : *std::max_element(level.begin(), level.end());
    std::size_t best = 0, bestLength = 0, runStart = 0;
    bool spoken = false;
    for (std::size_t f = 0; f < level.size(); ++f) {
        if (level[f] > loudest * 1e-3) {
            if (spoken && f - runStart > bestLength) {
                bestLength = f - runStart;
                best = (runStart + f) / 2;
            }
            spoken = true;
            runStart = f + 1;
        }
    }
    return best * kFrame;
}

// A's speech in a stretch of the recording, as its phrases before and after the longest pause:
// each lag is the recording's index minus the index in the whole speech.
struct PhrasesHeard {
    SpeechWindowMatch first, second;
    double Correlation() const { return std::min(first.correlation, second.correlation); }
    double StepMs() const { return static_cast<double>(second.lag - first.lag) * 1000.0 / kRate; }
};

PhrasesHeard HeardAsPhrases(const std::vector<double>& speech, const std::vector<double>& heard)
{
    const std::size_t cut = LongestPause(speech);
    const std::vector<double> first(speech.begin(), speech.begin() + static_cast<long>(cut));
    const std::vector<double> second(speech.begin() + static_cast<long>(cut), speech.end());
    PhrasesHeard out{AlignWhole(first, heard), AlignWhole(second, heard)};
    out.second.lag -= static_cast<long>(cut);
    return out;
}

}  // namespace

// A laptop without headphones: A's speaker is looped into A's microphone (quieter, 60 ms late).
// B's voice then comes back to B's speaker as an echo, which A's canceller takes out; A's own
// voice reaches B intact, alone and while both talk. All in one session, cancellation off
// first and then turned on in A's microphone settings.
TEST(VoiceBetweenInstances, EchoOfTheFarEndIsCancelledAndTheNearEndHeardIntact)
{
    if (!RunCommand({"pactl", "info"})) GTEST_SKIP() << "no PulseAudio server reachable; tools/test.sh starts one";
    if (!RunCommand({"espeak-ng", "--version"})) GTEST_SKIP() << "espeak-ng is not installed";

    const std::string tag = "mvec" + std::to_string(::getpid());
    TestSinks sinks;
    for (const char* part : {"amic", "aout", "bmic", "bout"}) {
        ASSERT_TRUE(sinks.Load(tag + "_" + part, tag + "-" + part)) << "cannot load a null sink";
    }
    const ServerModule loop({"module-loopback", "source=" + tag + "_aout.monitor", "sink=" + tag + "_amic",
                             "latency_msec=60", "source_dont_move=true", "sink_dont_move=true"});
    ASSERT_FALSE(loop.Index().empty()) << "cannot load the loopback";
    ASSERT_TRUE(WaitFor([&] { return !SinkInputOf(loop.Index()).empty(); }, 20s));
    ASSERT_TRUE(RunCommand({"pactl", "set-sink-input-volume", SinkInputOf(loop.Index()), "-6dB"}));
    const std::string aMic = DescriptionOf(SoundDirection::Capture, tag + "_amic.monitor");
    const std::string bMic = DescriptionOf(SoundDirection::Capture, tag + "_bmic.monitor");
    ASSERT_FALSE(aMic.empty());
    ASSERT_FALSE(bMic.empty());
    std::vector<std::unique_ptr<ChildProcess>> keepers;
    for (const char* part : {"amic", "aout", "bmic", "bout"}) {
        keepers.push_back(std::make_unique<ChildProcess>());
        ASSERT_TRUE(keepers.back()->Start({"pacat", "--playback", "-d", tag + "_" + part, "--rate=11025",
                                           "--channels=1", "--format=s16le", "--raw", "/dev/zero"}));
    }
    const ScratchFolder scratch(tag + "-work");
    const fs::path& work = scratch.path;

    std::vector<std::int16_t> bSpeech, aSpeech;
    ASSERT_TRUE(Speech(work, "b",
                       "The quick brown fox jumps over the lazy dog. Seven friends talk across the city tonight. "
                       "A loud speaker on the desk sends every word back into the microphone.",
                       bSpeech));
    ASSERT_TRUE(Speech(work, "a", "Pack my box with five dozen liquor jugs, said the clerk.", aSpeech));
    constexpr std::size_t kLead = kRate / 2;
    auto padded = [](const std::vector<std::int16_t>& speech, std::size_t gap, const std::vector<std::int16_t>* again) {
        std::vector<std::int16_t> out(kLead, 0);
        out.insert(out.end(), speech.begin(), speech.end());
        if (again != nullptr) {
            out.insert(out.end(), gap, 0);
            out.insert(out.end(), again->begin(), again->end());
        }
        out.insert(out.end(), kLead, 0);
        return out;
    };
    const fs::path bFile = work / "b-played.wav";
    WriteWave(bFile, padded(bSpeech, 0, nullptr), kRate);
    // A's speech twice, three seconds apart: cancellation is turned on in between.
    constexpr std::size_t kGap = 3 * kRate;
    const fs::path aTwiceFile = work / "a-twice.wav";
    WriteWave(aTwiceFile, padded(aSpeech, kGap, &aSpeech), kRate);
    const fs::path aFile = work / "a-played.wav";
    WriteWave(aFile, padded(aSpeech, 0, nullptr), kRate);

    MorvikaInstance a("Alice");
    MorvikaInstance b("Bob");
    SetUpVoiceUser(a, aMic, tag + "-aout");
    SetUpVoiceUser(b, bMic, tag + "-bout");
    ASSERT_TRUE(Start(a, kPortEchoA)) << a.Log();
    ASSERT_TRUE(Start(b, kPortEchoB)) << b.Log();
    ASSERT_TRUE(a.WaitForLog("音声キャプチャ開始", 30s)) << a.Log();
    ASSERT_TRUE(b.WaitForLog("音声キャプチャ開始", 30s)) << b.Log();
    ASSERT_FALSE(b.Command("connect 127.0.0.1:" + std::to_string(kPortEchoA) + " - -").empty());
    for (MorvikaInstance* instance : {&a, &b}) ASSERT_TRUE(WaitFor([&] { return CountsOthers(*instance); }, 60s));
    ASSERT_TRUE(b.WaitForLog("CSoundPlay::SaveData() 音声を開始しました", 30s)) << b.Log();
    ASSERT_TRUE(a.WaitForLog("CSoundPlay::SaveData() 音声を開始しました", 30s)) << a.Log();

    // On B's speaker, whose sink thread it shares.
    const ServerStallWitness witness(tag + "_bout");
    ASSERT_TRUE(witness.Ready()) << "the stall witness could not play";
    const fs::path recordFile = work / "heard.raw";
    ChildProcess recorder;
    ASSERT_TRUE(recorder.Start({"parec", "-d", tag + "_bout.monitor", "--rate=11025", "--channels=1", "--format=s16le",
                                "--raw", "--latency-msec=20"},
                               {}, recordFile.string()));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(recordFile) && fs::file_size(recordFile) > 4000; }, 20s));
    // Plays the files into the microphones at once; the recording's byte offset at the start.
    // Returns once the recording holds two seconds past the end.
    auto speak = [&](const std::vector<std::pair<std::string, fs::path>>& mouths,
                     const std::function<void()>& meanwhile = {}) -> std::size_t {
        const std::size_t from = fs::file_size(recordFile);
        std::vector<std::unique_ptr<ChildProcess>> players;
        for (const auto& [sink, file] : mouths) {
            players.push_back(std::make_unique<ChildProcess>());
            if (!players.back()->Start({"paplay", "-d", sink, file.string()})) return 0;
        }
        if (meanwhile) meanwhile();
        for (auto& player : players) {
            if (player->WaitExit(60s) != std::optional<int>(0)) return 0;
        }
        const std::size_t end = fs::file_size(recordFile);
        WaitFor([&] { return fs::file_size(recordFile) >= end + 2 * 2 * kRate; }, 30s);
        return from;
    };
    auto captureCpu = [&] { return ThreadCpuSeconds(a.Pid(), "morvika-capture"); };

    // 1. Cancellation off: B speaks, the echo comes back.
    double cpu0 = captureCpu();
    auto clock0 = std::chrono::steady_clock::now();
    const std::size_t echoOffAt = speak({{tag + "_bmic", bFile}});
    const double cpuOff =
        (captureCpu() - cpu0) / std::chrono::duration<double>(std::chrono::steady_clock::now() - clock0).count();
    ASSERT_GT(echoOffAt, 0u) << "paplay could not speak into B's microphone";

    // 2. A speaks alone, twice: off, then on through the microphone settings dialog.
    auto turnOn = [&] {
        ASSERT_EQ(a.Command("mic-settings"), "ok");
        ASSERT_TRUE(a.WaitForEvent("dialog CMicControl", 20s));
        EXPECT_EQ(a.Command("get CMicControl 1070"), "ok 1 0");
        EXPECT_EQ(a.Command("get CMicControl 1071"), "ok 1 0");
        EXPECT_EQ(a.Command("check CMicControl 1070 1"), "ok");
        EXPECT_EQ(a.Command("check CMicControl 1071 1"), "ok");
        EXPECT_TRUE(WaitFor([&] { return a.Command("get CMicControl 1071") == "ok 1 1"; }, 10s));
        EXPECT_EQ(a.Command("press CMicControl 1"), "ok");
        EXPECT_TRUE(WaitFor(
            [&] {
                const auto open = a.List("dialogs");
                return open && open->empty();
            },
            10s));
    };
    const int stallsBeforeNear = witness.Underflows();
    const std::size_t aTwiceAt = speak({{tag + "_amic", aTwiceFile}}, [&] {
        // In the gap between the two: one second after the first ends.
        const std::size_t at = fs::file_size(recordFile);
        WaitFor([&] { return fs::file_size(recordFile) >= at + 2 * (kLead + aSpeech.size() + kRate); }, 30s);
        turnOn();
    });
    ASSERT_GT(aTwiceAt, 0u);
    const int nearStalls = witness.Underflows() - stallsBeforeNear;

    // 3. Cancellation on: B speaks again.
    cpu0 = captureCpu();
    clock0 = std::chrono::steady_clock::now();
    const std::size_t echoOnAt = speak({{tag + "_bmic", bFile}});
    const double cpuOn =
        (captureCpu() - cpu0) / std::chrono::duration<double>(std::chrono::steady_clock::now() - clock0).count();
    ASSERT_GT(echoOnAt, 0u);

    // 4. Both at once: A starts two seconds into B's speech.
    const fs::path aLateFile = work / "a-late.wav";
    std::vector<std::int16_t> late(2 * kRate, 0);
    const auto aPlayed = padded(aSpeech, 0, nullptr);
    late.insert(late.end(), aPlayed.begin(), aPlayed.end());
    WriteWave(aLateFile, late, kRate);
    const int stallsBeforeDouble = witness.Underflows();
    const std::size_t doubleAt = speak({{tag + "_bmic", bFile}, {tag + "_amic", aLateFile}});
    ASSERT_GT(doubleAt, 0u);
    const int doubleStalls = witness.Underflows() - stallsBeforeDouble;
    recorder.Terminate();

    // The setting stays as the dialog left it.
    ASSERT_EQ(a.Command("mic-settings"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog CMicControl", 20s));
    EXPECT_EQ(a.Command("get CMicControl 1070"), "ok 1 1");
    EXPECT_EQ(a.Command("press CMicControl 2"), "ok");
    for (auto& keeper : keepers) keeper->Terminate();
    EXPECT_EQ(a.Quit(), std::optional<int>(0));
    EXPECT_EQ(b.Quit(), std::optional<int>(0));

    const auto bytes = ReadFile(recordFile);
    const std::vector<double> bRef = Quantised(bSpeech);
    const std::vector<double> aRef = Quantised(aSpeech);
    const long half = static_cast<long>(bRef.size() / 2);

    // The echo's delay, from the recording with cancellation off: one lag for the whole (the
    // loop's own rate control lets it drift by a few samples, so the correlation at one lag is
    // low; the energies below need only the lag).
    const std::vector<double> heardOff = Samples(bytes, echoOffAt, aTwiceAt);
    const SpeechWindowMatch echoLag = AlignWhole(bRef, heardOff);
    std::printf("echo with cancellation off: correlation %.3f at %.0f ms behind the recording's start\n",
                echoLag.correlation, echoLag.lag * 1000.0 / kRate);
    // Over the second half of B's speech, where the canceller has adapted.
    const double echoOff = Energy(heardOff, echoLag.lag + half, echoLag.lag + static_cast<long>(bRef.size()));
    const std::vector<double> heardOn = Samples(bytes, echoOnAt, doubleAt);
    const double echoOn = Energy(heardOn, echoLag.lag + half, echoLag.lag + static_cast<long>(bRef.size()));
    const double spoken = Energy(bRef, half, static_cast<long>(bRef.size()));
    const double reduction = Db(echoOff / echoOn);
    const double belowSpeech = Db(spoken / echoOn);
    std::printf("echo over the second half: %.1f dB lower with cancellation on; off %.1f dB and on %.1f dB below "
                "B's own speech\n",
                reduction, Db(spoken / echoOff), belowSpeech);
    std::printf("capture thread CPU: %.4f s per second off, %.4f s per second on\n", cpuOff, cpuOn);
    ASSERT_LT(Db(spoken / echoOff), 15.0) << "no echo came back with cancellation off";
    RecordProperty("echo_reduction_db", std::to_string(reduction));
    RecordProperty("echo_below_speech_db", std::to_string(belowSpeech));
    RecordProperty("capture_cpu_off", std::to_string(cpuOff));
    RecordProperty("capture_cpu_on", std::to_string(cpuOn));
    // What the canceller reaches on this loop, with a margin for a busy machine; the figures
    // printed above are the measurement.
    EXPECT_GE(reduction, 20.0);
    EXPECT_GE(belowSpeech, 25.0);

    // The near end: A's speech, first off, then on; the lag difference is the added delay. Judged
    // phrase by phrase: after a burst has left B's playback running late, it takes the delay back
    // in quiet moments such as the pause between them, which the speech tests judge. A phrase
    // may then come earlier, never later: the canceller only ever adds a lead.
    const std::size_t secondAt = aTwiceAt + 2 * (kLead + aSpeech.size() + kGap);
    const PhrasesHeard off = HeardAsPhrases(aRef, Samples(bytes, aTwiceAt, secondAt));
    const PhrasesHeard on = HeardAsPhrases(aRef, Samples(bytes, secondAt, echoOnAt));
    // Each lag counts from the start of its stretch: the first part starts after the lead-in.
    const double addedMs = (on.first.lag - (off.first.lag - static_cast<long>(kLead))) * 1000.0 / kRate;
    std::printf("A alone at B, phrase by phrase: correlation %.3f and %.3f off, %.3f and %.3f on; %.1f ms more "
                "delay with cancellation on; the second phrase %+.1f ms off and %+.1f ms on against the first\n",
                off.first.correlation, off.second.correlation, on.first.correlation, on.second.correlation, addedMs,
                off.StepMs(), on.StepMs());
    RecordProperty("near_correlation_on", std::to_string(on.Correlation()));
    RecordProperty("added_delay_ms", std::to_string(addedMs));
    if (nearStalls > 0) {
        // The server itself fell behind: a dropout then says nothing about the canceller.
        std::printf("near end not judged: a plain client with a %u ms buffer ran dry %d times meanwhile\n",
                    static_cast<unsigned>(ServerStallWitness::kTargetMs), nearStalls);
    } else {
        EXPECT_GE(on.Correlation(), 0.85);
        EXPECT_LE(on.StepMs(), 2.0) << "A's second phrase came later than the first";
    }
    // The added delay is a figure, not judged here: 19.4-21.5 ms in most runs (the canceller's
    // and the suppressor's hold-back and a frame's wait), but while a build runs beside it B's
    // playback started the second speech 18-57 ms later than the first, for want of the CPU, and
    // takes that back only after two steady seconds. The canceller's own lag is judged in
    // process, against what it states.

    // Double talk: A's words against what B heard while both spoke.
    const std::vector<double> both = Samples(bytes, doubleAt, bytes.size());
    const SpeechWindowMatch duet = AlignWhole(aRef, both);
    std::printf("double talk: A's speech at B with correlation %.3f\n", duet.correlation);
    RecordProperty("double_talk_correlation", std::to_string(duet.correlation));
    if (doubleStalls > 0) {
        std::printf("double talk not judged: a plain client with a %u ms buffer ran dry %d times meanwhile\n",
                    static_cast<unsigned>(ServerStallWitness::kTargetMs), doubleStalls);
        return;
    }
    // 0.71 to 0.82 measured: the suppressor clips some of A while B's echo is taken out.
    EXPECT_GE(duet.correlation, 0.6);
}
