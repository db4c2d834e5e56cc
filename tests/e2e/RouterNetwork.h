#pragma once
// A home network in network namespaces of its own: a LAN whose default route is a router that
// masquerades onto an outside link with an address that looks public (there is no route out of
// the namespaces), optionally running miniupnpd; and an outside host on that link. Everything
// is removed again when the object goes.

#include <optional>
#include <string>
#include <vector>

#include "tests/support/MorvikaInstance.h"

namespace e2e {

class RouterNetwork {
public:
    enum class Gateway { None, Upnp, NatPmpOnly };

    static constexpr const char* kLanAddress = "10.66.1.2";
    static constexpr const char* kOtherLanAddress = "10.66.1.3";  // a host of the LAN that is off
    static constexpr const char* kRouterLanAddress = "10.66.1.1";
    static constexpr const char* kPublicAddress = "45.67.89.1";
    static constexpr const char* kOutsideAddress = "45.67.89.2";

    // Empty when the machine cannot run it (not root, tools missing).
    static std::string Unavailable();

    explicit RouterNetwork(Gateway gateway);
    ~RouterNetwork();
    RouterNetwork(const RouterNetwork&) = delete;
    RouterNetwork& operator=(const RouterNetwork&) = delete;

    // Empty when the network is up; else what failed.
    const std::string& Error() const { return m_error; }
    // Prefixes that run a program in the LAN or outside.
    std::vector<std::string> Lan() const { return Exec(m_name + "-lan"); }
    std::vector<std::string> Outside() const { return Exec(m_name + "-out"); }
    // Runs a command in the router's namespace; its output.
    std::optional<std::string> OnRouter(std::vector<std::string> argv) const;
    // Whether the router forwards the external TCP port to the LAN now.
    bool Forwards(std::uint16_t externalPort) const;
    // The router's log so far.
    std::string DaemonLog() const;

private:
    static std::vector<std::string> Exec(const std::string& ns);
    bool Run(std::vector<std::string> argv);

    std::string m_name;
    std::string m_folder;
    std::string m_error;
    ChildProcess m_daemon;
};

}  // namespace e2e
