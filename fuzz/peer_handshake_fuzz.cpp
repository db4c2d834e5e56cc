// Feeds arbitrary bytes to a host as the first bytes of a link: the test that tells a
// version 1 joiner's plain hello from a TLS handshake, the hello with its password proof,
// and the server side of the TLS handshake with our context (certificate demanded, any
// self-signed one taken), which must refuse garbage without harm.

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerSecurity.h"

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
                hello.version == wire::kProtocolVersion) {
                const Bytes again = wire::EncodeHello(hello);
                if (again.size() != wire::kHeaderSize + header.bodySize ||
                    std::memcmp(again.data(), data, again.size()) != 0) {
                    __builtin_trap();
                }
            }
            return 0;
        }
    }
    SSL* ssl = SSL_new(ServerContext());
    BIO* in = BIO_new_mem_buf(data, static_cast<int>(size));
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    for (int round = 0; round < 4; ++round) {
        if (SSL_do_handshake(ssl) != -1) break;
        const int error = SSL_get_error(ssl, -1);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) break;
    }
    std::array<std::uint8_t, 32> exporter{};
    LinkExporter(ssl, exporter);
    SSL_free(ssl);
    return 0;
}
