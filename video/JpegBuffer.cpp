#include "video/JpegBuffer.h"

#include <cstring>
#include <fstream>
#include <new>

#include "video/OskelJpegObject.h"

namespace {

JpegBlock CopyBlock(const unsigned char* data, std::uint32_t length)
{
    JpegBlock block(new (std::nothrow) unsigned char[length]);
    if (block) {
        std::memcpy(block.get(), data, length);
    }
    return block;
}

}  // namespace

void JpegBuffer::LoadFile(const std::string& path)
{
    m_pData.reset();
    m_nLength = 0;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return;
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || static_cast<std::uint64_t>(size) > UINT32_MAX) {
        return;
    }
    JpegBlock block(new (std::nothrow) unsigned char[static_cast<std::size_t>(size)]);
    if (!block) {
        return;
    }
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(block.get()), size)) {
        return;
    }
    m_pData = std::move(block);
    m_nLength = static_cast<std::uint32_t>(size);
}

bool JpegBuffer::SaveFile(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    out.write(reinterpret_cast<const char*>(m_pData.get()), m_nLength);
    return static_cast<bool>(out);
}

JpegBlock JpegBuffer::Transcode(const unsigned char* data, std::uint32_t length, std::int32_t targetWidth,
                                const OskelJpegControlData& controlData)
{
    OskelJpegObject decoder(TraceSwitch());
    OskelJpegObject encoder(TraceSwitch());
    decoder.SetTargetWidth(targetWidth);
    decoder.BeginDecode(data, length, 0, 0);

    JpegBlock result;
    const std::uint64_t rowsSize =
        static_cast<std::uint64_t>(decoder.OutputHeight()) * DibStride(24, decoder.OutputWidth());
    if (decoder.DecodeState() == 1 && rowsSize != 0 && rowsSize <= UINT32_MAX) {
        std::unique_ptr<unsigned char[]> rows(new (std::nothrow) unsigned char[rowsSize]);
        if (rows) {
            BitmapInfoHeader header;
            header.biWidth = static_cast<std::int32_t>(decoder.OutputWidth());
            header.biHeight = static_cast<std::int32_t>(decoder.OutputHeight());
            decoder.ReadAllRows(rows.get());
            // A picture that fails half way is not sent on.
            if (decoder.DecodeState() == 1) {
                encoder.SetControlData(controlData);
                if (encoder.Encode(&header, rows.get(), static_cast<std::uint32_t>(rowsSize)) == 0 &&
                    encoder.OutputLength() != 0) {
                    result = CopyBlock(encoder.OutputData(), encoder.OutputLength());
                }
                encoder.ReleaseEncoder();
            }
        }
    }
    decoder.EndDecode();

    if (result) {
        m_pData.reset();
        m_nLength = encoder.OutputLength();
        return result;
    }
    return std::move(m_pData);
}

JpegBlock JpegBuffer::EncodeBitmap(const DibSection& bitmap, const OskelJpegControlData& controlData,
                                   std::uint32_t& length)
{
    length = 0;
    if (bitmap.bmBits == nullptr || bitmap.bmWidth <= 0 || bitmap.bmHeight <= 0) {
        return nullptr;
    }
    BitmapInfoHeader header;
    header.biWidth = bitmap.bmWidth;
    header.biHeight = bitmap.bmHeight;
    header.biPlanes = bitmap.bmPlanes;
    header.biBitCount = bitmap.bmBitsPixel;
    const std::uint64_t size =
        static_cast<std::uint64_t>(DibStride(bitmap.bmBitsPixel, static_cast<std::uint32_t>(bitmap.bmWidth))) *
        static_cast<std::uint32_t>(bitmap.bmHeight);
    if (size > UINT32_MAX) {
        return nullptr;
    }

    OskelJpegObject encoder(TraceSwitch());
    encoder.SetControlData(controlData);
    encoder.Encode(&header, bitmap.bmBits, static_cast<std::uint32_t>(size));
    if (encoder.OutputLength() == 0) {
        return nullptr;
    }
    JpegBlock block = CopyBlock(encoder.OutputData(), encoder.OutputLength());
    if (block) {
        length = encoder.OutputLength();
    }
    return block;
}
