#pragma once
// The application object's core: the settings store, the facts about this machine that the
// peers exchange, the notification sounds and the address book store. It is not the Qt
// application; the GUI start-up owns one of these for the program's life.

#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/AddressData.h"
#include "app/NotificationSound.h"
#include "app/VoiceClientConfig.h"
#include "app/WindowRect.h"
#include "platform/peer/PeerSecurity.h"

class CHalvoApp {
public:
    // The area windows may use (the screen minus panels); only the GUI knows it.
    using WorkAreaProvider = std::function<WindowRect()>;
    static constexpr WindowRect kFallbackWorkArea{0, 0, 1024, 768};

    // Settings are read from and written to this file on every access.
    explicit CHalvoApp(std::string settingsFile = DefaultSettingsFile());
    CHalvoApp(const CHalvoApp&) = delete;
    CHalvoApp& operator=(const CHalvoApp&) = delete;

    static std::string DefaultSettingsFile();

    const std::string& SettingsFile() const { return m_strSettingsFile; }

    // The working folder (log, still picture), with a trailing "/".
    const std::string& GetWorkingFolder() const { return m_strWorkingFolder; }
    void SetWorkingFolder(const std::string& folder);

    // The per-user temporary folder (local copies of shared files), with a trailing "/".
    const std::string& GetTempFolder() const { return m_strTempFolder; }
    void SetTempFolder(const std::string& folder) { m_strTempFolder = folder; }

    // The read-only assets (pictures, sounds, help), with a trailing "/".
    const std::string& GetAssetsFolder() const { return m_strAssetsFolder; }
    void SetAssetsFolder(const std::string& folder);

    void SetWorkAreaProvider(WorkAreaProvider provider);
    void SetSoundPlayer(std::shared_ptr<CNotificationSoundPlayer> player);

    // --- settings: section "MAIN" ---
    std::string GetUserName() const;
    void SetUserName(const std::string& name);
    std::string GetCameraName() const;
    void SetCameraName(const std::string& name);
    int GetConnectCheck() const;
    void SetConnectCheck(int check);
    std::string GetPassword() const;
    void SetPassword(const std::string& password);
    int GetSoundState() const;
    void SetSoundState(int state);
    int GetInitState() const;
    void SetInitState(int state);
    // Whether the own session port is mapped on the home router (non-zero, the default).
    int GetPortMapping() const;
    void SetPortMapping(int enabled);
    // The interface language: "ja" (the default, and for any value not offered) or "en".
    std::string GetLanguage() const;
    // The ScreenCast portal's token for the last source picked for window sharing.
    std::string GetShareToken() const;
    void SetShareToken(const std::string& token);
    void SetLanguage(const std::string& language);
    static bool IsOfferedLanguage(const std::string& language);

    // --- settings: section "Position" ---
    // Whether Position holds a valid rectangle of that name (else the getters give defaults).
    bool HasPosition(const char* name) const;
    // Where the desktop places windows itself (Wayland) a window's reported place means
    // nothing: the setters below then keep the stored place and take only the size.
    void SetPlacesDecidedByDesktop(bool decided) { m_bPlacesByDesktop = decided; }
    WindowRect GetMainPosition() const;
    void SetMainPosition(const WindowRect& rect);
    WindowRect GetChatPosition() const;
    void SetChatPosition(const WindowRect& rect);
    WindowRect GetCapturePosition() const;
    void SetCapturePosition(const WindowRect& rect);
    int GetTopmost() const;
    void SetTopmost(int topmost);
    // The default of the chat and capture rectangles, centred in a work area.
    static WindowRect CentredRect(const WindowRect& workArea);

    // --- settings: section "Device" ---
    std::string GetCaptureDevice() const;
    void SetCaptureDevice(const std::string& name);
    std::string GetSoundDevice() const;
    void SetSoundDevice(const std::string& name);
    int GetNonVoice() const;
    void SetNonVoice(int offset);
    // Whether a microphone offset has ever been stored (the microphone test was completed).
    bool HasNonVoice() const;
    // Echo cancellation and noise suppression of the microphone: 1 on (the default), 0 off.
    int GetEchoCancel() const;
    void SetEchoCancel(int on);
    int GetNoiseSuppress() const;
    void SetNoiseSuppress(int on);

    // --- settings: section "VoiceClientConfig" ---
    // Overwrites only the fields that are stored, so the record's own values stand for the rest.
    void GetVoiceConfig(CVoiceClientConfig& config) const;
    void SetVoiceConfig(CVoiceClientConfig& config);

    // --- notification sounds, only while "SundStat" is non-zero ---
    void PlayConnectSound();
    void PlayChatSound();
    void PlaySharesSound();
    void PlayWindowShareSound();

    // --- address discovery ---
    void GetIPAddress(std::string& hostName, std::string& ipAddress) const;
    void GetDefaultGatewayIP(const std::string& ipAddress, std::string& gateway) const;
    // Runs both and keeps the results.
    void DiscoverAddresses();
    const std::string& HostName() const { return m_strHostName; }
    const std::string& IPAddress() const { return m_strIPAddress; }
    const std::string& GatewayAddress() const { return m_strGatewayAddress; }

    // --- address book ---
    void LoadAddressBook(CAddressDataList& list) const;
    void SaveAddressBook(const CAddressDataList& list);
    // The mail client's command line with "%1" for the mailto link; empty when there is none.
    std::string GetMailCommand() const;

    // --- identity and trusted hosts ---
    // The installation's key and certificate, in the settings file's folder, made at first
    // use; Empty() when none could be had (the reason is logged).
    peer::Identity GetIdentity();
    // Its fingerprint, by which peers know this installation; empty without an identity.
    std::string GetFingerprint();
    // Section "KnownHosts": the fingerprint trusted for "host:port"; empty when none.
    std::string GetKnownHost(const std::string& hostPort) const;
    void SetKnownHost(const std::string& hostPort, const std::string& fingerprint);

    // Raw access for the few callers that keep values of their own; key is "Section/Value".
    QVariant ReadSetting(const std::string& key) const;
    void WriteSetting(const std::string& key, const QVariant& value);
    void RemoveSetting(const std::string& key);

private:
    // The rectangle to store for a window shown at `shown`: its own, or its size at the stored place.
    WindowRect KeptPlace(const WindowRect& stored, const WindowRect& shown) const;
    std::string ReadText(const char* key, const std::string& fallback) const;
    int ReadInt(const char* key, int fallback) const;
    WindowRect ReadRect(const char* key, const WindowRect& fallback) const;
    void PlaySound(const char* relativePath);
    WindowRect WorkArea() const;

    std::string m_strSettingsFile;
    std::string m_strWorkingFolder;
    std::string m_strAssetsFolder;
    std::string m_strTempFolder;
    bool m_bPlacesByDesktop = false;
    std::string m_strHostName;
    std::string m_strIPAddress;
    std::string m_strGatewayAddress;
    WorkAreaProvider m_workArea;

    std::mutex m_identityMutex;
    bool m_identityTried = false;
    peer::Identity m_identity;

    std::mutex m_playerMutex;
    std::shared_ptr<CNotificationSoundPlayer> m_player;  // created on first use
};
