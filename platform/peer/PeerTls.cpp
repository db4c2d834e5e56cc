#include "platform/peer/PeerTls.h"

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio/ssl/error.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace peer {

namespace {
// Socket reads take up to this much at once: many records for one system call. A link
// starts with room for one record and grows once a read fills it, so that the many links a
// host may see that never get past the handshake cost little.
constexpr std::size_t kInCapacity = 256 * 1024;
constexpr std::size_t kInStart = 17 * 1024;
// Less room than this and what is unread moves to the front first.
constexpr std::size_t kMinRoom = 16 * 1024;
}  // namespace

// The BIO under the SSL object reads from the session's input and appends to its output.
struct TlsBioAccess {
    static int Read(BIO* bio, char* out, std::size_t size, std::size_t* got)
    {
        auto* s = static_cast<CTlsSession*>(BIO_get_data(bio));
        BIO_clear_retry_flags(bio);
        const std::size_t n = std::min(size, s->m_inEnd - s->m_inStart);
        if (n == 0) {
            BIO_set_retry_read(bio);
            *got = 0;
            return 0;
        }
        std::memcpy(out, s->m_in.data() + s->m_inStart, n);
        s->m_inStart += n;
        *got = n;
        return 1;
    }
    static int Write(BIO* bio, const char* in, std::size_t size, std::size_t* put)
    {
        auto* s = static_cast<CTlsSession*>(BIO_get_data(bio));
        BIO_clear_retry_flags(bio);
        const auto* p = reinterpret_cast<const std::uint8_t*>(in);
        s->m_out.insert(s->m_out.end(), p, p + size);
        *put = size;
        return 1;
    }
    static long Control(BIO* bio, int command, long, void*)
    {
        auto* s = static_cast<CTlsSession*>(BIO_get_data(bio));
        switch (command) {
        case BIO_CTRL_FLUSH: return 1;
        case BIO_CTRL_PENDING: return static_cast<long>(s->m_inEnd - s->m_inStart);
        case BIO_CTRL_WPENDING: return 0;
        default: return 0;
        }
    }
    static int Create(BIO* bio)
    {
        BIO_set_init(bio, 1);
        return 1;
    }
    static const BIO_METHOD* Method()
    {
        static BIO_METHOD* method = [] {
            BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "peer link");
            if (!m) return m;
            BIO_meth_set_read_ex(m, &Read);
            BIO_meth_set_write_ex(m, &Write);
            BIO_meth_set_ctrl(m, &Control);
            BIO_meth_set_create(m, &Create);
            return m;
        }();
        return method;
    }
};

CTlsSession::CTlsSession(SSL_CTX* context, bool server)
{
    const BIO_METHOD* method = TlsBioAccess::Method();
    m_ssl = method ? SSL_new(context) : nullptr;
    BIO* bio = m_ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        if (m_ssl) SSL_free(m_ssl);
        throw std::bad_alloc();
    }
    BIO_set_data(bio, this);
    SSL_set_bio(m_ssl, bio, bio);  // one reference, owned by the SSL object from here on
    if (server) {
        SSL_set_accept_state(m_ssl);
    } else {
        SSL_set_connect_state(m_ssl);
    }
    m_in.resize(kInStart);
}

CTlsSession::~CTlsSession()
{
    SSL_free(m_ssl);
}

std::span<std::uint8_t> CTlsSession::ReceiveRoom()
{
    if (m_inEnd == m_in.size() && m_in.size() < kInCapacity) m_in.resize(kInCapacity);
    if (m_inStart == m_inEnd) {
        m_inStart = m_inEnd = 0;
    } else if (m_in.size() - m_inEnd < kMinRoom) {
        std::memmove(m_in.data(), m_in.data() + m_inStart, m_inEnd - m_inStart);
        m_inEnd -= m_inStart;
        m_inStart = 0;
    }
    return {m_in.data() + m_inEnd, m_in.size() - m_inEnd};
}

void CTlsSession::Received(std::size_t n)
{
    m_inEnd += std::min(n, m_in.size() - m_inEnd);
}

// The error queue is per thread and normally empty (Fail empties it): clearing it on every
// call would cost more than the call itself on small reads.
void CTlsSession::ClearErrors()
{
    if (ERR_peek_error() != 0) ERR_clear_error();
}

CTlsSession::Status CTlsSession::Fail(int ret)
{
    const int error = SSL_get_error(m_ssl, ret);
    if (error == SSL_ERROR_WANT_READ) return Status::WantRead;
    if (error == SSL_ERROR_ZERO_RETURN) return Status::Closed;
    const unsigned long code = ERR_get_error();
    m_error = code ? std::error_code(static_cast<int>(code), asio::error::get_ssl_category())
                   : std::make_error_code(std::errc::protocol_error);
    ERR_clear_error();
    return Status::Failed;
}

CTlsSession::Status CTlsSession::Handshake()
{
    ClearErrors();
    const int ret = SSL_do_handshake(m_ssl);
    return ret == 1 ? Status::Done : Fail(ret);
}

CTlsSession::Status CTlsSession::Read(std::uint8_t* out, std::size_t size, std::size_t& got)
{
    got = 0;
    ClearErrors();
    const int ret = SSL_read_ex(m_ssl, out, size, &got);
    return ret == 1 ? Status::Done : Fail(ret);
}

bool CTlsSession::Write(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty()) return true;
    ClearErrors();
    std::size_t put = 0;
    if (SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &put) == 1 && put == bytes.size()) return true;
    Fail(0);
    if (!m_error) m_error = std::make_error_code(std::errc::protocol_error);
    return false;
}

void CTlsSession::TakeOutput(Bytes& into)
{
    into.clear();
    into.swap(m_out);
}

}  // namespace peer
