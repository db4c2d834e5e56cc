// A 2 MiB shared file between two real instances across a shaped link, measured the way a
// user meets it (see shares_netns.sh, which builds the link and runs this in the near
// namespace):
//  - time of `share-save` of a 2 MiB file (request, transfer, store, copy) against writing
//    the same bytes through one plain TCP connection across the same link;
//  - one-way delay of a voice-like stream (400 bytes at high priority every 62.5 ms) that the
//    owner relays to a listener on the far side, idle and during the transfers: the p99
//    added by the transfer;
//  - peak resident memory (VmHWM) of both instances before and after the transfers;
//  - the download progress events the saving instances reported, and whether every saved
//    copy is the owner's file byte for byte.
// Two savers on the far side (Bob and Carol) save in turn.
// Environment: SHARES_FAR_NETNS (path of the far namespace), SHARES_NEAR_ADDR, SHARES_FAR_ADDR.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "platform/peer/PeerService.h"
#include "session/ByteOrder.h"
#include "session/DirectPlayPeerWraper.h"
#include "session/PeerMessage.h"
#include "session/UserInformation.h"
#include "tests/support/MorvikaInstance.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kPort = 27590;
constexpr std::size_t kStampBytes = 400;
constexpr std::uint16_t kTcpPort = 27591;
constexpr std::size_t kFileSize = 2 * 1024 * 1024;
constexpr int kRuns = 4;  // of the plain TCP baseline; SHARES_ROUNDS sets the share-saves

std::string Env(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

std::int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// Runs f with the calling thread in the far namespace; threads f starts stay there.
template <class F>
void InFarNamespace(F f)
{
    std::thread([&] {
        const std::string far = Env("SHARES_FAR_NETNS", "");
        if (!far.empty()) {
            const int fd = ::open(far.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) std::perror("setns");
            if (fd >= 0) ::close(fd);
        }
        f();
    }).join();
}

// A member of the owner's session outside the program: sends or receives the voice stream.
class Probe {
public:
    ~Probe() { m_service.Close(); }

    bool Join(const std::string& host)
    {
        m_service.Initialize(this, [](void* self, std::uint32_t id, void* event) {
            return static_cast<Probe*>(self)->OnEvent(id, event);
        });
        CUserInformation me;
        me.SetUserName("probe");
        CTransBlock block;
        me.Serialize(block);
        m_service.SetPeerInfo("probe", block.Data(), static_cast<std::uint32_t>(block.Size()));
        m_service.Connect(*peer::GuidFromString(CDirectPlayPeerWraper::kApplicationId), host, kPort, block.Data(),
                          static_cast<std::uint32_t>(block.Size()));
        for (int i = 0; i < 200 && !m_connected; ++i) std::this_thread::sleep_for(50ms);
        return m_connected;
    }

    // A voice-sized message under the message header: the host relays only what names its
    // sender and the session, so the stamp follows the header.
    void SendStamp(peer::PlayerId to)
    {
        std::uint8_t payload[kStampBytes] = {};
        morvika::wire::StoreU32(payload + 4, KIND_VOICE_DATA);
        morvika::wire::StoreU32(payload + 8, m_service.LocalPlayer());
        morvika::wire::StoreU32(payload + 12, m_group.load());
        morvika::wire::StoreU32(payload + 16, kStampBytes - CPeerMessage::kHeaderSize);
        const std::int64_t now = NowUs();
        std::memcpy(payload + CPeerMessage::kHeaderSize, &now, sizeof now);
        m_service.SendTo(to, payload, sizeof payload, {}, peer::DPNSEND_PRIORITY_HIGH);
    }

    std::vector<std::int64_t> TakeDelays()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_delays, {});
    }

    peer::CPeerService& Service() { return m_service; }

private:
    peer::Result OnEvent(std::uint32_t id, void* event)
    {
        if (id == peer::DPN_MSGID_CONNECT_COMPLETE) {
            const auto& complete = *static_cast<peer::ConnectCompleteEvent*>(event);
            // The host's reply is the session's group id.
            if (complete.replySize == 4 && complete.replyData != nullptr) {
                m_group = morvika::wire::LoadU32(static_cast<const std::uint8_t*>(complete.replyData));
            }
            m_connected = complete.result == peer::DPN_OK;
        } else if (id == peer::DPN_MSGID_RECEIVE) {
            const auto& received = *static_cast<peer::ReceiveEvent*>(event);
            std::int64_t sent = 0;
            if (received.size == kStampBytes) {
                std::memcpy(&sent, static_cast<const std::uint8_t*>(received.data) + CPeerMessage::kHeaderSize,
                            sizeof sent);
                std::lock_guard lock(m_mutex);
                m_delays.push_back(NowUs() - sent);
            }
        }
        return peer::DPN_OK;
    }

    peer::CPeerService m_service;
    std::atomic<bool> m_connected{false};
    std::atomic<std::uint32_t> m_group{0};
    std::mutex m_mutex;
    std::vector<std::int64_t> m_delays;
};

