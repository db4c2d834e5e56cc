// What a hostile or broken peer can do to a host: every bad frame costs it only its own link.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <memory>
#include <string>
#include <thread>

#include "PeerTestSupport.h"

namespace peer::test {
namespace {

using namespace std::chrono_literals;

// A blocking TCP socket to the host, speaking TLS as a joiner does (or, `plain`, not at all).
class CRawSocket {
public:
    // `from`: the loopback address to connect from, so that strangers can differ by address.
    explicit CRawSocket(std::uint16_t port, const char* from = nullptr, bool plain = false)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (!m_connected || plain) return;
        static const Identity identity = [] {
            Identity made;
            std::string error;
            CreateIdentity(made, error);
            return made;
        }();
        std::string error;
        m_context = MakeTlsContext(identity, false, error);
        m_ssl = m_context ? SSL_new(m_context->native_handle()) : nullptr;
        m_connected = m_ssl && SSL_set_fd(m_ssl, m_fd) == 1 && SSL_connect(m_ssl) == 1;
    }
    ~CRawSocket()
    {
        if (m_ssl) SSL_free(m_ssl);
        ::close(m_fd);
    }
    bool Connected() const { return m_connected; }
    SSL* Tls() const { return m_ssl; }

    bool Write(const Bytes& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = m_ssl ? SSL_write(m_ssl, bytes.data() + done, static_cast<int>(bytes.size() - done))
                                    : ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads one frame; false on close or time-out.
    bool ReadFrame(wire::FrameHeader& header, Bytes& body, std::chrono::milliseconds timeout = 10s)
    {
        std::array<std::uint8_t, wire::kHeaderSize> raw{};
        if (!ReadExactly(raw.data(), raw.size(), timeout)) return false;
        if (!wire::DecodeHeader(raw, header)) return false;
        body.resize(header.bodySize);
        return ReadExactly(body.data(), body.size(), timeout);
    }
    // True once the host has closed the link (reads end or fail), within the time-out.
    bool ClosedByPeer(std::chrono::milliseconds timeout = 10s)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::uint8_t buffer[4096];
        while (std::chrono::steady_clock::now() < end) {
            if (!Readable()) continue;
            if (Receive(buffer, sizeof buffer) <= 0) return true;
        }
        return false;
    }

private:
    bool Readable()
    {
        if (m_ssl && SSL_pending(m_ssl) > 0) return true;
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 100) > 0;
    }
    ssize_t Receive(std::uint8_t* out, std::size_t size)
    {
        return m_ssl ? SSL_read(m_ssl, out, static_cast<int>(size)) : ::recv(m_fd, out, size, 0);
    }
    bool ReadExactly(std::uint8_t* out, std::size_t size, std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::size_t done = 0;
        while (done < size) {
            if (std::chrono::steady_clock::now() >= end) return false;
            if (!Readable()) continue;
            const ssize_t n = Receive(out + done, size - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    int m_fd = -1;
    bool m_connected = false;
    std::shared_ptr<asio::ssl::context> m_context;
    SSL* m_ssl = nullptr;
};

Bytes Header(std::uint32_t size, std::uint8_t type, std::uint8_t flags, std::uint16_t magic = wire::kMagic)
{
    Bytes h(wire::kHeaderSize);
    for (int i = 0; i < 4; ++i) h[i] = static_cast<std::uint8_t>(size >> (8 * i));
    h[4] = type;
    h[5] = flags;
    h[6] = static_cast<std::uint8_t>(magic);
    h[7] = static_cast<std::uint8_t>(magic >> 8);
    return h;
}

Bytes ValidHello()
{
    wire::Hello hello;
    hello.application = kApp;
    hello.name = "raw";
    hello.connectData = {1, 2, 3};
    return wire::EncodeHello(hello);
}

// Joins with a raw socket and reads the handshake; returns our id or 0.
PlayerId RawJoin(CRawSocket& raw)
{
    if (!raw.Write(ValidHello())) return 0;
    PlayerId id = 0;
    wire::FrameHeader header;
    Bytes body;
    while (raw.ReadFrame(header, body)) {
        if (header.type == wire::FrameType::Welcome) {
            wire::Welcome welcome;
            if (wire::DecodeWelcome(body, welcome)) id = welcome.local;
        }
        if (header.type == wire::FrameType::ConnectResult) return id;
    }
    return 0;
}

// A host with one well-behaved member, to show the session survives.
struct SessionWithMember {
    CNode host;
    CNode member;
    std::uint16_t port = 0;

    explicit SessionWithMember(ServiceOptions hostOptions = FastOptions()) : host(std::move(hostOptions))
    {
        port = host.Host();
        member.JoinAndWait(port);
    }
    // A round trip host -> member -> host still works.
    bool StillWorks(std::uint8_t tag)
    {
        const Bytes data{tag, 1, 2, 3};
        const PlayerId m = member.service.LocalPlayer();
        const PlayerId h = host.service.LocalPlayer();
        if (host.service.SendTo(m, data.data(), 4, 0ms, DPNSEND_PRIORITY_HIGH) != DPNSUCCESS_PENDING) return false;
        if (member.service.SendTo(h, data.data(), 4, 0ms, DPNSEND_PRIORITY_HIGH) != DPNSUCCESS_PENDING) return false;
        return member.recorder.WaitFor([&] { return member.Received(h, data); }) &&
               host.recorder.WaitFor([&] { return host.Received(m, data); });
    }
};

TEST(PeerRobustness, LyingFramesFromAStrangerDropOnlyItsLink)
{
    SessionWithMember session;
    ASSERT_NE(session.member.service.LocalPlayer(), 0u);
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"length far over the limit", Header(100u * 1024 * 1024, 8, wire::kFlagFirst)},
        {"length over the type's limit", Header(5, 9, 0)},
        {"unknown type", Header(0, 0x77, 0)},
        {"type zero", Header(0, 0, 0)},
        {"wrong magic", Header(0, 9, 0, 0x1234)},
        {"flags on a control frame", Header(0, 9, 0x01)},
        {"data before hello", Header(20, 8, wire::kFlagFirst | wire::kFlagLast)},
        {"roster frame from a joiner", Header(8, 5, 0)},
    };
    std::uint8_t tag = 0;
    for (const auto& [what, bytes] : cases) {
        CRawSocket raw(session.port);
        ASSERT_TRUE(raw.Connected());
        Bytes frame = bytes;
        frame.resize(frame.size() + 20, 0);  // whatever body it claims, some bytes follow
        raw.Write(frame);
        EXPECT_TRUE(raw.ClosedByPeer()) << what;
        EXPECT_TRUE(session.StillWorks(++tag)) << what;
    }
    EXPECT_GE(session.host.service.GetStats().droppedLinks, cases.size());
    EXPECT_EQ(session.host.service.Players().size(), 2u);
    EXPECT_EQ(session.host.recorder.Requests(), 1);
}

TEST(PeerRobustness, MalformedHelloIsDroppedAndANewerVersionRefused)
{
    SessionWithMember session;
    {
        CRawSocket raw(session.port);
        Bytes hello = ValidHello();
        hello.push_back(0);  // a trailing byte the header does not count
        hello[0] = static_cast<std::uint8_t>(hello[0] + 1);
        raw.Write(hello);
        EXPECT_TRUE(raw.ClosedByPeer());
    }
    {
        CRawSocket raw(session.port);
        Bytes hello = ValidHello();
        hello[0] = static_cast<std::uint8_t>(hello[0] - 1);  // body cut short
        hello.pop_back();
        raw.Write(hello);
        EXPECT_TRUE(raw.ClosedByPeer());
    }
    {
        CRawSocket raw(session.port);
        // A version after ours, with nothing else we could read.
        const Bytes body{static_cast<std::uint8_t>(wire::kProtocolVersion + 1), 0};
        raw.Write(wire::MakeFrame(wire::FrameType::Hello, 0, body));
        wire::FrameHeader header;
        Bytes reply;
        ASSERT_TRUE(raw.ReadFrame(header, reply));
        ASSERT_EQ(header.type, wire::FrameType::ConnectResult);
        wire::ConnectResult result;
        ASSERT_TRUE(wire::DecodeConnectResult(reply, result));
        EXPECT_EQ(result.result, DPNERR_INVALIDVERSION);
        EXPECT_TRUE(raw.ClosedByPeer());
    }
    EXPECT_TRUE(session.StillWorks(1));
    EXPECT_EQ(session.host.recorder.Requests(), 1);
}

TEST(PeerRobustness, MemberSendingGarbageIsDestroyedEverywhere)
{
    SessionWithMember session;
    CRawSocket raw(session.port);
    const PlayerId rawId = RawJoin(raw);
    ASSERT_NE(rawId, 0u);
    ASSERT_TRUE(session.member.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    // A continuation chunk with no message begun.
    raw.Write(wire::MakeFrame(wire::FrameType::Data, wire::kFlagLast, Bytes(10, 0xAB)));
    EXPECT_TRUE(raw.ClosedByPeer());
    EXPECT_TRUE(session.host.recorder.WaitFor([&] { return session.host.recorder.HasDestroyed(rawId); }));
    EXPECT_TRUE(session.member.recorder.WaitFor([&] { return session.member.recorder.HasDestroyed(rawId); }));
    EXPECT_TRUE(session.StillWorks(2));
}

TEST(PeerRobustness, SilentStrangerIsDroppedAfterTheHelloTimeout)
{
    ServiceOptions options = FastOptions();
    options.helloTimeout = 300ms;
    options.keepAliveTimeout = 60s;  // only the hello time-out may end it
    SessionWithMember session(options);
    CRawSocket raw(session.port);
    ASSERT_TRUE(raw.Connected());
    EXPECT_TRUE(raw.ClosedByPeer());
    EXPECT_TRUE(session.StillWorks(3));
}

TEST(PeerRobustness, MemberThatStopsReadingIsDroppedNotBuffered)
{
    ServiceOptions options = FastOptions();
    options.maxQueuedBytesPerLink = 1024 * 1024;
    options.keepAliveTimeout = 2s;
    SessionWithMember session(options);
    CRawSocket raw(session.port);
    const PlayerId rawId = RawJoin(raw);
    ASSERT_NE(rawId, 0u);
    ASSERT_TRUE(session.member.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    const Bytes chunk(512 * 1024, 0x5A);
    bool destroyed = false;
    for (int i = 0; i < 400 && !destroyed; ++i) {
        // Traffic relayed from another member is what the host must not pile up. The stranger
        // keeps talking, so only its not reading can end it.
        ASSERT_TRUE(raw.Write(wire::EncodePing()));
        const Result r = session.member.service.SendTo(rawId, chunk.data(), static_cast<std::uint32_t>(chunk.size()),
                                                       0ms, DPNSEND_PRIORITY_LOW);
        destroyed = r != DPNSUCCESS_PENDING ||
                    session.host.recorder.WaitFor([&] { return session.host.recorder.HasDestroyed(rawId); }, 20ms);
    }
    EXPECT_TRUE(session.host.recorder.WaitFor([&] { return session.host.recorder.HasDestroyed(rawId); }));
    EXPECT_GE(session.host.service.GetStats().droppedLinks, 1u);
    EXPECT_TRUE(session.member.recorder.WaitFor([&] { return session.member.recorder.HasDestroyed(rawId); }));
    // The member whose traffic was held back is still in the session and heard again.
    EXPECT_FALSE(session.host.recorder.HasDestroyed(session.member.service.LocalPlayer()));
    EXPECT_TRUE(session.StillWorks(4));
}

// TLS answers a key update from the peer with records of its own while a large message is
// being written: both must reach the peer intact and in order.
TEST(PeerRobustness, KeyUpdateDuringALargeTransferKeepsTheLinkIntact)
{
    SessionWithMember session;
    CRawSocket raw(session.port);
    const PlayerId rawId = RawJoin(raw);
    ASSERT_NE(rawId, 0u);
    ASSERT_TRUE(session.host.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    Bytes file(2 * 1024 * 1024);
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 131 + (i >> 13));
    const PlayerId host = session.host.service.LocalPlayer();
    ASSERT_EQ(session.host.service.SendTo(rawId, file.data(), static_cast<std::uint32_t>(file.size()), 0ms,
                                          DPNSEND_PRIORITY_LOW),
              DPNSUCCESS_PENDING);
    Bytes received;
    wire::FrameHeader header;
    Bytes body;
    // Part of the file first, so that the host is mid-write when the request comes.
    while (received.size() < 256 * 1024 && raw.ReadFrame(header, body)) {
        if (header.type != wire::FrameType::Data) continue;
        const std::size_t skip = (header.flags & wire::kFlagFirst) ? wire::kDataEnvelopeSize : 0;
        received.insert(received.end(), body.begin() + static_cast<std::ptrdiff_t>(skip), body.end());
    }
    ASSERT_EQ(SSL_key_update(raw.Tls(), SSL_KEY_UPDATE_REQUESTED), 1);
    const Bytes hello{7, 7, 7};
    Bytes message;
    wire::AppendDataChunk(message, true, {3, rawId, host, 0}, hello, 0);
    ASSERT_TRUE(raw.Write(message));
    while (received.size() < file.size() && raw.ReadFrame(header, body)) {
        if (header.type != wire::FrameType::Data) continue;
        const std::size_t skip = (header.flags & wire::kFlagFirst) ? wire::kDataEnvelopeSize : 0;
        received.insert(received.end(), body.begin() + static_cast<std::ptrdiff_t>(skip), body.end());
    }
    EXPECT_TRUE(received == file);
    EXPECT_TRUE(session.host.recorder.WaitFor([&] { return session.host.Received(rawId, hello); }));
    EXPECT_FALSE(session.host.recorder.HasDestroyed(rawId));
}

// Urgent messages written straight from the sending thread meet a full socket once the peer
// stops reading for a while: what the socket did not take must go out first and whole.
TEST(PeerRobustness, UrgentMessagesToAPausedReaderArriveWholeAndInOrder)
{
    ServiceOptions options = FastOptions();
    options.keepAliveTimeout = 20s;  // the reader is silent while it pauses
    SessionWithMember session(options);
    CRawSocket raw(session.port);
    const PlayerId rawId = RawJoin(raw);
    ASSERT_NE(rawId, 0u);
    constexpr std::uint32_t kCount = 3000;  // 12 MB: more than the kernel holds for one link
    auto message = [](std::uint32_t n) {
        Bytes m(4000);
        for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(n * 7 + i);
        std::memcpy(m.data(), &n, 4);
        return m;
    };
    for (std::uint32_t n = 0; n < kCount; ++n) {
        ASSERT_EQ(Send(session.host, rawId, message(n), DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);
    }
    std::uint32_t next = 0;
    wire::FrameHeader header;
    Bytes body;
    while (next < kCount && raw.ReadFrame(header, body)) {
        if (header.type != wire::FrameType::Data) continue;
        ASSERT_GE(body.size(), wire::kDataEnvelopeSize);
        ASSERT_TRUE(Bytes(body.begin() + wire::kDataEnvelopeSize, body.end()) == message(next)) << "message " << next;
        ++next;
    }
    EXPECT_EQ(next, kCount);
}

TEST(PeerRobustness, StrangersWhoNeverFinishTheirHandshakeDoNotLockOutAJoiner)
{
    // The hello time-out stays long: the strangers outlive the join.
    ServiceOptions options = FastOptions();
    options.keepAliveTimeout = 60s;
    SessionWithMember session(options);
    // Idle connections from many addresses, more than the host accepts links at once, and a
    // few more from the joiner's own address.
    std::vector<std::unique_ptr<CRawSocket>> idle;
    for (int i = 0; i < 80; ++i) {
        const std::string from = "127.0.0." + std::to_string(2 + i % 20);
        idle.push_back(std::make_unique<CRawSocket>(session.port, from.c_str(), /*plain=*/true));
    }
    for (int i = 0; i < 6; ++i) idle.push_back(std::make_unique<CRawSocket>(session.port, nullptr, /*plain=*/true));
    // While the joiner joins, strangers keep coming: idle ones and ones that send garbage.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::vector<std::unique_ptr<CRawSocket>> more;
        for (int i = 0; !stop && i < 200; ++i) {
            const std::string from = "127.0.1." + std::to_string(1 + i % 50);
            more.push_back(std::make_unique<CRawSocket>(session.port, from.c_str(), /*plain=*/true));
            if (i % 2) more.back()->Write(Header(3, 0x55, 0));
            std::this_thread::sleep_for(20ms);
        }
    });
    CNode joiner;
    const Event joined = joiner.JoinAndWait(session.port, "late");
    stop = true;
    flood.join();
    EXPECT_EQ(joined.result, DPN_OK);
    EXPECT_TRUE(session.member.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    EXPECT_TRUE(session.StillWorks(5));
    // The oldest strangers were dropped to make room.
    EXPECT_TRUE(idle.front()->ClosedByPeer(2s));
}

}  // namespace
}  // namespace peer::test

namespace peer::test {
namespace {

// A joiner of the unencrypted version 1 protocol is told why it cannot join; a plain hello
// that claims the current version gets the same answer rather than a session in the clear.
TEST(PeerRobustness, UnencryptedJoinerIsRefusedWithTheVersionResult)
{
    SessionWithMember session;
    for (const std::uint16_t version : {std::uint16_t{1}, wire::kOldestProtocolVersion, wire::kProtocolVersion}) {
        CRawSocket raw(session.port, nullptr, /*plain=*/true);
        ASSERT_TRUE(raw.Connected());
        wire::Hello hello;
        hello.version = version;
        hello.application = kApp;
        hello.connectData = {1, 2, 3};
        ASSERT_TRUE(raw.Write(wire::EncodeHello(hello)));
        wire::FrameHeader header;
        Bytes reply;
        ASSERT_TRUE(raw.ReadFrame(header, reply)) << version;
        ASSERT_EQ(header.type, wire::FrameType::ConnectResult);
        wire::ConnectResult result;
        ASSERT_TRUE(wire::DecodeConnectResult(reply, result));
        EXPECT_EQ(result.result, DPNERR_INVALIDVERSION) << version;
        EXPECT_TRUE(raw.ClosedByPeer());
    }
    EXPECT_TRUE(session.StillWorks(5));
    EXPECT_EQ(session.host.recorder.Requests(), 1);
}

}  // namespace
}  // namespace peer::test

namespace peer::test {
namespace {

// Joins each connection accepted on its own port to the target port, holding every byte back
// `oneWay` in each direction: a joiner far away, as the host sees it.
class CDelayRelay {
public:
    CDelayRelay(std::uint16_t target, std::chrono::milliseconds oneWay) : m_target(target), m_delay(oneWay)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 16);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_accepter = std::thread([this] { Accept(); });
    }
    ~CDelayRelay()
    {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_accepter.join();
        for (auto& t : m_pipes) t.join();
        ::close(m_listener);
    }
    std::uint16_t Port() const { return m_port; }

private:
    void Accept()
    {
        while (!m_stop) {
            const int joiner = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (joiner < 0) return;
            const int host = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(m_target);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(host, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(joiner);
                ::close(host);
                continue;
            }
            auto ends = std::make_shared<std::pair<int, int>>(joiner, host);
            m_pipes.emplace_back([this, ends] { Pipe(ends->first, ends->second); });
            m_pipes.emplace_back([this, ends] { Pipe(ends->second, ends->first); });
        }
    }
    // Reads from one end and writes to the other once each chunk has aged `m_delay`.
    void Pipe(int from, int to)
    {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> chunks;
        bool ended = false;
        std::thread writer([&] {
            std::unique_lock lock(mutex);
            while (true) {
                ready.wait(lock, [&] { return ended || !chunks.empty(); });
                if (chunks.empty()) break;
                auto [at, bytes] = std::move(chunks.front());
                chunks.pop_front();
                lock.unlock();
                std::this_thread::sleep_until(at + m_delay);
                ::send(to, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                lock.lock();
            }
            ::shutdown(to, SHUT_WR);
        });
        char buffer[16384];
        while (true) {
            pollfd fd{from, POLLIN, 0};
            if (::poll(&fd, 1, 100) == 0) {
                if (m_stop) break;
                continue;
            }
            const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            std::lock_guard lock(mutex);
            chunks.emplace_back(std::chrono::steady_clock::now(), std::string(buffer, static_cast<std::size_t>(n)));
            ready.notify_one();
        }
        {
            std::lock_guard lock(mutex);
            ended = true;
        }
        ready.notify_one();
        writer.join();
        ::shutdown(from, SHUT_RD);
    }

    std::uint16_t m_target;
    std::chrono::milliseconds m_delay;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_accepter;
    std::vector<std::thread> m_pipes;
};

// Strangers who open connections and say nothing, 200 a second from other addresses, do not
// keep a joiner 50 ms away from joining: not once in twenty.
TEST(PeerRobustness, AFarJoinerGetsInWhileSilentStrangersKeepComing)
{
    ServiceOptions options = FastOptions();
    options.keepAliveTimeout = 60s;
    SessionWithMember session(options);
    CDelayRelay far(session.port, 25ms);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::deque<std::unique_ptr<CRawSocket>> open;
        for (int i = 0; !stop; ++i) {
            const std::string from = "127.0.2." + std::to_string(1 + i % 200);
            open.push_back(std::make_unique<CRawSocket>(session.port, from.c_str(), /*plain=*/true));
            if (open.size() > 400) open.pop_front();
            std::this_thread::sleep_for(5ms);
        }
    });
    int joined = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        // The session's patience: a test's 1.5 s would give up on a host that a loaded
        // machine keeps from answering, which is not what is measured here.
        CNode joiner(options);
        if (joiner.JoinAndWait(far.Port(), "far").result == DPN_OK) ++joined;
    }
    stop = true;
    flood.join();
    EXPECT_EQ(joined, 20);
    EXPECT_TRUE(session.StillWorks(3));
}

}  // namespace
}  // namespace peer::test
