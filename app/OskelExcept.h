#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace OskelClassLib {

// The class library's exception: a message and two 32-bit values describing the failure.
class OskelExcept : public std::exception {
public:
    explicit OskelExcept(std::string message, std::uint32_t value1 = 0, std::uint32_t value2 = 0)
        : m_strMessage(std::move(message)),
          m_dwValue1(value1),
          m_dwValue2(value2)
    {
    }

    const char* what() const noexcept override { return m_strMessage.c_str(); }
    std::uint32_t Value1() const noexcept { return m_dwValue1; }
    std::uint32_t Value2() const noexcept { return m_dwValue2; }

private:
    std::string m_strMessage;
    std::uint32_t m_dwValue1;
    std::uint32_t m_dwValue2;
};

}  // namespace OskelClassLib
