#include "app/NetworkAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "app/Log.h"

namespace NetworkAddress {
namespace {

std::string FormatIPv4(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

std::string FormatSockaddr(const sockaddr* address)
{
    if (address == nullptr || address->sa_family != AF_INET) {
        return {};
    }
    return FormatIPv4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
}

bool ParseHex32(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 8) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseDecimal(std::string_view text, long& value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> SplitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
        if (pos > start) fields.push_back(line.substr(start, pos - start));
    }
    return fields;
}

bool IsLoopback(const std::string& dotted)
{
    in_addr address{};
    return ::inet_pton(AF_INET, dotted.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseDefaultGateways(std::string_view routeTable)
{
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...; addresses are the
    // kernel's 32-bit values in memory order, printed in hex.
    std::vector<std::pair<std::string, std::string>> result;
    std::map<std::string, long> bestMetric;
    bool header = true;
    while (!routeTable.empty()) {
        const std::size_t newline = routeTable.find('\n');
        const std::string_view line = routeTable.substr(0, newline);
        routeTable = newline == std::string_view::npos ? std::string_view() : routeTable.substr(newline + 1);
        if (header) {
            header = false;
            continue;
        }
        const auto fields = SplitFields(line);
        std::uint32_t destination = 0, gateway = 0, flags = 0, mask = 0;
        long metric = 0;
        if (fields.size() < 8 || !ParseHex32(fields[1], destination) || !ParseHex32(fields[2], gateway) ||
            !ParseHex32(fields[3], flags) || !ParseDecimal(fields[6], metric) || !ParseHex32(fields[7], mask)) {
            continue;
        }
        if (destination != 0 || mask != 0 || (flags & RTF_UP) == 0 || (flags & RTF_GATEWAY) == 0) {
            continue;
        }
        in_addr address{};
        address.s_addr = gateway;
        const std::string name(fields[0]);
        const auto known = bestMetric.find(name);
        if (known == bestMetric.end()) {
            bestMetric.emplace(name, metric);
            result.emplace_back(name, FormatIPv4(address));
        } else if (metric < known->second) {
            known->second = metric;
            for (auto& [iface, text] : result) {
                if (iface == name) text = FormatIPv4(address);
            }
        }
    }
    return result;
}

AdapterTable BuildAdapterTable(const std::vector<InterfaceAddress>& addresses, std::string_view routeTable)
{
    const auto gateways = ParseDefaultGateways(routeTable);
    AdapterTable table;
    for (const InterfaceAddress& entry : addresses) {
        if (entry.loopback || entry.address.empty()) {
            continue;
        }
        bool seen = false;
        for (const AdapterInfo& adapter : table) {
            seen = seen || adapter.name == entry.name;
        }
        if (seen) {
            continue;  // only the first address of an adapter counts
        }
        AdapterInfo adapter{entry.name, entry.name, entry.address, entry.mask, {}};
        for (const auto& [iface, gateway] : gateways) {
            if (iface == entry.name) adapter.gateway = gateway;
        }
        table.push_back(std::move(adapter));
    }
    return table;
}

int QueryAdapterTable(AdapterTable& table)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return errno != 0 ? errno : EIO;
    }
    std::vector<InterfaceAddress> addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || entry->ifa_name == nullptr) {
            continue;
        }
        addresses.push_back({entry->ifa_name, FormatSockaddr(entry->ifa_addr), FormatSockaddr(entry->ifa_netmask),
                             (entry->ifa_flags & IFF_LOOPBACK) != 0});
    }
    ::freeifaddrs(list);

    // Without a routing table the adapters simply have no gateway.
    std::ifstream in("/proc/net/route");
    std::stringstream routes;
    routes << in.rdbuf();
    table = BuildAdapterTable(addresses, routes.str());
    return 0;
}

std::vector<std::string> LocalAddresses()
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr, text,
                        sizeof text);
        } else {
            continue;
        }
        addresses.emplace_back(text);
    }
    ::freeifaddrs(list);
    return addresses;
}

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The canonical text of a numeric address (v4-mapped IPv6 as IPv4), or nullopt for a name.
std::optional<std::string> NumericAddress(const std::string& host, bool& local)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    local = false;
    if (result->ai_family == AF_INET) {
        const in_addr address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
        const std::uint32_t value = ntohl(address.s_addr);
        local = (value >> 24) == 127 || value == 0;
        ::inet_ntop(AF_INET, &address, text, sizeof text);
    } else if (result->ai_family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(result->ai_addr)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address)) {
            in_addr v4{};
            std::memcpy(&v4, address.s6_addr + 12, sizeof v4);
            const std::uint32_t value = ntohl(v4.s_addr);
            local = (value >> 24) == 127 || value == 0;
            ::inet_ntop(AF_INET, &v4, text, sizeof text);
        } else {
            local = IN6_IS_ADDR_LOOPBACK(&address) || IN6_IS_ADDR_UNSPECIFIED(&address);
            ::inet_ntop(AF_INET6, &address, text, sizeof text);
        }
    }
    ::freeaddrinfo(result);
    return std::string(text);
}

std::string ShortName(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

}  // namespace

