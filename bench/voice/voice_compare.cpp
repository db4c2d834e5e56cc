// Compares what one instance's speaker played with what the other's microphone heard, as a
// listener would: one global alignment, then 31 ms windows, slips and gaps. Used by
// measure-voice.py; prints one "key value" line per figure.
//   voice_compare MOUTH.raw EAR.raw [MODE [FROM COUNT MAXLAG [WINDOW_MS]]]   (16-bit mono, 11025 Hz)
// With FROM, COUNT and MAXLAG it prints, for each loud window of the mouth recording (WINDOW_MS
// long, 31 ms by default, one every 31 ms) from sample FROM on (COUNT samples), its own best lag
// in the ear recording, from a tenth of a second before the whole's lag to MAXLAG samples after
// it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "bench/voice/SpeechAlignment.h"
#include "voice/VoiceCodec.h"

namespace {

constexpr unsigned kRate = 11025;

std::vector<double> ReadRaw(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<double> samples;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                                    (static_cast<std::uint8_t>(bytes[i + 1]) << 8)));
    }
    return samples;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: voice_compare MOUTH.raw EAR.raw [MODE]\n");
        return 2;
    }
    const std::vector<double> mouth = ReadRaw(argv[1]);
    const std::vector<double> ear = ReadRaw(argv[2]);
    const int mode = argc > 3 ? std::atoi(argv[3]) : 7;
    // The speech is the stretch of the mouth recording from its first to its last loud part,
    // with a fifth of a second around it, quantised as the sender's codec does.
    double peak = 0;
    for (double v : mouth) peak = std::max(peak, std::fabs(v));
    std::size_t first = mouth.size(), last = 0;
    for (std::size_t i = 0; i < mouth.size(); ++i) {
        if (std::fabs(mouth[i]) > peak / 8) {
            first = std::min(first, i);
            last = i;
        }
    }
    if (peak < 100 || first >= last) {
        std::printf("error no speech in the mouth recording\n");
        return 1;
    }
    first = first > kRate / 5 ? first - kRate / 5 : 0;
    last = std::min(mouth.size(), last + kRate / 5);
    std::vector<double> reference;
    for (std::size_t i = first; i < last; ++i) {
        reference.push_back(CVoiceCodec::Quantise(static_cast<std::int16_t>(mouth[i]), mode, 0));
    }
    if (ear.size() < reference.size()) {
        std::printf("error the ear recording is shorter than the speech\n");
        return 1;
    }
    const SpeechComparison c = CompareSpeech(reference, ear, kRate);
    const long lag = c.lag - static_cast<long>(first);
    if (argc > 6) {
        const long from = std::atol(argv[4]), count = std::atol(argv[5]), maxLag = std::atol(argv[6]);
        constexpr long kStep = kRate * 31 / 1000;
        const long kWindow = argc > 7 ? std::max(1L, kRate * std::atol(argv[7]) / 1000) : kStep;
        for (long w = std::max(0L, from); w + kWindow <= std::min<long>(from + count, static_cast<long>(mouth.size()));
             w += kStep) {
            double loud = 0;
            for (long i = 0; i < kWindow; ++i) loud = std::max(loud, std::fabs(mouth[static_cast<std::size_t>(w + i)]));
            if (loud < 2000) continue;
            const auto m = BestLag(mouth, ear, static_cast<std::size_t>(w), kWindow,
                                   lag - static_cast<long>(kRate) / 10, lag + maxLag);
            std::printf("window_lag %ld %ld %.3f\n", w, m.lag, m.correlation);
        }
        return 0;
    }

    std::printf("speech_start_samples %zu\n", first);
    std::printf("speech_seconds %.2f\n", static_cast<double>(reference.size()) / kRate);
    std::printf("lag_samples %ld\n", lag);
    std::printf("correlation %.4f\n", c.correlation);
    std::printf("voiced_windows %d\n", c.voicedWindows);
    std::printf("windows_below_0.9 %d\n", c.windowsBelow);
    std::printf("worst_window %.4f at %.3f s\n", c.worstWindow, c.worstWindowAt);
    std::printf("slips %zu\n", c.slips.size());
    for (const auto& s : c.slips) {
        std::printf("slip at %.3f s for %.0f ms by %+ld samples\n", s.atSeconds, s.seconds * 1000, s.samples);
    }
    std::printf("gaps %zu\n", c.gaps.size());
    for (const auto& g : c.gaps) std::printf("gap at %.3f s of %.1f ms\n", g.atSeconds, g.milliseconds);
    return 0;
}
