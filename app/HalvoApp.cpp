#include "app/HalvoApp.h"

#include <QFileInfo>
#include <QSettings>
#include <QString>

#include "app/AppPaths.h"
#include "app/Identity.h"
#include "app/Log.h"
#include "app/MailCommand.h"
#include "app/NetworkAddress.h"

namespace {

std::string WithSlash(std::string folder)
{
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

}  // namespace

CHalvoApp::CHalvoApp(std::string settingsFile)
    : m_strSettingsFile(std::move(settingsFile)),
      m_strWorkingFolder(AppPaths::DefaultWorkingFolder()),
      m_strAssetsFolder(AppPaths::AssetsFolder()),
      m_strTempFolder(AppPaths::DefaultTempFolder())
{
}

std::string CHalvoApp::DefaultSettingsFile()
{
    return AppPaths::DefaultSettingsFile();
}

void CHalvoApp::SetWorkingFolder(const std::string& folder)
{
    m_strWorkingFolder = WithSlash(folder);
}

void CHalvoApp::SetAssetsFolder(const std::string& folder)
{
    m_strAssetsFolder = WithSlash(folder);
}

void CHalvoApp::SetWorkAreaProvider(WorkAreaProvider provider)
{
    m_workArea = std::move(provider);
}

void CHalvoApp::SetSoundPlayer(std::shared_ptr<CNotificationSoundPlayer> player)
{
    std::lock_guard lock(m_playerMutex);
    m_player = std::move(player);
}

WindowRect CHalvoApp::WorkArea() const
{
    return m_workArea ? m_workArea() : kFallbackWorkArea;
}

// A fresh QSettings per access: nothing is cached here, and Qt re-reads the file when another
// process has changed it.
QVariant CHalvoApp::ReadSetting(const std::string& key) const
{
    QSettings settings(QString::fromStdString(m_strSettingsFile), QSettings::NativeFormat);
    return settings.value(QString::fromStdString(key));
}

// The file holds passwords: it is made the user's alone before Qt first writes it, and Qt keeps
// the mode of an existing file when it replaces it.
void CHalvoApp::WriteSetting(const std::string& key, const QVariant& value)
{
    AppPaths::MakePrivateFile(m_strSettingsFile);
    QSettings settings(QString::fromStdString(m_strSettingsFile), QSettings::NativeFormat);
    settings.setValue(QString::fromStdString(key), value);
    settings.sync();
}

peer::Identity CHalvoApp::GetIdentity()
{
    std::lock_guard lock(m_identityMutex);
    if (!m_identityTried) {
        m_identityTried = true;
        const QString folder = QFileInfo(QString::fromStdString(m_strSettingsFile)).absolutePath();
        // Only a missing folder is made here; start-up tightens the program's own folders.
        if (!QFileInfo::exists(folder)) AppPaths::MakePrivateFolder(folder.toStdString());
        std::string error;
        if (!InstallIdentity::LoadOrCreate(folder.toStdString(), m_identity, error)) {
            MORVIKA_LOG("ERROR CHalvoApp::GetIdentity() %s\n", error.c_str());
        }
    }
    return m_identity;
}

std::string CHalvoApp::GetFingerprint()
{
    const peer::Identity identity = GetIdentity();
    return identity.Empty() ? std::string() : peer::CertificateFingerprint(identity.certificatePem);
}

std::string CHalvoApp::GetKnownHost(const std::string& hostPort) const
{
    return ReadSetting("KnownHosts/" + hostPort).toString().toStdString();
}

void CHalvoApp::SetKnownHost(const std::string& hostPort, const std::string& fingerprint)
{
    WriteSetting("KnownHosts/" + hostPort, QString::fromStdString(fingerprint));
}

void CHalvoApp::RemoveSetting(const std::string& key)
{
    AppPaths::MakePrivateFile(m_strSettingsFile);
    QSettings settings(QString::fromStdString(m_strSettingsFile), QSettings::NativeFormat);
    settings.remove(QString::fromStdString(key));
    settings.sync();
}

// --- sounds ---

void CHalvoApp::PlaySound(const char* relativePath)
{
    if (GetSoundState() == 0) {
        return;
    }
    std::shared_ptr<CNotificationSoundPlayer> player;
    {
        std::lock_guard lock(m_playerMutex);
        if (!m_player) {
            m_player = std::make_shared<CCanberraSoundPlayer>();
        }
        player = m_player;
    }
    player->Play(m_strAssetsFolder + relativePath);
}

void CHalvoApp::PlayConnectSound()
{
    PlaySound("Sound/pingpong.wav");
}

void CHalvoApp::PlayChatSound()
{
    PlaySound("Sound/typewriter.wav");
}

void CHalvoApp::PlaySharesSound()
{
    PlaySound("Sound/jet.wav");
}

void CHalvoApp::PlayWindowShareSound()
{
    PlaySound("Sound/windowshair.wav");
}

// --- address discovery ---

void CHalvoApp::GetIPAddress(std::string& hostName, std::string& ipAddress) const
{
    NetworkAddress::DiscoverIPAddress(NetworkAddress::QueryHostName, NetworkAddress::LookupIPv4,
                                      NetworkAddress::QueryAdapterTable, hostName, ipAddress);
}

void CHalvoApp::GetDefaultGatewayIP(const std::string& ipAddress, std::string& gateway) const
{
    NetworkAddress::DiscoverGateway(NetworkAddress::QueryAdapterTable, ipAddress, gateway);
}

void CHalvoApp::DiscoverAddresses()
{
    GetIPAddress(m_strHostName, m_strIPAddress);
    GetDefaultGatewayIP(m_strIPAddress, m_strGatewayAddress);
}

std::string CHalvoApp::GetMailCommand() const
{
    return MailCommand::QueryMailCommand();
}
