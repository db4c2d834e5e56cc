// The PulseAudio backend against a real server: tools/test.sh starts a private daemon with
// null sinks (tools/pulse-test-daemon.sh). Sound played into a null sink is recorded from its
// monitor source.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound/PulseSound.h"
#include "platform/sound/SoundEvent.h"

using namespace morvika::sound;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kRing = 22048;  // one second of 11025 Hz mono, 8 blocks
constexpr std::uint32_t kBlock = kRing / 8;

std::string RunCommand(const std::string& command)
{
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
        ::pclose(pipe);
    }
    return out;
}

// Reads a capture buffer on a thread of its own, woken by the buffer's notifications.
class Recorder {
public:
    explicit Recorder(ISoundBuffer& buffer) : m_buffer(buffer)
    {
        std::vector<SoundNotification> positions;
        for (std::uint32_t i = 1; i <= 8; ++i) positions.push_back({i * kBlock - 1, &m_data});
        positions.push_back({kNotifyOnStop, &m_stopped});
        EXPECT_EQ(m_buffer.SetNotificationPositions(positions), kSoundOk);
        m_thread = std::thread([this] { Run(); });
    }
    ~Recorder()
    {
        m_quit.Set();
        m_thread.join();
    }
    std::vector<std::int16_t> Take()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_samples, {});
    }
    int Notifications() const { return m_notifications.load(); }
    int Stops() const { return m_stops.load(); }

private:
    void Run()
    {
        AutoResetEvent* const events[] = {&m_data, &m_stopped, &m_quit};
        for (;;) {
            const int which = AutoResetEvent::WaitAny(events);
            if (which == 2) return;
            if (which == 1) {
                ++m_stops;
                continue;
            }
            ++m_notifications;
            std::uint32_t cursor = 0, read = 0;
            if (m_buffer.GetCurrentPosition(&cursor, &read) != kSoundOk) continue;
            const std::uint32_t bytes = (read + kRing - m_next) % kRing;
            if (bytes == 0) continue;
            SoundRegion first, second;
            if (m_buffer.Lock(m_next, bytes, &first, &second, 0) != kSoundOk) continue;
            std::lock_guard lock(m_mutex);
            for (const SoundRegion* r : {&first, &second}) {
                for (std::uint32_t i = 0; r->data && i + 1 < r->size; i += 2) {
                    m_samples.push_back(static_cast<std::int16_t>(r->data[i] | (r->data[i + 1] << 8)));
                }
            }
            m_buffer.Unlock(first, second);
            m_next = read;
        }
    }

    ISoundBuffer& m_buffer;
    AutoResetEvent m_data, m_stopped, m_quit;
    std::thread m_thread;
    std::uint32_t m_next = 0;
    std::mutex m_mutex;
    std::vector<std::int16_t> m_samples;
    std::atomic<int> m_notifications{0};
    std::atomic<int> m_stops{0};
};

double Rms(const std::vector<std::int16_t>& samples, std::size_t skip)
{
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = skip; i < samples.size(); ++i, ++n) sum += double(samples[i]) * samples[i];
    return n ? std::sqrt(sum / double(n)) : 0;
}

class PulseSoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (backend.Connect() != kSoundOk) {
            const char* server = std::getenv("PULSE_SERVER");
            GTEST_SKIP() << "no PulseAudio server reachable (PULSE_SERVER=" << (server ? server : "unset")
                         << "); tools/test.sh starts a private one";
        }
        std::vector<SoundDeviceInfo> sinks;
        backend.EnumerateDevices(SoundDirection::Playback, [&](const SoundDeviceInfo& d) {
            sinks.push_back(d);
            return true;
        });
        bool haveTestSink = false;
        for (const auto& d : sinks) haveTestSink |= d.hasId && d.id == PulseSoundBackend::IdForName("morvika_test_c");
        if (!haveTestSink)
            GTEST_SKIP() << "the server has no null sinks morvika_test_a to _c (tools/pulse-test-daemon.sh adds them)";
        backend.EnumerateDevices(SoundDirection::Capture, [](const SoundDeviceInfo&) { return true; });
    }

    // A playback buffer into a null sink holding a looping 441 Hz tone, and a capture buffer on
    // the sink's monitor. Each test takes a sink of its own: CTest may run them side by side.
    void OpenPair(const std::string& sink, std::int16_t amplitude = 8000)
    {
        const SoundDeviceId sinkId = PulseSoundBackend::IdForName(sink);
        const SoundDeviceId monitorId = PulseSoundBackend::IdForName(sink + ".monitor");
        ASSERT_EQ(backend.OpenDevice(SoundDirection::Playback, &sinkId, &playDevice), kSoundOk);
        ASSERT_EQ(backend.OpenDevice(SoundDirection::Capture, &monitorId, &captureDevice), kSoundOk);
        SoundFormat format;
        ASSERT_EQ(playDevice->CreateBuffer(format, kRing, &play), kSoundOk);
        ASSERT_EQ(captureDevice->CreateBuffer(format, kRing, &capture), kSoundOk);
        SoundRegion first, second;
        ASSERT_EQ(play->Lock(0, 0, &first, &second, kLockEntireBuffer), kSoundOk);
        // 11025 / 440 is not whole; 441 Hz gives exactly 25 samples a period, so the loop is seamless.
        for (std::uint32_t i = 0; i + 1 < first.size; i += 2) {
            const auto v = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * (i / 2) / 25.0));
            first.data[i] = static_cast<std::uint8_t>(v);
            first.data[i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8);
        }
        ASSERT_EQ(play->Unlock(first, second), kSoundOk);
    }

    // A null sink that has been idle renders up to two seconds ahead when a stream starts, and
    // only then runs at the pace its streams ask for; wait until the monitor delivers steadily.
    void WaitForSteadySound(Recorder& recorder)
    {
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        std::size_t steady = 0;
        while (steady < 3 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            steady = recorder.Take().size() >= 800 ? steady + 1 : 0;  // ~1100 samples per 100 ms
        }
        ASSERT_GE(steady, 3u) << "the monitor never delivered sound at the normal pace";
    }

    // Records for the given time, after a settling time, and returns what came in.
    std::vector<std::int16_t> Record(Recorder& recorder, std::chrono::milliseconds settle,
                                     std::chrono::milliseconds length)
    {
        std::this_thread::sleep_for(settle);  // the sound path has to fill first
        recorder.Take();
        const auto until = std::chrono::steady_clock::now() + length;
        std::vector<std::int16_t> all;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(50ms);
            auto part = recorder.Take();
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

    PulseSoundBackend backend{"Morvika"};
    std::unique_ptr<ISoundDevice> playDevice, captureDevice;
    std::unique_ptr<ISoundBuffer> play, capture;
};

TEST_F(PulseSoundTest, DeviceListHasThePrimaryEntryThenTheServersDevices)
{
    std::vector<SoundDeviceInfo> sources;
    ASSERT_EQ(backend.EnumerateDevices(SoundDirection::Capture,
                                       [&](const SoundDeviceInfo& d) {
                                           sources.push_back(d);
                                           return true;
                                       }),
              kSoundOk);
    ASSERT_GE(sources.size(), 2u);
    EXPECT_FALSE(sources[0].hasId);
    EXPECT_EQ(sources[0].description, "Primary Sound Capture Driver");
    bool monitor = false;
    for (const auto& s : sources) monitor |= s.description == "Monitor of MorvikaTestB";
    EXPECT_TRUE(monitor);
    std::unique_ptr<ISoundDevice> device;
    EXPECT_EQ(backend.OpenDevice(SoundDirection::Capture, &kDefaultCaptureDevice, &device), kSoundOk);
    SoundDeviceId unknown{};
    unknown.fill(0x42);
    EXPECT_EQ(backend.OpenDevice(SoundDirection::Capture, &unknown, &device), kSoundErrNoDriver);
}

