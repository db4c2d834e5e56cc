#pragma once
// The media type of a caps offer as the three identifiers the frame dump element logs when
// it refuses an offer (major type, subtype, format type), and the identifier log line.

#include <cstdint>
#include <string>

#include <gst/gst.h>

#include "filter/OskelJpegDumpControl.h"

struct MediaTypeGuids {
    OskelGuid majorType;
    OskelGuid subtype;
    OskelGuid formatType;
};

extern const OskelGuid kGuidNull;
extern const OskelGuid kMediaTypeVideo;
extern const OskelGuid kMediaSubtypeRgb24;
extern const OskelGuid kFormatVideoInfo;

bool operator==(const OskelGuid& a, const OskelGuid& b);

// Maps the first structure of `caps` onto the identifiers. Parts with no equivalent
// (an unknown media or pixel format, memory that is not system memory) map to the null one.
MediaTypeGuids MediaTypeGuidsOf(const GstCaps* caps);

// The log text for `guid` after `prefix`, or "{ NULL }" for a null pointer.
std::string FormatGuidLine(const char* prefix, const OskelGuid* guid);
// Appends that line to the log file at `logPath`.
void LogGuid(const char* logPath, const char* prefix, const OskelGuid* guid);
