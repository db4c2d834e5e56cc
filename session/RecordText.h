#pragma once
// Record texts travel as C strings, so a text held in a record stops at its first NUL;
// that way a record decodes back to exactly what was set.

#include <string>
#include <string_view>

namespace morvika::record {

inline std::string WireText(std::string_view text)
{
    return std::string(text.substr(0, text.find('\0')));
}

}  // namespace morvika::record
