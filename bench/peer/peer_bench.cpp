// The peer session service against plain TCP on this machine:
//  - one-way latency of 400-byte high-priority messages between two members through the host;
//  - the same stream (two messages every 62.5 ms) while a 2 MiB low-priority message to the
//    same member is in flight over links shaped to 10 Mbit/s (in-process shaping);
//  - throughput of back-to-back 2 MiB messages, over TLS and plain links;
// each against plain TCP, one hop and two hops through a minimal relaying thread (the latency
// also with those two hops fed through a hand-over thread, as a busy link is), and the
// throughput over TLS also against a bare TLS stream over one TCP connection.
// Each benchmark runs once and reports its figures as counters. For figures on a shared
// machine, run them interleaved and repeated, so that each side sees the same load:
//   peer_bench --benchmark_filter=Throughput --benchmark_repetitions=5
//              --benchmark_enable_random_interleaving=true
// and keep other processes off the machine while the first benchmark runs (an interpreter
// starting up to read the output through a pipe is enough to halve its figure).

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/peer/PeerSecurity.h"
#include "platform/peer/PeerService.h"
#include "tests/platform/peer/PeerLinkEmulator.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using peer::Bytes;

const peer::Guid kApp = *peer::GuidFromString("{5D1E0C77-2B3A-4F10-8E6D-0A9B8C7D6E5F}");

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// With PEER_BENCH_FAR_NETNS (see netns_bench.sh) member B and the plain TCP reader live in
// another network namespace behind a real link shaped by tc; otherwise everything runs
// over loopback and the 10 Mbit/s link is emulated inside the service.
const char* FarNetns()
{
    return std::getenv("PEER_BENCH_FAR_NETNS");
}
std::string NearAddress()
{
    const char* a = std::getenv("PEER_BENCH_NEAR_ADDR");
    return a ? a : "127.0.0.1";
}
std::string FarAddress()
{
    const char* a = std::getenv("PEER_BENCH_FAR_ADDR");
    return a ? a : "127.0.0.1";
}

// While alive, the calling thread (and threads it starts) is in the far namespace.
class FarScope {
public:
    FarScope()
    {
        if (!FarNetns()) return;
        m_home = ::open("/proc/thread-self/ns/net", O_RDONLY);
        const int far = ::open(FarNetns(), O_RDONLY);
        if (far < 0 || ::setns(far, CLONE_NEWNET) != 0) std::abort();
        ::close(far);
    }
    ~FarScope()
    {
        if (m_home < 0) return;
        if (::setns(m_home, CLONE_NEWNET) != 0) std::abort();
        ::close(m_home);
    }

private:
    int m_home = -1;
};

// Records arrivals: small messages carry their send time in their first 8 bytes.
struct Sink {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<double> latenciesMs;
    std::size_t bigMessages = 0;
    std::int64_t lastBigNs = 0;
    std::size_t joined = 0;
    std::size_t players = 0;

    static peer::Result Handler(void* context, std::uint32_t id, void* event)
    {
        auto* self = static_cast<Sink*>(context);
        std::lock_guard lock(self->mutex);
        if (id == peer::DPN_MSGID_RECEIVE) {
            auto* e = static_cast<peer::ReceiveEvent*>(event);
            if (e->size <= 1024) {
                std::int64_t sent;
                std::memcpy(&sent, e->data, sizeof sent);
                self->latenciesMs.push_back(static_cast<double>(NowNs() - sent) / 1e6);
            } else {
                ++self->bigMessages;
                self->lastBigNs = NowNs();
            }
        } else if (id == peer::DPN_MSGID_CONNECT_COMPLETE) {
            ++self->joined;
        } else if (id == peer::DPN_MSGID_CREATE_PLAYER) {
            ++self->players;
        } else {
            return peer::DPN_OK;  // progress and the like: nobody waits for them
        }
        self->cv.notify_all();
        return peer::DPN_OK;
    }
    template <class Pred>
    bool Wait(Pred pred, std::chrono::seconds timeout = 60s)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, pred);
    }
};

