#include "voice/VoicePcmQueue.h"

#include <mutex>

namespace {
std::mutex& QueueLock()
{
    static std::mutex lock;
    return lock;
}
}  // namespace

void CVoicePcmQueue::Push(Entry entry)
{
    std::lock_guard lock(QueueLock());
    m_entries.push_back(std::move(entry));
}

std::optional<CVoicePcmQueue::Entry> CVoicePcmQueue::Pop()
{
    std::lock_guard lock(QueueLock());
    if (m_entries.empty()) return std::nullopt;
    Entry entry = std::move(m_entries.front());
    m_entries.pop_front();
    return entry;
}

void CVoicePcmQueue::PushBack(Entry entry)
{
    std::lock_guard lock(QueueLock());
    m_entries.push_front(std::move(entry));
}

std::optional<CVoicePcmQueue::Entry> CVoicePcmQueue::PopFront()
{
    std::lock_guard lock(QueueLock());
    if (m_entries.empty()) return std::nullopt;
    Entry entry = std::move(m_entries.back());
    m_entries.pop_back();
    return entry;
}

bool CVoicePcmQueue::IsEmpty() const
{
    std::lock_guard lock(QueueLock());
    return m_entries.empty();
}

void CVoicePcmQueue::Clear()
{
    std::lock_guard lock(QueueLock());
    m_entries.clear();
}

std::size_t CVoicePcmQueue::Count() const
{
    std::lock_guard lock(QueueLock());
    return m_entries.size();
}

std::size_t CVoicePcmQueue::Bytes() const
{
    std::lock_guard lock(QueueLock());
    std::size_t bytes = 0;
    for (const Entry& entry : m_entries) bytes += entry.size();
    return bytes;
}
