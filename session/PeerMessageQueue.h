#pragma once
// A locked list of message copies. Push adds at the front and Pop takes from the back, so
// Push/Pop is first-in first-out; PushBack/PopFront work at the opposite ends (the playback
// buffers use them). One process-wide lock guards every queue, so producers on any thread
// may push while the window thread pops. The messages sit in a ring that only grows: a
// queue that has held n messages takes n again without allocating.

#include <cstddef>
#include <vector>

#include "session/PeerMessage.h"

class CPeerMessageQueue {
public:
    CPeerMessageQueue() = default;
    CPeerMessageQueue(const CPeerMessageQueue&) = delete;
    CPeerMessageQueue& operator=(const CPeerMessageQueue&) = delete;
    ~CPeerMessageQueue();

    void Push(const CPeerMessage& message);
    // Takes the message over instead of copying it (a file's worth of payload).
    void Push(CPeerMessage&& message);
    void PushBack(const CPeerMessage& message);
    // The removed message; the empty message when the queue is empty.
    CPeerMessage Pop();
    CPeerMessage PopFront();

    std::size_t Count() const;
    bool IsEmpty() const;
    void Clear();

private:
    // Called with the lock held: room for one more message.
    void MakeRoom();
    // The ring's size is a power of two, so that a mask finds the slot.
    std::size_t Slot(std::size_t index) const { return (m_front + index) & (m_ring.size() - 1); }
    CPeerMessage& At(std::size_t index) { return m_ring[Slot(index)]; }

    std::vector<CPeerMessage> m_ring;
    std::size_t m_front = 0;  // the newest pushed (index 0)
    std::size_t m_count = 0;
};
