// Private links: identities, the password proof, guessing limits and pinned host keys.

#include <gtest/gtest.h>

#include <set>

#include "PeerTestSupport.h"

namespace peer::test {
namespace {

using namespace std::chrono_literals;

Identity NewIdentity()
{
    Identity identity;
    std::string error;
    EXPECT_TRUE(CreateIdentity(identity, error)) << error;
    return identity;
}

TEST(PeerSecurity, IdentitiesAreDistinctAndKeyMustMatchCertificate)
{
    const Identity a = NewIdentity();
    const Identity b = NewIdentity();
    std::string error;
    EXPECT_TRUE(IdentityUsable(a, error)) << error;
    const std::string fa = CertificateFingerprint(a.certificatePem);
    EXPECT_EQ(fa.size(), 64u);
    EXPECT_EQ(fa.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(fa, CertificateFingerprint(b.certificatePem));
    EXPECT_FALSE(IdentityUsable({a.certificatePem, b.privateKeyPem}, error));
    EXPECT_FALSE(IdentityUsable({"garbage", a.privateKeyPem}, error));
    EXPECT_EQ(CertificateFingerprint("garbage"), "");
}

TEST(PeerSecurity, ProofDependsOnPasswordAndLink)
{
    std::array<std::uint8_t, 32> link1{}, link2{};
    link2[31] = 1;
    const Proof p = ComputeProof("secret", link1);
    EXPECT_TRUE(ProofEquals(p, ComputeProof("secret", link1)));
    EXPECT_FALSE(ProofEquals(p, ComputeProof("secret", link2)));
    EXPECT_FALSE(ProofEquals(p, ComputeProof("secreT", link1)));
    EXPECT_FALSE(ProofEquals(ComputeProof("", link1), ComputeProof("x", link1)));
}

TEST(PeerSecurity, LimiterBlocksTheFifthFailureWithinAMinuteForAMinute)
{
    CAttemptLimiter limiter;
    const auto t0 = CAttemptLimiter::Clock::time_point{} + std::chrono::hours(1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(limiter.RecordFailure("10.0.0.1", t0 + i * 1s));
        EXPECT_FALSE(limiter.Blocked("10.0.0.1", t0 + i * 1s));
    }
    EXPECT_TRUE(limiter.RecordFailure("10.0.0.1", t0 + 10s));
    EXPECT_TRUE(limiter.Blocked("10.0.0.1", t0 + 11s));
    EXPECT_FALSE(limiter.Blocked("10.0.0.2", t0 + 11s));
    EXPECT_TRUE(limiter.Blocked("10.0.0.1", t0 + 69s));
    EXPECT_FALSE(limiter.Blocked("10.0.0.1", t0 + 71s));
    // Failures spread wider than the window never add up to a block.
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(limiter.RecordFailure("10.0.0.3", t0 + i * 15s));
    EXPECT_FALSE(limiter.Blocked("10.0.0.3", t0 + 150s));
}

TEST(PeerSecurity, PasswordIsProvedAndGuessingIsCutOff)
{
    ServiceOptions options = FastOptions();
    options.throttledReply = {9, 0, 0, 0};
    CNode host(options);
    host.recorder.RequirePassword("secret");
    const std::uint16_t port = host.Host();
    ASSERT_NE(port, 0);

    CNode good;
    ASSERT_EQ(good.Join(port, "good", {1}, kApp, "secret"), DPNSUCCESS_PENDING);
    ASSERT_TRUE(good.recorder.WaitForCount(DPN_MSGID_CONNECT_COMPLETE, 1));
    EXPECT_EQ(good.recorder.Events(DPN_MSGID_CONNECT_COMPLETE)[0].result, DPN_OK);

    auto attempt = [&](const std::string& password) {
        CNode guesser;
        if (guesser.Join(port, "guess", {1}, kApp, password) != DPNSUCCESS_PENDING) return Event{};
        guesser.recorder.WaitForCount(DPN_MSGID_CONNECT_COMPLETE, 1);
        auto done = guesser.recorder.Events(DPN_MSGID_CONNECT_COMPLETE);
        return done.empty() ? Event{} : done[0];
    };
    for (const char* wrong : {"Secret", "", "secret ", "s", "secret2"}) {
        const Event e = attempt(wrong);
        EXPECT_EQ(e.result, DPNERR_HOSTREJECTEDCONNECTION) << wrong;
        EXPECT_EQ(ReplyValue(e), 3u) << wrong;
    }
    EXPECT_EQ(host.recorder.passwordChecks, 6);
    // The sixth wrong attempt in the minute, even with the right password, is not heard.
    const Event blocked = attempt("secret");
    EXPECT_EQ(blocked.result, DPNERR_HOSTREJECTEDCONNECTION);
    EXPECT_EQ(ReplyValue(blocked), 9u);
    EXPECT_EQ(host.recorder.passwordChecks, 6);
    EXPECT_EQ(host.service.Players().size(), 2u);
}

// A different key at a known address (another program listening there, or a relay with its
// own key) is refused before the hello, so no proof of the password reaches it.
TEST(PeerSecurity, ChangedHostKeyIsRefusedBeforeAnythingIsSent)
{
    std::mutex mutex;
    std::map<std::string, std::string> known;
    auto pinning = [&] {
        ServiceOptions options = FastOptions();
        options.checkHostKey = [&](const ServiceOptions::HostKey& key) {
            std::lock_guard lock(mutex);
            auto [it, first] = known.emplace(key.host + ":" + std::to_string(key.port), key.fingerprint);
            return first || it->second == key.fingerprint;
        };
        return options;
    };
    std::uint16_t port = 0;
    std::string genuineKey;
    {
        CNode host;
        port = host.Host();
        ASSERT_NE(port, 0);
        genuineKey = host.service.Fingerprint();
        CNode member(pinning());
        EXPECT_EQ(member.JoinAndWait(port).result, DPN_OK);
    }
    ServiceOptions impostorOptions = FastOptions();
    CNode impostor(impostorOptions);
    ASSERT_EQ(impostor.service.Host({kApp, "VoiceSession"}, port), DPN_OK);
    ASSERT_NE(impostor.service.Fingerprint(), genuineKey);
    {
        CNode member(pinning());
        const Event refused = member.JoinAndWait(port);
        EXPECT_EQ(refused.result, DPNERR_UNTRUSTEDHOST);
        EXPECT_EQ(impostor.recorder.Requests(), 0);
        EXPECT_EQ(impostor.service.Players().size(), 1u);
    }
    {
        std::lock_guard lock(mutex);
        known["127.0.0.1:" + std::to_string(port)] = impostor.service.Fingerprint();  // accepted by the user
    }
    CNode member(pinning());
    EXPECT_EQ(member.JoinAndWait(port).result, DPN_OK);
    EXPECT_EQ(impostor.recorder.Requests(), 1);
}

}  // namespace
}  // namespace peer::test
