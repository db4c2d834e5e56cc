// Encode plus decode of one 1378-byte half block (an eighth of a second is two of them) on
// speech, per quality mode, and the bit rate each mode gives; libopus at 16 kbit/s on the same
// speech for comparison.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/voice/SpeechSample.h"
#include "voice/VoiceCodec.h"

#ifdef MORVIKA_HAVE_OPUS
#include <opus/opus.h>
#endif

namespace {

constexpr std::size_t kHalfBlock = 1378;
constexpr std::size_t kWork = 22050;

const std::vector<std::int16_t>& Speech11025(std::string& error)
{
    static std::string reason;
    static const std::vector<std::int16_t> speech = SpeechAt(11025, reason);
    error = reason;
    return speech;
}

void BM_VoiceCodecHalfBlock(benchmark::State& state)
{
    std::string error;
    const auto& speech = Speech11025(error);
    if (speech.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int mode = static_cast<int>(state.range(0));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(speech.data());
    const std::size_t blocks = speech.size() * 2 / kHalfBlock;
    std::vector<std::uint8_t> e1(kWork), e2(kWork), d1(kWork), d2(kWork);

    // Bit rate over the whole recording, once.
    std::size_t packetBytes = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        CVoiceCodec codec;
        codec.Encode(bytes + b * kHalfBlock, kHalfBlock, e1.data(), e2.data(), kWork, mode, 0);
        packetBytes += kVoicePacketHeaderSize + codec.wEncodedSize;
    }
    const double seconds = static_cast<double>(blocks * kHalfBlock) / 22050.0;

    std::size_t b = 0;
    for (auto _ : state) {
        CVoiceCodec encoder;
        encoder.Encode(bytes + b * kHalfBlock, kHalfBlock, e1.data(), e2.data(), kWork, mode, 0);
        std::size_t size = 0;
        auto packet = encoder.MakePacket(size);
        CVoiceCodec decoder;
        decoder.Decode(packet.get(), size, d1.data(), d2.data(), kWork);
        benchmark::DoNotOptimize(d1.data());
        b = (b + 1) % blocks;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["kbit_s"] = static_cast<double>(packetBytes) * 8 / seconds / 1000;
    state.counters["ratio"] = static_cast<double>(packetBytes) / static_cast<double>(blocks * kHalfBlock);
    state.SetLabel("mode " + std::to_string(mode) + ", speech " + std::to_string(seconds).substr(0, 4) + " s");
}
BENCHMARK(BM_VoiceCodecHalfBlock)->Arg(0)->Arg(4)->Arg(7)->Arg(8);

#ifdef MORVIKA_HAVE_OPUS
// libopus on the same speech at 16 kHz and 16 kbit/s, 20 ms frames (VoIP application). One
// iteration encodes and decodes as much sound as a half block holds (62.5 ms), rounded to
// whole frames over the run.
void BM_OpusHalfBlockEquivalent(benchmark::State& state)
{
    static std::string error;
    static const std::vector<std::int16_t> speech = SpeechAt(16000, error);
    if (speech.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    constexpr int kRate = 16000;
    constexpr int kFrame = 320;
    int rc = 0;
    OpusEncoder* encoder = opus_encoder_create(kRate, 1, OPUS_APPLICATION_VOIP, &rc);
    OpusDecoder* decoder = opus_decoder_create(kRate, 1, &rc);
    if (encoder == nullptr || decoder == nullptr || opus_encoder_ctl(encoder, OPUS_SET_BITRATE(16000)) != OPUS_OK) {
        state.SkipWithError("libopus would not start");
        return;
    }
    const std::size_t frames = speech.size() / kFrame;
    std::vector<unsigned char> packet(4000);
    std::vector<opus_int16> out(kFrame);

    std::size_t packetBytes = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        packetBytes += static_cast<std::size_t>(opus_encode(encoder, speech.data() + f * kFrame, kFrame, packet.data(),
                                                            static_cast<opus_int32>(packet.size())));
    }
    const double seconds = static_cast<double>(frames * kFrame) / kRate;

    std::size_t f = 0;
    double soundMs = 0;
    for (auto _ : state) {
        // 62.5 ms of sound: three or four 20 ms frames, 3.125 on average.
        soundMs += 62.5;
        while (soundMs >= 20.0) {
            soundMs -= 20.0;
            const int n = opus_encode(encoder, speech.data() + f * kFrame, kFrame, packet.data(),
                                      static_cast<opus_int32>(packet.size()));
            benchmark::DoNotOptimize(opus_decode(decoder, packet.data(), n, out.data(), kFrame, 0));
            benchmark::DoNotOptimize(out.data());
            f = (f + 1) % frames;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["kbit_s"] = static_cast<double>(packetBytes) * 8 / seconds / 1000;
    state.SetLabel("opus 16 kHz VoIP 16 kbit/s");
    opus_encoder_destroy(encoder);
    opus_decoder_destroy(decoder);
}
BENCHMARK(BM_OpusHalfBlockEquivalent);
#endif

}  // namespace
