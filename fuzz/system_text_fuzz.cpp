// Text the desktop and the kernel hand us: desktop entries (the mail handler's Exec line) and
// the routing table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/MailCommand.h"
#include "app/NetworkAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto exec = MailCommand::ParseDesktopEntryExec(text)) {
        if (exec->size() > size) std::abort();  // unescaping never grows the text
        (void)MailCommand::ExecToMailCommand(*exec);
    }
    (void)MailCommand::ExecToMailCommand(text);
    const auto gateways = NetworkAddress::ParseDefaultGateways(text);
    std::vector<InterfaceAddress> addresses;
    for (const auto& [name, gateway] : gateways) addresses.push_back({name, gateway, "255.0.0.0", false});
    const AdapterTable table = NetworkAddress::BuildAdapterTable(addresses, text);
    if (table.size() > gateways.size()) std::abort();
    return 0;
}
