// Feeds arbitrary bytes to a host as the first bytes of a link: the test that tells a
// version 1 joiner's plain hello from a TLS handshake, the hello with its password proof,
// and the server side of the TLS handshake through the link's own record buffers with our
// context (certificate demanded, any self-signed one taken), which must refuse garbage
// without harm.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerSecurity.h"
#include "platform/peer/PeerTls.h"

using namespace peer;

namespace {

SSL_CTX* ServerContext()
{
    static std::shared_ptr<asio::ssl::context> context = [] {
        Identity identity;
        std::string error;
        if (!CreateIdentity(identity, error)) __builtin_trap();
        auto made = MakeTlsContext(identity, true, error);
        if (!made) __builtin_trap();
        return made;
    }();
    return context->native_handle();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= wire::kHeaderSize) {
        std::array<std::uint8_t, wire::kHeaderSize> first;
        std::memcpy(first.data(), data, first.size());
        if (wire::IsPlainHelloHeader(first)) {
            wire::FrameHeader header;
            if (!wire::DecodeHeader(first, header)) __builtin_trap();
            const std::size_t available = size - wire::kHeaderSize;
            wire::Hello hello;
            if (header.bodySize <= available && wire::DecodeHello({data + wire::kHeaderSize, header.bodySize}, hello) &&
                hello.version >= wire::kOldestProtocolVersion && hello.version <= wire::kProtocolVersion) {
                const Bytes again = wire::EncodeHello(hello);
                if (again.size() != wire::kHeaderSize + header.bodySize ||
                    std::memcmp(again.data(), data, again.size()) != 0) {
                    __builtin_trap();
                }
            }
            return 0;
        }
    }
    // The server side of a link as the service runs it: bytes arrive in two pieces, and
    // whatever plaintext follows a finished handshake is read.
    CTlsSession session(ServerContext(), true);
    const std::size_t half = size / 2;
    const std::pair<std::size_t, std::size_t> pieces[] = {{0, half}, {half, size - half}};
    bool done = false;
    for (const auto& [from, n] : pieces) {
        const auto room = session.ReceiveRoom();
        const std::size_t put = std::min(n, room.size());
        std::memcpy(room.data(), data + from, put);
        session.Received(put);
        const auto status = session.Handshake();
        if (status == CTlsSession::Status::Failed || status == CTlsSession::Status::Closed) break;
        if (status == CTlsSession::Status::Done) {
            done = true;
            break;
        }
    }
    if (done) {
        std::array<std::uint8_t, 4096> plain;
        std::size_t got = 0;
        while (session.Read(plain.data(), plain.size(), got) == CTlsSession::Status::Done) {}
    }
    Bytes out;
    session.TakeOutput(out);
    std::array<std::uint8_t, 32> exporter{};
    LinkExporter(session.Native(), exporter);
    return 0;
}
