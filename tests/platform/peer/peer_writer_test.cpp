// The writer's ordering rules, seen frame by frame by a plain socket at the other end of a real
// link: control frames before data, high before low, each queue in order, a high message
// overtaking a low one between its chunks, and SendNow only on a link with nothing queued.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/peer/PeerBuffers.h"
#include "platform/peer/PeerConnection.h"

namespace peer::test {
namespace {

using namespace std::chrono_literals;

// Holds each write until the test lets it go.
class CGate final : public ILinkShaper {
public:
    void Delay(const asio::any_io_executor&, std::size_t, std::function<void()> write) override
    {
        m_held.push_back(std::move(write));
    }
    void Cancel() override { m_held.clear(); }
    bool Release()
    {
        if (m_held.empty()) return false;
        auto write = std::move(m_held.front());
        m_held.erase(m_held.begin());
        write();
        return true;
    }

private:
    std::vector<std::function<void()>> m_held;
};

// A link on one end of a loopback connection, and the plain socket at the other.
struct Pair {
    asio::io_context io;
    asio::ip::tcp::socket far{io};
    std::shared_ptr<CPeerConnection> link;

    // `buffers`: the kernel's, each way, when not its own choice.
    explicit Pair(const CPeerConnection::Limits& limits, int buffers = 0)
    {
        asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
        far.open(asio::ip::tcp::v4());
        if (buffers) far.set_option(asio::socket_base::receive_buffer_size(buffers));
        far.connect(acceptor.local_endpoint());
        asio::ip::tcp::socket near = acceptor.accept();
        if (buffers) near.set_option(asio::socket_base::send_buffer_size(buffers));
        link = std::make_shared<CPeerConnection>(std::move(near), limits);
        link->Start([](auto&, auto&, auto) { return true; }, [](auto&, auto&) { return true; },
                    [](auto&, auto, bool) {});
    }
    void Data(char tag, std::size_t size, bool high)
    {
        Buffer payload(size);
        std::fill(payload.begin(), payload.end(), static_cast<std::uint8_t>(tag));
        link->SendData(ShareBuffer(std::move(payload)), {static_cast<std::uint32_t>(size), 1, 2, 0}, high, {}, false);
    }
};

// Reads frames from `fd` until `done` or the end: a tag per frame ('P' a ping, else its
// payload's byte, upper case for high), and a tag per message reassembled whole.
struct Reading {
    std::string frames, messages;
    bool Read(
        int fd, const std::function<bool()>& done = [] { return false; })
    {
        wire::CMessageAssembler assembler;
        wire::CMessageAssembler::Message message;
        Bytes in;
        std::uint8_t chunk[64 * 1024];
        while (!done()) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return n == 0;
            in.insert(in.end(), chunk, chunk + n);
            wire::FrameHeader h;
            while (
                in.size() >= wire::kHeaderSize &&
                wire::DecodeHeader(std::span<const std::uint8_t, wire::kHeaderSize>(in.data(), wire::kHeaderSize), h) &&
                in.size() >= wire::kHeaderSize + h.bodySize) {
                const std::span<const std::uint8_t> body(in.data() + wire::kHeaderSize, h.bodySize);
                if (h.type == wire::FrameType::Ping) frames += 'P';
                if (h.type == wire::FrameType::Data) {
                    frames += static_cast<char>(body.back() ^ ((h.flags & wire::kFlagHigh) ? 0 : 0x20));
                    const auto status = assembler.Feed(h.flags, body, message);
                    if (status == wire::CMessageAssembler::Status::Malformed) return false;
                    if (status == wire::CMessageAssembler::Status::Complete) {
                        const bool whole = std::all_of(message.payload.begin(), message.payload.end(),
                                                       [&](std::uint8_t b) { return b == message.payload[0]; });
                        messages += whole ? static_cast<char>(message.payload[0]) : '?';
                    }
                }
                in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(wire::kHeaderSize + h.bodySize));
            }
        }
        return true;
    }
};

TEST(PeerWriter, ControlThenHighThenLowWithHighOvertakingBetweenChunks)
{
    auto gate = std::make_shared<CGate>();
    CPeerConnection::Limits limits;
    limits.shaper = gate;  // one frame per write, each held until released
    Pair pair(limits);
    pair.Data('A', 40 * 1024, false);  // three chunks; its first is taken at once
    pair.Data('B', 100, false);
    pair.Data('H', 20 * 1024, true);  // two chunks
    pair.Data('I', 100, true);
    pair.link->SendControl(wire::EncodePing());
    while (gate->Release()) pair.io.poll();
    pair.link->Close({});

    Reading reading;
    ASSERT_TRUE(reading.Read(pair.far.native_handle()));
    EXPECT_EQ(reading.frames, "aPHHIaab");
    EXPECT_EQ(reading.messages, "HIAB");
}

// SendNow writes from the sending thread only what can go ahead of nothing: while a message
// waits for a receiver that does not read, it refuses, and what it sends once the link is
// idle arrives after that message.
TEST(PeerWriter, SendNowWaitsForEverythingQueued)
{
    Pair pair({}, 64 * 1024);
    pair.Data('A', 4 * 1024 * 1024, false);
    pair.io.run_for(50ms);
    ASSERT_GT(pair.link->QueuedBytes(), 0u) << "the receiver is not reading";
    const Bytes urgent(100, 'N');
    bool refused = false;
    std::thread([&] { refused = !pair.link->SendNow(urgent, {100, 1, 2, 0}, true); }).join();
    EXPECT_TRUE(refused);

    Reading reading;
    std::atomic<bool> done = false;
    std::thread reader([&] {
        reading.Read(pair.far.native_handle(), [&] { return reading.messages.size() == 2; });
        done = true;
    });
    bool sent = false;
    for (const auto end = std::chrono::steady_clock::now() + 30s; !sent && std::chrono::steady_clock::now() < end;) {
        pair.io.run_for(2ms);
        sent = pair.link->SendNow(urgent, {100, 1, 2, 0}, true);
    }
    EXPECT_TRUE(sent);
    for (const auto end = std::chrono::steady_clock::now() + 30s; !done && std::chrono::steady_clock::now() < end;) {
        pair.io.run_for(2ms);
    }
    pair.link->Close({});
    reader.join();
    EXPECT_EQ(reading.messages, "AN");
}

}  // namespace
}  // namespace peer::test
