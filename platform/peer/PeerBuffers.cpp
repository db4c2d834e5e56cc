#include "platform/peer/PeerBuffers.h"

#include "platform/peer/PeerFrame.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PEER_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define PEER_HEAP_ONLY 1
#endif
#endif

namespace peer {

namespace {

#ifndef PEER_HEAP_ONLY
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
// From this size on a buffer gets mappings of its own, rounded up to whole huge pages.
constexpr std::size_t kMappedFrom = 1024 * 1024;

std::size_t MappedSize(std::size_t bytes)
{
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}
#endif

constexpr std::size_t kSmallest = 64 * 1024;  // below this, allocation is cheap
// From this size on a message is copied past the cache.
constexpr std::size_t kStreamFrom = 256 * 1024;
constexpr std::size_t kLargest = wire::kMaxMessageSize + 64 * 1024;
// Held for reuse at most while messages flow: sender, relay and receiver of a fast link all
// draw on it (16 MiB measured slower for a relayed transfer). Freed once idle.
constexpr std::size_t kKeptBytes = 32 * 1024 * 1024;

class CPool {
public:
    Buffer Take(std::size_t capacity)
    {
        if (capacity >= kSmallest) {
            std::lock_guard lock(m_mutex);
            m_lastUse = std::chrono::steady_clock::now();
            // The smallest that fits, so that large buffers stay for large messages; of those the
            // one given back last, whose bytes were just read and are likely still in the cache:
            // copying a message into a cold buffer costs more than the kernel's copy of it.
            auto best = m_free.rend();
            for (auto it = m_free.rbegin(); it != m_free.rend(); ++it) {
                if (it->capacity() >= capacity && (best == m_free.rend() || it->capacity() < best->capacity()))
                    best = it;
            }
            if (best != m_free.rend()) {
                Buffer b = std::move(*best);
                m_free.erase(std::next(best).base());
                m_keptBytes -= b.capacity();
                b.clear();
                return b;
            }
        }
        Buffer b;
        b.reserve(capacity);
        return b;
    }
    void Give(Buffer&& buffer)
    {
        const std::size_t capacity = buffer.capacity();
        if (capacity < kSmallest || capacity > kLargest) return;
        std::lock_guard lock(m_mutex);
        m_lastUse = std::chrono::steady_clock::now();
        if (m_keptBytes + capacity > kKeptBytes) return;
        m_keptBytes += capacity;
        m_free.push_back(std::move(buffer));
    }
    void Trim(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::duration idle)
    {
        std::vector<Buffer> freed;
        {
            std::lock_guard lock(m_mutex);
            if (m_free.empty() || now - m_lastUse < idle) return;
            freed.swap(m_free);
            m_keptBytes = 0;
        }
        // Unmapped outside the lock: senders need not wait for it.
    }
    std::size_t KeptBytes()
    {
        std::lock_guard lock(m_mutex);
        return m_keptBytes;
    }

private:
    std::mutex m_mutex;
    std::vector<Buffer> m_free;
    std::size_t m_keptBytes = 0;
    std::chrono::steady_clock::time_point m_lastUse;
};

// Never destroyed: buffers may come back from links that outlive static destruction.
CPool& Pool()
{
    static CPool* pool = new CPool;
    return *pool;
}

}  // namespace

void* AllocateBuffer(std::size_t bytes)
{
#ifndef PEER_HEAP_ONLY
    // Sanitizer builds keep every buffer on the heap, where overruns are caught.
    if (bytes >= kMappedFrom) {
        const std::size_t size = MappedSize(bytes);
        // One spare huge page, so that an aligned start can be cut out of the mapping.
        void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(raw);
        const auto aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
        if (aligned > start) ::munmap(raw, aligned - start);
        const std::size_t tail = start + size + kHugePage - (aligned + size);
        if (tail) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
        void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
        ::madvise(p, size, MADV_HUGEPAGE);
#endif
        return p;
    }
#endif
    return ::operator new(bytes);
}

void FreeBuffer(void* p, [[maybe_unused]] std::size_t bytes) noexcept
{
#ifndef PEER_HEAP_ONLY
    if (bytes >= kMappedFrom) {
        ::munmap(p, MappedSize(bytes));
        return;
    }
#endif
    ::operator delete(p);
}

Buffer TakeBuffer(std::size_t capacity)
{
    return Pool().Take(capacity);
}

void GiveBuffer(Buffer&& buffer)
{
    Pool().Give(std::move(buffer));
    Buffer().swap(buffer);
}

void TrimBuffers(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::duration idle)
{
    Pool().Trim(now, idle);
}

std::size_t KeptBufferBytes()
{
    return Pool().KeptBytes();
}

void CopyMessage(std::uint8_t* to, const std::uint8_t* from, std::size_t size)
{
#ifdef __SSE2__
    if (size >= kStreamFrom) {
        const std::size_t head = (16 - (reinterpret_cast<std::uintptr_t>(to) & 15)) & 15;
        std::memcpy(to, from, head);
        auto* out = reinterpret_cast<__m128i*>(to + head);
        const auto* in = reinterpret_cast<const __m128i*>(from + head);
        std::size_t blocks = (size - head) / 64;
        for (; blocks > 0; --blocks, out += 4, in += 4) {
            const __m128i a = _mm_loadu_si128(in);
            const __m128i b = _mm_loadu_si128(in + 1);
            const __m128i c = _mm_loadu_si128(in + 2);
            const __m128i d = _mm_loadu_si128(in + 3);
            _mm_stream_si128(out, a);
            _mm_stream_si128(out + 1, b);
            _mm_stream_si128(out + 2, c);
            _mm_stream_si128(out + 3, d);
        }
        // Streamed stores are weakly ordered: fence them before the buffer is handed on.
        _mm_sfence();
        const std::size_t done = head + (size - head) / 64 * 64;
        std::memcpy(to + done, from + done, size - done);
        return;
    }
#endif
    std::memcpy(to, from, size);
}

std::shared_ptr<const Buffer> ShareBuffer(Buffer&& buffer)
{
    return std::shared_ptr<const Buffer>(new Buffer(std::move(buffer)), [](const Buffer* b) {
        Pool().Give(std::move(*const_cast<Buffer*>(b)));
        delete b;
    });
}

}  // namespace peer
