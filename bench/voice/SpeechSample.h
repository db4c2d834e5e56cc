#pragma once
// Speech for the voice benchmarks, synthesised with espeak-ng (22050 Hz mono) and brought to the
// sample rates the codecs work at.

#include <cstdint>
#include <string>
#include <vector>

// 16-bit mono speech at the given rate; empty when espeak-ng is missing (the reason in error).
std::vector<std::int16_t> SpeechAt(unsigned rate, std::string& error);