TEST_F(PulseSoundTest, PlaybackIntoANullSinkIsRecordedFromItsMonitor)
{
    OpenPair("morvika_test_a");
    Recorder recorder(*capture);
    ASSERT_EQ(capture->Start(), kSoundOk);
    ASSERT_EQ(play->Start(), kSoundOk);
    WaitForSteadySound(recorder);
    const auto samples = Record(recorder, 100ms, 1500ms);
    ASSERT_GT(samples.size(), 11025u);  // at least a second of sound came back
    const double rms = Rms(samples, 0);
    EXPECT_GT(rms, 8000 / std::sqrt(2.0) * 0.7);
    EXPECT_LT(rms, 8000 / std::sqrt(2.0) * 1.3);
    // The tone's frequency survives: count rising zero crossings. A stretch of silence is a
    // dropout of the server (it says so on standard error), not a changed tone: it is left out.
    int crossings = 0;
    std::size_t counted = samples.size(), zeros = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        crossings += samples[i - 1] < 0 && samples[i] >= 0;
        zeros = samples[i] == 0 ? zeros + 1 : 0;
        // A run of a few zeros is silence; the tone touches zero only for a sample.
        if (zeros == 8) counted -= 8;
        if (zeros > 8) --counted;
    }
    ASSERT_GT(counted, 11025u);
    const double hz = crossings * 11025.0 / static_cast<double>(counted);
    EXPECT_NEAR(hz, 441.0, 15.0);
    EXPECT_GE(recorder.Notifications(), 8);

    std::uint32_t status = 0;
    ASSERT_EQ(play->GetStatus(&status), kSoundOk);
    EXPECT_TRUE(status & kStatusPlaying);
    const std::string inputs = RunCommand("pactl list sink-inputs 2>/dev/null");
    EXPECT_NE(inputs.find("application.name = \"Morvika\""), std::string::npos) << inputs;
    EXPECT_NE(inputs.find("media.role = \"phone\""), std::string::npos) << inputs;
    ASSERT_EQ(play->Stop(), kSoundOk);
    ASSERT_EQ(capture->Stop(), kSoundOk);
    EXPECT_TRUE(recorder.Stops() >= 0);
}

TEST_F(PulseSoundTest, PlayCursorNotificationsArriveAndStopSignals)
{
    OpenPair("morvika_test_b");
    AutoResetEvent data, stopped;
    std::vector<SoundNotification> positions;
    for (std::uint32_t i = 0; i < 8; ++i) positions.push_back({i * kBlock + 2, &data});
    positions.push_back({kNotifyOnStop, &stopped});
    ASSERT_EQ(play->SetNotificationPositions(positions), kSoundOk);
    ASSERT_EQ(play->Start(), kSoundOk);
    AutoResetEvent* const events[] = {&data};
    // Let the sink settle first (see WaitForSteadySound).
    for (int i = 0; i < 16; ++i) ASSERT_EQ(AutoResetEvent::WaitAny(events, 5s), 0);
    std::uint32_t last = 0;
    int moved = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(AutoResetEvent::WaitAny(events, 5s), 0) << "notification " << i << " did not arrive";
        std::uint32_t cursor = 0, write = 0;
        ASSERT_EQ(play->GetCurrentPosition(&cursor, &write), kSoundOk);
        // Just past a block start: within about 10 ms (220 bytes) and a server request.
        const std::uint32_t into = (cursor + kRing - 2) % kBlock;
        EXPECT_LT(into, kBlock / 2) << "cursor " << cursor;
        moved += cursor != last;
        last = cursor;
    }
    EXPECT_GE(moved, 9);
    ASSERT_EQ(play->Stop(), kSoundOk);
    AutoResetEvent* const stop[] = {&stopped};
    EXPECT_EQ(AutoResetEvent::WaitAny(stop, 5s), 0);
    std::uint32_t status = 0;
    ASSERT_EQ(play->GetStatus(&status), kSoundOk);
    EXPECT_FALSE(status & kStatusPlaying);
}

TEST_F(PulseSoundTest, BufferVolumeAttenuatesInHundredthsOfADecibel)
{
    OpenPair("morvika_test_c");
    Recorder recorder(*capture);
    ASSERT_EQ(capture->Start(), kSoundOk);
    ASSERT_EQ(play->Start(), kSoundOk);
    WaitForSteadySound(recorder);
    const double full = Rms(Record(recorder, 100ms, 800ms), 0);
    ASSERT_GT(full, 1000);
    // What the server rendered before a change still comes out for a while: measure until the
    // level has settled (or a generous time-out).
    auto settledRms = [&](auto settled) {
        double rms = 0;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        do {
            rms = Rms(Record(recorder, 0ms, 400ms), 0);
        } while (!settled(rms) && std::chrono::steady_clock::now() < deadline);
        return rms;
    };
    ASSERT_EQ(play->SetVolume(-600), kSoundOk);
    std::int32_t volume = 0;
    ASSERT_EQ(play->GetVolume(&volume), kSoundOk);
    EXPECT_EQ(volume, -600);
    const double expected = std::pow(10.0, -6.0 / 20.0);  // -6 dB
    const double half = settledRms([&](double rms) { return std::abs(rms / full - expected) < 0.05; });
    EXPECT_NEAR(half / full, expected, 0.12);
    ASSERT_EQ(play->SetVolume(kVolumeMin), kSoundOk);
    const double silent = settledRms([&](double rms) { return rms < full * 0.01; });
    EXPECT_LT(silent, full * 0.01);
    EXPECT_EQ(play->SetVolume(1), kSoundErrInvalidArg);
}

}  // namespace

