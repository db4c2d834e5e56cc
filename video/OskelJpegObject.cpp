#include "video/OskelJpegObject.h"

#include <cstring>

#include "video/JpegMemory.h"

// The functions that call the codec hold no objects with destructors between setjmp and
// the codec calls: a codec failure longjmps back over those frames.

namespace {

void SilentOutput(j_common_ptr) {}

[[noreturn]] void JumpToRecovery(j_common_ptr cinfo)
{
    auto* manager = reinterpret_cast<OskelJpegErrorManager*>(cinfo->err);
    std::longjmp(manager->recovery, 1);
}

}  // namespace

void InstallRecoveringErrorManager(OskelJpegErrorManager* manager)
{
    jpeg_std_error(&manager->pub);
    manager->pub.error_exit = JumpToRecovery;
    manager->pub.output_message = SilentOutput;
}

OskelJpegObject::OskelJpegObject(std::int32_t traceFlag)
    : TracedObject("OskelJpegObject", TracedObject::kVersion, traceFlag)
{
    std::memset(&m_Decompress, 0, sizeof m_Decompress);
    std::memset(&m_Compress, 0, sizeof m_Compress);
    std::memset(&m_DecompressError, 0, sizeof m_DecompressError);
    std::memset(&m_CompressError, 0, sizeof m_CompressError);
}

OskelJpegObject::~OskelJpegObject()
{
    if (m_nDecodeState == 1) {
        DestroyDecoder();
    }
    if (m_Compress.mem != nullptr) {
        jpeg_destroy_compress(&m_Compress);
    }
    delete[] m_pOutput;
}

void OskelJpegObject::SetControlData(OskelJpegControlData controlData)
{
    m_ControlData = controlData;
}

void OskelJpegObject::DestroyDecoder()
{
    // Destroying never raises a codec error.
    jpeg_destroy_decompress(&m_Decompress);
    m_nDecodeState = 0;
}

int OskelJpegObject::Encode(const BitmapInfoHeader* header, const unsigned char* pixels, std::uint32_t length)
{
    if (header == nullptr || pixels == nullptr) {
        return 1;
    }
    // Top-down (non-positive height) and non-24-bit bitmaps never reach the codec.
    if (header->biWidth <= 0 || header->biHeight <= 0 || header->biBitCount != 24) {
        return 1;
    }
    if (header->biWidth > JPEG_MAX_DIMENSION || header->biHeight > JPEG_MAX_DIMENSION) {
        return 1;
    }
    const auto width = static_cast<std::uint32_t>(header->biWidth);
    const auto height = static_cast<std::uint32_t>(header->biHeight);
    const std::uint32_t stride = DibStride(24, width);
    // The caller's block must hold every row the codec will read.
    if (static_cast<std::uint64_t>(stride) * height > length) {
        return 1;
    }
    // The codec only knows its three DCT methods.
    if (m_ControlData.m_nDctMethod < JDCT_ISLOW || m_ControlData.m_nDctMethod > JDCT_FLOAT) {
        return 1;
    }
    return EncodeRows(width, height, stride, pixels);
}

int OskelJpegObject::EncodeRows(std::uint32_t width, std::uint32_t height, std::uint32_t stride,
                                const unsigned char* pixels)
{
    // Encoding ends any decode still open on this object, so it is not leaked.
    if (m_nDecodeState == 1) {
        DestroyDecoder();
    }
    if (m_Compress.mem != nullptr) {
        jpeg_destroy_compress(&m_Compress);
    }
    std::memset(&m_Compress, 0, sizeof m_Compress);
    InstallRecoveringErrorManager(&m_CompressError);
    m_Compress.err = &m_CompressError.pub;

    if (setjmp(m_CompressError.recovery) != 0) {
        std::uint32_t partialLength = 0;
        if (m_Compress.dest != nullptr) {
            delete[] JpegMemoryDestinationTake(&m_Compress, &partialLength);
        }
        jpeg_destroy_compress(&m_Compress);
        m_nDecodeState = 0;
        return 1;
    }

    jpeg_create_compress(&m_Compress);
    m_Compress.image_width = width;
    m_Compress.image_height = height;
    m_Compress.input_components = 3;
    m_Compress.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&m_Compress);
    JpegMemoryDestinationAttach(&m_Compress);
    jpeg_set_quality(&m_Compress, m_ControlData.m_nQuality, TRUE);
    m_Compress.dct_method = static_cast<J_DCT_METHOD>(m_ControlData.m_nDctMethod);

    jpeg_start_compress(&m_Compress, TRUE);
    // Bottom-up: the picture's top row is the last row in memory.
    while (m_Compress.next_scanline < m_Compress.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(pixels + static_cast<std::size_t>(stride) * (height - 1 - m_Compress.next_scanline));
        jpeg_write_scanlines(&m_Compress, &row, 1);
    }
    jpeg_finish_compress(&m_Compress);

    std::uint32_t outputLength = 0;
    unsigned char* output = JpegMemoryDestinationTake(&m_Compress, &outputLength);
    jpeg_destroy_compress(&m_Compress);
    m_nDecodeState = 0;

    delete[] m_pOutput;
    m_pOutput = output;
    m_nOutputLength = outputLength;
    return 0;
}

void OskelJpegObject::ReleaseEncoder()
{
    if (m_Compress.mem != nullptr) {
        jpeg_destroy_compress(&m_Compress);
    }
    if (m_nDecodeState == 1) {
        DestroyDecoder();
    }
    m_nDecodeState = 0;
}
