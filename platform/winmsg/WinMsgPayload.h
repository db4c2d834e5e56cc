#pragma once
// Window messages that carry an object. The only place where an LPARAM stands for a
// pointer: a handler names the type it expects and gets it, or nothing when the message
// carries something else.
//
// PostPayload hands an object over: the handler takes it with TakePayload and owns it from
// then on. Whatever nobody took (the target went away, or its handler left it) is destroyed
// with the message, on whichever thread lets go of it last.
// SendPayload lends an object for the length of a synchronous call: the handler reaches it
// with SentPayload, and it stays the sender's.

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/winmsg/WinMsg.h"

namespace winmsg_detail {

// One address per payload type and direction, shared by every library of the program. An
// object handed over is tagged by its exact type; one lent, by its type without const.
template <typename T, bool Owned>
inline constexpr char kPayloadTag = 0;

struct Envelope {
    const void* tag;
};

template <typename T>
struct OwnedEnvelope : Envelope {
    std::unique_ptr<T> value;
    std::function<void()> after;
};

struct LentEnvelope : Envelope {
    const void* object;
    bool readOnly;
};

// The envelope behind lParam when it carries `tag`, else null.
inline Envelope* Open(LPARAM lParam, const void* tag)
{
    auto* envelope = reinterpret_cast<Envelope*>(lParam);
    return envelope != nullptr && envelope->tag == tag ? envelope : nullptr;
}

}  // namespace winmsg_detail

// Queues the message with the object for the target's thread. False when there is no such
// target (the object is gone by then). `after` runs once the message has been handled or
// dropped, after the object left behind was destroyed.
template <typename T>
bool PostPayload(HWND target, UINT message, WPARAM wParam, std::unique_ptr<T> payload,
                 std::function<void()> after = nullptr)
{
    auto* envelope = new winmsg_detail::OwnedEnvelope<T>;
    envelope->tag = &winmsg_detail::kPayloadTag<T, true>;
    envelope->value = std::move(payload);
    envelope->after = std::move(after);
    // WinMsg runs `after` exactly once, handled or dropped: the envelope ends there.
    return PostMessage(target, message, wParam, reinterpret_cast<LPARAM>(envelope), nullptr, [envelope] {
        std::unique_ptr<winmsg_detail::OwnedEnvelope<T>> own(envelope);
        own->value.reset();
        if (own->after) own->after();
    });
}

// In the handler of a posted message: the object, now the caller's; null when the message
// carries no T (or it was taken already).
template <typename T>
std::unique_ptr<T> TakePayload(LPARAM lParam)
{
    auto* envelope = winmsg_detail::Open(lParam, &winmsg_detail::kPayloadTag<T, true>);
    if (envelope == nullptr) return nullptr;
    return std::move(static_cast<winmsg_detail::OwnedEnvelope<T>*>(envelope)->value);
}

// Calls the target with the object lent for the call; as SendMessage otherwise.
template <typename T>
LRESULT SendPayload(HWND target, UINT message, WPARAM wParam, T& payload, bool* delivered = nullptr)
{
    winmsg_detail::LentEnvelope envelope{
        {&winmsg_detail::kPayloadTag<std::remove_cv_t<T>, false>}, std::addressof(payload), std::is_const_v<T>};
    return SendMessage(target, message, wParam, reinterpret_cast<LPARAM>(&envelope), delivered);
}

// In the handler of a sent message: the sender's object; null when the message lends no T,
// or lends it read-only and T is not const.
template <typename T>
T* SentPayload(LPARAM lParam)
{
    auto* envelope = static_cast<winmsg_detail::LentEnvelope*>(
        winmsg_detail::Open(lParam, &winmsg_detail::kPayloadTag<std::remove_cv_t<T>, false>));
    if (envelope == nullptr || (envelope->readOnly && !std::is_const_v<T>)) return nullptr;
    return static_cast<T*>(const_cast<void*>(envelope->object));
}
