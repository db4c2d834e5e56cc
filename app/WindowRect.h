#pragma once

#include <cstdint>

// A window rectangle as the settings store keeps it: left, top, right, bottom.
struct WindowRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    friend bool operator==(const WindowRect&, const WindowRect&) = default;
};
