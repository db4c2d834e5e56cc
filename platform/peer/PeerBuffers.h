#pragma once
// The buffers messages live in, and their reuse: large message buffers are reused across
// messages and links, since a fresh 2 MiB buffer costs hundreds of page faults, more than the
// copy into it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace peer {

// Whole messages (up to a few MiB) live in buffers that come straight from the system in
// huge-page-aligned mappings: touching a fresh 2 MiB message then costs one page fault
// instead of 512, which on some machines is more than sending it. Small buffers come from
// the heap as usual.
void* AllocateBuffer(std::size_t bytes);
void FreeBuffer(void* p, std::size_t bytes) noexcept;

template <class T>
struct BufferAllocator {
    using value_type = T;
    BufferAllocator() = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept
    {
    }
    T* allocate(std::size_t n) { return static_cast<T*>(AllocateBuffer(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { FreeBuffer(p, n * sizeof(T)); }
    // Growing leaves the new bytes unset: they are about to be written (a copy, a read from
    // the socket), and zeroing megabytes first would cost as much again.
    template <class U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const BufferAllocator<U>&) const noexcept
    {
        return true;
    }
};

// A message's bytes. Unlike Bytes, resize() leaves new bytes unset: fill them.
using Buffer = std::vector<std::uint8_t, BufferAllocator<std::uint8_t>>;

// An empty buffer with room for at least `capacity` bytes.
Buffer TakeBuffer(std::size_t capacity);
// Hands a buffer back for reuse (small or surplus ones are simply freed).
void GiveBuffer(Buffer&& buffer);
// Shares a buffer between queues; it goes back for reuse when the last owner lets go.
std::shared_ptr<const Buffer> ShareBuffer(Buffer&& buffer);
// Frees the kept buffers once none has been taken or given back for `idle`, so that an
// instance that has finished a transfer does not hold on to its memory.
void TrimBuffers(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::duration idle);
// Bytes held for reuse now.
std::size_t KeptBufferBytes();
// Copies a message into its buffer. A large one bypasses the cache: it is read again only
// when its turn to be sent comes, from another thread, by which time a cached copy would
// have been evicted, and its writes would have evicted what the sender is working on.
void CopyMessage(std::uint8_t* to, const std::uint8_t* from, std::size_t size);

}  // namespace peer
