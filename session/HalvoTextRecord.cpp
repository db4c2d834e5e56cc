#include "session/HalvoTextRecord.h"

#include "session/RecordText.h"

void CHalvoTextRecord::Serialize(CTransBlock& block) const
{
    CHalvoTransData::Serialize(block);
    AppendText(block, m_strText);
    AppendU32(block, m_dwValue);
}

bool CHalvoTextRecord::Deserialize(CTransBlock& block)
{
    std::uint32_t value = 0;
    std::string text;
    if (!PopU32(block, value) || !PopText(block, text) || !CHalvoTransData::Deserialize(block)) return false;
    m_dwValue = value;
    m_strText = std::move(text);
    return true;
}

void CHalvoTextRecord::SetText(std::string_view text)
{
    m_strText = morvika::record::WireText(text);
}