// PEER_BENCH_PLAIN=1: links without TLS, to set the figures against what encryption costs.
bool PlainLinks()
{
    const char* plain = std::getenv("PEER_BENCH_PLAIN");
    return plain && *plain == '1';
}

// The links of a session: as configured, or unencrypted whatever PEER_BENCH_PLAIN says.
enum class Links { AsConfigured, Unencrypted };

struct Node {
    Sink sink;
    peer::CPeerService service;
    explicit Node(peer::ServiceOptions options, Links links = Links::AsConfigured)
    {
        options.plainLinks = PlainLinks() || links == Links::Unencrypted;
        service.Initialize(&sink, &Sink::Handler, options);
    }
};

// A host and two members A and B; B is the far one.
struct Session {
    Node host, a;
    std::unique_ptr<Node> far;
    Node& b;
    static std::unique_ptr<Node> MakeFar(peer::ServiceOptions options, Links links)
    {
        FarScope scope;
        return std::make_unique<Node>(options, links);
    }
    explicit Session(peer::ServiceOptions options = {}, Links links = Links::AsConfigured)
        : host(options, links),
          a(options, links),
          far(MakeFar(options, links)),
          b(*far)
    {
        host.service.Host({kApp, "VoiceSession"}, 0);
        const std::uint16_t port = host.service.BoundPort();
        for (Node* n : {&a, &b}) {
            n->service.Connect(kApp, n == &b ? NearAddress() : "127.0.0.1", port, "x", 1);
            n->sink.Wait([&] { return n->sink.joined == 1; });
        }
        a.sink.Wait([&] { return a.sink.players == 3; });
    }
    void SendSmall(Node& from, Node& to, std::size_t size = 400)
    {
        Bytes m(size, 0x11);
        const std::int64_t now = NowNs();
        std::memcpy(m.data(), &now, sizeof now);
        from.service.SendTo(to.service.LocalPlayer(), m.data(), static_cast<std::uint32_t>(m.size()), 0ms,
                            peer::DPNSEND_PRIORITY_HIGH | peer::DPNSEND_NOCOMPLETE);
    }
};

// CPU time of the whole process (every thread, user and system), in ms. On a shared machine
// the CPU a transfer (or a stream of small messages) costs is steadier than its pace.
double ProcessCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void ReportPercentiles(benchmark::State& state, const std::vector<double>& ms)
{
    state.counters["p50_ms"] = Percentile(ms, 0.50);
    state.counters["p99_ms"] = Percentile(ms, 0.99);
}

