#pragma once
// Still images from the own user window: a chosen JPEG file, or a pasted picture. Either
// replaces "rgbtest.jpeg" in the working folder and goes to the main window as
// WM_STILL_IMAGE, which keeps it and sends it to every peer.

#include <QString>

#include <string>
#include <vector>

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
    // What a still picture may be and still be kept as it is: a peer's message carries it, and
    // a peer's window (a full screen at most) has a use for every pixel. Larger ones are
    // scaled to fit and compressed with the camera's settings.
    static constexpr qsizetype kMaxStillBytes = 3 * 1024 * 1024;
    static constexpr int kMaxStillWidth = 1600;
    static constexpr int kMaxStillHeight = 1200;

    // camera may be null; workingFolder ends with a slash.
    CStillImage(HWND mainWindow, std::string workingFolder, CCameraView* camera);

    std::string StillFile() const { return m_strFolder + kStillFileName; }
    std::string SampleFolder() const { return m_strFolder + kSampleFolderName; }
    // Puts the shipped sample pictures into the sample folder when it does not exist yet.
    void InstallSamples(const std::string& assetsFolder) const;

    // Live video off and the settings to compress with (quality 99 without a camera).
    OskelJpegControlData PrepareCamera();
    // The settings to compress with, live video left as it is.
    OskelJpegControlData CompressionSettings() const;
    // 静止画の選択: the file chooser in the sample folder, then UseFile; a file that cannot be
    // used is named in a message box.
    void Select(QWidget* parent);
    // The chosen file, read whole before anything is written: kept as the still image file and
    // sent as it is when it fits (see kMaxStillBytes), else scaled and compressed first. A file
    // that is no picture, or a broken one, is refused: the previous still and the camera stay
    // as they were. Live video goes off only once the picture is in hand.
    bool UseFile(const QString& path);
    // 貼り付け: the first file of a file list, else a bitmap; compressed and sent.
    bool Paste(const QMimeData* clipboard);
    bool CanPaste(const QMimeData* clipboard) const;
    // カメラ画像に戻す: offered while a camera exists with live video off.
    bool CanBackToCamera() const;
    void BackToCamera();

private:
    bool HasCamera() const;
    // The picture to keep and send, or empty when the bytes are none or broken.
    std::vector<unsigned char> StillFrom(const QByteArray& bytes) const;
    std::vector<unsigned char> Compress(QImage picture, const OskelJpegControlData& settings) const;
    // Replaces the still image file whole, then hands the picture to the main window.
    void Keep(const std::vector<unsigned char>& jpeg);

    HWND m_hMain;
    std::string m_strFolder;
    CCameraView* m_pCamera;
};
