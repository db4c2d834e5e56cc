#pragma once
// The microphone settings dialog: voice quality, recording level (applied at once), automatic
// gain, mute and sampling rate. Apply and OK write the record into the capture object; the
// caller stores it.

#include <QDialog>

#include <memory>
#include <string>

#include "app/VoiceClientConfig.h"
#include "platform/sound/SourceMixer.h"

class CHalvoApp;
class CMixerControl;
class CSoundCapture;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;

class CMicControl : public QDialog {
    Q_OBJECT
public:
    struct Quality {
        int control;
        const char* label;
        std::uint32_t threshold;
    };
    static const Quality kQualities[4];

    // config is the caller's copy of the voice settings; mixer and capture may be null.
    CMicControl(CVoiceClientConfig& config, const std::string& captureName, morvika::sound::ISourceMixer* mixer,
                CSoundCapture* capture, CHalvoApp& app, std::size_t userCount, const QString& assetsFolder,
                QWidget* parent = nullptr);
    ~CMicControl() override;

    void OnSliderMoved(int position);
    void OnAutoGainClicked();
    void OnApply();
    void OnOK();
    void OnMicTest();

    QSlider* Slider() const { return m_pSlider; }
    QCheckBox* AutoGain() const { return m_pAutoGain; }
    QCheckBox* Mute() const { return m_pMute; }
    QCheckBox* EchoCancel() const { return m_pEchoCancel; }
    QCheckBox* NoiseSuppress() const { return m_pNoiseSuppress; }
    QComboBox* Rate() const { return m_pRate; }
    QPushButton* ApplyButton() const { return m_pApply; }
    QRadioButton* QualityButton(int index) const { return m_pQuality[index]; }
    const CVoiceClientConfig& Config() const { return m_config; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void EnableSliderGroup();
    void Changed();

    CVoiceClientConfig& m_config;
    CSoundCapture* m_pCapture;
    CHalvoApp& m_app;
    std::unique_ptr<CMixerControl> m_pMixer;
    bool m_bMixer = false;
    QRadioButton* m_pQuality[4] = {};
    QSlider* m_pSlider;
    QLabel* m_pSliderLabels[3] = {};
    QCheckBox* m_pAutoGain;
    QCheckBox* m_pMute;
    QCheckBox* m_pEchoCancel;
    QCheckBox* m_pNoiseSuppress;
    QComboBox* m_pRate;
    QLabel* m_pRateLabel;
    QPushButton* m_pApply;
};
