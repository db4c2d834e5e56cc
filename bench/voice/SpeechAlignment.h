#pragma once
// Finding a known speech signal inside a recording: the lag of best normalised
// cross-correlation, first on energy envelopes, then sample by sample; and the comparison of a
// whole recording with its source at that one lag, window by window, as a listener hears it
// (no window is re-aligned, so slips and gaps show).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

struct SpeechWindowMatch {
    std::size_t start = 0;  // in the reference, samples
    long lag = 0;           // recording index minus reference index
    double correlation = 0;
};

// Normalised correlation of reference[start, start + length) with recording at start + lag.
inline double CorrelationAt(const std::vector<double>& reference, const std::vector<double>& recording,
                            std::size_t start, std::size_t length, long lag)
{
    const long first = static_cast<long>(start) + lag;
    if (first < 0 || static_cast<std::size_t>(first) + length > recording.size() || start + length > reference.size()) {
        return -1;
    }
    double dot = 0, ea = 0, eb = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const double a = reference[start + i];
        const double b = recording[static_cast<std::size_t>(first) + i];
        dot += a * b;
        ea += a * a;
        eb += b * b;
    }
    return ea > 0 && eb > 0 ? dot / std::sqrt(ea * eb) : 0;
}

// Best lag in [lo, hi] (step 1) for one stretch of the reference.
inline SpeechWindowMatch BestLag(const std::vector<double>& reference, const std::vector<double>& recording,
                                 std::size_t start, std::size_t length, long lo, long hi)
{
    SpeechWindowMatch best{start, lo, -2};
    for (long lag = lo; lag <= hi; ++lag) {
        const double c = CorrelationAt(reference, recording, start, length, lag);
        if (c > best.correlation) {
            best.correlation = c;
            best.lag = lag;
        }
    }
    return best;
}

// Mean absolute value per frame of `frame` samples, with the mean removed.
inline std::vector<double> Envelope(const std::vector<double>& x, std::size_t frame)
{
    std::vector<double> env(x.size() / frame);
    double mean = 0;
    for (std::size_t f = 0; f < env.size(); ++f) {
        double sum = 0;
        for (std::size_t i = 0; i < frame; ++i) sum += std::fabs(x[f * frame + i]);
        env[f] = sum / static_cast<double>(frame);
        mean += env[f];
    }
    if (!env.empty()) mean /= static_cast<double>(env.size());
    for (double& v : env) v -= mean;
    return env;
}

// Lag of the whole reference inside the recording: envelopes first, then samples.
inline SpeechWindowMatch AlignWhole(const std::vector<double>& reference, const std::vector<double>& recording)
{
    constexpr std::size_t kFrame = 64;
    const auto envRef = Envelope(reference, kFrame);
    const auto envRec = Envelope(recording, kFrame);
    if (envRef.empty() || envRec.size() < envRef.size()) return {};
    const long maxFrameLag = static_cast<long>(envRec.size() - envRef.size());
    const SpeechWindowMatch coarse = BestLag(envRef, envRec, 0, envRef.size(), 0, maxFrameLag);
    const long centre = coarse.lag * static_cast<long>(kFrame);
    return BestLag(reference, recording, 0, reference.size(), centre - 2 * static_cast<long>(kFrame),
                   centre + 2 * static_cast<long>(kFrame));
}

// A stretch of voiced windows heard at another lag than the whole.
struct SpeechSlip {
    double atSeconds = 0;  // in the reference
    double seconds = 0;    // how long it lasted
    long samples = 0;      // recording ahead (+) or behind (-) of the whole's lag
};

// Near-silence in the recording where the source speaks.
struct SpeechGap {
    double atSeconds = 0;
    double milliseconds = 0;
};

struct SpeechComparison {
    long lag = 0;             // recording index minus reference index, for the whole
    double correlation = -1;  // the whole reference against the recording at that lag
    int voicedWindows = 0;
    int windowsBelow = 0;  // voiced windows below the window threshold
    double worstWindow = 1;
    double worstWindowAt = 0;  // seconds into the reference
    std::vector<SpeechSlip> slips;
    std::vector<SpeechGap> gaps;
};

// The recording against its source after one global alignment. Windows of 31 ms whose level is
// within 18 dB of the loudest and that cross zero seldom count as voiced; each is correlated at
// the global lag, and a voiced window that falls below the threshold there but reaches it at
// another lag (up to 30 ms away) marks a slip.
// A gap is a run of at least 2 ms of near-silence in the recording where the source speaks.
// The recording read a fraction of a sample later (-1 < fraction < 1), through a windowed sinc.
inline std::vector<double> ShiftedByFraction(const std::vector<double>& x, double fraction)
{
    constexpr int kHalfTaps = 16;
    double taps[2 * kHalfTaps];
    for (int k = -kHalfTaps; k < kHalfTaps; ++k) {
        const double t = k - fraction;
        const double sinc = t == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
        const double hann = 0.5 + 0.5 * std::cos(M_PI * t / (kHalfTaps + 1));
        taps[k + kHalfTaps] = sinc * hann;
    }
    std::vector<double> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double acc = 0;
        for (int k = -kHalfTaps; k < kHalfTaps; ++k) {
            const long j = static_cast<long>(i) + k;
            if (j >= 0 && static_cast<std::size_t>(j) < x.size())
                acc += taps[k + kHalfTaps] * x[static_cast<std::size_t>(j)];
        }
        out[i] = acc;
    }
    return out;
}

