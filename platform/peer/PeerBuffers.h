#pragma once
// Large message buffers are reused across messages and links: a fresh 2 MiB buffer costs
// hundreds of page faults, more than the copy into it.

#include <chrono>
#include <cstddef>
#include <memory>

#include "platform/peer/PeerFrame.h"

namespace peer {

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
