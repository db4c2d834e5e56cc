#pragma once
// The microphone test: shows the microphone's live level and measures its silence (DC
// offset) over 15 seconds, stores it as "NonVoice" and hands it to the capture object.
// A skinned dialog: its own caption bar and close button.

#include <cstdint>
#include <functional>

#include "platform/winmsg/WinMsg.h"
#include "ui/DlgMorvika.h"

class CHalvoApp;
class CSoundCapture;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;

class CDlgMicTest : public CDlgMorvika, public CMsgTarget {
    Q_OBJECT
public:
    static constexpr int kMeasureMs = 15000;

    // capture may be null (no sound): no level ever arrives.
    CDlgMicTest(CHalvoApp& app, CSoundCapture* capture, QWidget* parent = nullptr);
    ~CDlgMicTest() override;

    // Button 1019: starts the 15-second measurement.
    void OnSilenceButton();
    // The end of the measurement (the timer).
    void OnTimer();
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    bool IsMeasuring() const { return m_bMeasuring; }
    int NonVoice() const { return m_nNonVoice; }
    QSlider* Slider() const { return m_pSlider; }
    QProgressBar* Meter() const { return m_pMeter; }
    QLabel* Message() const { return m_pMessage; }
    QPushButton* SilenceButton() const { return m_pSilence; }

    // Called when a measurement ends: whether a value was stored, and the value.
    std::function<void(bool stored, int nonVoice)> onFinished;

    static QString MeasuringText();
    static QString DoneText();
    static QString NoSoundText();

private:
    CHalvoApp& m_app;
    CSoundCapture* m_pCapture;
    QSlider* m_pSlider;
    QProgressBar* m_pMeter;
    QLabel* m_pMessage;
    QPushButton* m_pSilence;
    QTimer* m_pTimer;
    bool m_bMeasuring = false;
    long m_lSum = 0;
    long m_lCount = 0;
    int m_nNonVoice = 0;
};