// A plain TCP connection over loopback; its reading end is the far one unless `near`.
struct TcpPair {
    int writer = -1, reader = -1;
    explicit TcpPair(bool near = false)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, near ? "127.0.0.1" : FarAddress().c_str(), &address.sin_addr);
        int listener;
        if (near) {
            listener = ::socket(AF_INET, SOCK_STREAM, 0);
            ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        } else {
            FarScope scope;
            listener = ::socket(AF_INET, SOCK_STREAM, 0);
            ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        ::listen(listener, 1);
        writer = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address);
        reader = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const int one = 1;
        ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TcpPair()
    {
        ::close(writer);
        ::close(reader);
    }
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;
    static bool WriteAll(int fd, const std::uint8_t* p, std::size_t n)
    {
        while (n) {
            const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }
    static bool ReadAll(int fd, std::uint8_t* p, std::size_t n)
    {
        while (n) {
            const ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
};

// The least a relaying host must do: a process that copies whatever arrives on one
// connection to the next (writer -> relay -> reader), as two plain TCP hops.
struct TcpRelay {
    TcpPair in{true};
    TcpPair out;
    std::thread relay;
    int writer = in.writer;
    int reader = out.reader;
    TcpRelay()
    {
        relay = std::thread([this] {
            std::vector<std::uint8_t> buffer(256 * 1024);
            while (true) {
                const ssize_t n = ::recv(in.reader, buffer.data(), buffer.size(), 0);
                if (n <= 0 || !TcpPair::WriteAll(out.writer, buffer.data(), static_cast<std::size_t>(n))) break;
            }
        });
    }
    ~TcpRelay()
    {
        ::shutdown(in.writer, SHUT_WR);
        relay.join();
    }
};

constexpr int kLatencySamples = 2000;

// From Connect to the connect-complete event, a new joiner each time (TLS handshake and
// proof included unless plain).
void BM_JoinTime(benchmark::State& state)
{
    Node host({});
    host.service.Host({kApp, "VoiceSession"}, 0);
    const std::uint16_t port = host.service.BoundPort();
    std::vector<double> joinMs;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            Node joiner({});
            const std::int64_t start = NowNs();
            joiner.service.Connect(kApp, "127.0.0.1", port, "x", 1, "password");
            joiner.sink.Wait([&] { return joiner.sink.joined == 1; });
            joinMs.push_back(static_cast<double>(NowNs() - start) / 1e6);
        }
    }
    ReportPercentiles(state, joinMs);
}
BENCHMARK(BM_JoinTime)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_LatencyMemberToMemberViaHost(benchmark::State& state)
{
    Session session;
    double cpuMs = 0;
    for (auto _ : state) {
        const double cpuStart = ProcessCpuMs();
        // The same paced stream as the plain TCP runs: the sender does not wait for each
        // message to arrive, which would add a wake-up of its own to every sample.
        for (int i = 0; i < kLatencySamples; ++i) {
            session.SendSmall(session.a, session.b);
            std::this_thread::sleep_for(200us);
        }
        session.b.sink.Wait([&] { return session.b.sink.latenciesMs.size() == std::size_t{kLatencySamples}; });
        cpuMs = ProcessCpuMs() - cpuStart;
    }
    std::lock_guard lock(session.b.sink.mutex);
    ReportPercentiles(state, session.b.sink.latenciesMs);
    state.counters["cpu_us_per_msg"] = cpuMs * 1e3 / kLatencySamples;
}
BENCHMARK(BM_LatencyMemberToMemberViaHost)->Iterations(1)->Unit(benchmark::kMillisecond);

void RunTcpLatency(benchmark::State& state, int writer, int reader)
{
    std::vector<double> latencies;
    std::thread reading([&] {
        Bytes m(400);
        for (int i = 0; i < kLatencySamples; ++i) {
            if (!TcpPair::ReadAll(reader, m.data(), m.size())) return;
            std::int64_t sent;
            std::memcpy(&sent, m.data(), sizeof sent);
            latencies.push_back(static_cast<double>(NowNs() - sent) / 1e6);
        }
    });
    const double cpuStart = ProcessCpuMs();
    for (auto _ : state) {
        Bytes m(400, 0x11);
        for (int i = 0; i < kLatencySamples; ++i) {
            const std::int64_t now = NowNs();
            std::memcpy(m.data(), &now, sizeof now);
            TcpPair::WriteAll(writer, m.data(), m.size());
            std::this_thread::sleep_for(200us);
        }
    }
    reading.join();
    const double cpuMs = ProcessCpuMs() - cpuStart;
    ReportPercentiles(state, latencies);
    state.counters["cpu_us_per_msg"] = cpuMs * 1e3 / kLatencySamples;
}

void BM_LatencyPlainTcp(benchmark::State& state)
{
    TcpPair tcp;
    RunTcpLatency(state, tcp.writer, tcp.reader);
}
void BM_LatencyTwoHopTcpRelay(benchmark::State& state)
{
    TcpRelay tcp;
    RunTcpLatency(state, tcp.writer, tcp.reader);
}
// The same relay fed the way the service sends on a busy link: the sending thread hands each
// message to a thread of its own, which writes it (as SendTo hands it to the service's I/O
// thread unless the link is idle). What the hand-over alone costs on this machine.
void BM_LatencyTwoHopTcpRelayWithHandOver(benchmark::State& state)
{
    TcpRelay tcp;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    std::thread writing([&] {
        Bytes m(400);
        while (TcpPair::ReadAll(pair[1], m.data(), m.size()) && TcpPair::WriteAll(tcp.writer, m.data(), m.size())) {}
    });
    RunTcpLatency(state, pair[0], tcp.reader);
    ::shutdown(pair[0], SHUT_WR);
    writing.join();
    ::close(pair[0]);
    ::close(pair[1]);
}
BENCHMARK(BM_LatencyTwoHopTcpRelay)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatencyTwoHopTcpRelayWithHandOver)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatencyPlainTcp)->Iterations(1)->Unit(benchmark::kMillisecond);

