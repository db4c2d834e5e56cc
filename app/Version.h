#pragma once

#include <cstdint>

// OS code from the platform's version numbers (2, 1, 0, 3, 4, 5, 6 or 255).
int OsVersionCode(std::uint32_t major, std::uint32_t minor);

// Packs a.b.c.d into a x 2^24 + (b mod 256) x 2^16 + c x 2^8 + d.
std::uint32_t PackFileVersion(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);

// The running kernel's version mapped through OsVersionCode; logs
// "OS Version" with the flag set.
int GetVersion(bool log);

// The program's own version number (the user record's application version); logs
// "APP Version" with the executable's path with the flag set.
std::uint32_t GetFileVersion(bool log);
