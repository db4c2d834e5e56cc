#pragma once
// The machine's host name, its IPv4 address and the gateway of the adapter carrying it.
// The OS queries are thin; the decisions are pure functions fed with their answers, so that
// they can be exercised with made-up tables.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/TracedObject.h"

// One network adapter: its description and name (both the interface name here) and its first
// IPv4 address, mask and gateway in dotted decimal (empty when it has none).
struct AdapterInfo {
    std::string description;
    std::string name;
    std::string address;
    std::string mask;
    std::string gateway;
};
using AdapterTable = std::vector<AdapterInfo>;

// One IPv4 address of an interface as the kernel lists it.
struct InterfaceAddress {
    std::string name;
    std::string address;
    std::string mask;
    bool loopback = false;
};

namespace NetworkAddress {

// The adapter table: interfaces in kernel order with their first IPv4 address, loopback
// excluded, each with the default gateway the routing table gives it.
AdapterTable BuildAdapterTable(const std::vector<InterfaceAddress>& addresses, std::string_view routeTable);

// Default gateways per interface from the text of /proc/net/route: (interface, gateway), one per
// interface, the one with the lowest metric. Lines that cannot be read are skipped.
std::vector<std::pair<std::string, std::string>> ParseDefaultGateways(std::string_view routeTable);

// Reads the adapter table from the kernel; 0 on success, else an errno value.
int QueryAdapterTable(AdapterTable& table);

// Walks the whole table, logging five lines per adapter, and returns the gateway of the last
// adapter whose first address equals ipAddress (empty when none does).
std::string WalkAdapterTable(const AdapterTable& table, const std::string& ipAddress);

// Every IPv4 address the host name resolves to, in the resolver's order; 0 or a
// getaddrinfo error code.
int LookupIPv4(const std::string& hostName, std::vector<std::string>& addresses);

// The address the peers should see: the first resolved address that is not a loopback
// address. A host name that resolves only to loopback (the usual 127.0.1.1 entry of
// /etc/hosts) gives instead the address of the adapter carrying a default gateway, and
// failing that the first resolved address.
std::string ChooseIPAddress(const std::vector<std::string>& resolved, const AdapterTable& adapters);

// Every address of this machine's interfaces, IPv4 and IPv6, loopback included, as text.
std::vector<std::string> LocalAddresses();

// Whether `host` (an address in any form the resolver takes, or a name) denotes this machine:
// a loopback or unspecified address, one of `localAddresses`, "localhost" or the host name
// (names compare without case; the host name also matches without its domain). Asks no name server.
bool IsThisMachine(const std::string& host, const std::string& hostName,
                   const std::vector<std::string>& localAddresses);

using HostNameQuery = std::function<bool(std::string& hostName)>;
using HostLookup = std::function<int(const std::string& hostName, std::vector<std::string>& addresses)>;
using AdapterQuery = std::function<int(AdapterTable& table)>;

bool QueryHostName(std::string& hostName);

// Finds the host name and its address with the given queries, logging each step.
void DiscoverIPAddress(const HostNameQuery& hostNameQuery, const HostLookup& lookup, const AdapterQuery& adapterQuery,
                       std::string& hostName, std::string& ipAddress);

// Reads the adapter table with the given query and walks it; logs the query's failure.
void DiscoverGateway(const AdapterQuery& adapterQuery, const std::string& ipAddress, std::string& gateway);

}  // namespace NetworkAddress

// One copy of the adapter table, read once.
class CNetWorkAdaptersInfoList : public TracedObject {
public:
    explicit CNetWorkAdaptersInfoList(NetworkAddress::AdapterQuery query = NetworkAddress::QueryAdapterTable);

    // Reads the table once; a second call returns 0 at once. 0 or the query's error code.
    int Load();
    // The first address of the first adapter with this description, if any.
    std::optional<std::string> FindAddress(const std::string& description) const;

private:
    NetworkAddress::AdapterQuery m_query;
    std::optional<AdapterTable> m_table;
};