// Two voice packets every 62.5 ms over 10 Mbit/s links, with or without 2 MiB files in flight.
void RunVoiceStream(benchmark::State& state, bool withFile)
{
    peer::ServiceOptions options;
    if (!FarNetns()) options.linkShaper = peer::test::EmulatedLink(10'000'000);
    Session session(options);
    const Bytes file(2 * 1024 * 1024, 0x22);
    const int files = 2;
    double fileSeconds = 0;
    for (auto _ : state) {
        for (int f = 0; f < files; ++f) {
            const std::int64_t fileSent = NowNs();
            if (withFile) {
                session.a.service.SendTo(session.b.service.LocalPlayer(), file.data(),
                                         static_cast<std::uint32_t>(file.size()), 0ms,
                                         peer::DPNSEND_PRIORITY_LOW | peer::DPNSEND_NOCOMPLETE);
            }
            // Through two shaped hops a 2 MiB message needs about 3.4 s; stream for that long.
            const auto end = Clock::now() + 3600ms;
            auto next = Clock::now();
            while (Clock::now() < end) {
                session.SendSmall(session.a, session.b);
                session.SendSmall(session.a, session.b);
                next += 62500us;
                std::this_thread::sleep_until(next);
            }
            if (withFile) {
                session.b.sink.Wait([&] { return session.b.sink.bigMessages == static_cast<std::size_t>(f + 1); });
                std::lock_guard lock(session.b.sink.mutex);
                fileSeconds += static_cast<double>(session.b.sink.lastBigNs - fileSent) / 1e9;
            }
        }
    }
    std::lock_guard lock(session.b.sink.mutex);
    // The files' own pace, to set against plain TCP's MiB_per_s over the same link.
    if (withFile) state.counters["file_MiB_per_s"] = files * 2.0 / fileSeconds;
    state.counters["messages"] = static_cast<double>(session.b.sink.latenciesMs.size());
    ReportPercentiles(state, session.b.sink.latenciesMs);
    state.counters["max_ms"] = Percentile(session.b.sink.latenciesMs, 1.0);
}

void BM_VoiceStreamAt10MbitIdle(benchmark::State& state)
{
    RunVoiceStream(state, false);
}
void BM_VoiceStreamAt10MbitWith2MiBInFlight(benchmark::State& state)
{
    RunVoiceStream(state, true);
}
BENCHMARK(BM_VoiceStreamAt10MbitIdle)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VoiceStreamAt10MbitWith2MiBInFlight)->Iterations(1)->Unit(benchmark::kMillisecond);

// PEER_BENCH_FILES=N: more messages per run, for steadier figures and for profiling.
int FileCount()
{
    const char* n = std::getenv("PEER_BENCH_FILES");
    return n ? std::max(1, std::atoi(n)) : FarNetns() ? 4 : 100;
}
const int kFiles = FileCount();

// PEER_BENCH_WINDOW=N: the sender keeps at most N messages ahead of the receiver (0: hands
// over all of them at once). A sender that queues tens of MiB measures the cost of fresh
// memory for its copies more than the link; 8 (16 MiB) keeps the link busy all the same.
int Window()
{
    const char* n = std::getenv("PEER_BENCH_WINDOW");
    return n ? std::max(0, std::atoi(n)) : 8;
}
const int kWindow = Window();

