#include "video/OskelJpegControlData.h"

OskelJpegControlData::OskelJpegControlData(std::int32_t traceFlag)
    : TracedObject("OskelJpegControlData", TracedObject::kVersion, traceFlag)
{
}

OskelJpegControlData::OskelJpegControlData(const OskelJpegControlData& other)
    : TracedObject("OskelJpegControlData", TracedObject::kVersion, TraceSwitch()),
      m_nQuality(other.m_nQuality),
      m_nDctMethod(other.m_nDctMethod),
      m_nFrameRate(other.m_nFrameRate)
{
}

OskelJpegControlData& OskelJpegControlData::operator=(const OskelJpegControlData& other)
{
    TracedObject::operator=(other);
    m_nQuality = other.m_nQuality;
    m_nDctMethod = other.m_nDctMethod;
    m_nFrameRate = other.m_nFrameRate;
    return *this;
}