double Percentile(std::vector<std::int64_t> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]) / 1000.0;
}

long PeakKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// Seconds to move the file's bytes through one plain TCP connection to the far side.
double PlainTcpSeconds(const std::string& farAddress)
{
    std::atomic<int> listening{-1};
    std::atomic<bool> done{false};
    Clock::time_point finished;
    std::thread reader([&] {
        InFarNamespace([&] {
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int yes = 1;
            ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(kTcpPort);
            ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::listen(server, 1);
            listening = server;
            const int connection = ::accept(server, nullptr, nullptr);
            std::vector<char> buffer(65536);
            std::size_t got = 0;
            while (got < kFileSize) {
                const ssize_t n = ::read(connection, buffer.data(), buffer.size());
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            finished = Clock::now();
            done = true;
            ::close(connection);
            ::close(server);
        });
    });
    while (listening < 0) std::this_thread::sleep_for(1ms);
    const std::vector<char> bytes(kFileSize, 'x');
    const auto start = Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kTcpPort);
    ::inet_pton(AF_INET, farAddress.c_str(), &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    }
    reader.join();
    ::close(fd);
    return done ? std::chrono::duration<double>(finished - start).count() : -1;
}

}  // namespace

int main()
{
    const std::string nearAddress = Env("SHARES_NEAR_ADDR", "127.0.0.1");
    const std::string farAddress = Env("SHARES_FAR_ADDR", "127.0.0.1");
    const std::string farNetns = Env("SHARES_FAR_NETNS", "");

    e2e::MorvikaInstance a("Alice");
    e2e::MorvikaInstance b("Bob");
    e2e::MorvikaInstance c("Carol");
    a.SetConnectCheck(0);
    e2e::StartOptions nearOptions;
    nearOptions.port = kPort;
    e2e::StartOptions farOptions;
    farOptions.port = kPort;
    if (!farNetns.empty()) {
        const std::string name = farNetns.substr(farNetns.rfind('/') + 1);
        farOptions.commandPrefix = {"/usr/sbin/ip", "netns", "exec", name};
    }
    e2e::StartOptions farOptionsC = farOptions;
    farOptionsC.port = kPort + 2;
    if (!a.Start(nearOptions) || !b.Start(farOptions) || !c.Start(farOptionsC)) return 1;
    for (e2e::MorvikaInstance* saver : {&b, &c}) {
        if (saver->Command("connect " + nearAddress + ":" + std::to_string(kPort) + " -") != "ok") return 1;
    }
    if (!b.WaitForWindowCount(3) || !c.WaitForWindowCount(3) || !a.WaitForWindowCount(3)) {
        std::fprintf(stderr, "join failed\n%s%s", a.Diagnostics().c_str(), b.Diagnostics().c_str());
        return 1;
    }

    Probe talker;
    Probe listener;
    if (!talker.Join("127.0.0.1")) return 1;
    bool listenerJoined = false;
    InFarNamespace([&] { listenerJoined = listener.Join(nearAddress); });
    if (!listenerJoined) return 1;
    const peer::PlayerId listenerId = listener.Service().LocalPlayer();

    std::atomic<bool> talking{true};
    std::thread voice([&] {
        auto next = Clock::now();
        while (talking) {
            talker.SendStamp(listenerId);
            next += 62500us;
            std::this_thread::sleep_until(next);
        }
    });
    // Every way out ends the stream first: a thread still running at exit aborts the run.
    const auto stop = [&](int code) {
        talking = false;
        if (voice.joinable()) voice.join();
        return code;
    };

    std::this_thread::sleep_for(20s);
    const auto idle = listener.TakeDelays();
    if (idle.empty()) {
        std::fprintf(stderr, "no voice-like message reached the listener; the owner relayed none\n%s",
                     a.Diagnostics().c_str());
        return stop(1);
    }
    const long peakBeforeA = PeakKb(a.Pid());
    const long peakBeforeB = PeakKb(b.Pid());
    const long peakBeforeC = PeakKb(c.Pid());

    const std::string file = a.ProfileDir() + "/random.bin";
    std::string original(kFileSize, '\0');
    {
        std::mt19937 rng(1);
        for (char& ch : original) ch = static_cast<char>(rng());
        std::ofstream(file, std::ios::binary).write(original.data(), static_cast<std::streamsize>(original.size()));
    }
    std::vector<double> shareSeconds;
    std::vector<std::int64_t> during;
    std::size_t progressEvents = 0;
    std::size_t downloads = 0;
    bool identical = true;
    bool rising = true;
    const int rounds = std::max(1, std::atoi(Env("SHARES_ROUNDS", "4").c_str()));
    for (int run = 0; run < rounds; ++run) {
        for (e2e::MorvikaInstance* saver : {&b, &c}) {
            e2e::MorvikaInstance& to = *saver;
            // A fresh offer clears the stored copy's path at the peer, so the file travels again.
            // The withdrawal must be seen to arrive before the offer is made again: the other
            // saver's turn already left this saver a listing without a copy, and a save started
            // on that stale listing meets the withdrawal still on its way ("error no such file").
            const auto listed = [&](std::size_t count) {
                return to.WaitUntil([&] {
                    const auto shares = to.List("shares");
                    return shares && shares->size() == count && (count == 0 || shares->front().ends_with(" -"));
                });
            };
            a.Command("share-delete random.bin");
            const bool offered = listed(0) && a.Command("share-add " + file) == "ok" && listed(1);
            if (!offered) {
                std::fprintf(stderr, "the fresh offer did not reach the saver\n%s", to.Diagnostics().c_str());
                return stop(1);
            }
            const std::size_t eventsBefore = to.Events("download random.bin ").size();
            listener.TakeDelays();
            const auto start = Clock::now();
            const std::string answer = to.Command("share-save random.bin " + to.ProfileDir() + "/saved.bin", 300s);
            shareSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            const auto delays = listener.TakeDelays();
            during.insert(during.end(), delays.begin(), delays.end());
            const auto progress = to.Events("download random.bin ");
            progressEvents += progress.size() - eventsBefore;
            ++downloads;
            std::uint64_t last = 0;
            for (std::size_t i = eventsBefore; i < progress.size(); ++i) {
                const std::uint64_t bytes = std::stoull(e2e::SplitWords(progress[i])[2]);
                rising = rising && bytes > last;
                last = bytes;
            }
            rising = rising && last == kFileSize;
            if (answer.rfind("ok", 0) != 0) {
                std::fprintf(stderr, "save failed: %s\n%s", answer.c_str(), to.Diagnostics().c_str());
                return stop(1);
            }
            std::ifstream saved(to.ProfileDir() + "/saved.bin", std::ios::binary);
            identical = identical && std::string(std::istreambuf_iterator<char>(saved), {}) == original;
        }
    }
    stop(0);
    const long peakAfterA = PeakKb(a.Pid());
    const long peakAfterB = PeakKb(b.Pid());
    const long peakAfterC = PeakKb(c.Pid());

    std::vector<double> tcpSeconds;
    for (int run = 0; run < kRuns; ++run) tcpSeconds.push_back(PlainTcpSeconds(farAddress));

    std::sort(shareSeconds.begin(), shareSeconds.end());
    std::sort(tcpSeconds.begin(), tcpSeconds.end());
    const double share = shareSeconds[shareSeconds.size() / 2];
    const double tcp = tcpSeconds[kRuns / 2];
    std::printf("2 MiB share-save   median %.3f s  (saves, Bob and Carol in turn:", share);
    for (double s : shareSeconds) std::printf(" %.3f", s);
    std::printf(")\n2 MiB plain TCP    median %.3f s  (runs:", tcp);
    for (double s : tcpSeconds) std::printf(" %.3f", s);
    std::printf(")\nspeed against plain TCP: %.2fx\n", tcp / share);
    std::printf("voice one-way delay idle:   p50 %.1f ms  p99 %.1f ms  (%zu messages)\n", Percentile(idle, 0.5),
                Percentile(idle, 0.99), idle.size());
    std::printf("voice one-way delay during: p50 %.1f ms  p99 %.1f ms  (%zu messages)\n", Percentile(during, 0.5),
                Percentile(during, 0.99), during.size());
    std::printf("added p99 voice delay: %.1f ms\n", Percentile(during, 0.99) - Percentile(idle, 0.99));
    std::printf("progress events per download: %.1f, always rising to the whole file: %s\n",
                static_cast<double>(progressEvents) / static_cast<double>(downloads), rising ? "yes" : "no");
    std::printf("every saved copy identical to the owner's file: %s\n", identical ? "yes" : "no");
    std::printf(
        "peak memory (VmHWM) owner: %ld kB before, %ld kB after; savers: %ld / %ld kB before, %ld / %ld kB after\n",
        peakBeforeA, peakAfterA, peakBeforeB, peakBeforeC, peakAfterB, peakAfterC);
    a.Quit();
    b.Quit();
    c.Quit();
    return identical && rising ? 0 : 1;
}
