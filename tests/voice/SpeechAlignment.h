#pragma once
// Finding a known speech signal inside a recording: the lag of best normalised
// cross-correlation, first on energy envelopes, then sample by sample, then window by window
// to see that every part of the speech came through, in order.

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
