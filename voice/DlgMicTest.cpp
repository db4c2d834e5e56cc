#include "voice/DlgMicTest.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "app/HalvoApp.h"
#include "app/Log.h"
#include "voice/SoundCapture.h"

CDlgMicTest::CDlgMicTest(CHalvoApp& app, CSoundCapture* capture, QWidget* parent)
    : CDlgMorvika(parent),
      m_app(app),
      m_pCapture(capture)
{
    setObjectName(QStringLiteral("CDlgMicTest"));
    setWindowTitle(tr("マイクのテスト"));
    m_nNonVoice = m_app.GetNonVoice();

    m_pMessage = new QLabel(tr("マイクに向かって話すと音量が表示されます。\n"
                               "無音の設定では１５秒間何もしゃべらずにお待ちください。"),
                            this);
    m_pMessage->setObjectName(QStringLiteral("static1056"));
    m_pMeter = new QProgressBar(this);
    m_pMeter->setObjectName(QStringLiteral("meter"));
    m_pMeter->setRange(0, 32767);
    m_pMeter->setTextVisible(false);
    m_pSlider = new QSlider(Qt::Horizontal, this);
    m_pSlider->setObjectName(QStringLiteral("slider1004"));
    m_pSlider->setRange(-3276, 3276);
    m_pSlider->setTickInterval(3276);
    m_pSlider->setTickPosition(QSlider::TicksBelow);
    m_pSlider->setEnabled(false);  // shows the offset; not for the user to move
    m_pSlider->setValue(-m_nNonVoice);

    m_pSilence = new QPushButton(tr("無音の設定"), this);
    m_pSilence->setObjectName(QStringLiteral("button1019"));
    auto* autoGain = new QPushButton(tr("オートゲイン"), this);
    autoGain->setObjectName(QStringLiteral("button1021"));
    auto* close = new QPushButton(tr("終了"), this);
    close->setObjectName(QStringLiteral("button1045"));
    connect(m_pSilence, &QPushButton::clicked, this, &CDlgMicTest::OnSilenceButton);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    m_pTimer = new QTimer(this);
    m_pTimer->setSingleShot(true);
    connect(m_pTimer, &QTimer::timeout, this, &CDlgMicTest::OnTimer);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pSilence);
    buttons->addWidget(autoGain);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pMessage);
    layout->addWidget(new QLabel(tr("入力レベル"), this));
    layout->addWidget(m_pMeter);
    layout->addWidget(new QLabel(tr("無音レベル"), this));
    layout->addWidget(m_pSlider);
    layout->addLayout(buttons);

    if (m_pCapture != nullptr) m_pCapture->SetLevelWindow(static_cast<WindowHandle>(Handle()));
}

CDlgMicTest::~CDlgMicTest()
{
    DetachMessages();
    if (m_pCapture != nullptr) m_pCapture->SetLevelWindow(0);
}

QString CDlgMicTest::MeasuringText()
{
    return tr("１５秒間ほど何もしゃべらずに\nしばらくお待ちください。");
}

QString CDlgMicTest::DoneText()
{
    return tr("無音の設定が完了しました。");
}

QString CDlgMicTest::NoSoundText()
{
    return tr("マイクから音が届きませんでした。\nマイクの接続と設定を確かめてください。");
}

void CDlgMicTest::OnSilenceButton()
{
    m_pMessage->setText(MeasuringText());
    m_lSum = 0;
    m_lCount = 0;
    m_bMeasuring = true;
    m_pTimer->start(kMeasureMs);
    m_pSilence->setEnabled(false);
}

void CDlgMicTest::OnTimer()
{
    m_pTimer->stop();
    if (!m_bMeasuring) return;
    m_bMeasuring = false;
    m_pSilence->setEnabled(true);
    const auto count = static_cast<std::int16_t>(m_lCount);
    if (count <= 0) {
        // Nothing was heard: an offset of nothing would be made up, so the stored one stays.
        m_pMessage->setText(NoSoundText());
        MORVIKA_LOG("ERROR CDlgMicTest::OnTimer() マイクから音が届かない \n");
        if (onFinished) onFinished(false, m_nNonVoice);
        return;
    }
    m_nNonVoice = static_cast<int>(m_lSum / count);
    m_pMessage->setText(DoneText());
    m_pSlider->setValue(-m_nNonVoice);
    m_app.SetNonVoice(m_nNonVoice);
    if (m_pCapture != nullptr) m_pCapture->SetDcOffset(static_cast<std::int16_t>(m_nNonVoice));
    if (onFinished) onFinished(true, m_nNonVoice);
}

LRESULT CDlgMicTest::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_VOICE_LEVEL) return 0;
    const auto mean = static_cast<std::int16_t>(lParam);
    m_pMeter->setValue(static_cast<int>(std::min<WPARAM>(wParam, 32767)));
    if (m_bMeasuring) {
        m_pSlider->setValue(-mean);
        ++m_lCount;
        m_lSum += mean;
    }
    return 0;
}
