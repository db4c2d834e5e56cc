#pragma once
// TLS of one link over buffers instead of the socket: the link does the socket I/O itself, in
// large reads and writes, and OpenSSL only turns records into plaintext and back. This lets
// a read decrypt straight into a message and a batch of frames leave as many records in one
// write, where a socket-driven stream makes one system call per 16 KiB record.

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>

#include "platform/peer/PeerFrame.h"

namespace peer {

class CTlsSession {
public:
    enum class Status {
        Done,      // handshake finished / plaintext delivered
        WantRead,  // more bytes from the peer are needed
        Closed,    // the peer ended TLS in order
        Failed,    // broken record, failed handshake: the link must end
    };

    CTlsSession(SSL_CTX* context, bool server);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    SSL* Native() const { return m_ssl; }

    // Room for bytes read from the socket; Received() takes in the `n` bytes put there.
    std::span<std::uint8_t> ReceiveRoom();
    void Received(std::size_t n);
    bool HasReceived() const { return m_inEnd > m_inStart; }

    Status Handshake();
    // Up to `size` bytes of plaintext into `out`; `got` is set on Done.
    Status Read(std::uint8_t* out, std::size_t size, std::size_t& got);
    // Encrypts `bytes` onto Output(); false when TLS refuses (the link must end).
    bool Write(std::span<const std::uint8_t> bytes);

    // Records waiting to go to the socket. The link moves them out (TakeOutput) before it
    // writes them, so that records made meanwhile (a reply to the peer's key update, say)
    // never touch a buffer that a write still uses.
    bool HasOutput() const { return !m_out.empty(); }
    void TakeOutput(Bytes& into);

    // The reason of the last Failed, for the log.
    std::error_code LastError() const { return m_error; }

private:
    friend struct TlsBioAccess;
    Status Fail(int ret);
    static void ClearErrors();

    SSL* m_ssl = nullptr;
    Bytes m_in;
    std::size_t m_inStart = 0;
    std::size_t m_inEnd = 0;
    Bytes m_out;
    std::error_code m_error;
};

}  // namespace peer
