#pragma once
// Helpers shared by the voice tests: a private log file, PCM building and reading.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/Log.h"

// Points this module's log at a fresh file for the test's life.
class ScopedTestLog {
public:
    ScopedTestLog()
    {
        m_path = std::filesystem::temp_directory_path() /
                 ("morvika-voice-test-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + ".log");
        std::filesystem::remove(m_path);
        SetLogFilePath(m_path.string());
    }
    ~ScopedTestLog()
    {
        SetLogFilePath("");
        std::filesystem::remove(m_path);
    }
    std::string Text() const
    {
        std::ifstream in(m_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Contains(const std::string& line) const { return Text().find(line) != std::string::npos; }

private:
    static inline int s_counter = 0;
    std::filesystem::path m_path;
};

inline std::vector<std::uint8_t> PcmBytes(const std::vector<std::int16_t>& samples)
{
    std::vector<std::uint8_t> bytes;
    for (std::int16_t s : samples) {
        bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(s) >> 8) & 0xFF));
    }
    return bytes;
}

inline std::vector<std::int16_t> PcmSamples(const std::uint8_t* data, std::size_t bytes)
{
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        samples.push_back(static_cast<std::int16_t>(data[i] | (data[i + 1] << 8)));
    }
    return samples;
}
