#include "share/FtpStat.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

CFtpStat::CFtpStat(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CFtpStat"));
    setWindowTitle(tr("ファイル転送の状況"));
    auto* layout = new QVBoxLayout(this);
    for (const char* text :
         {QT_TR_NOOP("ファイルをダウンロード中です"), QT_TR_NOOP("しばらくお待ちください"),
          QT_TR_NOOP("ダウンロードを中止する場合は"), QT_TR_NOOP("「キャンセル」のボタンを押してください")}) {
        auto* line = new QLabel(tr(text), this);
        line->setAlignment(Qt::AlignCenter);
        layout->addWidget(line);
    }
    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(QStringLiteral("progress"));
    m_pProgress->setRange(0, 100);
    m_pProgress->setValue(0);
    layout->addWidget(m_pProgress);
    m_pRate = new QLabel(this);
    m_pRate->setObjectName(QStringLiteral("rate"));
    m_pRate->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_pRate);
    auto* cancel = new QPushButton(tr("キャンセル"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(cancel, &QPushButton::clicked, this, &CFtpStat::reject);
    layout->addWidget(cancel, 0, Qt::AlignCenter);
}

int CFtpStat::Wait(std::uint32_t fileSize)
{
    m_pProgress->setRange(0, 100);
    m_pProgress->setValue(0);
    m_pRate->setText(tr("0 / %1 バイト").arg(fileSize));
    m_clock.start();
    m_bWaiting = true;
    const int result = exec();
    m_bWaiting = false;
    return result == kArrived || result == kOwnerLeft ? result : kCancelled;
}

void CFtpStat::SetProgress(std::uint32_t bytes, std::uint32_t total)
{
    if (!m_bWaiting || total == 0) return;
    m_pProgress->setValue(static_cast<int>(std::uint64_t{bytes} * 100 / total));
    const double seconds = std::max<qint64>(m_clock.elapsed(), 1) / 1000.0;
    m_pRate->setText(tr("%1 / %2 バイト  %3 KB/s").arg(bytes).arg(total).arg(bytes / 1024.0 / seconds, 0, 'f', 1));
}

void CFtpStat::Arrived()
{
    if (m_bWaiting) done(kArrived);
}

void CFtpStat::OwnerLeft()
{
    if (m_bWaiting) done(kOwnerLeft);
}

void CFtpStat::reject()
{
    if (m_bWaiting) done(kCancelled);
}
