#include "platform/peer/PeerSecurity.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

namespace peer {

namespace {

// Binds the proof to its purpose as well as to the link.
constexpr char kExporterLabel[] = "EXPORTER-morvika-password-proof";
constexpr long kCertificateDays = 100L * 365;

std::string LastError(const char* what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

struct Deleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Deleter>;

Owned<BIO> ReadBio(const std::string& text)
{
    return Owned<BIO>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

bool CreateIdentity(Identity& out, std::string& error)
{
    Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    Owned<X509> cert(X509_new());
    if (!key || !cert) {
        error = LastError("cannot create a key");
        return false;
    }
    std::uint8_t serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        error = LastError("no random bytes");
        return false;
    }
    serial[0] &= 0x7F;  // a positive serial number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(number);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool ok = serialSet && X509_set_version(cert.get(), 2) == 1 &&
                    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
                    X509_time_adj_ex(X509_getm_notAfter(cert.get()), kCertificateDays, 0, nullptr) != nullptr &&
                    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                               reinterpret_cast<const unsigned char*>("Morvika"), -1, -1, 0) == 1 &&
                    X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1 &&
                    X509_sign(cert.get(), key.get(), nullptr) > 0;
    if (!ok) {
        error = LastError("cannot make the certificate");
        return false;
    }
    Owned<BIO> keyText(BIO_new(BIO_s_mem()));
    Owned<BIO> certText(BIO_new(BIO_s_mem()));
    if (!keyText || !certText ||
        PEM_write_bio_PrivateKey(keyText.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(certText.get(), cert.get()) != 1) {
        error = LastError("cannot write the identity");
        return false;
    }
    out.privateKeyPem = BioText(keyText.get());
    out.certificatePem = BioText(certText.get());
    return true;
}

bool IdentityUsable(const Identity& identity, std::string& error)
{
    auto keyBio = ReadBio(identity.privateKeyPem);
    auto certBio = ReadBio(identity.certificatePem);
    Owned<EVP_PKEY> key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    Owned<X509> cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || !cert) {
        error = LastError("the key or the certificate cannot be read");
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        error = LastError("the certificate does not belong to the key");
        return false;
    }
    return true;
}

std::string CertificateFingerprint(X509* certificate)
{
    if (!certificate) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (unsigned i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string CertificateFingerprint(const std::string& certificatePem)
{
    auto bio = ReadBio(certificatePem);
    Owned<X509> cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return CertificateFingerprint(cert.get());
}

std::shared_ptr<asio::ssl::context> MakeTlsContext(const Identity& identity, bool server, std::string& error)
{
    try {
        auto context = std::make_shared<asio::ssl::context>(server ? asio::ssl::context::tls_server
                                                                   : asio::ssl::context::tls_client);
        SSL_CTX* native = context->native_handle();
        if (SSL_CTX_set_min_proto_version(native, TLS1_3_VERSION) != 1 ||
            SSL_CTX_set_max_proto_version(native, TLS1_3_VERSION) != 1) {
            error = LastError("TLS 1.3 is not available");
            return nullptr;
        }
        // AES-128 first: as safe here as AES-256 and cheaper on bulk transfers.
        if (SSL_CTX_set_ciphersuites(
                native, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256") != 1) {
            error = LastError("no usable cipher suite");
            return nullptr;
        }
        // Every link is a fresh handshake; tickets would only cost bytes.
        SSL_CTX_set_num_tickets(native, 0);
        SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
        context->use_certificate(asio::buffer(identity.certificatePem), asio::ssl::context::pem);
        context->use_private_key(asio::buffer(identity.privateKeyPem), asio::ssl::context::pem);
        context->set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
        // Self-signed on both sides: the handshake only demands a certificate (and the proof of
        // its key that TLS 1.3 includes); who it belongs to is decided by its fingerprint.
        context->set_verify_callback([](bool, asio::ssl::verify_context&) { return true; });
        return context;
    } catch (const std::system_error& e) {
        error = std::string("cannot set up TLS: ") + e.what();
        return nullptr;
    }
}

bool LinkExporter(SSL* ssl, std::array<std::uint8_t, 32>& out)
{
    return ssl && SSL_export_keying_material(ssl, out.data(), out.size(), kExporterLabel, sizeof kExporterLabel - 1,
                                             nullptr, 0, 0) == 1;
}

Proof ComputeProof(std::string_view password, std::span<const std::uint8_t> exporter)
{
    static const unsigned char kNoKey = 0;
    Proof proof{};
    unsigned int size = 0;
    const void* key = password.empty() ? static_cast<const void*>(&kNoKey) : password.data();
    HMAC(EVP_sha256(), key, static_cast<int>(password.size()), exporter.data(), exporter.size(), proof.data(), &size);
    return proof;
}

bool ProofEquals(const Proof& a, const Proof& b)
{
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void CAttemptLimiter::Prune(Clock::time_point now)
{
    // Addresses that no longer count are forgotten, so a scan of many addresses leaves nothing.
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const Entry& e = it->second;
        if (now >= e.blockedUntil && now - e.first >= m_rules.window) {
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

bool CAttemptLimiter::Blocked(const std::string& address, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(address);
    return it != m_entries.end() && now < it->second.blockedUntil;
}

bool CAttemptLimiter::RecordFailure(const std::string& address, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    Prune(now);
    Entry& e = m_entries[address];
    if (e.failures == 0 || now - e.first >= m_rules.window) {
        e.failures = 0;
        e.first = now;
    }
    if (++e.failures < m_rules.maxFailures) return false;
    e.blockedUntil = now + m_rules.blockFor;
    e.failures = 0;
    e.first = e.blockedUntil;
    return true;
}

}  // namespace peer
