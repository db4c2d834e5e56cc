#pragma once
// The JPEG compression settings shared by the camera page, the camera pipeline and the
// frame dump element.

#include <cstdint>

#include "app/TracedObject.h"

class OskelJpegControlData : public TracedObject {
public:
    static constexpr std::int32_t kDefaultQuality = 39;
    static constexpr std::int32_t kDefaultDctMethod = 1;  // fast integer
    static constexpr std::int32_t kDefaultFrameRate = 4;

    explicit OskelJpegControlData(std::int32_t traceFlag = TraceSwitch());
    // A copy carries the three settings; its identity is that of a fresh object.
    OskelJpegControlData(const OskelJpegControlData& other);
    OskelJpegControlData& operator=(const OskelJpegControlData& other);
    ~OskelJpegControlData() override = default;

    std::int32_t m_nQuality = kDefaultQuality;
    std::int32_t m_nDctMethod = kDefaultDctMethod;  // 0 accurate integer, 1 fast integer, 2 float
    std::int32_t m_nFrameRate = kDefaultFrameRate;  // frames per second let through; 0 = none
};
