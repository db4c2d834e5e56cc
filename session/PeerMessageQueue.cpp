#include "session/PeerMessageQueue.h"

#include <mutex>
#include <utility>

namespace {

// Shared by every queue of the process.
std::mutex& QueueLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

CPeerMessageQueue::~CPeerMessageQueue()
{
    Clear();
}

void CPeerMessageQueue::Push(const CPeerMessage& message)
{
    CPeerMessage copy(message);  // copied outside the lock
    std::lock_guard guard(QueueLock());
    m_messages.push_front(std::move(copy));
}

void CPeerMessageQueue::Push(CPeerMessage&& message)
{
    std::lock_guard guard(QueueLock());
    m_messages.push_front(std::move(message));
}

void CPeerMessageQueue::PushBack(const CPeerMessage& message)
{
    CPeerMessage copy(message);
    std::lock_guard guard(QueueLock());
    m_messages.push_back(std::move(copy));
}

CPeerMessage CPeerMessageQueue::Pop()
{
    std::lock_guard guard(QueueLock());
    if (m_messages.empty()) return {};
    CPeerMessage message(std::move(m_messages.back()));
    m_messages.pop_back();
    return message;
}

CPeerMessage CPeerMessageQueue::PopFront()
{
    std::lock_guard guard(QueueLock());
    if (m_messages.empty()) return {};
    CPeerMessage message(std::move(m_messages.front()));
    m_messages.pop_front();
    return message;
}

std::size_t CPeerMessageQueue::Count() const
{
    std::lock_guard guard(QueueLock());
    return m_messages.size();
}

bool CPeerMessageQueue::IsEmpty() const
{
    std::lock_guard guard(QueueLock());
    return m_messages.empty();
}

void CPeerMessageQueue::Clear()
{
    std::deque<CPeerMessage> dropped;
    {
        std::lock_guard guard(QueueLock());
        dropped.swap(m_messages);
    }
    // The blocks are released outside the lock.
}