namespace {

// The amplitude of one frequency in a recording at 11025 Hz.
double ToneAmplitude(const std::vector<std::int16_t>& samples, double hz)
{
    double re = 0, im = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double phase = 2 * M_PI * hz * static_cast<double>(i) / 11025.0;
        re += samples[i] * std::cos(phase);
        im += samples[i] * std::sin(phase);
    }
    return samples.empty() ? 0 : 2 * std::hypot(re, im) / static_cast<double>(samples.size());
}

// A session plays a buffer per peer: they reach the server as one stream, each heard at its own
// volume, and one stopping leaves the others playing.
TEST_F(PulseSoundTest, PlayingBuffersOfADeviceAreMixedIntoOneStreamEachAtItsVolume)
{
    const std::string sink = "morvika_test_mix" + std::to_string(::getpid());
    const std::string module = RunCommand("pactl load-module module-null-sink sink_name=" + sink);
    ASSERT_FALSE(module.empty()) << "could not add a null sink";
    struct Unload {
        std::string module;
        ~Unload() { RunCommand("pactl unload-module " + module); }
    } unload{module.substr(0, module.find('\n'))};
    OpenPair(sink);
    std::unique_ptr<ISoundBuffer> other;
    ASSERT_EQ(playDevice->CreateBuffer(SoundFormat{}, kRing, &other), kSoundOk);
    SoundRegion first, second;
    ASSERT_EQ(other->Lock(0, 0, &first, &second, kLockEntireBuffer), kSoundOk);
    for (std::uint32_t i = 0; i + 1 < first.size; i += 2) {  // 315 Hz: 35 samples a period
        const auto v = static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * (i / 2) / 35.0));
        first.data[i] = static_cast<std::uint8_t>(v);
        first.data[i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8);
    }
    ASSERT_EQ(other->Unlock(first, second), kSoundOk);

    Recorder recorder(*capture);
    ASSERT_EQ(capture->Start(), kSoundOk);
    ASSERT_EQ(play->Start(), kSoundOk);
    ASSERT_EQ(other->Start(), kSoundOk);
    WaitForSteadySound(recorder);
    const std::string index = RunCommand("pactl list short sinks | awk '$2 == \"" + sink + "\" {print $1}'");
    const std::string inputs =
        RunCommand("pactl list short sink-inputs | awk '$2 == " + index.substr(0, index.find('\n')) + "' | wc -l");
    EXPECT_EQ(std::atoi(inputs.c_str()), 1) << "one stream for both buffers";

    const auto both = Record(recorder, 100ms, 1000ms);
    EXPECT_NEAR(ToneAmplitude(both, 441), 8000, 800);
    EXPECT_NEAR(ToneAmplitude(both, 315), 6000, 600);

    // What the server holds from before a change plays out first: wait for the new level.
    auto settled = [&](double hz, double expected) {
        double amplitude = 0;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        do {
            amplitude = ToneAmplitude(Record(recorder, 0ms, 500ms), hz);
        } while (std::abs(amplitude - expected) > expected * 0.1 + 100 && std::chrono::steady_clock::now() < deadline);
        return amplitude;
    };
    ASSERT_EQ(other->SetVolume(-600), kSoundOk);  // -6 dB: half
    EXPECT_NEAR(settled(315, 3000), 3000, 400);
    EXPECT_NEAR(ToneAmplitude(Record(recorder, 0ms, 500ms), 441), 8000, 800) << "the other buffer's volume moved";

    ASSERT_EQ(play->Stop(), kSoundOk);
    EXPECT_LT(settled(441, 0), 200) << "a stopped buffer still heard";
    EXPECT_NEAR(ToneAmplitude(Record(recorder, 0ms, 500ms), 315), 3000, 400) << "stopping one stopped the other";
    ASSERT_EQ(other->Stop(), kSoundOk);
    ASSERT_EQ(capture->Stop(), kSoundOk);
}

}  // namespace
