#include "platform/sound/SoundEvent.h"

#include <condition_variable>
#include <mutex>

#include "platform/sound/SoundMutex.h"

namespace morvika::sound {

namespace {
// All events share one mutex and one condition, so a waiter can watch several events at once.
// There are few events (three per sound object) and they fire a few times a second.
SoundMutex& EventMutex()
{
    static SoundMutex mutex;
    return mutex;
}
std::condition_variable_any& EventCondition()
{
    static std::condition_variable_any condition;
    return condition;
}
}  // namespace

void AutoResetEvent::Set()
{
    {
        std::lock_guard lock(EventMutex());
        m_signalled = true;
    }
    EventCondition().notify_all();
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
    if (timeout) {
        if (!EventCondition().wait_for(lock, *timeout, ready)) return -1;
    } else {
        EventCondition().wait(lock, ready);
    }
    events[static_cast<std::size_t>(found)]->m_signalled = false;
    return found;
}

}  // namespace morvika::sound
