#pragma once
// The settings: at the first start a three-page wizard (name and password, devices, the
// version page), later the two-page settings sheet of the main menu. Everything it edits goes
// through the settings store.

#include <QDialog>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class CHalvoApp;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTabWidget;

struct CameraEntry {
    std::int32_t index = 0;
    std::string name;  // at most 63 characters
};

// What the pages need from the rest of the program.
struct PropertyHost {
    CHalvoApp* app = nullptr;
    std::function<std::vector<CameraEntry>()> cameras;
    std::function<std::vector<std::string>()> captureDevices;
    std::function<std::vector<std::string>()> playbackDevices;
    // The camera pipeline, handed over by the settings run only: restart it on this device.
    std::function<void(const std::string&)> switchCamera;
    // The user name was stored anew.
    std::function<void(const std::string&)> userNameChanged;
    // Applies the topmost state to the main window, when it exists.
    std::function<void(bool)> applyTopmost;
    // Turns the router's port mapping on or off at once; the address others can join.
    std::function<void(bool)> portMappingChanged;
    std::function<std::string()> joinAddress;
};

// Page 1: user name, password, how connection requests are announced, sounds, topmost.
class CMainPropertyPageStart : public QWidget {
    Q_OBJECT
public:
    CMainPropertyPageStart(const PropertyHost& host, const QString& sidePicture, QWidget* parent = nullptr);
    void OnInitDialog();
    void OnApply();

signals:
    void modified();

private:
    void UpdateRadios();

    const PropertyHost& m_host;
    QLineEdit* m_pUserName;
    QLineEdit* m_pPassword;
    QCheckBox* m_pConnectCheck;
    QRadioButton* m_pAlways;
    QRadioButton* m_pIconOnly;
    QCheckBox* m_pSound;
    QCheckBox* m_pTopmost;
    QCheckBox* m_pPortMapping;
    QLabel* m_pJoinAddress;
    QComboBox* m_pLanguage;
};

// Page 2: camera, microphone and speaker.
class CMainPropertyPageDevice : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxSoundDevices = 20;

    CMainPropertyPageDevice(const PropertyHost& host, const QString& sidePicture, QWidget* parent = nullptr);
    void OnInitDialog();
    void OnApply();
    const std::vector<CameraEntry>& Cameras() const { return m_cameras; }

signals:
    void modified();

private:
    const PropertyHost& m_host;
    std::vector<CameraEntry> m_cameras;
    QComboBox* m_pCamera;
    QComboBox* m_pCapture;
    QComboBox* m_pSpeaker;
};

// Page 3 of the wizard: the picture and the version.
class CMainPropertyPageFinish : public QWidget {
    Q_OBJECT
public:
    CMainPropertyPageFinish(const QString& sidePicture, QWidget* parent = nullptr);
};

class CMainPropertySeet : public QDialog {
    Q_OBJECT
public:
    // Button ids as the control channel knows them.
    static constexpr int kIdOk = 1;
    static constexpr int kIdCancel = 2;
    static constexpr int kIdApply = 0x3021;
    static constexpr int kIdBack = 0x3023;
    static constexpr int kIdNext = 0x3024;
    static constexpr int kIdFinish = 0x3025;

    // wizard: the three-page first-start wizard; else the two-page settings sheet.
    CMainPropertySeet(PropertyHost host, bool wizard, const QString& assetsFolder, QWidget* parent = nullptr);

    bool IsWizard() const { return m_bWizard; }
    int CurrentPage() const;
    QPushButton* ApplyButton() const { return m_pApply; }

    static QString Caption();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void SetPage(int page);
    void ApplyAll();

    PropertyHost m_host;
    bool m_bWizard;
    CMainPropertyPageStart* m_pStart;
    CMainPropertyPageDevice* m_pDevice;
    CMainPropertyPageFinish* m_pFinish = nullptr;
    QStackedWidget* m_pStack = nullptr;
    QTabWidget* m_pTabs = nullptr;
    QPushButton* m_pBack = nullptr;
    QPushButton* m_pNext = nullptr;
    QPushButton* m_pFinishButton = nullptr;
    QPushButton* m_pCancel = nullptr;
    QPushButton* m_pOk = nullptr;
    QPushButton* m_pApply = nullptr;
};
