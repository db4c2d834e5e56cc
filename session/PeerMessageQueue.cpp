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

void CPeerMessageQueue::MakeRoom()
{
    if (m_count < m_ring.size()) return;
    std::vector<CPeerMessage> grown(m_ring.empty() ? 16 : m_ring.size() * 2);
    for (std::size_t i = 0; i < m_count; ++i) grown[i] = std::move(At(i));
    m_ring.swap(grown);
    m_front = 0;
}

void CPeerMessageQueue::Push(const CPeerMessage& message)
{
    CPeerMessage copy(message);  // copied outside the lock
    Push(std::move(copy));
}

void CPeerMessageQueue::Push(CPeerMessage&& message)
{
    std::lock_guard guard(QueueLock());
    MakeRoom();
    m_front = Slot(m_ring.size() - 1);
    m_ring[m_front] = std::move(message);
    ++m_count;
}

void CPeerMessageQueue::PushBack(const CPeerMessage& message)
{
    CPeerMessage copy(message);
    std::lock_guard guard(QueueLock());
    MakeRoom();
    At(m_count) = std::move(copy);
    ++m_count;
}

CPeerMessage CPeerMessageQueue::Pop()
{
    std::lock_guard guard(QueueLock());
    if (m_count == 0) return {};
    CPeerMessage message(std::move(At(m_count - 1)));
    --m_count;
    return message;
}

CPeerMessage CPeerMessageQueue::PopFront()
{
    std::lock_guard guard(QueueLock());
    if (m_count == 0) return {};
    CPeerMessage message(std::move(At(0)));
    m_front = Slot(1);
    --m_count;
    return message;
}

std::size_t CPeerMessageQueue::Count() const
{
    std::lock_guard guard(QueueLock());
    return m_count;
}

bool CPeerMessageQueue::IsEmpty() const
{
    std::lock_guard guard(QueueLock());
    return m_count == 0;
}

void CPeerMessageQueue::Clear()
{
    std::vector<CPeerMessage> dropped;
    {
        std::lock_guard guard(QueueLock());
        dropped.swap(m_ring);
        m_front = 0;
        m_count = 0;
    }
    // The blocks are released outside the lock.
}
