#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <QTemporaryDir>

#include "app/HalvoApp.h"
#include "share/MainPropertySeet.h"
#include "ui/DialogRegistry.h"

namespace {

struct Profile {
    QTemporaryDir dir;
    CHalvoApp app{dir.filePath(QStringLiteral("Morvika.conf")).toStdString()};
    PropertyHost Host()
    {
        PropertyHost host;
        host.app = &app;
        return host;
    }
};

template <typename W>
W* Control(QWidget& page, int id)
{
    return qobject_cast<W*>(DialogRegistry::FindControl(&page, id));
}

TEST(SettingsPageStartTest, ApprovalValueOutsideOneAndTwoIsShownAndStoredAsOne)
{
    Profile profile;
    profile.app.SetConnectCheck(5);
    const PropertyHost host = profile.Host();
    CMainPropertyPageStart page(host, QString());
    EXPECT_TRUE(Control<QCheckBox>(page, 1005)->isChecked());
    EXPECT_TRUE(Control<QRadioButton>(page, 1001)->isChecked());
    EXPECT_FALSE(Control<QRadioButton>(page, 1002)->isChecked());
    page.OnApply();
    EXPECT_EQ(profile.app.GetConnectCheck(), 1);
}

TEST(SettingsPageStartTest, UncheckingTheApprovalBoxStoresZeroWhateverRadioWasChosen)
{
    Profile profile;
    profile.app.SetConnectCheck(2);
    const PropertyHost host = profile.Host();
    CMainPropertyPageStart page(host, QString());
    EXPECT_TRUE(Control<QRadioButton>(page, 1002)->isChecked());
    Control<QCheckBox>(page, 1005)->click();
    EXPECT_FALSE(Control<QRadioButton>(page, 1001)->isEnabled());
    EXPECT_FALSE(Control<QRadioButton>(page, 1002)->isEnabled());
    page.OnApply();
    EXPECT_EQ(profile.app.GetConnectCheck(), 0);

    // Stored 0: the box is shown unchecked, radio 1001 chosen and both radios disabled.
    CMainPropertyPageStart again(host, QString());
    EXPECT_FALSE(Control<QCheckBox>(again, 1005)->isChecked());
    EXPECT_TRUE(Control<QRadioButton>(again, 1001)->isChecked());
    EXPECT_FALSE(Control<QRadioButton>(again, 1001)->isEnabled());
}

TEST(SettingsPageDeviceTest, CameraListAndSelectionFollowTheDevicesAndTheStoredNames)
{
    Profile profile;
    PropertyHost host = profile.Host();
    std::vector<std::string> switched;
    host.switchCamera = [&](const std::string& name) { switched.push_back(name); };
    host.captureDevices = [] { return std::vector<std::string>{"Mic A", "Mic B", "", "After empty"}; };
    {
        // No camera: one item, nothing selected, an empty name stored.
        profile.app.SetCaptureDevice("gone");
        CMainPropertyPageDevice page(host, QString());
        auto* camera = Control<QComboBox>(page, 1013);
        ASSERT_EQ(camera->count(), 1);
        EXPECT_EQ(camera->itemText(0), QStringLiteral("カメラなし"));
        EXPECT_EQ(camera->currentIndex(), -1);
        auto* mic = Control<QComboBox>(page, 1014);
        EXPECT_EQ(mic->count(), 2);                              // up to the first empty name
        EXPECT_EQ(mic->currentText(), QStringLiteral("Mic A"));  // a stored device that is gone
        page.OnApply();
        EXPECT_EQ(profile.app.GetCameraName(), "");
        EXPECT_EQ(profile.app.GetCaptureDevice(), "Mic A");
        EXPECT_TRUE(switched.empty());
    }
    host.cameras = [] { return std::vector<CameraEntry>{{0, "Cam 1"}, {1, "Cam 2"}}; };
    profile.app.SetCameraName("Cam 2");
    CMainPropertyPageDevice page(host, QString());
    auto* camera = Control<QComboBox>(page, 1013);
    EXPECT_EQ(camera->currentIndex(), 1);
    page.OnApply();  // the same camera: no restart
    EXPECT_TRUE(switched.empty());
    camera->setCurrentIndex(0);
    page.OnApply();
    EXPECT_EQ(switched, std::vector<std::string>{"Cam 1"});
    EXPECT_EQ(profile.app.GetCameraName(), "Cam 1");
}

}  // namespace
