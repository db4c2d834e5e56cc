#pragma once
// One JPEG encoder/decoder over libjpeg's version-62 interface. Pixels go in and come out
// as 24-bit bottom-up bitmaps in blue, green, red order (out, for the screen, as 32-bit
// words). A codec failure never leaves the object: the operation returns without output and
// the decode state drops to 0.

#include <csetjmp>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

#include "app/TracedObject.h"
#include "video/Bitmap.h"
#include "video/OskelJpegControlData.h"

// libjpeg's error manager plus the recovery point of the running operation.
struct OskelJpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf recovery;
};

class OskelJpegObject : public TracedObject {
public:
    static constexpr std::int32_t kDefaultTargetWidth = 320;
    // Pictures with more pixels than this are refused before decompression starts, so a
    // forged header cannot make the codec allocate or decode without bound.
    static constexpr std::uint64_t kDefaultMaxPixels = 64ull * 1024 * 1024;

    explicit OskelJpegObject(std::int32_t traceFlag = TraceSwitch());
    ~OskelJpegObject() override;
    OskelJpegObject(const OskelJpegObject&) = delete;
    OskelJpegObject& operator=(const OskelJpegObject&) = delete;

    void SetControlData(OskelJpegControlData controlData);
    void SetTargetWidth(std::int32_t width) { m_nTargetWidth = width; }
    std::int32_t TargetWidth() const { return m_nTargetWidth; }
    void SetMaxPixels(std::uint64_t pixels) { m_nMaxPixels = pixels; }
    // For the screen, set before BeginDecode: rows come out top-down as 32-bit words
    // 0xffRRGGBB (the paint needs no conversion), decoded with the fast inverse DCT and the
    // merged chroma upsampling. A picture shown for a quarter of a second loses nothing a
    // viewer sees, and fifteen peers' pictures cost a sixth less to decode.
    void SetScreenOutput(bool screen) { m_bScreenOutput = screen; }

    // Decoding. (1, 1) decodes at full size, (0, 0) at the target width.
    void BeginDecode(const unsigned char* data, std::uint32_t length, std::uint32_t scaleNum, std::uint32_t scaleDenom);
    std::uint32_t OutputWidth() const;
    std::uint32_t OutputHeight() const;
    // Writes OutputHeight() * DibStride(24, OutputWidth()) bytes, bottom-up; for the screen
    // OutputHeight() * ScreenStride(OutputWidth()) bytes, top-down.
    void ReadAllRows(unsigned char* pixels);
    void EndDecode();

    // Encoding of a bottom-up 24-bit bitmap of `length` bytes. Returns 0 on success, 1 when
    // nothing was produced (the output fields are then unchanged).
    int Encode(const BitmapInfoHeader* header, const unsigned char* pixels, std::uint32_t length);
    const unsigned char* OutputData() const { return m_pOutput; }
    std::uint32_t OutputLength() const { return m_nOutputLength; }
    void ReleaseEncoder();

    std::int32_t DecodeState() const { return m_nDecodeState; }
    // Damage the decoder worked around (corrupt or missing data) in the running decode.
    long DecodeWarnings() const { return m_DecompressError.pub.num_warnings; }
    const OskelJpegControlData& ControlData() const { return m_ControlData; }

private:
    int EncodeRows(std::uint32_t width, std::uint32_t height, std::uint32_t stride, const unsigned char* pixels);
    void DestroyDecoder();

    jpeg_decompress_struct m_Decompress;
    OskelJpegErrorManager m_DecompressError;
    jpeg_compress_struct m_Compress;
    OskelJpegErrorManager m_CompressError;

    unsigned char* m_pOutput = nullptr;  // array-new block
    std::uint32_t m_nOutputLength = 0;
    std::int32_t m_nTargetWidth = 0;
    std::int32_t m_nDecodeState = -1;
    std::uint64_t m_nMaxPixels = kDefaultMaxPixels;
    bool m_bScreenOutput = false;
    OskelJpegControlData m_ControlData;
};

constexpr std::uint32_t ScreenStride(std::uint32_t width)
{
    return width * 4;
}

// Installs the silent error manager whose fatal errors jump to `manager->recovery`.
void InstallRecoveringErrorManager(OskelJpegErrorManager* manager);
