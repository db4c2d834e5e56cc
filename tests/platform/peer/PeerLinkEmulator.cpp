#include "PeerLinkEmulator.h"

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <optional>

namespace peer::test {

namespace {

// The bytes of each write arrive once the link has carried them, in order.
class CLinkEmulator final : public ILinkShaper {
public:
    explicit CLinkEmulator(std::uint64_t bitsPerSecond) : m_bitsPerSecond(bitsPerSecond) {}

    void Delay(const asio::any_io_executor& io, std::size_t bytes, std::function<void()> write) override
    {
        if (!m_timer) m_timer.emplace(io);
        const auto start = std::max(std::chrono::steady_clock::now(), m_free);
        m_free =
            start + std::chrono::nanoseconds(static_cast<long long>(bytes * 8ull * 1'000'000'000ull / m_bitsPerSecond));
        m_timer->expires_at(m_free);
        m_timer->async_wait([write = std::move(write)](const std::error_code& ec) {
            if (!ec) write();
        });
    }
    void Cancel() override
    {
        if (m_timer) m_timer->cancel();
    }

private:
    const std::uint64_t m_bitsPerSecond;
    std::optional<asio::steady_timer> m_timer;
    std::chrono::steady_clock::time_point m_free{};
};

}  // namespace

std::function<std::shared_ptr<ILinkShaper>()> EmulatedLink(std::uint64_t bitsPerSecond)
{
    return [bitsPerSecond] { return std::make_shared<CLinkEmulator>(bitsPerSecond); };
}

}  // namespace peer::test
