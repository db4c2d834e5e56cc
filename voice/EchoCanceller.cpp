#include "voice/EchoCanceller.h"

#include <speex/speex_resampler.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kVoiceRate = 11025;
constexpr int kProcessRate = 16000;
constexpr std::size_t kFrame = kProcessRate / 100;
constexpr int kBlockAtVoiceRate = 1378;
constexpr int kBlockAtProcessRate = 2000;
// Quality 1 keeps the speech band and costs under a millisecond per direction;
// the higher qualities cost more delay than they give the voice.
constexpr int kResampleQuality = 1;
// The far end is placed where the server is handed it plus its usual buffer; what is left of
// the echo's delay is the room or the loop behind the speaker and the capture's buffering. The
// canceller searches some 45 ms either side of the delay it is told.
constexpr int kEchoDelayMs = 60;
// What the processor itself holds back, in samples of 16 kHz, measured: the canceller's
// partitions and the suppressor's analysis window.
constexpr double kCancellerHold = 112;
constexpr double kSuppressorHold = 96;

struct Resampler {
    // The ratio is that of a block's samples at both rates, 1378 to 2000, a hair off the
    // rates' own: every block then gives whole half frames, and the output keeps a fixed lag
    // of at most half a frame instead of drifting through a whole one.
    Resampler(int fromBlock, int toBlock, int fromRate, int toRate)
    {
        int err = 0;
        state = speex_resampler_init_frac(1, static_cast<spx_uint32_t>(fromBlock), static_cast<spx_uint32_t>(toBlock),
                                          static_cast<spx_uint32_t>(fromRate), static_cast<spx_uint32_t>(toRate),
                                          kResampleQuality, &err);
    }
    ~Resampler()
    {
        if (state != nullptr) speex_resampler_destroy(state);
    }
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    void Run(const float* in, std::size_t count, std::vector<float>& out)
    {
        // The most it can give for this input, plus the one its rounding may add.
        const std::size_t room = count * 2 + 8;
        const std::size_t at = out.size();
        out.resize(at + room);
        spx_uint32_t inLength = static_cast<spx_uint32_t>(count);
        spx_uint32_t outLength = static_cast<spx_uint32_t>(room);
        speex_resampler_process_float(state, 0, in, &inLength, out.data() + at, &outLength);
        out.resize(at + outLength);
    }

    SpeexResamplerState* state = nullptr;
};

}  // namespace

struct CEchoCanceller::Impl {
    std::unique_ptr<webrtc::AudioProcessing> apm;
    Resampler nearUp{kBlockAtVoiceRate, kBlockAtProcessRate, kVoiceRate, kProcessRate};
    Resampler farUp{kBlockAtVoiceRate, kBlockAtProcessRate, kVoiceRate, kProcessRate};
    Resampler down{kBlockAtProcessRate, kBlockAtVoiceRate, kProcessRate, kVoiceRate};
    // The vectors keep their capacity from block to block: the capture thread allocates
    // nothing once they have grown to a block's size.
    std::vector<float> nearIn, farIn, processed, work;
    std::vector<float> out;  // ready for the next blocks, oldest first
    std::size_t lead = 0;    // silence put ahead of the output so far
    bool primed = false;
    std::size_t primedSamples = 0;
    bool cancelEcho = true;
    bool suppressNoise = true;
};

CEchoCanceller::CEchoCanceller() : m(std::make_unique<Impl>())
{
    webrtc::Config config;
    // The extended filter covers the longer, changing echo paths of desk speakers; the delay is
    // found from the signals themselves, since no cursor tells the server's buffering exactly.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    m->apm.reset(webrtc::AudioProcessing::Create(config));
    if (!m->apm) return;
    // The processor's high-pass filter shifts the phase of a low voice's fundamental; the
    // capture takes the DC offset off before, as the codec would.
    m->apm->high_pass_filter()->Enable(false);
    m->apm->echo_cancellation()->enable_drift_compensation(false);
    m->apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    m->apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kLow);
    Configure(true, true);
}

CEchoCanceller::~CEchoCanceller() = default;

bool CEchoCanceller::IsReady() const
{
    return m->apm != nullptr && m->nearUp.state != nullptr && m->farUp.state != nullptr && m->down.state != nullptr;
}

