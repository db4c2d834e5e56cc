#pragma once
// libjpeg source and destination managers over memory blocks.

#include <cstdint>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

// Decompression input from one block. The block must outlive the decompression.
void JpegMemorySourceAttach(j_decompress_ptr cinfo, const unsigned char* block, std::uint32_t length);

// Compression output into a block that grows in 4096-byte steps.
constexpr std::uint32_t kJpegDestinationStep = 4096;
void JpegMemoryDestinationAttach(j_compress_ptr cinfo);
// Hands the finished block (array new) to the caller, who frees it with delete[].
unsigned char* JpegMemoryDestinationTake(j_compress_ptr cinfo, std::uint32_t* length);
