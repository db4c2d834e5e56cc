#pragma once
// A link of a given speed, emulated on each link's writes (tests and benchmarks that need a
// slow link on the loopback interface).

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/peer/PeerLinkShaper.h"

namespace peer::test {

// For ServiceOptions::linkShaper: a shaper per link, each emulating `bitsPerSecond`.
std::function<std::shared_ptr<ILinkShaper>()> EmulatedLink(std::uint64_t bitsPerSecond);

}  // namespace peer::test
