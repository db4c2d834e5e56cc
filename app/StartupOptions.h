#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The port every instance hosts its session on unless told otherwise. The peer service below
// the application keeps the same number as its own default (peer::kDefaultPort; the
// transport checks that the two agree).
inline constexpr std::uint16_t kDefaultSessionPort = 7066;

// What the command line asks of a run of the program.
struct StartupOptions {
    std::string profileDir;                    // --profile DIR: settings, working folder and lock live there
    std::uint16_t port = kDefaultSessionPort;  // --port N: own session port, and the default port to join
    std::string connectHost;                   // --connect HOST[:PORT]
    std::uint16_t connectPort = 0;             // 0: the default port
    std::string password;                      // --password
    std::string message;                       // --message
    bool minimized = false;                    // --minimized: start in the tray, or minimised without one
    std::string language;                      // --lang ja|en: this run's interface language; empty: the setting
    bool control = false;                      // --control: commands on stdin, answers on stdout
    bool help = false;
    bool version = false;
    bool identity = false;  // --identity: print the installation's fingerprint
};

// Parses argv (without the program name). On failure returns nullopt and sets error to a
// one-line explanation for the user.
std::optional<StartupOptions> ParseStartupOptions(const std::vector<std::string>& args, std::string& error);

// A TCP port number 1..65535 written in decimal, nothing else.
bool ParsePortNumber(const std::string& text, std::uint16_t& port);

// The --help text.
const char* StartupUsage();