bool IsThisMachine(const std::string& host, const std::string& hostName, const std::vector<std::string>& localAddresses)
{
    bool local = false;
    if (const auto numeric = NumericAddress(host, local)) {
        if (local) return true;
        for (const auto& address : localAddresses) {
            bool ignored = false;
            if (NumericAddress(address, ignored) == numeric) return true;
        }
        return false;
    }
    std::string name = Lower(host);
    if (!name.empty() && name.back() == '.') name.pop_back();  // the root's dot
    if (name == "localhost" || name.ends_with(".localhost") || name == "localhost.localdomain" ||
        name == "ip6-localhost" || name == "ip6-loopback") {
        return true;
    }
    const std::string own = Lower(hostName);
    if (own.empty()) return false;
    return name == own || name == ShortName(own);
}

std::string WalkAdapterTable(const AdapterTable& table, const std::string& ipAddress)
{
    std::string gateway;
    for (const AdapterInfo& adapter : table) {
        if (adapter.address == ipAddress) {
            gateway = adapter.gateway;
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Hit AdapterName %s \n", adapter.description.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Hit AdapterName %s \n", adapter.name.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Hit Address %s \n", adapter.address.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Hit Mask %s \n", adapter.mask.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Hit Gateway Address %s \n", adapter.gateway.c_str());
        } else {
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Other AdapterName %s \n", adapter.description.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Other AdapterName %s \n", adapter.name.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Other Address %s \n", adapter.address.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Other Mask %s \n", adapter.mask.c_str());
            MORVIKA_LOG("LOG   CHalvoApp::GetDefaultGatewayIP() Other Gateway Address %s \n", adapter.gateway.c_str());
        }
    }
    return gateway;
}

bool QueryHostName(std::string& hostName)
{
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) {
        return false;
    }
    hostName = buffer;
    return !hostName.empty();
}

int LookupIPv4(const std::string& hostName, std::vector<std::string>& addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    const int result = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &answer);
    if (result != 0) {
        return result;
    }
    for (const addrinfo* entry = answer; entry != nullptr; entry = entry->ai_next) {
        std::string text = FormatSockaddr(entry->ai_addr);
        if (!text.empty()) {
            addresses.push_back(std::move(text));
        }
    }
    ::freeaddrinfo(answer);
    return addresses.empty() ? EAI_NONAME : 0;
}

std::string ChooseIPAddress(const std::vector<std::string>& resolved, const AdapterTable& adapters)
{
    for (const std::string& address : resolved) {
        if (!IsLoopback(address)) {
            return address;
        }
    }
    for (const AdapterInfo& adapter : adapters) {
        if (!adapter.gateway.empty() && !adapter.address.empty()) {
            return adapter.address;
        }
    }
    return resolved.empty() ? std::string() : resolved.front();
}

void DiscoverIPAddress(const HostNameQuery& hostNameQuery, const HostLookup& lookup, const AdapterQuery& adapterQuery,
                       std::string& hostName, std::string& ipAddress)
{
    ipAddress.clear();
    if (hostNameQuery(hostName)) {
        MORVIKA_LOG("LOG   CHalvoApp::GetIPAddress() HostName %s \n", hostName.c_str());
        std::vector<std::string> resolved;
        const int result = lookup(hostName, resolved);
        if (result == 0 && !resolved.empty()) {
            AdapterTable adapters;
            if (IsLoopback(resolved.front()) && adapterQuery && adapterQuery(adapters) != 0) {
                adapters.clear();
            }
            ipAddress = ChooseIPAddress(resolved, adapters);
            MORVIKA_LOG("LOG   CHalvoApp::GetIPAddress() IP Address %s \n", ipAddress.c_str());
            return;
        }
        MORVIKA_LOG("ERROR CHalvoApp::GetIPAddress() IPAddress Error %d \n", result);
    }
    MORVIKA_LOG("ERROR CHalvoApp::GetIPAddress() Get IPAddress Error \n");
}

void DiscoverGateway(const AdapterQuery& adapterQuery, const std::string& ipAddress, std::string& gateway)
{
    gateway.clear();
    AdapterTable table;
    if (const int result = adapterQuery(table); result != 0) {
        MORVIKA_LOG("ERROR CHalvoApp::GetDefaultGatewayIP() Result %d \n", result);
        return;
    }
    gateway = WalkAdapterTable(table, ipAddress);
}

}  // namespace NetworkAddress

CNetWorkAdaptersInfoList::CNetWorkAdaptersInfoList(NetworkAddress::AdapterQuery query)
    : TracedObject("CNetWorkAdaptersInfoList", TracedObject::kVersion, TraceSwitch()),
      m_query(std::move(query))
{
}

int CNetWorkAdaptersInfoList::Load()
{
    if (m_table) {
        return 0;
    }
    AdapterTable table;
    if (const int result = m_query(table); result != 0) {
        return result;
    }
    m_table = std::move(table);
    return 0;
}

std::optional<std::string> CNetWorkAdaptersInfoList::FindAddress(const std::string& description) const
{
    if (!m_table) {
        return std::nullopt;
    }
    for (const AdapterInfo& adapter : *m_table) {
        if (adapter.description == description) {
            return adapter.address;
        }
    }
    return std::nullopt;
}
