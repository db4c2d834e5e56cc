#include "video/JpegMemory.h"

namespace {

struct JpegMemorySource {
    jpeg_source_mgr pub;
    const JOCTET* block;
    std::uint32_t length;
    bool handedOver;
};

// What a source that has run dry hands over: an end-of-image marker.
constexpr JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

JpegMemorySource* SourceOf(j_decompress_ptr cinfo)
{
    return reinterpret_cast<JpegMemorySource*>(cinfo->src);
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// Hands over the whole block; a well-formed picture asks once. Asked again, the data ran
// out: handing the block over once more would let a segment that straddles its end be read
// over and over without end, so the picture ends here instead.
boolean FillInputBuffer(j_decompress_ptr cinfo)
{
    JpegMemorySource* src = SourceOf(cinfo);
    if (!src->handedOver) {
        src->handedOver = true;
        src->pub.next_input_byte = src->block;
        src->pub.bytes_in_buffer = src->length;
    } else {
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->pub.next_input_byte = kEndOfImage;
        src->pub.bytes_in_buffer = sizeof kEndOfImage;
    }
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count)
{
    if (count <= 0) {
        return;
    }
    JpegMemorySource* src = SourceOf(cinfo);
    while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
        count -= static_cast<long>(src->pub.bytes_in_buffer);
        FillInputBuffer(cinfo);
    }
    src->pub.next_input_byte += count;
    src->pub.bytes_in_buffer -= static_cast<std::size_t>(count);
}

}  // namespace

void JpegMemorySourceAttach(j_decompress_ptr cinfo, const unsigned char* block, std::uint32_t length)
{
    if (cinfo->src == nullptr) {
        cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(JpegMemorySource)));
    }
    JpegMemorySource* src = SourceOf(cinfo);
    src->pub.init_source = InitSource;
    src->pub.fill_input_buffer = FillInputBuffer;
    src->pub.skip_input_data = SkipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.next_input_byte = nullptr;
    src->pub.bytes_in_buffer = 0;
    src->block = block;
    src->length = length;
    src->handedOver = false;
}
