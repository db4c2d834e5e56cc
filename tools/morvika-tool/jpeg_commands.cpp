// jpeg-encode and jpeg-decode: the JPEG image object from the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/morvika-tool/ToolCommand.h"
#include "video/Bitmap.h"
#include "video/OskelJpegObject.h"

namespace {

constexpr const char* kEncodeUsage = "jpeg-encode [--quality Q] [--dct 0|1|2] --width W --height H IN.bgr OUT.jpg";
constexpr const char* kDecodeUsage = "jpeg-decode [--target-width W] IN.jpg OUT.bgr";

int Usage(const char* usage, const char* problem)
{
    std::fprintf(stderr, "morvika-tool: %s\nusage: morvika-tool %s\n", problem, usage);
    return kToolUsage;
}

// Reads "--name value" with value in [low, high]; false (after a message) on a bad value.
bool TakeOption(const std::vector<std::string>& args, std::size_t& i, long long low, long long high, long long& out)
{
    if (i + 1 >= args.size() || !ParseIntArg(args[i + 1], out) || out < low || out > high) {
        std::fprintf(stderr, "morvika-tool: %s needs a number from %lld to %lld\n", args[i].c_str(), low, high);
        return false;
    }
    ++i;
    return true;
}

int JpegEncodeMain(const std::vector<std::string>& args)
{
    long long quality = OskelJpegControlData::kDefaultQuality;
    long long dct = OskelJpegControlData::kDefaultDctMethod;
    long long width = 0;
    long long height = 0;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool ok = true;
        if (arg == "--quality") {
            ok = TakeOption(args, i, 0, 100, quality);
        } else if (arg == "--dct") {
            ok = TakeOption(args, i, 0, 2, dct);
        } else if (arg == "--width") {
            ok = TakeOption(args, i, 1, JPEG_MAX_DIMENSION, width);
        } else if (arg == "--height") {
            ok = TakeOption(args, i, 1, JPEG_MAX_DIMENSION, height);
        } else if (arg.starts_with("--")) {
            return Usage(kEncodeUsage, ("unknown option " + arg).c_str());
        } else {
            files.push_back(arg);
        }
        if (!ok) return Usage(kEncodeUsage, "bad option value");
    }
    if (width == 0 || height == 0) return Usage(kEncodeUsage, "--width and --height are required");
    if (files.size() != 2) return Usage(kEncodeUsage, "expected IN.bgr and OUT.jpg");

    std::vector<unsigned char> pixels;
    if (!ReadWholeFile(files[0], pixels)) {
        std::fprintf(stderr, "morvika-tool: cannot read %s\n", files[0].c_str());
        return kToolBadData;
    }
    const unsigned long long needed =
        static_cast<unsigned long long>(DibStride(24, static_cast<std::uint32_t>(width))) *
        static_cast<unsigned long long>(height);
    if (pixels.size() < needed) {
        std::fprintf(stderr, "morvika-tool: %s holds %zu bytes, a %lldx%lld bitmap needs %llu\n", files[0].c_str(),
                     pixels.size(), width, height, needed);
        return kToolBadData;
    }

    OskelJpegControlData controlData;
    controlData.m_nQuality = static_cast<std::int32_t>(quality);
    controlData.m_nDctMethod = static_cast<std::int32_t>(dct);
    BitmapInfoHeader header;
    header.biWidth = static_cast<std::int32_t>(width);
    header.biHeight = static_cast<std::int32_t>(height);
    OskelJpegObject encoder;
    encoder.SetControlData(controlData);
    if (encoder.Encode(&header, pixels.data(), static_cast<std::uint32_t>(needed)) != 0 ||
        encoder.OutputLength() == 0) {
        std::fprintf(stderr, "morvika-tool: the bitmap could not be compressed\n");
        return kToolBadData;
    }
    const std::vector<unsigned char> jpeg(encoder.OutputData(), encoder.OutputData() + encoder.OutputLength());
    if (!WriteWholeFile(files[1], jpeg)) {
        std::fprintf(stderr, "morvika-tool: cannot write %s\n", files[1].c_str());
        return kToolBadData;
    }
    std::printf("%u bytes\n", encoder.OutputLength());
    return kToolOk;
}

int JpegDecodeMain(const std::vector<std::string>& args)
{
    long long targetWidth = 0;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--target-width") {
            if (!TakeOption(args, i, 1, JPEG_MAX_DIMENSION, targetWidth)) {
                return Usage(kDecodeUsage, "bad option value");
            }
        } else if (arg.starts_with("--")) {
            return Usage(kDecodeUsage, ("unknown option " + arg).c_str());
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return Usage(kDecodeUsage, "expected IN.jpg and OUT.bgr");

    std::vector<unsigned char> jpeg;
    if (!ReadWholeFile(files[0], jpeg)) {
        std::fprintf(stderr, "morvika-tool: cannot read %s\n", files[0].c_str());
        return kToolBadData;
    }
    if (jpeg.size() > UINT32_MAX) {
        std::fprintf(stderr, "morvika-tool: %s is too large\n", files[0].c_str());
        return kToolBadData;
    }
    OskelJpegObject decoder;
    if (targetWidth > 0) {
        decoder.SetTargetWidth(static_cast<std::int32_t>(targetWidth));
        decoder.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 0, 0);
    } else {
        decoder.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    }
    const std::uint32_t width = decoder.OutputWidth();
    const std::uint32_t height = decoder.OutputHeight();
    if (decoder.DecodeState() != 1 || width == 0 || height == 0) {
        std::fprintf(stderr, "morvika-tool: %s does not decode as a JPEG picture\n", files[0].c_str());
        return kToolBadData;
    }
    std::vector<unsigned char> pixels(static_cast<std::size_t>(DibStride(24, width)) * height);
    decoder.ReadAllRows(pixels.data());
    if (decoder.DecodeState() != 1) {
        std::fprintf(stderr, "morvika-tool: %s is damaged\n", files[0].c_str());
        return kToolBadData;
    }
    decoder.EndDecode();
    if (!WriteWholeFile(files[1], pixels)) {
        std::fprintf(stderr, "morvika-tool: cannot write %s\n", files[1].c_str());
        return kToolBadData;
    }
    std::printf("%u %u\n", width, height);
    return kToolOk;
}

const ToolRegistration kEncode{"jpeg-encode", kEncodeUsage, &JpegEncodeMain};
const ToolRegistration kDecode{"jpeg-decode", kDecodeUsage, &JpegDecodeMain};

}  // namespace
