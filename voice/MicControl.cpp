#include "voice/MicControl.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include "app/HalvoApp.h"
#include "ui/DialogRegistry.h"
#include "app/Log.h"
#include "voice/DlgMicTest.h"
#include "voice/MixerControl.h"
#include "voice/SoundCapture.h"

const CMicControl::Quality CMicControl::kQualities[4] = {
    {1000, QT_TR_NOOP("低速回線"), 8},
    {1001, QT_TR_NOOP("一般ブロード回線"), 7},
    {1002, QT_TR_NOOP("社内ＬＡＮまたは光回線"), 4},
    {1003, QT_TR_NOOP("ＣＤ並みの音声品質"), 0},
};

CMicControl::CMicControl(CVoiceClientConfig& config, const std::string& captureName,
                         morvika::sound::ISourceMixer* mixer, CSoundCapture* capture, CHalvoApp& app,
                         std::size_t userCount, const QString& assetsFolder, QWidget* parent)
    : QDialog(parent),
      m_config(config),
      m_pCapture(capture),
      m_app(app),
      m_pMixer(std::make_unique<CMixerControl>(mixer))
{
    setObjectName(QStringLiteral("CMicControl"));
    setWindowTitle(tr("マイクの設定"));
    try {
        m_pMixer->Open(captureName.c_str());
        m_pMixer->MuteMicPlayback();
        m_config.m_lRecordVolume = static_cast<std::int32_t>(m_pMixer->GetRecordingMicVolume());
        m_bMixer = true;
    } catch (const OskelClassLib::OskelExcept&) {
        MORVIKA_LOG("ERROR CMicControl::OnInitDialog() 例外発生 \n");
    }

    auto* qualityBox = new QGroupBox(tr("音声品質"), this);
    auto* qualityLayout = new QVBoxLayout(qualityBox);
    auto* group = new QButtonGroup(this);
    for (int i = 0; i < 4; ++i) {
        m_pQuality[i] = new QRadioButton(tr(kQualities[i].label), qualityBox);
        m_pQuality[i]->setObjectName(QStringLiteral("radio%1").arg(kQualities[i].control));
        group->addButton(m_pQuality[i], i);
        qualityLayout->addWidget(m_pQuality[i]);
    }
    // The stored choice; the broadband line when the record holds none of the four.
    int checked = 1;
    for (int i = 0; i < 4; ++i) {
        if (kQualities[i].threshold == m_config.m_dwThreshold) checked = i;
    }
    m_pQuality[checked]->setChecked(true);
    connect(group, &QButtonGroup::idClicked, this, &CMicControl::Changed);

    const std::uint32_t flags = m_config.RawFlags();
    m_pSlider = new QSlider(Qt::Vertical, this);
    m_pSlider->setObjectName(QStringLiteral("slider1004"));
    m_pSlider->setRange(0, 1000);
    m_pSlider->setTickInterval(100);
    m_pSlider->setTickPosition(QSlider::TicksBothSides);
    m_pSlider->setInvertedAppearance(true);  // position 0, the loudest level, at the top
    m_pSlider->setInvertedControls(true);
    m_pAutoGain = new QCheckBox(tr("自動ゲイン"), this);
    m_pAutoGain->setObjectName(QStringLiteral("check1006"));
    m_pAutoGain->setChecked((flags & CVoiceClientConfig::kFlagAutoGain) != 0);
    m_pSlider->setValue(m_pAutoGain->isChecked() ? 0 : -m_config.m_lRecordVolume);
    m_pSliderLabels[0] = new QLabel(tr("マイクの音量"), this);
    m_pSliderLabels[1] = new QLabel(tr("大"), this);
    m_pSliderLabels[2] = new QLabel(tr("小"), this);
    m_pMute = new QCheckBox(tr("ミュート"), this);
    m_pMute->setObjectName(QStringLiteral("check1005"));
    m_pMute->setChecked((flags & CVoiceClientConfig::kFlagMute) != 0);
    m_pEchoCancel = new QCheckBox(tr("エコーキャンセル"), this);
    m_pEchoCancel->setObjectName(QStringLiteral("check1070"));
    m_pEchoCancel->setChecked(m_app.GetEchoCancel() != 0);
    m_pNoiseSuppress = new QCheckBox(tr("ノイズ抑制"), this);
    m_pNoiseSuppress->setObjectName(QStringLiteral("check1071"));
    m_pNoiseSuppress->setChecked(m_app.GetNoiseSuppress() != 0);
    m_pRateLabel = new QLabel(tr("サンプリング周波数"), this);
    m_pRate = new QComboBox(this);
    m_pRate->setObjectName(QStringLiteral("combo1013"));
    m_pRate->addItems({QStringLiteral("11.025 KHz"), QStringLiteral("22.05 KHz"), QStringLiteral("44.1 KHz")});
    m_pRate->setCurrentIndex(static_cast<int>(m_config.m_dwBufferQuality) < m_pRate->count()
                                 ? static_cast<int>(m_config.m_dwBufferQuality)
                                 : -1);
    // The rate is the session's: it cannot change under the feet of connected peers.
    m_pRate->setEnabled(userCount <= 1);
    m_pRateLabel->setEnabled(userCount <= 1);
    EnableSliderGroup();

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture1066"));
    picture->setPixmap(QPixmap(assetsFolder + QStringLiteral("Pictures/Standard/Propertys/MicPropertyImage.bmp")));

    auto* test = new QPushButton(tr("マイクのテスト"), this);
    test->setObjectName(QStringLiteral("button4"));
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    m_pApply = buttons->button(QDialogButtonBox::Apply);
    m_pApply->setText(tr("適用"));
    m_pApply->setEnabled(false);
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("キャンセル"));

    connect(m_pSlider, &QSlider::valueChanged, this, &CMicControl::OnSliderMoved);
    connect(m_pAutoGain, &QCheckBox::clicked, this, &CMicControl::OnAutoGainClicked);
    connect(m_pMute, &QCheckBox::clicked, this, &CMicControl::Changed);
    connect(m_pEchoCancel, &QCheckBox::clicked, this, &CMicControl::Changed);
    connect(m_pNoiseSuppress, &QCheckBox::clicked, this, &CMicControl::Changed);
    connect(m_pRate, &QComboBox::currentIndexChanged, this, &CMicControl::Changed);
    connect(test, &QPushButton::clicked, this, &CMicControl::OnMicTest);
    connect(m_pApply, &QPushButton::clicked, this, &CMicControl::OnApply);
    connect(buttons, &QDialogButtonBox::accepted, this, &CMicControl::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // The dialog's own control ids, for the control channel.
    for (int i = 0; i < 4; ++i) DialogRegistry::SetControlId(m_pQuality[i], kQualities[i].control);
    DialogRegistry::SetControlId(m_pSlider, 1004);
    DialogRegistry::SetControlId(m_pMute, 1005);
    DialogRegistry::SetControlId(m_pAutoGain, 1006);
    DialogRegistry::SetControlId(m_pRate, 1013);
    DialogRegistry::SetControlId(m_pEchoCancel, 1070);
    DialogRegistry::SetControlId(m_pNoiseSuppress, 1071);
    DialogRegistry::SetControlId(test, 4);
    DialogRegistry::SetControlId(buttons->button(QDialogButtonBox::Ok), 1);
    DialogRegistry::SetControlId(buttons->button(QDialogButtonBox::Cancel), 2);
    DialogRegistry::SetControlId(m_pApply, 12321);

    auto* level = new QGridLayout;
    level->addWidget(m_pSliderLabels[0], 0, 0, 1, 2);
    level->addWidget(m_pSlider, 1, 0, 2, 1);
    level->addWidget(m_pSliderLabels[1], 1, 1, Qt::AlignTop);
    level->addWidget(m_pSliderLabels[2], 2, 1, Qt::AlignBottom);
    auto* side = new QVBoxLayout;
    side->addWidget(picture);
    side->addWidget(qualityBox);
    side->addWidget(m_pAutoGain);
    side->addWidget(m_pMute);
    side->addWidget(m_pEchoCancel);
    side->addWidget(m_pNoiseSuppress);
    side->addWidget(m_pRateLabel);
    side->addWidget(m_pRate);
    side->addWidget(test);
    side->addStretch();
    auto* row = new QHBoxLayout;
    row->addLayout(level);
    row->addLayout(side, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row, 1);
    layout->addWidget(buttons);
}

