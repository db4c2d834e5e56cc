#include "session/UserInformation.h"

#include <utility>

#include "session/RecordText.h"

using morvika::record::WireText;

void CUserInformation::Serialize(CTransBlock& block) const
{
    CHalvoTransData::Serialize(block);
    AppendU32(block, m_dwGroupId);
    AppendU32(block, m_dwUserId);
    AppendText(block, m_strUserName);
    AppendU32(block, m_dwActive);
    AppendU32(block, m_dwVersion);
    AppendText(block, m_strAddress);
    AppendText(block, m_strReservedText);
    AppendText(block, m_strPassword);
    AppendText(block, m_strMessage);
    AppendU32(block, m_dwReservedValue);
    AppendText(block, m_strReservedText2);
}

bool CUserInformation::Deserialize(CTransBlock& block)
{
    // Decoded into a copy, so a block that fails halfway leaves this record untouched.
    CUserInformation decoded(*this);
    const bool ok = PopText(block, decoded.m_strReservedText2) && PopU32(block, decoded.m_dwReservedValue) &&
                    PopText(block, decoded.m_strMessage) && PopText(block, decoded.m_strPassword) &&
                    PopText(block, decoded.m_strReservedText) && PopText(block, decoded.m_strAddress) &&
                    PopU32(block, decoded.m_dwVersion) && PopU32(block, decoded.m_dwActive) &&
                    PopText(block, decoded.m_strUserName) && PopU32(block, decoded.m_dwUserId) &&
                    PopU32(block, decoded.m_dwGroupId) && CHalvoTransData::Deserialize(block);
    if (!ok) return false;
    *this = std::move(decoded);
    return true;
}

void CUserInformation::SetUserName(std::string_view name)
{
    m_strUserName = WireText(name);
}

void CUserInformation::SetAddress(std::string_view address)
{
    m_strAddress = WireText(address);
}

void CUserInformation::SetReservedText(std::string_view text)
{
    m_strReservedText = WireText(text);
}

void CUserInformation::SetPassword(std::string_view password)
{
    m_strPassword = WireText(password);
}

void CUserInformation::SetMessage(std::string_view message)
{
    m_strMessage = WireText(message);
}

void CUserInformation::SetReservedText2(std::string_view text)
{
    m_strReservedText2 = WireText(text);
}
