#include "platform/net/PortMapper.h"

#include <arpa/inet.h>
#include <sys/select.h>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <natpmp.h>

#include <algorithm>
#include <optional>

namespace net {
namespace {

using namespace std::chrono_literals;

// UPnP error codes the mapper reacts to.
constexpr int kConflictInMappingEntry = 718;
constexpr int kOnlyPermanentLeasesSupported = 725;
// Ports tried after the own one when the router neither keeps it free nor picks one itself.
constexpr int kAlternativePorts = 16;
// How long a NAT-PMP gateway may take to answer one request (its retries included).
constexpr auto kNatPmpAnswer = 3s;
// A router without leases is asked again now and then: it may have restarted meanwhile.
constexpr auto kPermanentRecheck = 20min;
// After a failure: the network, or the user's router settings, may change.
constexpr auto kRetryAfterFailure = 5min;

PortMapping None(std::string reason, std::string detail)
{
    PortMapping mapping;
    mapping.state = PortMapping::State::None;
    mapping.reason = std::move(reason);
    mapping.detail = std::move(detail);
    return mapping;
}

PortMapping Mapped(std::string address, std::uint16_t port, std::string method)
{
    PortMapping mapping;
    mapping.state = PortMapping::State::Mapped;
    mapping.externalAddress = std::move(address);
    mapping.externalPort = port;
    mapping.method = std::move(method);
    return mapping;
}

std::string UpnpError(int code)
{
    const char* text = strupnperror(code);
    return "UPnP " + std::to_string(code) + (text ? std::string(" ") + text : std::string());
}

}  // namespace

std::string PortMapping::Text() const
{
    switch (state) {
    case State::Pending: return "pending";
    case State::Mapped: return externalAddress + ":" + std::to_string(externalPort);
    case State::None: break;
    }
    return "none:" + reason;
}

bool IsPublicIPv4(const std::string& address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    const std::uint32_t a = ntohl(parsed.s_addr);
    struct Block {
        std::uint32_t network;
        int bits;
    };
    static constexpr Block kNotPublic[] = {
        {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8},  {0xA9FE0000, 16},
        {0xAC100000, 12}, {0xC0000000, 24}, {0xC0000200, 24}, {0xC0586300, 24}, {0xC0A80000, 16},
        {0xC6120000, 15}, {0xC6336400, 24}, {0xCB007100, 24}, {0xE0000000, 4},  {0xF0000000, 4},
    };
    return std::none_of(std::begin(kNotPublic), std::end(kNotPublic), [a](const Block& block) {
        const std::uint32_t mask = ~0u << (32 - block.bits);
        return (a & mask) == block.network;
    });
}

struct PortMapper::Upnp {
    bool found = false;
    UPNPUrls urls{};
    IGDdatas data{};
    char lanAddress[64] = {};
    std::string mappedPort;  // external port while mapped
    ~Upnp()
    {
        if (found) FreeUPNPUrls(&urls);
    }
};

struct PortMapper::NatPmp {
    bool open = false;
    natpmp_t handle{};
    std::uint16_t mappedPort = 0;  // external port while mapped
    ~NatPmp()
    {
        if (open) closenatpmp(&handle);
    }
};

PortMapper::PortMapper(Options options, Listener listener)
    : m_options(std::move(options)),
      m_listener(std::move(listener)),
      m_enabled(m_options.enabled),
      m_thread([this] { Run(); })
{
}

void PortMapper::SetEnabled(bool enabled)
{
    {
        std::lock_guard lock(m_mutex);
        m_enabled = enabled;
    }
    m_wake.notify_all();
}

bool PortMapper::Enabled() const
{
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

bool PortMapper::WaitEnabled()
{
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_stop || m_enabled; });
    return !m_stop;
}

PortMapper::~PortMapper()
{
    Stop();
}

void PortMapper::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

PortMapping PortMapper::Current() const
{
    std::lock_guard lock(m_mutex);
    return m_current;
}

bool PortMapper::Stopping() const
{
    std::lock_guard lock(m_mutex);
    return m_stop;
}

bool PortMapper::Sleep(std::chrono::steady_clock::duration duration)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_stop || !m_enabled; });
}

void PortMapper::Publish(PortMapping mapping)
{
    {
        std::lock_guard lock(m_mutex);
        if (mapping.Text() == m_current.Text()) return;
        m_current = mapping;
    }
    if (m_listener) m_listener(mapping);
}

