#pragma once
// What keeps a session private: every link is TLS 1.3 with a self-signed Ed25519 certificate
// on both sides, whose SHA-256 fingerprint is the instance's identity; the joiner proves the
// password with an HMAC over a value only the two ends of that one link know; and a host
// stops listening to an address that keeps guessing.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio/ssl.hpp>

namespace peer {

struct Identity {
    std::string certificatePem;
    std::string privateKeyPem;
    bool Empty() const { return certificatePem.empty() || privateKeyPem.empty(); }
};

// A new Ed25519 key and a certificate for it signed by itself; false (with the reason) when
// the crypto library fails.
bool CreateIdentity(Identity& out, std::string& error);
// True when the key and the certificate load and belong together.
bool IdentityUsable(const Identity& identity, std::string& error);

// SHA-256 over the certificate's DER, as 64 lower-case hex digits; empty when unreadable.
std::string CertificateFingerprint(const std::string& certificatePem);
std::string CertificateFingerprint(X509* certificate);

// TLS 1.3 only, our certificate presented and the peer's demanded. Its chain is not judged
// here (every certificate is self-signed): the caller pins the fingerprint instead.
std::shared_ptr<asio::ssl::context> MakeTlsContext(const Identity& identity, bool server, std::string& error);

inline constexpr std::size_t kProofSize = 32;
using Proof = std::array<std::uint8_t, kProofSize>;

// The value both ends of one TLS link derive from its secrets; it differs on every link, so
// a proof seen (or relayed) on one link is worth nothing on another.
bool LinkExporter(SSL* ssl, std::array<std::uint8_t, 32>& out);
// HMAC-SHA256 keyed by the password over the link's exporter value.
Proof ComputeProof(std::string_view password, std::span<const std::uint8_t> exporter);
// Compares in constant time, so that the time taken tells nothing about the password.
bool ProofEquals(const Proof& a, const Proof& b);

// Wrong proofs per address: after `maxFailures` within `window`, the address is refused
// for `blockFor` without its proof being looked at. Thread-safe.
class CAttemptLimiter {
public:
    using Clock = std::chrono::steady_clock;
    struct Rules {
        int maxFailures = 5;
        Clock::duration window = std::chrono::minutes(1);
        Clock::duration blockFor = std::chrono::minutes(1);
    };
    CAttemptLimiter() = default;
    explicit CAttemptLimiter(Rules rules) : m_rules(rules) {}

    bool Blocked(const std::string& address, Clock::time_point now);
    // True when this failure starts a block.
    bool RecordFailure(const std::string& address, Clock::time_point now);

private:
    struct Entry {
        int failures = 0;
        Clock::time_point first{};
        Clock::time_point blockedUntil{};
    };
    void Prune(Clock::time_point now);

    Rules m_rules;
    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

}  // namespace peer
