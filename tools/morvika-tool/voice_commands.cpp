// voice-encode and voice-decode: the voice codec on raw files, for diagnosis and measurement.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/morvika-tool/ToolCommand.h"
#include "voice/VoiceCodec.h"

namespace {

constexpr long long kDefaultBlock = 1378;
constexpr std::size_t kDecodeWork = 0xFFFF + kVoiceDecodeSlack;
constexpr double kBytesPerSecond = 22050.0;  // the default capture format

const char* const kEncodeUsage = "voice-encode [--mode M] [--dc D] [--block BYTES] IN.raw OUT.pkt";
const char* const kDecodeUsage = "voice-decode IN.pkt OUT.raw";

int UsageError(const char* usage, const std::string& message)
{
    std::fprintf(stderr, "morvika-tool: %s\nusage: morvika-tool %s\n", message.c_str(), usage);
    return kToolUsage;
}

int VoiceEncodeMain(const std::vector<std::string>& args)
{
    long long mode = 7;
    long long dc = 0;
    long long block = kDefaultBlock;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--mode" || arg == "--dc" || arg == "--block") {
            if (i + 1 >= args.size()) return UsageError(kEncodeUsage, arg + " needs a value");
            long long value = 0;
            if (!ParseIntArg(args[++i], value))
                return UsageError(kEncodeUsage, arg + " needs a whole number, not '" + args[i] + "'");
            if (arg == "--mode") {
                if (value < -2147483648LL || value > 2147483647LL)
                    return UsageError(kEncodeUsage, "--mode is out of range");
                mode = value;
            } else if (arg == "--dc") {
                if (value < -32768 || value > 32767)
                    return UsageError(kEncodeUsage, "--dc must lie between -32768 and 32767");
                dc = value;
            } else {
                if (value < 2 || value > kVoiceMaxPcmSize || value % 2 != 0) {
                    return UsageError(kEncodeUsage, "--block must be an even number of bytes from 2 to 47104");
                }
                block = value;
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return UsageError(kEncodeUsage, "unknown option '" + arg + "'");
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return UsageError(kEncodeUsage, "expects IN.raw and OUT.pkt");

    std::vector<unsigned char> pcm;
    if (!ReadWholeFile(files[0], pcm)) {
        std::fprintf(stderr, "morvika-tool: cannot read '%s'\n", files[0].c_str());
        return kToolBadData;
    }
    if (pcm.size() % 2 != 0) {
        std::fprintf(stderr, "morvika-tool: '%s' holds %zu bytes, not whole 16-bit samples\n", files[0].c_str(),
                     pcm.size());
        return kToolBadData;
    }
    std::vector<unsigned char> out;
    const auto blockBytes = static_cast<std::size_t>(block);
    std::vector<std::uint8_t> work1(blockBytes + 3), work2(blockBytes + 3);
    std::size_t packets = 0;
    for (std::size_t offset = 0; offset < pcm.size(); offset += blockBytes) {
        const std::size_t n = std::min(blockBytes, pcm.size() - offset);
        CVoiceCodec codec;
        if (codec.Encode(pcm.data() + offset, static_cast<std::uint32_t>(n), work1.data(), work2.data(), work1.size(),
                         static_cast<int>(mode), static_cast<std::int16_t>(dc)) != 0) {
            std::fprintf(stderr, "morvika-tool: block %zu at offset %zu cannot be encoded\n", packets, offset);
            return kToolBadData;
        }
        std::size_t size = 0;
        const auto packet = codec.MakePacket(size);
        if (!packet) {
            std::fprintf(stderr, "morvika-tool: out of memory\n");
            return kToolBadData;
        }
        out.insert(out.end(), packet.get(), packet.get() + size);
        ++packets;
    }
    if (!WriteWholeFile(files[1], out)) {
        std::fprintf(stderr, "morvika-tool: cannot write '%s'\n", files[1].c_str());
        return kToolBadData;
    }
    const double seconds = static_cast<double>(pcm.size()) / kBytesPerSecond;
    std::printf("%zu packets, %zu PCM bytes -> %zu bytes (%.1f kbit/s at 11025 Hz mono)\n", packets, pcm.size(),
                out.size(), seconds > 0 ? static_cast<double>(out.size()) * 8 / seconds / 1000 : 0.0);
    return kToolOk;
}

int VoiceDecodeMain(const std::vector<std::string>& args)
{
    for (const auto& arg : args) {
        if (arg.size() > 1 && arg[0] == '-') return UsageError(kDecodeUsage, "unknown option '" + arg + "'");
    }
    if (args.size() != 2) return UsageError(kDecodeUsage, "expects IN.pkt and OUT.raw");
    std::vector<unsigned char> in;
    if (!ReadWholeFile(args[0], in)) {
        std::fprintf(stderr, "morvika-tool: cannot read '%s'\n", args[0].c_str());
        return kToolBadData;
    }
    std::vector<unsigned char> out;
    std::vector<std::uint8_t> work1(kDecodeWork), work2(kDecodeWork);
    std::size_t packets = 0;
    for (std::size_t offset = 0; offset < in.size(); ++packets) {
        const std::size_t left = in.size() - offset;
        if (left < kVoicePacketHeaderSize) {
            std::fprintf(stderr, "morvika-tool: packet %zu at offset %zu: %zu bytes left, a header needs 12\n", packets,
                         offset, left);
            return kToolBadData;
        }
        const std::size_t encoded = in[offset + 10] | (in[offset + 11] << 8);
        const std::size_t size = kVoicePacketHeaderSize + encoded;
        if (size > left) {
            std::fprintf(stderr, "morvika-tool: packet %zu at offset %zu: payload of %zu bytes is cut off\n", packets,
                         offset, encoded);
            return kToolBadData;
        }
        CVoiceCodec codec;
        if (codec.Decode(in.data() + offset, size, work1.data(), work2.data(), work1.size()) != 0) {
            std::fprintf(stderr, "morvika-tool: packet %zu at offset %zu cannot be decoded\n", packets, offset);
            return kToolBadData;
        }
        std::size_t pcmSize = 0;
        const std::uint8_t* pcm = codec.GetData(pcmSize);
        out.insert(out.end(), pcm, pcm + pcmSize);
        offset += size;
    }
    if (!WriteWholeFile(args[1], out)) {
        std::fprintf(stderr, "morvika-tool: cannot write '%s'\n", args[1].c_str());
        return kToolBadData;
    }
    std::printf("%zu packets -> %zu PCM bytes\n", packets, out.size());
    return kToolOk;
}

const ToolRegistration g_encode{"voice-encode", kEncodeUsage, &VoiceEncodeMain};
const ToolRegistration g_decode{"voice-decode", kDecodeUsage, &VoiceDecodeMain};

}  // namespace
