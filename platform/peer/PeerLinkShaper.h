#pragma once
// A hook on a link's writes, for benchmarks and tests that emulate a slower link than the one
// they have. With one installed the writer hands it every frame (one per write) instead of
// pacing to the kernel's queue, and never writes from a sending thread, so that every byte
// crosses the emulated link.

#include <cstddef>
#include <functional>

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio/any_io_executor.hpp>

namespace peer {

class ILinkShaper {
public:
    virtual ~ILinkShaper() = default;
    // `bytes` are ready to go out: calls `write` on `io` once the emulated link has carried
    // them after what it was given before.
    virtual void Delay(const asio::any_io_executor& io, std::size_t bytes, std::function<void()> write) = 0;
    // The link has closed: a `write` not called yet never is.
    virtual void Cancel() = 0;
};

}  // namespace peer
