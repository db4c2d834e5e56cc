#include "video/JpegMemory.h"

#include <cstring>
#include <new>

namespace {

struct JpegMemoryDestination {
    jpeg_destination_mgr pub;
    JOCTET* work;
    unsigned char* block;
    std::uint32_t length;
};

JpegMemoryDestination* DestinationOf(j_compress_ptr cinfo)
{
    return reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
}

// Runs inside the codec: a failure is raised as the codec's own fatal error.
void Append(j_compress_ptr cinfo, const JOCTET* bytes, std::uint32_t count)
{
    JpegMemoryDestination* dest = DestinationOf(cinfo);
    if (count > UINT32_MAX - dest->length) {
        ERREXIT(cinfo, JERR_BUFFER_SIZE);
    }
    auto* grown = new (std::nothrow) unsigned char[dest->length + count];
    if (grown == nullptr) {
        ERREXIT(cinfo, JERR_BUFFER_SIZE);
    }
    if (dest->length != 0) {
        std::memcpy(grown, dest->block, dest->length);
    }
    delete[] dest->block;
    std::memcpy(grown + dest->length, bytes, count);
    dest->block = grown;
    dest->length += count;
}

void InitDestination(j_compress_ptr cinfo)
{
    JpegMemoryDestination* dest = DestinationOf(cinfo);
    dest->work = static_cast<JOCTET*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, kJpegDestinationStep));
    dest->pub.next_output_byte = dest->work;
    dest->pub.free_in_buffer = kJpegDestinationStep;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo)
{
    JpegMemoryDestination* dest = DestinationOf(cinfo);
    Append(cinfo, dest->work, kJpegDestinationStep);
    dest->pub.next_output_byte = dest->work;
    dest->pub.free_in_buffer = kJpegDestinationStep;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo)
{
    JpegMemoryDestination* dest = DestinationOf(cinfo);
    const auto used = static_cast<std::uint32_t>(kJpegDestinationStep - dest->pub.free_in_buffer);
    if (used != 0) {
        Append(cinfo, dest->work, used);
    }
}

}  // namespace

void JpegMemoryDestinationAttach(j_compress_ptr cinfo)
{
    if (cinfo->dest == nullptr) {
        cinfo->dest = static_cast<jpeg_destination_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(JpegMemoryDestination)));
    }
    JpegMemoryDestination* dest = DestinationOf(cinfo);
    dest->pub.init_destination = InitDestination;
    dest->pub.empty_output_buffer = EmptyOutputBuffer;
    dest->pub.term_destination = TermDestination;
    dest->pub.next_output_byte = nullptr;
    dest->pub.free_in_buffer = 0;
    dest->work = nullptr;
    dest->block = nullptr;
    dest->length = 0;
}

unsigned char* JpegMemoryDestinationTake(j_compress_ptr cinfo, std::uint32_t* length)
{
    JpegMemoryDestination* dest = DestinationOf(cinfo);
    if (dest == nullptr) {
        *length = 0;
        return nullptr;
    }
    unsigned char* block = dest->block;
    *length = dest->length;
    dest->block = nullptr;
    dest->length = 0;
    return block;
}
