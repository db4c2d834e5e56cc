#include <bit>
#include <cstring>

#include "video/JpegMemory.h"
#include "video/OskelJpegObject.h"

// As in the encoder: no objects with destructors live across setjmp in this file.

namespace {

// Progressive pictures are decoded scan by scan; a forged file with thousands of scans
// would keep the decoder busy for no picture.
constexpr int kMaxScans = 500;

void LimitScans(j_common_ptr cinfo)
{
    if (cinfo->is_decompressor) {
        auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (dinfo->input_scan_number > kMaxScans) {
            ERREXIT(cinfo, JERR_NOT_COMPILED);
        }
    }
}

// The scale reductions of the codec generation the wire format was made with: the largest
// of 1/8, 1/4, 1/2 whose denominator fits in the requested ratio, else full size.
unsigned int ReductionDenominator(unsigned int num, unsigned int denom)
{
    const unsigned long long n = num;
    const unsigned long long d = denom;
    if (n * 8 <= d) return 8;
    if (n * 4 <= d) return 4;
    if (n * 2 <= d) return 2;
    return 1;
}

void ApplyScale(j_decompress_ptr cinfo, unsigned int num, unsigned int denom)
{
    cinfo->scale_num = 1;
    cinfo->scale_denom = ReductionDenominator(num, denom);
    jpeg_calc_output_dimensions(cinfo);
}

// A 0xffRRGGBB word in memory, with the byte that is not a colour set to 0xFF.
constexpr J_COLOR_SPACE kScreenColorSpace = std::endian::native == std::endian::little ? JCS_EXT_BGRA : JCS_EXT_ARGB;

}  // namespace

void OskelJpegObject::BeginDecode(const unsigned char* data, std::uint32_t length, std::uint32_t scaleNum,
                                  std::uint32_t scaleDenom)
{
    if (m_nDecodeState == 1) {
        return;
    }
    // An empty block never reaches the codec.
    if (data == nullptr || length == 0) {
        m_nDecodeState = 0;
        return;
    }
    std::memset(&m_Decompress, 0, sizeof m_Decompress);
    InstallRecoveringErrorManager(&m_DecompressError);
    m_Decompress.err = &m_DecompressError.pub;

    if (setjmp(m_DecompressError.recovery) != 0) {
        DestroyDecoder();
        return;
    }

    jpeg_create_decompress(&m_Decompress);
    JpegMemorySourceAttach(&m_Decompress, data, length);
    m_nDecodeState = 1;
    auto* progress = static_cast<jpeg_progress_mgr*>((*m_Decompress.mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(&m_Decompress), JPOOL_PERMANENT, sizeof(jpeg_progress_mgr)));
    std::memset(progress, 0, sizeof *progress);
    progress->progress_monitor = LimitScans;
    m_Decompress.progress = progress;

    jpeg_read_header(&m_Decompress, TRUE);
    if (static_cast<std::uint64_t>(m_Decompress.image_width) * m_Decompress.image_height > m_nMaxPixels) {
        DestroyDecoder();
        return;
    }
    // Grey pictures come out as BGR too, so every caller gets 3 (or 4) bytes per pixel.
    m_Decompress.out_color_space = m_bScreenOutput ? kScreenColorSpace : JCS_EXT_BGR;
    if (m_bScreenOutput) {
        m_Decompress.dct_method = JDCT_IFAST;
        m_Decompress.do_fancy_upsampling = FALSE;
    }

    if (scaleDenom != 0) {
        ApplyScale(&m_Decompress, scaleNum, scaleDenom);
    } else {
        if (m_nTargetWidth < 1) {
            m_nTargetWidth = kDefaultTargetWidth;
        }
        const auto target = static_cast<unsigned int>(m_nTargetWidth);
        unsigned int denom = m_Decompress.image_width / target;
        ApplyScale(&m_Decompress, 1, denom);
        while (m_Decompress.output_width > target && denom < 8) {
            denom = denom == 0 ? 2 : denom * 2;
            ApplyScale(&m_Decompress, 1, denom);
        }
    }
    jpeg_start_decompress(&m_Decompress);
}

std::uint32_t OskelJpegObject::OutputWidth() const
{
    return m_nDecodeState == 1 ? m_Decompress.output_width : 0;
}

std::uint32_t OskelJpegObject::OutputHeight() const
{
    return m_nDecodeState == 1 ? m_Decompress.output_height : 0;
}

void OskelJpegObject::ReadAllRows(unsigned char* pixels)
{
    if (m_nDecodeState != 1 || pixels == nullptr) {
        return;
    }
    if (setjmp(m_DecompressError.recovery) != 0) {
        DestroyDecoder();
        return;
    }
    const std::uint32_t height = m_Decompress.output_height;
    const std::uint32_t stride =
        m_bScreenOutput ? ScreenStride(m_Decompress.output_width) : DibStride(24, m_Decompress.output_width);
    // The first decoded scanline is the picture's top row: in a bitmap the last row in memory.
    while (m_Decompress.output_scanline < height) {
        const std::uint32_t line = m_Decompress.output_scanline;
        JSAMPROW row = pixels + static_cast<std::size_t>(stride) * (m_bScreenOutput ? line : height - 1 - line);
        if (jpeg_read_scanlines(&m_Decompress, &row, 1) != 1) {
            DestroyDecoder();
            return;
        }
    }
}

void OskelJpegObject::EndDecode()
{
    if (m_nDecodeState != 1) {
        return;
    }
    if (setjmp(m_DecompressError.recovery) != 0) {
        DestroyDecoder();
        return;
    }
    if (m_Decompress.output_scanline >= m_Decompress.output_height) {
        jpeg_finish_decompress(&m_Decompress);
    }
    DestroyDecoder();
}
