#pragma once
// What the sound objects need from the rest of the program, kept behind small interfaces so
// that the voice library has no window or session code in it: posting window messages, the
// capture's outgoing voice queue, and the voice settings record.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/VoiceClientConfig.h"
#include "app/WindowMessages.h"  // WM_VOICE_QUEUED, WM_VOICE_LEVEL

// Opaque window identity; 0 means none.
using WindowHandle = std::uintptr_t;

// Message kind of a voice packet.
inline constexpr std::uint32_t kVoicePacketKind = 128;

// Delivers window messages; the program's message layer implements it.
class IWindowPoster {
public:
    virtual ~IWindowPoster() = default;
    // Any thread; never blocks.
    virtual void PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) = 0;
    // Synchronous hand-off; must not be called from a sound thread.
    virtual std::intptr_t SendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                            std::intptr_t lParam) = 0;
};

// The capture object's send queue: receives every encoded packet with its message kind, on
// the capture's sound thread. Implemented over the program's message queue.
class IVoicePacketSink {
public:
    virtual ~IVoicePacketSink() = default;
    virtual void PushVoicePacket(std::uint32_t kind, const std::uint8_t* data, std::size_t size) = 0;
};

// The voice settings record is the settings store's own record type: one definition for the
// store, the session view and the capture object.
using VoiceSettingsRecord = CVoiceClientConfig;
static_assert(sizeof(VoiceSettingsRecord) == 32);

inline constexpr std::uint32_t kVoiceFlagMicMuted = CVoiceClientConfig::kFlagMute;

// The GUI thread writes single words of the record while a sound thread reads them.
template <typename T>
T ReadSettingWord(T& word)
{
    return std::atomic_ref<T>(word).load(std::memory_order_relaxed);
}
template <typename T>
void WriteSettingWord(T& word, T value)
{
    std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
}
