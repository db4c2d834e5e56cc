#pragma once
// Sessions on the LAN over DNS-SD (the avahi daemon): announces the own service and keeps the
// list of the others of the same type. It runs on the default GLib main context, so on the
// thread that turns it (Qt's GUI thread); nothing here waits for the network. Without an avahi
// daemon nothing is announced and the list stays empty; a daemon that starts later is used.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace net {

struct LanSession {
    std::string name;     // the service's instance name
    std::string user;     // the "user" value of its TXT record
    std::string host;     // the announcing machine's mDNS name
    std::string address;  // its IPv4 address, dotted
    std::uint16_t port = 0;

    // "<address>:<port>", as a join address.
    std::string JoinAddress() const { return address + ":" + std::to_string(port); }
};

class LanServices {
public:
    using Txt = std::vector<std::pair<std::string, std::string>>;

    // type: the DNS-SD service type, e.g. "_morvika._tcp".
    explicit LanServices(std::string type);
    ~LanServices();
    LanServices(const LanServices&) = delete;
    LanServices& operator=(const LanServices&) = delete;

    // Announces the own service (again, when the name changed); an empty name withdraws it.
    void Announce(const std::string& name, std::uint16_t port, Txt txt);
    // The other sessions found, in the order they were found.
    const std::vector<LanSession>& Found() const;
    // Whether the daemon is reachable now.
    bool Running() const;

    // Called after every change of Found().
    std::function<void()> onChange;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

}  // namespace net
