#pragma once
// The playback object's queue of decoded PCM, each entry a voice message's worth. All such
// queues share one lock. Push adds at the newest end and Pop takes the oldest; PushBack puts
// an entry back at the oldest end and PopFront takes the newest.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

class CVoicePcmQueue {
public:
    using Entry = std::vector<std::uint8_t>;

    void Push(Entry entry);
    std::optional<Entry> Pop();
    void PushBack(Entry entry);
    std::optional<Entry> PopFront();
    bool IsEmpty() const;
    void Clear();
    std::size_t Count() const;
    // Bytes of PCM in all entries.
    std::size_t Bytes() const;

private:
    std::deque<Entry> m_entries;  // front = oldest
};
