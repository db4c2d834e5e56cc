#pragma once
// The video capture devices as the settings list them: one record per device in the order
// GStreamer's device monitor reports them, each with its running index.

#include <cstdint>
#include <string>
#include <vector>

struct CameraRecord {
    std::int32_t index = 0;
    std::string name;  // at most 63 characters
};

// Cuts a device name to the 63 characters its record holds (whole UTF-8 characters).
std::string CutCameraName(const std::string& name);

// The "Video/Source" devices; empty when there are none or GStreamer cannot start. Names in
// MORVIKA_EXTRA_CAMERAS ("|"-separated, e.g. "videotestsrc") follow the real devices, so that
// tests without a camera can pick one.
std::vector<CameraRecord> EnumerateCameras();
