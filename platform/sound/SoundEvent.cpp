#include "platform/sound/SoundEvent.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>

#include "platform/sound/SoundMutex.h"

namespace morvika::sound {

namespace {
// All events share one mutex, so a waiter can watch several events at once. Each waiting
// thread has a condition of its own that only the events it waits for signal: a session has
// a sound thread per member, each event fires dozens of times a second, and one condition for
// all woke every sound thread for every other one's events.
SoundMutex& EventMutex()
{
    static SoundMutex mutex;
    return mutex;
}
const std::shared_ptr<std::condition_variable_any>& ThisThreadsCondition()
{
    // Made once per thread: a sound thread's wait allocates nothing. Shared, so that a setter
    // holding it after the lock still has it whole when the thread has ended meanwhile.
    thread_local const auto condition = std::make_shared<std::condition_variable_any>();
    return condition;
}
}  // namespace

void AutoResetEvent::Set()
{
    // Woken while the setter still held the lock, a waiter would only wait for the lock next
    // (two more switches each time, for events that fire hundreds of times a second): the
    // waiters are woken once it is let go.
    std::array<std::shared_ptr<std::condition_variable_any>, 4> wake;
    std::size_t count = 0;
    {
        std::lock_guard lock(EventMutex());
        m_signalled = true;
        for (const auto& waiter : m_waiters) {
            if (count < wake.size()) {
                wake[count++] = waiter;
            } else {
                waiter->notify_one();
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) wake[i]->notify_one();
}

void AutoResetEvent::Reset()
{
    std::lock_guard lock(EventMutex());
    m_signalled = false;
}

bool AutoResetEvent::IsSet() const
{
    std::lock_guard lock(EventMutex());
    return m_signalled;
}

int AutoResetEvent::WaitAny(std::span<AutoResetEvent* const> events, std::optional<std::chrono::milliseconds> timeout)
{
    std::unique_lock lock(EventMutex());
    int found = -1;
    auto ready = [&] {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i] != nullptr && events[i]->m_signalled) {
                found = static_cast<int>(i);
                return true;
            }
        }
        return false;
    };
    if (!ready()) {
        const auto& condition = ThisThreadsCondition();
        for (auto* event : events) {
            if (event != nullptr) event->m_waiters.push_back(condition);
        }
        const bool signalled =
            timeout ? condition->wait_for(lock, *timeout, ready) : (condition->wait(lock, ready), true);
        for (auto* event : events) {
            if (event == nullptr) continue;
            auto& waiters = event->m_waiters;
            const auto it = std::find(waiters.rbegin(), waiters.rend(), condition);
            if (it != waiters.rend()) waiters.erase(std::next(it).base());
        }
        if (!signalled) return -1;
    }
    events[static_cast<std::size_t>(found)]->m_signalled = false;
    return found;
}

}  // namespace morvika::sound
