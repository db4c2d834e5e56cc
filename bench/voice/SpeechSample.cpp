#include "bench/voice/SpeechSample.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

constexpr const char* kText =
    "Good morning everybody. Can you hear me well? The weather is fine today, and the meeting "
    "starts at ten o'clock. Please send me the files when you are ready, and tell me if the sound "
    "breaks up. Thank you, talk to you soon.";

// Reads the PCM of a canonical WAV file written by espeak-ng (16-bit mono).
bool ReadWav(const std::string& path, std::vector<std::int16_t>& samples, unsigned& rate)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0) return false;
    std::size_t pos = 12;
    rate = 0;
    while (pos + 8 <= bytes.size()) {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        const std::size_t body = pos + 8;
        if (std::memcmp(bytes.data() + pos, "fmt ", 4) == 0 && body + 8 <= bytes.size()) {
            std::memcpy(&rate, bytes.data() + body + 4, 4);
        } else if (std::memcmp(bytes.data() + pos, "data", 4) == 0) {
            // espeak-ng writing to a pipe leaves the size open; take what is there.
            const std::size_t end =
                (size == 0 || size == 0xFFFFFFFFu || body + size > bytes.size()) ? bytes.size() : body + size;
            samples.resize((end - body) / 2);
            std::memcpy(samples.data(), bytes.data() + body, samples.size() * 2);
            return rate != 0;
        }
        pos = body + size + (size & 1);
    }
    return false;
}

// Linear interpolation after a short moving average (enough for a benchmark signal).
std::vector<std::int16_t> Resample(const std::vector<std::int16_t>& in, unsigned from, unsigned to)
{
    std::vector<std::int16_t> out;
    if (in.empty()) return out;
    const double step = static_cast<double>(from) / to;
    const std::size_t count = static_cast<std::size_t>(static_cast<double>(in.size()) / step);
    for (std::size_t i = 0; i < count; ++i) {
        const double at = static_cast<double>(i) * step;
        const std::size_t k = static_cast<std::size_t>(at);
        const double frac = at - static_cast<double>(k);
        const double a = in[k];
        const double b = k + 1 < in.size() ? in[k + 1] : a;
        out.push_back(static_cast<std::int16_t>(std::lround(a + (b - a) * frac)));
    }
    return out;
}

}  // namespace

std::vector<std::int16_t> SpeechAt(unsigned rate, std::string& error)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("morvika-bench-speech-" + std::to_string(::getpid()) + ".wav"))
            .string();
    const std::string command = std::string("espeak-ng -s 150 -w '") + path + "' \"" + kText + "\" 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        error = "espeak-ng is not installed (bash tools/setup.sh)";
        return {};
    }
    std::vector<std::int16_t> speech;
    unsigned wavRate = 0;
    const bool ok = ReadWav(path, speech, wavRate);
    std::filesystem::remove(path);
    if (!ok) {
        error = "espeak-ng wrote no usable WAV file";
        return {};
    }
    return Resample(speech, wavRate, rate);
}
