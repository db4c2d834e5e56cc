#pragma once
// A holder of one JPEG block with the conveniences the windows need.

#include <cstdint>
#include <memory>
#include <string>

#include "video/Bitmap.h"
#include "video/OskelJpegControlData.h"

using JpegBlock = std::unique_ptr<unsigned char[]>;

class JpegBuffer {
public:
    JpegBuffer() = default;
    JpegBuffer(const JpegBuffer&) = delete;
    JpegBuffer& operator=(const JpegBuffer&) = delete;

    const unsigned char* Data() const { return m_pData.get(); }
    std::uint32_t Length() const { return m_nLength; }

    // Replaces the block with the file's bytes; empty when the file cannot be read.
    void LoadFile(const std::string& path);
    // Writes the block byte for byte, creating or truncating the file. False on failure.
    bool SaveFile(const std::string& path) const;

    // Re-compresses a JPEG at the target width with the given settings; the caller owns
    // the new block, whose length is Length(). When the source does not decode, the
    // buffer hands out its own block instead (null for a fresh buffer).
    JpegBlock Transcode(const unsigned char* data, std::uint32_t length, std::int32_t targetWidth,
                        const OskelJpegControlData& controlData);

    // Compresses a bottom-up 24-bit section. Null and length 0 when nothing was produced.
    static JpegBlock EncodeBitmap(const DibSection& bitmap, const OskelJpegControlData& controlData,
                                  std::uint32_t& length);

private:
    JpegBlock m_pData;
    std::uint32_t m_nLength = 0;
};
