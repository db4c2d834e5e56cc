#include "filter/MediaTypeGuid.h"

#include <cstdio>
#include <cstring>

#include <gst/video/video.h>

#include "app/Log.h"

namespace {

// Subtypes built from a four-character code share this tail.
constexpr OskelGuid FourccGuid(std::uint32_t fourcc)
{
    return {fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

constexpr std::uint32_t Fourcc(char a, char b, char c, char d)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

constexpr OskelGuid kMediaTypeAudio = FourccGuid(Fourcc('a', 'u', 'd', 's'));
constexpr OskelGuid kMediaSubtypeRgb32 = {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr OskelGuid kMediaSubtypeRgb565 = {
    0xE436EB7B, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr OskelGuid kMediaSubtypeRgb555 = {
    0xE436EB7C, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr OskelGuid kMediaSubtypeArgb32 = {
    0x773C9AC0, 0x3274, 0x11D0, {0xB7, 0x24, 0x00, 0xAA, 0x00, 0x6C, 0x1A, 0x01}};
constexpr OskelGuid kFormatWaveFormatEx = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

OskelGuid VideoSubtype(const GstStructure* structure)
{
    const gchar* name = gst_structure_get_string(structure, "format");
    if (name == nullptr) {
        return kGuidNull;
    }
    const GstVideoFormat format = gst_video_format_from_string(name);
    switch (format) {
    case GST_VIDEO_FORMAT_BGR: return kMediaSubtypeRgb24;
    case GST_VIDEO_FORMAT_BGRx: return kMediaSubtypeRgb32;
    case GST_VIDEO_FORMAT_BGRA: return kMediaSubtypeArgb32;
    case GST_VIDEO_FORMAT_RGB16: return kMediaSubtypeRgb565;
    case GST_VIDEO_FORMAT_RGB15: return kMediaSubtypeRgb555;
    default: break;
    }
    // YUV layouts are named by their four-character code; RGB orders without one stay null.
    const guint32 fourcc = gst_video_format_to_fourcc(format);
    return fourcc != 0 ? FourccGuid(fourcc) : kGuidNull;
}

}  // namespace

const OskelGuid kGuidNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const OskelGuid kMediaTypeVideo = FourccGuid(Fourcc('v', 'i', 'd', 's'));
const OskelGuid kMediaSubtypeRgb24 = {0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const OskelGuid kFormatVideoInfo = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

bool operator==(const OskelGuid& a, const OskelGuid& b)
{
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

MediaTypeGuids MediaTypeGuidsOf(const GstCaps* caps)
{
    MediaTypeGuids guids{kGuidNull, kGuidNull, kGuidNull};
    if (caps == nullptr || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) {
        return guids;
    }
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    const GstCapsFeatures* features = gst_caps_get_features(caps, 0);
    if (features != nullptr && !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) {
        return guids;
    }
    if (gst_structure_has_name(structure, "video/x-raw")) {
        guids.majorType = kMediaTypeVideo;
        guids.subtype = VideoSubtype(structure);
        gint width = 0;
        gint height = 0;
        if (gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height)) {
            guids.formatType = kFormatVideoInfo;
        }
    } else if (gst_structure_has_name(structure, "audio/x-raw")) {
        guids.majorType = kMediaTypeAudio;
        guids.formatType = kFormatWaveFormatEx;
    }
    return guids;
}

std::string FormatGuidLine(const char* prefix, const OskelGuid* guid)
{
    char line[1024];
    if (guid == nullptr) {
        std::snprintf(line, sizeof line, "%s { NULL } \n", prefix);
    } else {
        std::snprintf(line, sizeof line, "%s {%08X-%04X-%04X-%02X%02X-%02x%02X%02X%02X%02X%02X} \n", prefix,
                      guid->data1, guid->data2, guid->data3, guid->data4[0], guid->data4[1], guid->data4[2],
                      guid->data4[3], guid->data4[4], guid->data4[5], guid->data4[6], guid->data4[7]);
    }
    return line;
}

void LogGuid(const char* logPath, const char* prefix, const OskelGuid* guid)
{
    WriteLog(logPath, "%s", FormatGuidLine(prefix, guid).c_str());
}
