#pragma once
// Maps a TCP port on the home router (UPnP IGD, else NAT-PMP) so that peers outside it can
// reach the port, keeps the mapping alive and removes it again. Everything that talks to the
// router runs on the mapper's own thread; the caller only receives results.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace net {

struct PortMapping {
    enum class State { Pending, Mapped, None };
    State state = State::Pending;
    std::string externalAddress;  // dotted IPv4 when mapped
    std::uint16_t externalPort = 0;
    std::string method;  // "UPnP" or "NAT-PMP" when mapped
    // Why nothing is mapped: "no-gateway", "refused", "no-public-address", "off".
    std::string reason;
    std::string detail;  // the router's own words, for the log

    // "<ip>:<port>", "pending" or "none:<reason>".
    std::string Text() const;
};

// Whether an IPv4 address in dotted form can be reached from the Internet: not private,
// shared (carrier NAT), loopback, link-local, documentation, benchmark, multicast or reserved.
bool IsPublicIPv4(const std::string& address);

class PortMapper {
public:
    struct Options {
        std::uint16_t port = 0;                     // the local TCP port to expose
        std::chrono::seconds lease{3600};           // asked for; routers may give less
        std::chrono::milliseconds discovery{1000};  // how long to wait for routers to answer
        std::string description = "Morvika";
        bool enabled = true;
    };
    // Called on the mapper's thread whenever the mapping changes.
    using Listener = std::function<void(const PortMapping&)>;

    // Starts at once on a thread of its own.
    PortMapper(Options options, Listener listener);
    ~PortMapper();
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Turned off, the mapper removes its mapping and reports "off" until turned on again.
    void SetEnabled(bool enabled);
    // Removes the mapping and ends the thread; waits at most for one exchange with the router.
    void Stop();
    PortMapping Current() const;

private:
    struct Upnp;
    struct NatPmp;

    void Run();
    // One attempt with either protocol; true when a mapping was made. renewal: keep the port.
    bool MapWithUpnp(Upnp& upnp, bool renewal);
    bool MapWithNatPmp(NatPmp& natpmp, bool renewal);
    void Unmap(Upnp& upnp, NatPmp& natpmp);
    void Publish(PortMapping mapping);
    // Waits for the duration, or until stopped or turned off; false then.
    bool Sleep(std::chrono::steady_clock::duration duration);
    // Waits until stopped or turned on; false when stopping.
    bool WaitEnabled();
    bool Stopping() const;
    bool Enabled() const;

    const Options m_options;
    const Listener m_listener;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;                // guarded by m_mutex
    bool m_enabled;                     // guarded by m_mutex
    PortMapping m_current;              // guarded by m_mutex
    std::chrono::seconds m_granted{0};  // [mapper thread] lease the router gave
    std::thread m_thread;
};

}  // namespace net