// PEER_BENCH_WARMUP=N: messages sent before the clock starts, on either side (default 30 on
// loopback, none over the shaped link, whose pace no first touch of memory changes), so that
// the figures are those of a transfer under way. The first messages of a process pay for
// memory the system has yet to hand it: the queued copies and the buffers being read into,
// each touched for the first time (on some virtual machines 4 ms per 2 MiB, forty times the
// copy itself). A full window's buffers take more than ten messages to be all in use.
// PEER_BENCH_WARMUP=0 counts them in.
int WarmUp()
{
    const char* n = std::getenv("PEER_BENCH_WARMUP");
    return n ? std::max(0, std::atoi(n)) : FarNetns() ? 0 : 30;
}
const int kWarmUp = WarmUp();

// A line of /proc/self/status ("VmRSS", "VmHWM") in MiB.
double StatusMiB(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::atof(line.c_str() + key.size() + 1) / 1024.0;
    }
    return 0;
}
constexpr std::size_t kFileSize = 2 * 1024 * 1024;

long PageFaults()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

// The pace and CPU cost of kFiles messages sent since start.
void ReportTransfer(benchmark::State& state, Clock::time_point start, double cpuStart)
{
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["MiB_per_s"] = kFiles * 2.0 / seconds;
    state.counters["CPU_ms_per_MiB"] = (ProcessCpuMs() - cpuStart) / (kFiles * 2.0);
}

// Sends kWarmUp messages with `transfer(count)`, again while that touched fresh memory (the
// buffers of a full window are not all taken in the first round), then kFiles on the clock at
// each iteration, reporting their pace and CPU cost; `after` runs once each is reported.
template <class Transfer, class After>
void TimeTransfers(benchmark::State& state, const Transfer& transfer, const After& after)
{
    for (int round = 0; round < 5 && kWarmUp > 0; ++round) {
        const long faultsStart = PageFaults();
        transfer(kWarmUp);
        if (PageFaults() == faultsStart) break;
    }
    for (auto _ : state) {
        const auto start = Clock::now();
        const double cpuStart = ProcessCpuMs();
        const long faultsStart = PageFaults();
        transfer(kFiles);
        ReportTransfer(state, start, cpuStart);
        // Memory touched for the first time on the clock (a buffer pool still growing, each
        // fresh 2 MiB costing milliseconds on some virtual machines): the figures are not yet
        // those of a transfer under way.
        state.counters["page_faults"] = static_cast<double>(PageFaults() - faultsStart);
        after();
    }
}

void RunThroughput(benchmark::State& state, bool viaHost, Links links)
{
    Session session({}, links);
    Node& from = viaHost ? session.a : session.host;
    const Bytes file(kFileSize, 0x33);
    std::size_t sent = 0;
    // Sends `count` messages and waits until the last has arrived.
    const auto transfer = [&](int count) {
        const std::size_t base = sent;
        for (int i = 0; i < count; ++i, ++sent) {
            if (kWindow > 0 && sent >= base + static_cast<std::size_t>(kWindow)) {
                session.b.sink.Wait([&] { return session.b.sink.bigMessages >= sent - kWindow + 1; });
            }
            from.service.SendTo(session.b.service.LocalPlayer(), file.data(), static_cast<std::uint32_t>(file.size()),
                                0ms, peer::DPNSEND_PRIORITY_LOW | peer::DPNSEND_NOCOMPLETE);
        }
        session.b.sink.Wait([&] { return session.b.sink.bigMessages == sent; });
    };
    TimeTransfers(state, transfer, [&] {
        // What the three instances hold once the transfer is over and they have been idle.
        state.counters["RSS_peak_MiB"] = StatusMiB("VmHWM");
        std::this_thread::sleep_for(3s);
        state.counters["RSS_idle_MiB"] = StatusMiB("VmRSS");
    });
}