CMicControl::~CMicControl() = default;

void CMicControl::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    DialogRegistry::Opened(this);
}

void CMicControl::EnableSliderGroup()
{
    const bool manual = !m_pAutoGain->isChecked();
    m_pSlider->setEnabled(manual);
    for (QLabel* label : m_pSliderLabels) label->setEnabled(manual);
}

void CMicControl::Changed()
{
    m_pApply->setEnabled(true);
}

void CMicControl::OnSliderMoved(int position)
{
    m_config.m_lRecordVolume = -position;
    if (m_bMixer) {
        try {
            m_pMixer->SetRecordingMicVolume(m_config.m_lRecordVolume);
        } catch (const OskelClassLib::OskelExcept&) {
            // Logged by the mixer; the dialog goes on without mixer control.
        }
    }
    Changed();
}

void CMicControl::OnAutoGainClicked()
{
    EnableSliderGroup();
    Changed();
}

void CMicControl::OnApply()
{
    const bool autoGain = m_pAutoGain->isChecked();
    m_config.m_dwFlags = (m_pMute->isChecked() ? 5u : 4u) + (autoGain ? CVoiceClientConfig::kFlagAutoGain : 0u);
    m_config.m_lRecordVolume = autoGain ? 1 : -m_pSlider->value();
    if (m_bMixer) {
        try {
            m_pMixer->SetRecordingMicVolume(m_config.m_lRecordVolume);
        } catch (const OskelClassLib::OskelExcept&) {
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (m_pQuality[i]->isChecked()) m_config.m_dwThreshold = kQualities[i].threshold;
    }
    m_config.m_dwBufferQuality = static_cast<std::uint32_t>(std::max(0, m_pRate->currentIndex()));
    if (m_pCapture != nullptr) m_pCapture->CopySettings(m_config);
    // Stored at once and taken up by the capture from its next block on.
    m_app.SetEchoCancel(m_pEchoCancel->isChecked() ? 1 : 0);
    m_app.SetNoiseSuppress(m_pNoiseSuppress->isChecked() ? 1 : 0);
    if (m_pCapture != nullptr) {
        m_pCapture->SetEchoCancel(m_pEchoCancel->isChecked());
        m_pCapture->SetNoiseSuppress(m_pNoiseSuppress->isChecked());
    }
    m_pApply->setEnabled(false);
}

void CMicControl::OnOK()
{
    OnApply();
    accept();
}

void CMicControl::OnMicTest()
{
    CDlgMicTest test(m_app, m_pCapture, this);
    test.exec();
}
