#pragma once
// The user record (type 100, subtype 101): one user as known in one session, identified by
// (user id, group id). Serialized fields, in order: group id, user id, user name, active
// flag, application version, IP address, reserved text, password, message, reserved value,
// reserved text 2. The own-session and voice-started flags stay local.

#include <cstdint>
#include <string>
#include <string_view>

#include "session/HalvoTransData.h"

class CUserInformation : public CHalvoTransData {
public:
    CUserInformation() : CHalvoTransData(TYPE_USER_INFORMATION, SUBTYPE_USER_INFORMATION) {}

    static constexpr std::uint32_t SUBTYPE_USER_INFORMATION = 101;

    bool operator==(const CUserInformation&) const = default;

    void Serialize(CTransBlock& block) const override;
    bool Deserialize(CTransBlock& block) override;

    // Copies every field, the local flags included.
    void CopyFrom(const CUserInformation& other) { *this = other; }

    std::uint32_t GetGroupId() const noexcept { return m_dwGroupId; }
    std::uint32_t GetUserId() const noexcept { return m_dwUserId; }
    const std::string& GetUserName() const noexcept { return m_strUserName; }
    std::uint32_t GetActive() const noexcept { return m_dwActive; }
    std::uint32_t GetVersion() const noexcept { return m_dwVersion; }
    const std::string& GetAddress() const noexcept { return m_strAddress; }
    const std::string& GetReservedText() const noexcept { return m_strReservedText; }
    const std::string& GetPassword() const noexcept { return m_strPassword; }
    const std::string& GetMessage() const noexcept { return m_strMessage; }
    std::uint32_t GetReservedValue() const noexcept { return m_dwReservedValue; }
    const std::string& GetReservedText2() const noexcept { return m_strReservedText2; }
    std::uint32_t GetOwnSession() const noexcept { return m_dwOwnSession; }

    void SetGroupId(std::uint32_t groupId) noexcept { m_dwGroupId = groupId; }
    void SetUserId(std::uint32_t userId) noexcept { m_dwUserId = userId; }
    void SetUserName(std::string_view name);
    void SetActive(std::uint32_t active) noexcept { m_dwActive = active; }
    void SetVersion(std::uint32_t version) noexcept { m_dwVersion = version; }
    void SetAddress(std::string_view address);
    void SetReservedText(std::string_view text);
    void SetOwnSession(std::uint32_t ownSession) noexcept { m_dwOwnSession = ownSession; }
    void SetPassword(std::string_view password);
    void SetMessage(std::string_view message);
    void SetReservedValue(std::uint32_t value) noexcept { m_dwReservedValue = value; }
    void SetReservedText2(std::string_view text);

    void MarkActive() noexcept { m_dwActive = 1; }
    bool IsActive() const noexcept { return m_dwActive == 1; }
    void MarkVoiceStarted() noexcept { m_dwVoiceStarted = 1; }
    bool IsVoiceStarted() const noexcept { return m_dwVoiceStarted == 1; }

    // True when both ids match.
    bool IsUser(std::uint32_t userId, std::uint32_t groupId) const noexcept
    {
        return m_dwUserId == userId && m_dwGroupId == groupId;
    }

private:
    std::uint32_t m_dwGroupId = 0;
    std::uint32_t m_dwUserId = 0;
    std::string m_strUserName;
    std::uint32_t m_dwActive = 0;
    std::uint32_t m_dwVersion = 0;
    std::string m_strAddress;
    std::string m_strReservedText;
    std::string m_strPassword;
    std::string m_strMessage;
    std::uint32_t m_dwReservedValue = 0;
    std::string m_strReservedText2;
    std::uint32_t m_dwOwnSession = 0;    // not serialized
    std::uint32_t m_dwVoiceStarted = 0;  // not serialized
};