void BM_Throughput2MiBHostToMember(benchmark::State& state)
{
    RunThroughput(state, false, Links::AsConfigured);
}
void BM_Throughput2MiBMemberToMemberViaHost(benchmark::State& state)
{
    RunThroughput(state, true, Links::AsConfigured);
}
// The same over links without TLS: what the service itself costs against plain TCP.
void BM_Throughput2MiBHostToMemberUnencrypted(benchmark::State& state)
{
    RunThroughput(state, false, Links::Unencrypted);
}
void BM_Throughput2MiBMemberToMemberViaHostUnencrypted(benchmark::State& state)
{
    RunThroughput(state, true, Links::Unencrypted);
}
BENCHMARK(BM_Throughput2MiBHostToMember)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput2MiBMemberToMemberViaHost)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput2MiBHostToMemberUnencrypted)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput2MiBMemberToMemberViaHostUnencrypted)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void RunTcpThroughput(benchmark::State& state, int writer, int reader)
{
    Bytes m(kFileSize);
    const Bytes file(kFileSize, 0x33);
    const auto transfer = [&](int count) {
        std::thread reading([&] {
            // Each message is copied out whole, as the service hands over whole messages.
            for (int i = 0; i < count; ++i) TcpPair::ReadAll(reader, m.data(), m.size());
        });
        for (int i = 0; i < count; ++i) TcpPair::WriteAll(writer, file.data(), file.size());
        reading.join();
    };
    TimeTransfers(state, transfer, [] {});
}

void BM_Throughput2MiBPlainTcp(benchmark::State& state)
{
    TcpPair tcp;
    RunTcpThroughput(state, tcp.writer, tcp.reader);
}
void BM_Throughput2MiBTwoHopTcpRelay(benchmark::State& state)
{
    TcpRelay tcp;
    RunTcpThroughput(state, tcp.writer, tcp.reader);
}

// The least TLS costs on this machine: one TLS 1.3 stream over the same TCP connection, with
// the service's identity and cipher preference, each 2 MiB message one SSL_write and read
// whole. What the service reaches over TLS is to be set against this as well as against TCP.
void BM_Throughput2MiBPlainTls(benchmark::State& state)
{
    peer::Identity identity;
    std::string error;
    if (!peer::CreateIdentity(identity, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto serverContext = peer::MakeTlsContext(identity, true, error);
    const auto clientContext = peer::MakeTlsContext(identity, false, error);
    if (!serverContext || !clientContext) {
        state.SkipWithError(error.c_str());
        return;
    }
    TcpPair tcp;
    SSL* writer = SSL_new(clientContext->native_handle());
    SSL* reader = SSL_new(serverContext->native_handle());
    // Records leave in large writes and arrive in large reads, as they do in the service.
    BIO* socketOut = BIO_new_socket(tcp.writer, BIO_NOCLOSE);
    BIO* buffered = BIO_new(BIO_f_buffer());
    BIO_set_write_buffer_size(buffered, 256 * 1024);
    BIO_push(buffered, socketOut);
    SSL_set_bio(writer, BIO_new_socket(tcp.writer, BIO_NOCLOSE), buffered);
    SSL_set_fd(reader, tcp.reader);
    SSL_set_read_ahead(reader, 1);
    SSL_set_default_read_buffer_len(reader, 256 * 1024);
    std::thread accepting([&] { SSL_accept(reader); });
    const bool connected = SSL_connect(writer) == 1;
    accepting.join();
    if (connected) {
        Bytes m(kFileSize);
        const Bytes file(kFileSize, 0x33);
        const auto transfer = [&](int count) {
            std::thread reading([&] {
                for (int i = 0; i < count; ++i) {
                    for (std::size_t got = 0; got < m.size();) {
                        std::size_t n = 0;
                        if (SSL_read_ex(reader, m.data() + got, m.size() - got, &n) != 1) return;
                        got += n;
                    }
                }
            });
            for (int i = 0; i < count; ++i) {
                std::size_t put = 0;
                if (SSL_write_ex(writer, file.data(), file.size(), &put) != 1) break;
                BIO_flush(SSL_get_wbio(writer));
            }
            reading.join();
        };
        TimeTransfers(state, transfer, [] {});
    } else {
        state.SkipWithError("TLS handshake failed");
    }
    SSL_free(writer);
    SSL_free(reader);
}
BENCHMARK(BM_Throughput2MiBTwoHopTcpRelay)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput2MiBPlainTcp)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput2MiBPlainTls)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
