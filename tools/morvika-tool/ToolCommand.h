#pragma once

#include <string>
#include <vector>

// Exit codes shared by every subcommand.
enum ToolExit : int { kToolOk = 0, kToolBadData = 1, kToolUsage = 2 };

using ToolMain = int (*)(const std::vector<std::string>& args);

// A subcommand registers itself at static initialisation:
//   static const ToolRegistration reg{"voice-encode", "usage text", &VoiceEncodeMain};
struct ToolRegistration {
    ToolRegistration(const char* name, const char* usage, ToolMain main);
};

struct ToolCommand {
    const char* name;
    const char* usage;
    ToolMain main;
};

const std::vector<ToolCommand>& ToolCommands();

// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out);
// Writes a whole file; false when it cannot be written.
bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& data);
// Parses a decimal integer option value; false when it is not one.
bool ParseIntArg(const std::string& text, long long& out);
