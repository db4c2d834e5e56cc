#pragma once
// Still images from the own user window: a chosen JPEG file, or a pasted picture. Either
// replaces "rgbtest.jpeg" in the working folder and goes to the main window as
// WM_STILL_IMAGE, which keeps it and sends it to every peer.

#include <QString>

#include <string>

#include "platform/winmsg/WinMsg.h"
#include "video/OskelJpegControlData.h"

class CCameraView;
class QImage;
class QMimeData;
class QWidget;

class CStillImage {
public:
    static constexpr std::int32_t kNoCameraQuality = 99;
    static constexpr const char* kStillFileName = "rgbtest.jpeg";
    static constexpr const char* kSampleFolderName = "サンプル画像";

    // camera may be null; workingFolder ends with a slash.
    CStillImage(HWND mainWindow, std::string workingFolder, CCameraView* camera);

    std::string StillFile() const { return m_strFolder + kStillFileName; }
    std::string SampleFolder() const { return m_strFolder + kSampleFolderName; }
    // Puts the shipped sample pictures into the sample folder when it does not exist yet.
    void InstallSamples(const std::string& assetsFolder) const;

    // Live video off and the settings to compress with (quality 99 without a camera).
    OskelJpegControlData PrepareCamera();
    // 静止画の選択: the file chooser in the sample folder, then UseFile.
    void Select(QWidget* parent);
    // The chosen file: copied over the still image file and sent as it is.
    bool UseFile(const QString& path);
    // 貼り付け: the first file of a file list, else a bitmap; compressed and sent.
    bool Paste(const QMimeData* clipboard);
    bool CanPaste(const QMimeData* clipboard) const;
    // カメラ画像に戻す: offered while a camera exists with live video off.
    bool CanBackToCamera() const;
    void BackToCamera();

private:
    bool HasCamera() const;

    HWND m_hMain;
    std::string m_strFolder;
    CCameraView* m_pCamera;
};
