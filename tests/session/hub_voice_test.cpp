// The main window's voice wiring without widgets: the devices named in the settings, the
// capture started by the session view, its packets through the voice pump to the own
// window's playback while alone, and a program without sound that runs on.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/HalvoApp.h"
#include "app/Log.h"
#include "platform/sound/VirtualSound.h"
#include "session/HalvoHub.h"
#include "tests/support/FakeHubUi.h"
#include "tests/voice/SoundTestSupport.h"
#include "tests/voice/VoiceTestSupport.h"
#include "tests/support/WaitFor.h"

namespace fs = std::filesystem;
using namespace morvika::sound;

// Allocations made on the capture's thread while counting is on (this binary only).
std::atomic<bool> g_countCapture{false};
std::atomic<std::uint64_t> g_captureAllocations{0};

static void* CountedAlloc(std::size_t size)
{
    if (g_countCapture.load(std::memory_order_relaxed)) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        if (std::strcmp(name, "morvika-capture") == 0) ++g_captureAllocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new(std::size_t size)
{
    if (void* p = CountedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return CountedAlloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return CountedAlloc(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

SoundDeviceId Id(std::uint8_t n)
{
    SoundDeviceId id{};
    id.fill(n);
    return id;
}

// The virtual server, remembering which devices were opened.
class RecordingBackend : public ISoundBackend {
public:
    int EnumerateDevices(SoundDirection direction, const std::function<bool(const SoundDeviceInfo&)>& visit) override
    {
        return inner.EnumerateDevices(direction, visit);
    }
    int OpenDevice(SoundDirection direction, const SoundDeviceId* id, std::unique_ptr<ISoundDevice>* out) override
    {
        (direction == SoundDirection::Capture ? captureOpened : playbackOpened).push_back(id ? *id : SoundDeviceId{});
        return inner.OpenDevice(direction, id, out);
    }
    VirtualSoundBackend inner;
    std::vector<SoundDeviceId> captureOpened;
    std::vector<SoundDeviceId> playbackOpened;
};

// A user window that counts what the hub gives it; the hub plays it on its own playbacks.
class CountingWindow : public IUserWindow {
public:
    void ReceivePicture(const std::uint8_t*, std::uint32_t) override {}
    void ReceiveVoice(const CPeerMessage&) override { ++voices; }
    int voices = 0;
};

class CountingUi : public FakeHubUi {
public:
    CountingUi()
    {
        makeWindow = [this](const CUserInformation&) {
            auto window = std::make_unique<CountingWindow>();
            windows.push_back(window.get());
            return window;
        };
    }

    std::vector<CountingWindow*> windows;
};

class HubVoice : public ::testing::Test {
protected:
    HubVoice()
        : m_dir(fs::temp_directory_path() / ("morvika-hubvoice-" + std::to_string(::getpid()))),
          m_app((fs::create_directories(m_dir), (m_dir / "Morvika.conf").string()))
    {
        SetLogFilePath((m_dir / "HalvoLogFile.txt").string());
        backend->inner.AddDevice(SoundDirection::Capture, Id(1), "Mic One");
        backend->inner.AddDevice(SoundDirection::Capture, Id(2), "Mic Two");
        backend->inner.AddDevice(SoundDirection::Playback, Id(3), "Speaker One");
        backend->inner.AddDevice(SoundDirection::Playback, Id(4), "Speaker Two");
        m_host.SetUserName("alone");
        m_client = m_host;
    }
    ~HubVoice() override
    {
        hub.reset();
        SetLogFilePath("");
        fs::remove_all(m_dir);
    }
    void Start(std::shared_ptr<ISoundBackend> sound)
    {
        hub = std::make_unique<CHalvoHub>(m_app, &m_host, &m_client, ui);
        hub->SetSoundBackend(std::move(sound));
        hub->Start(0, {});
    }
    std::string Log() const
    {
        std::ifstream in(m_dir / "HalvoLogFile.txt");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::shared_ptr<RecordingBackend> backend = std::make_shared<RecordingBackend>();
    CountingUi ui;
    fs::path m_dir;
    CHalvoApp m_app;
    CUserInformation m_host;
    CUserInformation m_client;
    std::unique_ptr<CHalvoHub> hub;
};

std::vector<std::uint8_t> Tone(std::size_t samples, std::int16_t offset)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < samples; ++i) {
        const auto s =
            static_cast<std::int16_t>(offset + 8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 11025.0));
        bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(s) >> 8) & 0xFF));
    }
    return bytes;
}

}  // namespace

