#pragma once
// The text record (type 101, subtype 100): one text, then one 32-bit value. The factory
// knows it; no sender writes it.

#include <cstdint>
#include <string>
#include <string_view>

#include "session/HalvoTransData.h"

class CHalvoTextRecord : public CHalvoTransData {
public:
    CHalvoTextRecord() : CHalvoTransData(TYPE_TEXT, SUBTYPE_DEFAULT) {}

    bool operator==(const CHalvoTextRecord&) const = default;

    void Serialize(CTransBlock& block) const override;
    bool Deserialize(CTransBlock& block) override;

    const std::string& GetText() const noexcept { return m_strText; }
    std::uint32_t GetValue() const noexcept { return m_dwValue; }
    void SetText(std::string_view text);
    void SetValue(std::uint32_t value) noexcept { m_dwValue = value; }

private:
    std::string m_strText;
    std::uint32_t m_dwValue = 0;
};
