// Feeds arbitrary bytes to the peer service's frame decoder as one link's incoming stream:
// header validation, every body decoder and the reassembly of chunked messages.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/peer/PeerFrame.h"

using namespace peer;
using namespace peer::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CMessageAssembler assembler;
    std::size_t pos = 0;
    while (size - pos >= kHeaderSize) {
        std::array<std::uint8_t, kHeaderSize> raw;
        std::memcpy(raw.data(), data + pos, kHeaderSize);
        FrameHeader header;
        if (!DecodeHeader(raw, header)) return 0;  // the link would be dropped here
        pos += kHeaderSize;
        if (size - pos < header.bodySize) return 0;
        const std::span<const std::uint8_t> body(data + pos, header.bodySize);
        pos += header.bodySize;
        bool ok = true;
        switch (header.type) {
        case FrameType::Hello: {
            Hello h;
            ok = DecodeHello(body, h);
            if (ok && h.version >= kOldestProtocolVersion && h.version <= kProtocolVersion) {
                // What decodes must encode back to the same bytes.
                const Bytes again = EncodeHello(h);
                if (again.size() != kHeaderSize + body.size() ||
                    std::memcmp(again.data() + kHeaderSize, body.data(), body.size()) != 0) {
                    __builtin_trap();
                }
            }
            break;
        }
        case FrameType::Welcome: {
            Welcome w;
            ok = DecodeWelcome(body, w);
            break;
        }
        case FrameType::ConnectResult: {
            ConnectResult r;
            ok = DecodeConnectResult(body, r);
            break;
        }
        case FrameType::PlayerAdd:
        case FrameType::PlayerInfo: {
            PlayerRecord r;
            ok = DecodePlayerRecord(body, r);
            break;
        }
        case FrameType::PlayerRemove: {
            PlayerRemove r;
            ok = DecodePlayerRemove(body, r);
            break;
        }
        case FrameType::SetInfo: {
            SetInfo s;
            ok = DecodeSetInfo(body, s);
            break;
        }
        case FrameType::Terminate: {
            Terminate t;
            ok = DecodeTerminate(body, t);
            break;
        }
        case FrameType::Data: {
            CMessageAssembler::Message m;
            const auto status = assembler.Feed(header.flags, body, m);
            ok = status != CMessageAssembler::Status::Malformed;
            if (status == CMessageAssembler::Status::Complete &&
                (m.payload.size() != m.envelope.total || m.payload.size() > kMaxMessageSize)) {
                __builtin_trap();
            }
            break;
        }
        case FrameType::Ping: break;
        }
        if (!ok) return 0;
        if (assembler.BufferedBytes() > 2 * kMaxMessageSize) __builtin_trap();
    }
    return 0;
}