void CEchoCanceller::Configure(bool cancelEcho, bool suppressNoise)
{
    m->cancelEcho = cancelEcho;
    m->suppressNoise = suppressNoise;
    if (!m->apm) return;
    m->apm->echo_cancellation()->Enable(cancelEcho);
    m->apm->noise_suppression()->Enable(suppressNoise);
}

void CEchoCanceller::Process(std::int16_t* samples, std::size_t count, const std::int16_t* far)
{
    if (!IsReady() || samples == nullptr || count == 0) return;
    m->work.resize(count);
    for (std::size_t i = 0; i < count; ++i) m->work[i] = samples[i] / 32768.0f;
    m->nearUp.Run(m->work.data(), count, m->nearIn);
    for (std::size_t i = 0; i < count; ++i) m->work[i] = far ? far[i] / 32768.0f : 0.0f;
    m->farUp.Run(m->work.data(), count, m->farIn);
    if (!m->primed) {
        // Every other block leaves half a frame more over than the others. Moved onto whole
        // half frames, the most a block leaves is half a frame; otherwise it is half a frame plus
        // the first block's odd part. The cheaper of the two waits.
        m->primed = true;
        const std::size_t odd = m->nearIn.size() % (kFrame / 2);
        const std::size_t prime = odd <= kFrame / 4 ? 0 : kFrame / 2 - odd;
        m->nearIn.insert(m->nearIn.begin(), prime, 0.0f);
        m->farIn.insert(m->farIn.begin(), prime, 0.0f);
        m->primedSamples = prime;
    }

    const webrtc::StreamConfig stream(kProcessRate, 1);
    std::size_t done = 0, farDone = 0;
    m->processed.clear();
    while (m->nearIn.size() - done >= kFrame) {
        float* frame = m->nearIn.data() + done;
        // The far end goes in frame by frame with the near end of the same time: both
        // resamplers are fed the same counts, so they give the same counts.
        float farFrame[kFrame] = {};
        const std::size_t have = std::min(kFrame, m->farIn.size() - farDone);
        std::copy_n(m->farIn.begin() + static_cast<long>(farDone), have, farFrame);
        farDone += have;
        if (m->cancelEcho) {
            const float* src[1] = {farFrame};
            float* dest[1] = {farFrame};
            m->apm->ProcessReverseStream(src, stream, stream, dest);
            m->apm->set_stream_delay_ms(kEchoDelayMs);
        }
        const float* src[1] = {frame};
        float* dest[1] = {frame};
        m->apm->ProcessStream(src, stream, stream, dest);
        m->processed.insert(m->processed.end(), frame, frame + kFrame);
        done += kFrame;
    }
    m->nearIn.erase(m->nearIn.begin(), m->nearIn.begin() + static_cast<long>(done));
    m->farIn.erase(m->farIn.begin(), m->farIn.begin() + static_cast<long>(farDone));

    m->work.clear();
    m->down.Run(m->processed.data(), m->processed.size(), m->work);
    m->out.insert(m->out.end(), m->work.begin(), m->work.end());
    // Short of a whole block only if the lead was too small; the gap is then silence, once.
    if (m->out.size() < count) {
        std::size_t lead = count - m->out.size();
        m->out.insert(m->out.begin(), lead, 0.0f);
        m->lead += lead;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const float v = m->out[i] * 32768.0f;
        samples[i] = static_cast<std::int16_t>(std::clamp(v, -32768.0f, 32767.0f));
    }
    m->out.erase(m->out.begin(), m->out.begin() + static_cast<long>(count));
}

double CEchoCanceller::Latency() const
{
    if (!IsReady()) return 0;
    const double upIn = speex_resampler_get_input_latency(m->nearUp.state);
    const double downIn = speex_resampler_get_input_latency(m->down.state) * kVoiceRate / double{kProcessRate};
    const double primed = static_cast<double>(m->primedSamples) * kVoiceRate / kProcessRate;
    const double held = (m->cancelEcho ? kCancellerHold : 0) + (m->suppressNoise ? kSuppressorHold : 0);
    return static_cast<double>(m->lead) + primed + upIn + downIn + held * kVoiceRate / kProcessRate;
}