TEST_F(HubVoice, TheSettingsNameTheDevicesAndAloneTheUserHearsHimself)
{
    m_app.SetCaptureDevice("Mic Two");
    m_app.SetSoundDevice("Speaker Two");
    m_app.SetNonVoice(0);  // stored: the capture sends from its first block
    Start(backend);

    ASSERT_EQ(backend->captureOpened.size(), 1u);
    EXPECT_EQ(backend->captureOpened[0], Id(2));
    ASSERT_EQ(backend->playbackOpened.size(), 1u);  // the own window's playback
    EXPECT_EQ(backend->playbackOpened[0], Id(4));
    EXPECT_NE(hub->FindPlayback(hub->View()->HostUserId(), hub->View()->HostGroupId()), nullptr);
    ASSERT_NE(hub->View()->Capture(), nullptr);
    EXPECT_EQ(hub->View()->Capture()->BlockCount(), 8);

    VirtualSoundBuffer* mic = backend->inner.LastBuffer(SoundDirection::Capture);
    ASSERT_NE(mic, nullptr);
    ASSERT_TRUE(mic->IsRunning());
    mic->Feed(Tone(11025, 0));
    // Two blocks: four packets, which the voice pump hands to the own window's playback.
    for (int block = 0; block < 2; ++block) {
        mic->Advance(kBlock);
        ASSERT_TRUE(WaitFor([&] { return ui.windows.at(0)->voices >= 2 * (block + 1); })) << Log();
    }
    VirtualSoundBuffer* speaker = backend->inner.LastBuffer(SoundDirection::Playback);
    ASSERT_NE(speaker, nullptr);
    EXPECT_TRUE(speaker->IsRunning()) << "the second packet starts the own window's playback";
    EXPECT_TRUE(hub->View()->VoiceQueue().IsEmpty());
}

// The capture's thread runs eight times a second for as long as the program does: once its
// buffers are sized, reading, processing, encoding and queueing a block allocate nothing.
TEST_F(HubVoice, TheCaptureThreadAllocatesNothingPerBlock)
{
    m_app.SetNonVoice(0);
    Start(backend);
    VirtualSoundBuffer* mic = backend->inner.LastBuffer(SoundDirection::Capture);
    ASSERT_NE(mic, nullptr);
    mic->Feed(Tone(11025 * 3, 0));
    int expected = 0;
    auto block = [&] {
        mic->Advance(kBlock);
        expected += 2;
        return WaitFor([&] { return ui.windows.at(0)->voices >= expected; });
    };
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(block()) << Log();  // buffers and spare messages settle
    g_captureAllocations = 0;
    g_countCapture = true;
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(block()) << Log();
    g_countCapture = false;
    EXPECT_EQ(g_captureAllocations.load(), 0u) << "allocations over 16 blocks";
}

TEST_F(HubVoice, AStoredMicrophoneOffsetIsTheCapturesOffset)
{
    m_app.SetNonVoice(-321);
    Start(backend);
    ASSERT_NE(hub->View()->Capture(), nullptr);
    EXPECT_EQ(hub->View()->Capture()->DcOffset(), -321);
    EXPECT_EQ(hub->View()->Capture()->BlockCount(), 8);
}

TEST_F(HubVoice, AnOffsetBeyondTheSampleRangeIsHeldAtItsEdge)
{
    m_app.SetNonVoice(70000);
    Start(backend);
    ASSERT_NE(hub->View()->Capture(), nullptr);
    EXPECT_EQ(hub->View()->Capture()->DcOffset(), 32767);
}

