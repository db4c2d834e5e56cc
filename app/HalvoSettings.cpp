// CHalvoApp's settings: one getter and one setter per stored value.
#include <QByteArray>

#include "app/AppPaths.h"
#include "app/HalvoApp.h"
#include "app/Log.h"
#include "app/SettingsValue.h"

namespace {

constexpr WindowRect kMainDefault{0, 0, 320, 320};

// Keys of the voice settings record's stored fields, in record order after the size.
constexpr const char* kVoiceFlags = "VoiceClientConfig/Flags";
constexpr const char* kVoiceRecordVolume = "VoiceClientConfig/RecordVolume";
constexpr const char* kVoicePlaybackVolume = "VoiceClientConfig/PlaybackVolume";
constexpr const char* kVoiceThreshold = "VoiceClientConfig/Threshold";
constexpr const char* kVoiceBufferQuality = "VoiceClientConfig/BufferQuality";
constexpr const char* kVoiceBufferAggressiveness = "VoiceClientConfig/BufferAggressiveness";
constexpr const char* kVoiceNotifyPeriod = "VoiceClientConfig/NotifyPeriod";

template <typename Field>
void ReadVoiceField(const CHalvoApp& app, const char* key, Field& field)
{
    if (const auto value = SettingsValue::DecodeBinaryInt(app.ReadSetting(key))) {
        field = static_cast<Field>(*value);
    }
}

}  // namespace

std::string CHalvoApp::ReadText(const char* key, const std::string& fallback) const
{
    return SettingsValue::DecodeText(ReadSetting(key)).value_or(fallback);
}

int CHalvoApp::ReadInt(const char* key, int fallback) const
{
    return SettingsValue::DecodeInt(ReadSetting(key)).value_or(fallback);
}

WindowRect CHalvoApp::ReadRect(const char* key, const WindowRect& fallback) const
{
    return SettingsValue::DecodeRect(ReadSetting(key)).value_or(fallback);
}

// --- MAIN ---

std::string CHalvoApp::GetUserName() const
{
    return ReadText("MAIN/ユーザ名", AppPaths::LogonUserName());
}

void CHalvoApp::SetUserName(const std::string& name)
{
    MORVIKA_LOG("LOG   CHalvoApp::SetUserName() %s \n", name.c_str());
    WriteSetting("MAIN/ユーザ名", SettingsValue::EncodeText(name));
}

std::string CHalvoApp::GetCameraName() const
{
    return ReadText("MAIN/カメラ", {});
}

void CHalvoApp::SetCameraName(const std::string& name)
{
    MORVIKA_LOG("LOG   CHalvoApp::SetCameraName() %s \n", name.c_str());
    WriteSetting("MAIN/カメラ", SettingsValue::EncodeText(name));
}

int CHalvoApp::GetConnectCheck() const
{
    const int check = ReadInt("MAIN/接続の承諾", 1);
    MORVIKA_LOG("LOG   CHalvoApp::GetConnectCheck() %d \n", check);
    return check;
}

void CHalvoApp::SetConnectCheck(int check)
{
    MORVIKA_LOG("LOG   CHalvoApp::SetConnectCheck() %d \n", check);
    WriteSetting("MAIN/接続の承諾", check);
}

std::string CHalvoApp::GetPassword() const
{
    return ReadText("MAIN/Password", {});
}

void CHalvoApp::SetPassword(const std::string& password)
{
    WriteSetting("MAIN/Password", SettingsValue::EncodeText(password));
}

int CHalvoApp::GetSoundState() const
{
    return ReadInt("MAIN/SundStat", 1);
}

void CHalvoApp::SetSoundState(int state)
{
    WriteSetting("MAIN/SundStat", state);
}

int CHalvoApp::GetPortMapping() const
{
    return ReadInt("MAIN/PortMapping", 1);
}

void CHalvoApp::SetPortMapping(int enabled)
{
    WriteSetting("MAIN/PortMapping", enabled);
}

std::string CHalvoApp::GetLanguage() const
{
    const std::string language = ReadText("MAIN/Language", "ja");
    return IsOfferedLanguage(language) ? language : "ja";
}

void CHalvoApp::SetLanguage(const std::string& language)
{
    WriteSetting("MAIN/Language", SettingsValue::EncodeText(language));
}

std::string CHalvoApp::GetShareToken() const
{
    return ReadText("MAIN/ShareToken", "");
}

void CHalvoApp::SetShareToken(const std::string& token)
{
    WriteSetting("MAIN/ShareToken", SettingsValue::EncodeText(token));
}

bool CHalvoApp::IsOfferedLanguage(const std::string& language)
{
    return language == "ja" || language == "en";
}

int CHalvoApp::GetInitState() const
{
    return ReadInt("MAIN/INIT", 0);
}

void CHalvoApp::SetInitState(int state)
{
    WriteSetting("MAIN/INIT", state);
}

// --- Position ---

WindowRect CHalvoApp::CentredRect(const WindowRect& workArea)
{
    const std::int32_t halfWidth = workArea.right / 2;
    const std::int32_t halfHeight = workArea.bottom / 2;
    return {halfWidth - 338, halfHeight - 141, halfWidth + 1, halfHeight + 1};
}

bool CHalvoApp::HasPosition(const char* name) const
{
    return SettingsValue::DecodeRect(ReadSetting(std::string("Position/") + name)).has_value();
}