namespace {

// Waits for the answer to the pending NAT-PMP request, resending as the library wants; nullopt
// when none came in time (or the mapper stops).
std::optional<natpmpresp_t> NatPmpAnswer(natpmp_t& handle, const std::function<bool()>& stopping)
{
    const auto deadline = std::chrono::steady_clock::now() + kNatPmpAnswer;
    while (std::chrono::steady_clock::now() < deadline && !stopping()) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(handle.s, &readable);
        timeval wait{};
        getnatpmprequesttimeout(&handle, &wait);
        // Short slices, so that Stop is not held up by the library's back-off.
        if (wait.tv_sec > 0 || wait.tv_usec > 100000) wait = timeval{0, 100000};
        select(handle.s + 1, &readable, nullptr, nullptr, &wait);
        natpmpresp_t response{};
        const int result = readnatpmpresponseorretry(&handle, &response);
        if (result == 0) return response;
        if (result != NATPMP_TRYAGAIN) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

bool PortMapper::MapWithUpnp(Upnp& upnp, bool renewal)
{
    if (!upnp.found) {
        // Each type asked for costs a full wait when nobody answers: only the gateways.
        static const char* const kGateways[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                                "urn:schemas-upnp-org:device:InternetGatewayDevice:2", nullptr};
        int error = 0;
        UPNPDev* devices = upnpDiscoverDevices(kGateways, static_cast<int>(m_options.discovery.count()), nullptr,
                                               nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error, 0);
        if (devices == nullptr) return false;
        const int igd = UPNP_GetValidIGD(devices, &upnp.urls, &upnp.data, upnp.lanAddress, sizeof upnp.lanAddress);
        freeUPNPDevlist(devices);
        if (igd == 0) return false;
        // Found but not connected, or not a gateway at all: NAT-PMP may still serve.
        if (igd != 1) {
            FreeUPNPUrls(&upnp.urls);
            upnp.urls = {};
            return false;
        }
        upnp.found = true;
        // Discovery takes the longest; a program leaving meanwhile asks for nothing more.
        if (Stopping()) return true;
    }
    const char* control = upnp.urls.controlURL;
    const char* service = upnp.data.first.servicetype;
    char external[40] = {};
    int result = UPNP_GetExternalIPAddress(control, service, external);
    if (result != 0) {
        // The gateway may have moved or restarted: look for it afresh next time.
        FreeUPNPUrls(&upnp.urls);
        upnp.urls = {};
        upnp.found = false;
        upnp.mappedPort.clear();
        Publish(None("refused", UpnpError(result)));
        return true;
    }
    if (!IsPublicIPv4(external)) {
        Publish(None("no-public-address", std::string("UPnP gateway's address ") + external));
        return true;
    }
    const std::string internal = std::to_string(m_options.port);
    std::string port = renewal ? upnp.mappedPort : internal;
    std::string lease = std::to_string(m_options.lease.count());
    auto add = [&] {
        return UPNP_AddPortMapping(control, service, port.c_str(), internal.c_str(), upnp.lanAddress,
                                   m_options.description.c_str(), "TCP", nullptr, lease.c_str());
    };
    result = add();
    if (result == kOnlyPermanentLeasesSupported) {
        lease = "0";
        result = add();
    }
    if (result == kConflictInMappingEntry && !renewal) {
        // Taken by another client: let the router pick a port, or look for a free one.
        char reserved[8] = {};
        result = UPNP_AddAnyPortMapping(control, service, port.c_str(), internal.c_str(), upnp.lanAddress,
                                        m_options.description.c_str(), "TCP", nullptr, lease.c_str(), reserved);
        if (result == 0) {
            port = reserved;
        } else {
            result = kConflictInMappingEntry;
            for (int i = 1; i <= kAlternativePorts && result == kConflictInMappingEntry; ++i) {
                const int candidate = m_options.port + i;
                if (candidate > 65535) break;
                port = std::to_string(candidate);
                result = add();
            }
        }
    }
    if (result != 0) {
        upnp.mappedPort.clear();
        Publish(None("refused", UpnpError(result)));
        return true;
    }
    upnp.mappedPort = port;
    m_granted = std::chrono::seconds(std::stol(lease));
    Publish(Mapped(external, static_cast<std::uint16_t>(std::stoi(port)), "UPnP"));
    return true;
}

bool PortMapper::MapWithNatPmp(NatPmp& natpmp, bool renewal)
{
    auto stopping = [this] { return Stopping(); };
    if (!natpmp.open) {
        const int result = initnatpmp(&natpmp.handle, 0, 0);
        if (result < 0) {
            // Past its first steps it has made its socket (no gateway is the common failure:
            // an offline machine), and it leaves closing it to us; each retry would keep one.
            if (result != NATPMP_ERR_SOCKETERROR && result != NATPMP_ERR_INVALIDARGS) closenatpmp(&natpmp.handle);
            natpmp.handle = {};
            Publish(None("no-gateway", "NAT-PMP " + std::to_string(result)));
            return false;
        }
        natpmp.open = true;
    }
    sendpublicaddressrequest(&natpmp.handle);
    const auto address = NatPmpAnswer(natpmp.handle, stopping);
    if (!address) {
        Publish(None("no-gateway", "no UPnP or NAT-PMP answer from the default gateway"));
        return false;
    }
    if (address->resultcode != 0) {
        Publish(None("refused", "NAT-PMP result " + std::to_string(address->resultcode)));
        return true;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address->pnu.publicaddress.addr, text, sizeof text);
    if (!IsPublicIPv4(text)) {
        Publish(None("no-public-address", std::string("NAT-PMP gateway's address ") + text));
        return true;
    }
    const std::uint16_t wanted = renewal ? natpmp.mappedPort : m_options.port;
    sendnewportmappingrequest(&natpmp.handle, NATPMP_PROTOCOL_TCP, m_options.port, wanted,
                              static_cast<std::uint32_t>(m_options.lease.count()));
    const auto mapping = NatPmpAnswer(natpmp.handle, stopping);
    if (!mapping || mapping->resultcode != 0 || mapping->pnu.newportmapping.lifetime == 0) {
        natpmp.mappedPort = 0;
        Publish(None("refused", mapping ? "NAT-PMP result " + std::to_string(mapping->resultcode)
                                        : std::string("no NAT-PMP answer to the mapping request")));
        return true;
    }
    natpmp.mappedPort = mapping->pnu.newportmapping.mappedpublicport;
    m_granted = std::chrono::seconds(mapping->pnu.newportmapping.lifetime);
    Publish(Mapped(text, natpmp.mappedPort, "NAT-PMP"));
    return true;
}

void PortMapper::Unmap(Upnp& upnp, NatPmp& natpmp)
{
    if (!upnp.mappedPort.empty()) {
        UPNP_DeletePortMapping(upnp.urls.controlURL, upnp.data.first.servicetype, upnp.mappedPort.c_str(), "TCP",
                               nullptr);
        upnp.mappedPort.clear();
    }
    if (natpmp.mappedPort != 0) {
        sendnewportmappingrequest(&natpmp.handle, NATPMP_PROTOCOL_TCP, m_options.port, 0, 0);
        NatPmpAnswer(natpmp.handle, [] { return false; });
        natpmp.mappedPort = 0;
    }
}

void PortMapper::Run()
{
    Upnp upnp;
    NatPmp natpmp;
    enum class Via { Unknown, Upnp, NatPmp } via = Via::Unknown;
    while (!Stopping()) {
        if (!Enabled()) {
            Unmap(upnp, natpmp);
            Publish(None("off", {}));
            if (!WaitEnabled()) break;
            Publish(PortMapping{});
            continue;
        }
        const bool renewal = Current().state == PortMapping::State::Mapped;
        bool answered = false;
        if (via != Via::NatPmp && MapWithUpnp(upnp, renewal && via == Via::Upnp)) {
            via = Via::Upnp;
            answered = true;
        } else if (!Stopping() && MapWithNatPmp(natpmp, renewal && via == Via::NatPmp)) {
            via = Via::NatPmp;
            answered = true;
        }
        if (!answered) via = Via::Unknown;

        std::chrono::steady_clock::duration next = kRetryAfterFailure;
        if (Current().state == PortMapping::State::Mapped) {
            next = m_granted.count() > 0 ? std::chrono::steady_clock::duration(std::max(m_granted / 2, 30s))
                                         : std::chrono::steady_clock::duration(kPermanentRecheck);
        }
        Sleep(next);
    }
    // Leaving: the mapping must not outlive the program.
    Unmap(upnp, natpmp);
}

}  // namespace net
