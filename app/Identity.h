#pragma once
// The installation's identity: an Ed25519 key and its self-signed certificate, kept beside
// the settings (or in the profile folder) and readable by the user alone. Peers know this
// installation by the certificate's fingerprint.

#include <string>

#include "platform/peer/PeerSecurity.h"

namespace InstallIdentity {

inline constexpr const char* kKeyFile = "identity-key.pem";
inline constexpr const char* kCertificateFile = "identity-cert.pem";

// Loads the identity from `folder`, or creates it there when it has none. A pair that
// cannot be used is set aside (renamed with ".broken") and replaced, so that the program
// still starts; peers that pinned the old one will then see a new key. False only when no
// identity can be had (the reason in `error`).
bool LoadOrCreate(const std::string& folder, peer::Identity& out, std::string& error);

}  // namespace InstallIdentity