WindowRect CHalvoApp::KeptPlace(const WindowRect& stored, const WindowRect& shown) const
{
    if (!m_bPlacesByDesktop) return shown;
    return {stored.left, stored.top, stored.left + (shown.right - shown.left), stored.top + (shown.bottom - shown.top)};
}

WindowRect CHalvoApp::GetMainPosition() const
{
    return ReadRect("Position/Main", kMainDefault);
}

void CHalvoApp::SetMainPosition(const WindowRect& rect)
{
    WriteSetting("Position/Main", SettingsValue::EncodeRect(KeptPlace(GetMainPosition(), rect)));
}

WindowRect CHalvoApp::GetChatPosition() const
{
    return ReadRect("Position/StringChat", CentredRect(WorkArea()));
}

void CHalvoApp::SetChatPosition(const WindowRect& rect)
{
    WriteSetting("Position/StringChat", SettingsValue::EncodeRect(KeptPlace(GetChatPosition(), rect)));
}

WindowRect CHalvoApp::GetCapturePosition() const
{
    return ReadRect("Position/WindowCapter", CentredRect(WorkArea()));
}

void CHalvoApp::SetCapturePosition(const WindowRect& rect)
{
    WriteSetting("Position/WindowCapter", SettingsValue::EncodeRect(KeptPlace(GetCapturePosition(), rect)));
}

int CHalvoApp::GetTopmost() const
{
    return ReadInt("Position/Topmost", 0);
}

void CHalvoApp::SetTopmost(int topmost)
{
    WriteSetting("Position/Topmost", topmost);
}

// --- Device ---

std::string CHalvoApp::GetCaptureDevice() const
{
    return ReadText("Device/Capture", {});
}

void CHalvoApp::SetCaptureDevice(const std::string& name)
{
    WriteSetting("Device/Capture", SettingsValue::EncodeText(name));
}

std::string CHalvoApp::GetSoundDevice() const
{
    return ReadText("Device/Sound", {});
}

void CHalvoApp::SetSoundDevice(const std::string& name)
{
    WriteSetting("Device/Sound", SettingsValue::EncodeText(name));
}

int CHalvoApp::GetNonVoice() const
{
    return ReadInt("Device/NonVoice", 0);
}

void CHalvoApp::SetNonVoice(int offset)
{
    WriteSetting("Device/NonVoice", offset);
}

int CHalvoApp::GetEchoCancel() const
{
    return ReadInt("Device/EchoCancel", 1);
}

void CHalvoApp::SetEchoCancel(int on)
{
    WriteSetting("Device/EchoCancel", on);
}

int CHalvoApp::GetNoiseSuppress() const
{
    return ReadInt("Device/NoiseSuppress", 1);
}

void CHalvoApp::SetNoiseSuppress(int on)
{
    WriteSetting("Device/NoiseSuppress", on);
}

// Two reads with different defaults: a value that cannot be read counts as absent, and a stored
// value equal to one default still counts as present because the other read returns it too.
bool CHalvoApp::HasNonVoice() const
{
    constexpr int kFirstDefault = 7066;
    constexpr int kSecondDefault = 226;
    return !(ReadInt("Device/NonVoice", kFirstDefault) == kFirstDefault &&
             ReadInt("Device/NonVoice", kSecondDefault) == kSecondDefault);
}

// --- VoiceClientConfig ---

void CHalvoApp::GetVoiceConfig(CVoiceClientConfig& config) const
{
    MORVIKA_LOG("LOG   CHalvoApp::GetVoiceConfig() \n");
    if (const auto flags = SettingsValue::DecodeBinaryInt(ReadSetting(kVoiceFlags))) {
        config.SetFlags(static_cast<std::uint32_t>(*flags));
    }
    ReadVoiceField(*this, kVoiceRecordVolume, config.m_lRecordVolume);
    ReadVoiceField(*this, kVoicePlaybackVolume, config.m_lPlaybackVolume);
    ReadVoiceField(*this, kVoiceThreshold, config.m_dwThreshold);
    ReadVoiceField(*this, kVoiceBufferQuality, config.m_dwBufferQuality);
    ReadVoiceField(*this, kVoiceBufferAggressiveness, config.m_dwBufferAggressiveness);
    ReadVoiceField(*this, kVoiceNotifyPeriod, config.m_dwNotifyPeriod);
}

void CHalvoApp::SetVoiceConfig(CVoiceClientConfig& config)
{
    MORVIKA_LOG("LOG   CHalvoApp::SetVoiceConfig() \n");
    const auto encode = [](auto field) { return SettingsValue::EncodeBinaryInt(static_cast<std::int32_t>(field)); };
    WriteSetting(kVoiceFlags, encode(config.GetFlags()));
    WriteSetting(kVoiceRecordVolume, encode(config.m_lRecordVolume));
    WriteSetting(kVoicePlaybackVolume, encode(config.m_lPlaybackVolume));
    WriteSetting(kVoiceThreshold, encode(config.m_dwThreshold));
    WriteSetting(kVoiceBufferQuality, encode(config.m_dwBufferQuality));
    WriteSetting(kVoiceBufferAggressiveness, encode(config.m_dwBufferAggressiveness));
    WriteSetting(kVoiceNotifyPeriod, encode(config.m_dwNotifyPeriod));
}
