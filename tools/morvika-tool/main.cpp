// morvika-tool: command-line diagnosis and measurement for Morvika's formats.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/morvika-tool/ToolCommand.h"

namespace {
void PrintUsage(std::FILE* to)
{
    std::fprintf(to, "usage: morvika-tool COMMAND [OPTIONS] ARGS...\n\ncommands:\n");
    for (const auto& command : ToolCommands()) std::fprintf(to, "  %s\n", command.usage);
    std::fprintf(to, "\nexit codes: 0 success, 1 bad data, 2 wrong usage\n");
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage(stderr);
        return kToolUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintUsage(stdout);
        return kToolOk;
    }
    for (const auto& command : ToolCommands()) {
        if (name == command.name) {
            return command.main(std::vector<std::string>(argv + 2, argv + argc));
        }
    }
    std::fprintf(stderr, "morvika-tool: unknown command '%s'\n\n", name.c_str());
    PrintUsage(stderr);
    return kToolUsage;
}
