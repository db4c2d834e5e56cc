// Synthesizes Morvika's notification sounds: 16-bit mono WAV files, 22050 Hz.
// Usage: morvika-make-sounds OUTPUT_DIR
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 22050;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

using Samples = std::vector<double>;

Samples Silence(double seconds)
{
    return Samples(static_cast<std::size_t>(seconds * kRate), 0.0);
}

// A struck bell-like tone: a few inharmonic partials under an exponential decay.
void AddBell(Samples& out, double start, double frequency, double length, double level)
{
    const std::size_t first = static_cast<std::size_t>(start * kRate);
    const std::size_t count = static_cast<std::size_t>(length * kRate);
    const double partials[][2] = {{1.0, 1.0}, {2.0, 0.35}, {3.01, 0.12}, {4.2, 0.05}};
    for (std::size_t i = 0; i < count && first + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double attack = std::min(1.0, t / 0.004);
        double sample = 0.0;
        for (const auto& [ratio, gain] : partials) {
            sample += gain * std::sin(kTwoPi * frequency * ratio * t) * std::exp(-t * (3.0 + 2.5 * ratio));
        }
        out[first + i] += level * attack * sample;
    }
}

// Deterministic noise, so the files are reproducible.
struct Noise {
    std::uint32_t state = 0x9E3779B9u;
    double Next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<double>(state) / 2147483648.0 - 1.0;
    }
};

// A key strike: a short band-passed noise burst with a low thump.
void AddClick(Samples& out, double start, double level, Noise& noise)
{
    const std::size_t first = static_cast<std::size_t>(start * kRate);
    const std::size_t count = static_cast<std::size_t>(0.035 * kRate);
    double low = 0.0, previous = 0.0;
    for (std::size_t i = 0; i < count && first + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double white = noise.Next();
        low += 0.35 * (white - low);
        const double band = low - previous;
        previous = low;
        const double thump = 0.5 * std::sin(kTwoPi * 180.0 * t);
        out[first + i] += level * std::exp(-t * 140.0) * (band * 1.6 + thump);
    }
}

Samples PingPong()
{
    Samples out = Silence(1.3);
    AddBell(out, 0.00, 1318.5, 0.9, 0.55);   // E6
    AddBell(out, 0.32, 1046.5, 0.95, 0.55);  // C6
    return out;
}

Samples Typewriter()
{
    Samples out = Silence(0.75);
    Noise noise;
    const double strikes[] = {0.00, 0.09, 0.17, 0.28, 0.36};
    for (double start : strikes) AddClick(out, start, 0.7, noise);
    AddBell(out, 0.47, 2093.0, 0.28, 0.25);  // the carriage bell
    return out;
}

Samples Jet()
{
    Samples out = Silence(1.1);
    Noise noise;
    double low = 0.0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double sweep = 0.02 + 0.25 * (t / 1.1);  // the filter opens: a rising whoosh
        low += sweep * (noise.Next() - low);
        const double envelope = std::sin(std::numbers::pi * t / 1.1);
        const double hum = 0.15 * std::sin(kTwoPi * (300.0 + 500.0 * t) * t);
        out[i] = 0.6 * envelope * envelope * (low * 2.2 + hum);
    }
    return out;
}

Samples WindowShare()
{
    Samples out = Silence(1.0);
    AddBell(out, 0.00, 783.99, 0.7, 0.35);   // G5
    AddBell(out, 0.11, 987.77, 0.7, 0.35);   // B5
    AddBell(out, 0.22, 1174.66, 0.75, 0.4);  // D6
    return out;
}

void PutLE(std::ofstream& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool WriteWav(const std::string& path, Samples samples)
{
    double peak = 0.0;
    for (double s : samples) peak = std::max(peak, std::fabs(s));
    const double scale = peak > 0.0 ? 0.7 / peak : 0.0;  // normalise to about -3 dBFS
    // Short fades against clicks at the ends.
    const std::size_t fade = std::min<std::size_t>(samples.size() / 2, kRate / 100);
    for (std::size_t i = 0; i < fade; ++i) {
        const double gain = static_cast<double>(i) / static_cast<double>(fade);
        samples[samples.size() - 1 - i] *= gain;
    }
    std::ofstream out(path, std::ios::binary);
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    PutLE(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    PutLE(out, 16, 4);
    PutLE(out, 1, 2);  // PCM
    PutLE(out, 1, 2);  // mono
    PutLE(out, kRate, 4);
    PutLE(out, kRate * 2, 4);
    PutLE(out, 2, 2);
    PutLE(out, 16, 2);
    out.write("data", 4);
    PutLE(out, dataBytes, 4);
    for (double s : samples) {
        const double clipped = std::max(-1.0, std::min(1.0, s * scale));
        PutLE(out, static_cast<std::uint32_t>(static_cast<std::int16_t>(std::lround(clipped * 32767.0))), 2);
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const std::pair<const char*, std::function<Samples()>> sounds[] = {
        {"pingpong.wav", PingPong}, {"typewriter.wav", Typewriter}, {"jet.wav", Jet}, {"windowshair.wav", WindowShare}};
    for (const auto& [name, make] : sounds) {
        if (!WriteWav(dir + name, make())) {
            std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), name);
            return 1;
        }
    }
    return 0;
}
