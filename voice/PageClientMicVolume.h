#pragma once
// The speaker volume page of a peer window's property sheet: a slider from 0 to 200 with the
// loud end at the top, and a mute box. It moves the window's knob, whose report sets the
// peer's playback volume; the mute box acts on the knob and the playback at once.

#include <QPointer>
#include <QWidget>

class CSoundPlay;
class CVolumeControl;
class QCheckBox;
class QSlider;

class CPageClientMicVolume : public QWidget {
    Q_OBJECT
public:
    // knob or play may be null (a window without sound): the slider is then disabled.
    CPageClientMicVolume(CVolumeControl* knob, CSoundPlay* play, QWidget* parent = nullptr);

    QSlider* Slider() const { return m_pSlider; }
    QCheckBox* MuteBox() const { return m_pMute; }

    void OnSliderMoved(int position);
    void OnMuteClicked(bool checked);

private:
    QPointer<CVolumeControl> m_pKnob;
    CSoundPlay* m_pPlay;
    QSlider* m_pSlider;
    QCheckBox* m_pMute;
};
