#include "voice/PageClientMicVolume.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

#include "voice/SoundPlay.h"
#include "voice/VolumeControl.h"

CPageClientMicVolume::CPageClientMicVolume(CVolumeControl* knob, CSoundPlay* play, QWidget* parent)
    : QWidget(parent),
      m_pKnob(knob),
      m_pPlay(play)
{
    setObjectName(QStringLiteral("CPageClientMicVolume"));
    m_pSlider = new QSlider(Qt::Vertical, this);
    m_pSlider->setObjectName(QStringLiteral("slider1004"));
    m_pSlider->setRange(0, 200);
    m_pSlider->setTickInterval(20);
    m_pSlider->setTickPosition(QSlider::TicksBothSides);
    // Position 0 at the top: the top is loud.
    m_pSlider->setInvertedAppearance(true);
    m_pSlider->setInvertedControls(true);
    m_pMute = new QCheckBox(tr("ミュート"), this);
    m_pMute->setObjectName(QStringLiteral("check1005"));

    long volume = 100;
    const bool bound = m_pKnob != nullptr && m_pPlay != nullptr;
    if (bound) m_pPlay->GetVolume(&volume);
    m_pSlider->setValue(200 - static_cast<int>(volume));
    m_pMute->setChecked(bound && m_pPlay->IsMuted() != 0);
    m_pMute->setEnabled(bound);
    m_pSlider->setEnabled(bound && !m_pMute->isChecked());

    connect(m_pSlider, &QSlider::valueChanged, this, &CPageClientMicVolume::OnSliderMoved);
    connect(m_pMute, &QCheckBox::clicked, this, &CPageClientMicVolume::OnMuteClicked);

    auto* labels = new QVBoxLayout;
    labels->addWidget(new QLabel(tr("大"), this));
    labels->addStretch();
    labels->addWidget(new QLabel(tr("小"), this));
    auto* row = new QHBoxLayout;
    row->addWidget(m_pSlider);
    row->addLayout(labels);
    row->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("スピーカーの音量"), this));
    layout->addLayout(row, 1);
    layout->addWidget(m_pMute);
}

void CPageClientMicVolume::OnSliderMoved(int position)
{
    if (m_pKnob == nullptr || m_pPlay == nullptr || m_pPlay->IsMuted()) return;
    m_pKnob->MoveKnobTo(200 - position);
}

void CPageClientMicVolume::OnMuteClicked(bool checked)
{
    if (m_pKnob == nullptr || m_pPlay == nullptr) return;
    m_pKnob->SetMute(checked);
    m_pPlay->SetMute(checked ? 1 : 0);
    m_pSlider->setEnabled(!checked);
}
