#include "app/StartupOptions.h"

#include <charconv>
#include <string>

namespace {

constexpr const char* kUrlScheme = "morvika://";

}  // namespace

bool ParsePortNumber(const std::string& text, std::uint16_t& port)
{
    unsigned value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value == 0 ||
        value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

const char* StartupUsage()
{
    static const std::string text =
        "usage: morvika [options] [morvika://HOST[:PORT]]\n"
        "  --profile DIR       keep settings, log and lock file in DIR\n"
        "  --port N            host the own session on port N (default " +
        std::to_string(kDefaultSessionPort) +
        ")\n"
        "  --connect HOST[:PORT]  join HOST's session at start-up (IPv6: [ADDRESS]:PORT)\n"
        "  --password TEXT     password presented with --connect\n"
        "  --message TEXT      greeting presented with --connect\n"
        "  --minimized         start in the tray (minimised where the desktop has none)\n"
        "  --control           read commands on standard input (docs/control.md)\n"
        "  --lang ja|en        the interface language of this run (default: the settings' Language)\n"
        "  --help              show this text\n"
        "  --version           show the program version\n"
        "  --identity          show this installation's key fingerprint (made at first use)\n"
        "  morvika://HOST[:PORT]  join HOST's session at start-up, as --connect does\n";
    return text.c_str();
}

std::optional<StartupOptions> ParseStartupOptions(const std::vector<std::string>& args, std::string& error)
{
    StartupOptions options;
    bool connectGiven = false;
    auto connectTo = [&](std::string text, const char* what) {
        if (connectGiven) {
            error = std::string(what) + ": only one host can be joined";
            return false;
        }
        connectGiven = true;
        const std::string given = text;
        if (text.empty()) {
            error = std::string(what) + " needs a host name or address";
            return false;
        }
        auto refuse = [&] {
            error = std::string(what) + " needs HOST, HOST:PORT or [IPv6]:PORT, not '" + given + "'";
            return false;
        };
        // An IPv6 address takes a port only in brackets, which stay on the host for the
        // address parser; a bare one ("::1", "fe80::1%eth0") is all host.
        const auto close = text.front() == '[' ? text.find(']') : std::string::npos;
        const bool bare6 = text.front() != '[' && text.find(':') != text.rfind(':');
        if (text.front() == '[' && (close == std::string::npos || close == 1)) return refuse();
        const auto colon = text.rfind(':');
        if (!bare6 && colon != std::string::npos && (close == std::string::npos || colon > close)) {
            if (!ParsePortNumber(text.substr(colon + 1), options.connectPort)) return refuse();
            text.resize(colon);
        }
        if (close != std::string::npos && close + 1 != text.size()) return refuse();
        if (text.empty()) {
            error = std::string(what) + " needs a host name or address";
            return false;
        }
        options.connectHost = text;
        return true;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--identity") {
            options.identity = true;
        } else if (arg == "--minimized") {
            options.minimized = true;
        } else if (arg == "--control") {
            options.control = true;
        } else if (arg == "--profile") {
            if (!value(options.profileDir)) return std::nullopt;
            if (options.profileDir.empty()) {
                error = "--profile needs a folder";
                return std::nullopt;
            }
        } else if (arg == "--port") {
            if (!value(text)) return std::nullopt;
            if (!ParsePortNumber(text, options.port)) {
                error = "--port needs a number from 1 to 65535, not '" + text + "'";
                return std::nullopt;
            }
        } else if (arg == "--connect") {
            if (!value(text)) return std::nullopt;
            if (!connectTo(text, "--connect")) return std::nullopt;
        } else if (arg.starts_with(kUrlScheme)) {
            // What the desktop hands over for a morvika:// link (Exec=morvika %u).
            text = arg.substr(std::char_traits<char>::length(kUrlScheme));
            if (text.ends_with('/')) text.pop_back();
            if (!connectTo(text, kUrlScheme)) return std::nullopt;
        } else if (arg == "--lang") {
            if (!value(options.language)) return std::nullopt;
            if (options.language != "ja" && options.language != "en") {
                error = "--lang needs ja or en, not '" + options.language + "'";
                return std::nullopt;
            }
        } else if (arg == "--password") {
            if (!value(options.password)) return std::nullopt;
        } else if (arg == "--message") {
            if (!value(options.message)) return std::nullopt;
        } else {
            error = "unknown option '" + arg + "' (see --help)";
            return std::nullopt;
        }
    }
    if (options.connectHost.empty() && (!options.password.empty() || !options.message.empty())) {
        error = "--password and --message go with --connect";
        return std::nullopt;
    }
    return options;
}
