#include "video/PageClientCapter.h"

#include <QLabel>
#include <QSlider>

#include "video/PictureWnd.h"
#include "video/UserWndObject.h"

CPageClientCapter::CPageClientCapter(CUserWndObject& owner, QWidget* parent) : QWidget(parent), m_owner(owner)
{
    setObjectName(QStringLiteral("CPageClientCapter"));
    setMinimumSize(340, 200);
    m_pPreview = new CPictureWnd(QRect(QPoint(10, 10), QPoint(169, 129)), this, 0);
    m_pPreview->SetFitMode(true);

    m_pSlider = new QSlider(Qt::Horizontal, this);
    m_pSlider->setObjectName(QStringLiteral("slider1004"));
    m_pSlider->setGeometry(10, 150, 160, 24);
    m_pSlider->setRange(-31, 31);
    m_pSlider->setTickPosition(QSlider::TicksBelow);
    m_pSlider->setTickInterval(31);
    m_pSlider->setPageStep(1);
    auto* label = new QLabel(tr("明るさ"), this);
    label->setGeometry(180, 150, 120, 24);

    CPictureWnd* picture = m_owner.Picture();
    if (picture != nullptr) {
        m_owner.LinkViewer(m_pPreview);
        const int brightness = picture->GetBrightness();
        m_pSlider->setValue(brightness);
        m_pPreview->SetBrightness(brightness);
    } else {
        m_pSlider->setEnabled(false);
    }
    connect(m_pSlider, &QSlider::valueChanged, this, [this](int value) { m_pPreview->SetBrightness(value); });
}

CPageClientCapter::~CPageClientCapter()
{
    m_owner.UnlinkViewer(m_pPreview);
}

void CPageClientCapter::OnOK()
{
    if (CPictureWnd* picture = m_owner.Picture()) picture->SetBrightness(m_pPreview->GetBrightness());
}