TEST_F(HubVoice, WithoutAStoredOffsetTheFirstSecondCalibratesAndUnknownNamesTakeTheDefaultDevices)
{
    m_app.SetCaptureDevice("No Such Microphone");
    Start(backend);
    ASSERT_NE(hub->View()->Capture(), nullptr);
    EXPECT_EQ(hub->View()->Capture()->BlockCount(), 0);
    ASSERT_EQ(backend->captureOpened.size(), 1u);
    EXPECT_EQ(backend->captureOpened[0], SoundDeviceId{});  // null: the server's default source
    EXPECT_NE(Log().find("ERROR CDirectSoundDriverData::GetDriverGUID() デバイスドライバの取得エラー"),
              std::string::npos);
}

TEST_F(HubVoice, WithoutASoundServerTheSessionRunsOnSilently)
{
    Start(nullptr);
    EXPECT_EQ(hub->View()->Capture(), nullptr);
    ASSERT_EQ(ui.windows.size(), 1u);
    EXPECT_EQ(hub->CreatePlayback(), nullptr);
    EXPECT_NE(Log().find("サウンドサーバがないため音声なしで動作します"), std::string::npos);

    // The voice pump still works: the own window gets its loopback, which plays nowhere.
    CPeerMessage voice;
    voice.Set(KIND_VOICE_DATA, 0, 0, "pcm", 3);
    hub->View()->VoiceQueue().Push(voice);
    PostMessage(hub->Handle(), WM_VOICE_QUEUED, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return ui.windows.at(0)->voices == 1; }));
}

TEST_F(HubVoice, AMicrophoneThatCannotBeOpenedIsLoggedAndTheSessionRunsOn)
{
    backend->inner.FailOpen(kSoundErrNoDriver);
    Start(backend);
    EXPECT_NE(Log().find("ERROR CSoundCapture::Init() 指定された GUID が有効な DirectSound デバイス ID ではない"),
              std::string::npos);
    ASSERT_EQ(ui.windows.size(), 1u);
    EXPECT_NE(hub->OwnWindow(), nullptr);
    hub.reset();  // and it shuts down cleanly
}

// A stalled link delivers its backlog of voice at once. The playback's sound thread looks only
// once the whole burst is queued, so the overload rule plays its newest packet alone: the
// user hears nothing two seconds old, and the delay afterwards is what it was before.
TEST_F(HubVoice, ABurstAfterAStalledLinkIsHeardOnlyFromItsNewestPacket)
{
    Start(backend);
    const std::shared_ptr<CUserPlayback> playback = hub->CreatePlayback();
    ASSERT_NE(playback, nullptr);
    VirtualSoundBuffer* speaker = backend->inner.LastBuffer(SoundDirection::Playback);
    ASSERT_NE(speaker, nullptr);
    ASSERT_EQ(playback->Play().SetVolume(100), 0);  // no software gain: the samples are the packets'
    auto save = [&](std::int16_t value) {
        const auto packet = EncodePacket(PcmBytes(std::vector<std::int16_t>(689, value)));
        return playback->SaveData(7, packet.data(), packet.size());
    };
    ASSERT_EQ(save(100), 0);
    ASSERT_EQ(save(200), 0);
    ASSERT_EQ(playback->Play().PlayState(), 2);
    // The talk spurt's start has been played: one notification at a time, so that none is
    // still pending when the burst comes.
    AdvanceAndWait(*speaker, playback->Play(), 4);
    AdvanceAndWait(*speaker, playback->Play(), kBlock);

    const std::uint64_t handled = playback->Play().HandledEvents();
    for (std::int16_t i = 1; i <= 12; ++i) ASSERT_EQ(save(static_cast<std::int16_t>(240 + 8 * i)), 0);
    ASSERT_TRUE(WaitFor([&] { return playback->Play().HandledEvents() > handled; }));
    EXPECT_EQ(playback->Play().QueuedCount(), 0u);
    const auto ring = speaker->Snapshot();
    const std::vector<std::int16_t> samples = PcmSamples(ring.data(), ring.size());
    for (std::int16_t i = 1; i < 12; ++i) {
        EXPECT_EQ(std::count(samples.begin(), samples.end(), 240 + 8 * i), 0) << "packet " << i << " was played";
    }
    EXPECT_EQ(std::count(samples.begin(), samples.end(), 336), 689);
}
