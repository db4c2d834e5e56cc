#pragma once
// The camera image page: JPEG quality, DCT method and live frame rate of what peers see,
// with a preview of the still image ("rgbtest.jpeg") compressed exactly as it will be sent.

#include <QDialog>
#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/winmsg/WinMsg.h"
#include "video/OskelJpegControlData.h"

class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QWidget;

class CJpegControl : public QDialog {
    Q_OBJECT
public:
    static constexpr std::uint32_t kMaxStillFile = 1024 * 1024;  // larger files are not loaded
    static constexpr int kPreviewWidth = 320;
    static constexpr int kNoticeId = 1027;  // the line that explains why a file was not taken

    // settings: a copy of the camera's. filterControl hands settings to the frame dump
    // element (empty: no element). mainWindow receives WM_STILL_IMAGE.
    CJpegControl(const OskelJpegControlData& settings, std::function<void(const OskelJpegControlData&)> filterControl,
                 std::string stillFile, HWND mainWindow, QWidget* parent);
    ~CJpegControl() override;

    const OskelJpegControlData& Settings() const { return m_settings; }
    // Frame rate from a list index: 0, 1, 2, (4), 8, 12; anything else is 4.
    static std::int32_t RateFromIndex(int index);

    // Apply (button 3) and OK.
    void OnApply();
    void OnOK();
    // Button 1019: choose the still image file.
    void OnChooseFile();
    // The file the chooser returns; empty = cancelled. Defaults to the platform dialog.
    std::function<QString()> chooseFile;

    QRadioButton* DctRadio(int method) const { return m_pDct[method]; }
    QComboBox* RateList() const { return m_pRate; }
    QSlider* QualitySlider() const { return m_pQuality; }
    QPushButton* ApplyButton() const { return m_pApply; }
    std::uint32_t StillLength() const { return m_nStillLength; }
    const QImage& PreviewImage() const { return m_preview; }
    QLabel* Notice() const { return m_pNotice; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnInitDialog();
    void ReadControls();
    void RefreshPreview();

    OskelJpegControlData m_settings;
    std::function<void(const OskelJpegControlData&)> m_filterControl;
    std::string m_strStillFile;
    HWND m_hMain;
    std::unique_ptr<unsigned char[]> m_pStill;
    std::uint32_t m_nStillLength = 0;
    QImage m_preview;

    QRadioButton* m_pDct[3]{};
    QComboBox* m_pRate = nullptr;
    QSlider* m_pQuality = nullptr;
    QWidget* m_pPreviewFrame = nullptr;
    QPushButton* m_pChoose = nullptr;
    QPushButton* m_pApply = nullptr;
    QLabel* m_pNotice = nullptr;
};

// Copies a file byte for byte in 4096-byte pieces, creating or truncating the target.
bool CopyFileInPieces(const std::string& from, const std::string& to);
