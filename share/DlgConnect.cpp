#include "share/DlgConnect.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/DialogRegistry.h"

CDlgConnect::CDlgConnect(const QString& userName, const QString& comment, std::function<void()> playSound,
                         QWidget* parent, int timeoutMs)
    : CDlgMorvika(parent),
      m_playSound(std::move(playSound))
{
    setWindowTitle(tr("接続の承諾"));
    setObjectName(QStringLiteral("CDlgConnect"));

    m_pLine1 = new QLabel(tr("%1 さんがログインしました").arg(userName), this);
    m_pLine1->setObjectName(QStringLiteral("line1"));
    m_pLine2 = new QLabel(comment, this);
    m_pLine2->setObjectName(QStringLiteral("line2"));
    m_pLine2->setWordWrap(true);
    m_pLine2->setTextFormat(Qt::PlainText);
    m_pLine1->setTextFormat(Qt::PlainText);
    DialogRegistry::SetControlId(m_pLine1, 1075);
    DialogRegistry::SetControlId(m_pLine2, 1074);

    auto* acceptHint = new QLabel(tr("接続を承諾するときは　「承諾する」　を押してください"), this);
    auto* refuseHint = new QLabel(tr("拒否したいときは、理由を選んで　「断る」　を押してください"), this);

    m_pReasons = new QComboBox(this);
    m_pReasons->setObjectName(QStringLiteral("reasons"));
    m_pReasons->addItems({tr("現在会話不可能"), tr("後でこちらから連絡します"), tr("ただいま多忙")});
    m_pReasons->setCurrentIndex(0);
    DialogRegistry::SetControlId(m_pReasons, 1013);

    auto* acceptButton = new QPushButton(tr("承諾する"), this);
    acceptButton->setObjectName(QStringLiteral("accept"));
    acceptButton->setDefault(true);
    auto* refuseButton = new QPushButton(tr("断る"), this);
    refuseButton->setObjectName(QStringLiteral("refuse"));
    DialogRegistry::SetControlId(acceptButton, 1);
    DialogRegistry::SetControlId(refuseButton, 2);
    connect(acceptButton, &QPushButton::clicked, this, &CDlgConnect::accept);
    connect(refuseButton, &QPushButton::clicked, this, &CDlgConnect::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(acceptButton);
    buttons->addWidget(refuseButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pLine1);
    layout->addWidget(m_pLine2);
    layout->addSpacing(8);
    layout->addWidget(acceptHint);
    layout->addWidget(refuseHint);
    layout->addWidget(m_pReasons);
    layout->addLayout(buttons);

    m_pTimer = new QTimer(this);
    m_pTimer->setSingleShot(true);
    m_pTimer->setInterval(timeoutMs);
    connect(m_pTimer, &QTimer::timeout, this, &CDlgConnect::OnTimer);
}

void CDlgConnect::showEvent(QShowEvent* event)
{
    CDlgMorvika::showEvent(event);
    if (!m_bSoundPlayed) {
        m_bSoundPlayed = true;
        if (m_playSound) m_playSound();
        m_pTimer->start();
    }
}

void CDlgConnect::accept()
{
    m_pTimer->stop();
    m_nResult = kAccepted;
    QDialog::accept();
}

// Refusal: the button, Escape and the close box all come here.
void CDlgConnect::reject()
{
    m_pTimer->stop();
    const int index = m_pReasons->currentIndex();
    m_nResult = kRefusedBase + (index < 0 ? 0 : index);
    QDialog::reject();
}

void CDlgConnect::OnTimer()
{
    m_nResult = kNoAnswer;
    QDialog::reject();
}
