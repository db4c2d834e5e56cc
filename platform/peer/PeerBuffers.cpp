#include "platform/peer/PeerBuffers.h"

#include <mutex>
#include <vector>

namespace peer {

namespace {

constexpr std::size_t kSmallest = 64 * 1024;               // below this, allocation is cheap
constexpr std::size_t kLargest = wire::kMaxMessageSize + 64 * 1024;
constexpr std::size_t kKeptBytes = 32 * 1024 * 1024;      // held for reuse at most

class CPool {
 public:
  Bytes Take(std::size_t capacity) {
    if (capacity >= kSmallest) {
      std::lock_guard lock(m_mutex);
      // The smallest that fits, so that large buffers stay for large messages.
      auto best = m_free.end();
      for (auto it = m_free.begin(); it != m_free.end(); ++it) {
        if (it->capacity() >= capacity && (best == m_free.end() || it->capacity() < best->capacity())) best = it;
      }
      if (best != m_free.end()) {
        Bytes b = std::move(*best);
        m_free.erase(best);
        m_keptBytes -= b.capacity();
        b.clear();
        return b;
      }
    }
    Bytes b;
    b.reserve(capacity);
    return b;
  }
  void Give(Bytes&& buffer) {
    const std::size_t capacity = buffer.capacity();
    if (capacity < kSmallest || capacity > kLargest) return;
    std::lock_guard lock(m_mutex);
    if (m_keptBytes + capacity > kKeptBytes) return;
    m_keptBytes += capacity;
    m_free.push_back(std::move(buffer));
  }

 private:
  std::mutex m_mutex;
  std::vector<Bytes> m_free;
  std::size_t m_keptBytes = 0;
};

// Never destroyed: buffers may come back from links that outlive static destruction.
CPool& Pool() {
  static CPool* pool = new CPool;
  return *pool;
}

}  // namespace

Bytes TakeBuffer(std::size_t capacity) { return Pool().Take(capacity); }

void GiveBuffer(Bytes&& buffer) {
  Pool().Give(std::move(buffer));
  Bytes().swap(buffer);
}

std::shared_ptr<const Bytes> ShareBuffer(Bytes&& buffer) {
  return std::shared_ptr<const Bytes>(new Bytes(std::move(buffer)), [](const Bytes* b) {
    Pool().Give(std::move(*const_cast<Bytes*>(b)));
    delete b;
  });
}

}  // namespace peer