inline SpeechComparison CompareSpeech(const std::vector<double>& reference, const std::vector<double>& heard,
                                      unsigned rate, double windowThreshold = 0.9)
{
    SpeechComparison out;
    const SpeechWindowMatch whole = AlignWhole(reference, heard);
    if (whole.correlation < -1) return out;
    out.lag = whole.lag;
    out.correlation = whole.correlation;
    // The sound server resamples on its own sample grid, so the recording may sit a fraction of
    // a sample off the source; the one alignment includes that fraction.
    std::vector<double> recording = heard;
    for (int eighth = -4; eighth <= 4; ++eighth) {
        if (eighth == 0) continue;
        std::vector<double> shifted = ShiftedByFraction(heard, eighth / 8.0);
        const double c = CorrelationAt(reference, shifted, 0, reference.size(), out.lag);
        if (c > out.correlation) {
            out.correlation = c;
            recording = std::move(shifted);
        }
    }

    const std::size_t window = rate * 31 / 1000;
    const long search = static_cast<long>(rate) * 30 / 1000;
    std::vector<double> level;
    std::vector<bool> periodic;
    double loudest = 0;
    for (std::size_t start = 0; start + window <= reference.size(); start += window) {
        double energy = 0;
        std::size_t crossings = 0;
        for (std::size_t i = 0; i < window; ++i) {
            energy += reference[start + i] * reference[start + i];
            if (i > 0 && (reference[start + i - 1] < 0) != (reference[start + i] < 0)) ++crossings;
        }
        level.push_back(std::sqrt(energy / static_cast<double>(window)));
        // Voiced sound crosses zero seldom; hiss (s, f, sh) crosses it at most samples, lives
        // near the top of the band, and there the server's resamplers rightly take their share.
        periodic.push_back(static_cast<double>(crossings) < 0.3 * static_cast<double>(window));
        loudest = std::max(loudest, level.back());
    }
    const double voiced = loudest / 8;
    SpeechSlip current;
    bool inSlip = false;
    auto endSlip = [&] {
        if (inSlip) out.slips.push_back(current);
        inSlip = false;
    };
    for (std::size_t w = 0; w < level.size(); ++w) {
        if (level[w] < voiced || !periodic[w]) continue;
        const std::size_t start = w * window;
        const double at = static_cast<double>(start) / rate;
        const double c = CorrelationAt(reference, recording, start, window, out.lag);
        ++out.voicedWindows;
        if (c < windowThreshold) ++out.windowsBelow;
        if (c < out.worstWindow) {
            out.worstWindow = c;
            out.worstWindowAt = at;
        }
        const SpeechWindowMatch local =
            BestLag(reference, recording, start, window, out.lag - search, out.lag + search);
        const long shift = local.lag - out.lag;
        // A voiced window also matches itself one pitch period away, sometimes a little better
        // than where it belongs; only a window that does not match where it belongs has slipped.
        const bool slipped = std::labs(shift) >= 3 && c < windowThreshold && local.correlation >= windowThreshold;
        if (!slipped) {
            endSlip();
            continue;
        }
        if (inSlip && std::labs(shift - current.samples) <= 2) {
            current.seconds = at + static_cast<double>(window) / rate - current.atSeconds;
            continue;
        }
        endSlip();
        current = {at, static_cast<double>(window) / rate, shift};
        inSlip = true;
    }
    endSlip();

    // Gaps: near-silent runs of the aligned recording inside voiced windows of the source.
    const std::size_t minimum = rate * 2 / 1000;
    std::size_t run = 0;
    for (std::size_t i = 0; i <= reference.size(); ++i) {
        const long j = static_cast<long>(i) + out.lag;
        const bool quiet = i < reference.size() && j >= 0 && static_cast<std::size_t>(j) < recording.size() &&
                           std::fabs(recording[static_cast<std::size_t>(j)]) <= 3 && i / window < level.size() &&
                           level[i / window] >= voiced;
        if (quiet) {
            ++run;
            continue;
        }
        if (run >= minimum) {
            // The source itself may pass through zero slowly; a gap is silence where it does not.
            double energy = 0;
            for (std::size_t k = i - run; k < i; ++k) energy += reference[k] * reference[k];
            if (std::sqrt(energy / static_cast<double>(run)) >= voiced / 2) {
                out.gaps.push_back({static_cast<double>(i - run) / rate, run * 1000.0 / rate});
            }
        }
        run = 0;
    }
    return out;
}
