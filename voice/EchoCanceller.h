#pragma once
// Echo cancellation and noise suppression of the microphone's blocks: the sound processor works
// in 10 ms frames at 16 kHz, so both the microphone and the far end (what the speakers play)
// are brought up from the voice path's 11025 Hz and the result back down. The output lags the
// input by a fixed few milliseconds (Latency()): a block is 12.5 frames, so half a frame waits
// for the next block, each resampler's filter adds its half length, and the canceller and the
// suppressor hold back some milliseconds of their own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CEchoCanceller {
public:
    CEchoCanceller();
    ~CEchoCanceller();
    CEchoCanceller(const CEchoCanceller&) = delete;
    CEchoCanceller& operator=(const CEchoCanceller&) = delete;

    // False when the sound processor could not be made; Process then leaves the sound alone.
    bool IsReady() const;
    // May change between blocks; the filter state is kept.
    void Configure(bool cancelEcho, bool suppressNoise);

    // One block of 11025 Hz samples in place, with the far end of the same stretch of time
    // (null for silence).
    void Process(std::int16_t* samples, std::size_t count, const std::int16_t* far);

    // How much later a sound comes out than it went in, in samples of 11025 Hz.
    double Latency() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};
