#pragma once
// Fakes for the sound objects' surroundings: a window poster and a packet sink that record
// what they get, and helpers to drive a virtual buffer one notification at a time.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "platform/sound/VirtualSound.h"
#include "voice/DirectSoundWraper.h"
#include "voice/VoiceBindings.h"
#include "voice/VoiceCodec.h"

// One block of the default format (a capture's and a playback's notification step).
inline constexpr std::uint32_t kBlock = 2756;

struct PostedMessage {
    WindowHandle window;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

class RecordingPoster : public IWindowPoster {
public:
    void PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override
    {
        std::lock_guard lock(m_mutex);
        m_posted.push_back({window, message, wParam, lParam});
    }
    std::intptr_t SendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam) override
    {
        PostWindowMessage(window, message, wParam, lParam);
        return 0;
    }
    std::vector<PostedMessage> Posted(std::uint32_t message)
    {
        std::lock_guard lock(m_mutex);
        std::vector<PostedMessage> out;
        for (const auto& m : m_posted) {
            if (m.message == message) out.push_back(m);
        }
        return out;
    }

private:
    std::mutex m_mutex;
    std::vector<PostedMessage> m_posted;
};

class RecordingSink : public IVoicePacketSink {
public:
    struct Packet {
        std::uint32_t kind;
        std::vector<std::uint8_t> bytes;
    };
    void PushVoicePacket(std::uint32_t kind, const std::uint8_t* data, std::size_t size) override
    {
        std::lock_guard lock(m_mutex);
        m_packets.push_back({kind, std::vector<std::uint8_t>(data, data + size)});
    }
    std::vector<Packet> Packets()
    {
        std::lock_guard lock(m_mutex);
        return m_packets;
    }

private:
    std::mutex m_mutex;
    std::vector<Packet> m_packets;
};

// Moves the buffer's cursor and waits until the object's sound thread has handled one more
// event (the move must pass a notification position).
inline void AdvanceAndWait(morvika::sound::VirtualSoundBuffer& buffer, const CDirectSoundWraper& object,
                           std::uint32_t bytes)
{
    const std::uint64_t before = object.HandledEvents();
    buffer.Advance(bytes);
    ASSERT_TRUE(object.WaitHandledEvents(before + 1, std::chrono::seconds(10))) << "no notification handled";
}

inline std::vector<std::uint8_t> EncodePacket(const std::vector<std::uint8_t>& pcm, int mode = 0)
{
    std::vector<std::uint8_t> w1(22050), w2(22050);
    CVoiceCodec codec;
    EXPECT_EQ(
        codec.Encode(pcm.data(), static_cast<std::uint32_t>(pcm.size()), w1.data(), w2.data(), w1.size(), mode, 0), 0);
    std::size_t size = 0;
    auto packet = codec.MakePacket(size);
    return std::vector<std::uint8_t>(packet.get(), packet.get() + size);
}
