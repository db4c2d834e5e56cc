#include "tools/morvika-tool/ToolCommand.h"

#include <charconv>
#include <fstream>
#include <iterator>

namespace {
std::vector<ToolCommand>& Registry()
{
    static std::vector<ToolCommand> commands;
    return commands;
}
}  // namespace

ToolRegistration::ToolRegistration(const char* name, const char* usage, ToolMain main)
{
    Registry().push_back({name, usage, main});
}

const std::vector<ToolCommand>& ToolCommands()
{
    return Registry();
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool ParseIntArg(const std::string& text, long long& out)
{
    const char* first = text.data();
    const char* last = first + text.size();
    const auto result = std::from_chars(first, last, out);
    return !text.empty() && result.ec == std::errc() && result.ptr == last;
}
