#pragma once
// An auto-reset event with wait-any semantics, the sound threads' wake-up primitive.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace morvika::sound {

class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    // Any thread, the sound backends' threads included.
    void Set();
    void Reset();
    bool IsSet() const;

    // Waits until one of the events is signalled, resets it and returns its index (the lowest
    // signalled index wins); -1 when the time-out passes first. No time-out waits for ever.
    static int WaitAny(std::span<AutoResetEvent* const> events,
                       std::optional<std::chrono::milliseconds> timeout = std::nullopt);

private:
    // Guarded by the shared event mutex: the flag, and the conditions of the threads waiting
    // for this event.
    bool m_signalled = false;
    std::vector<std::shared_ptr<std::condition_variable_any>> m_waiters;
};

}  // namespace morvika::sound
