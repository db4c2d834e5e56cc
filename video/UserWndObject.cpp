#include "video/UserWndObject.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <new>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "video/FullWindow.h"
#include "video/PageClientCapter.h"
#include "video/PictureWnd.h"
#include "voice/PageClientMicVolume.h"
#include "voice/SoundPlay.h"
#include "voice/VolumeControl.h"

namespace {

QToolButton* MakeButton(QWidget* parent, const char* name, const char* text, const QString& help)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(QString::fromUtf8(text));
    button->setToolTip(help);
    button->setWhatsThis(help);
    button->setAutoRaise(true);
    button->setFixedSize(16, 16);
    return button;
}

}  // namespace

CUserWndObject::CUserWndObject(const CUserInformation& record, HWND mainWindow, QWidget* parent)
    : CWndObject(parent),
      m_dwUserId(record.GetUserId()),
      m_dwGroupId(record.GetGroupId()),
      m_bOwnSession(record.GetOwnSession() != 0),
      m_strUserName(QString::fromUtf8(record.GetUserName().c_str())),
      m_hMain(mainWindow)
{
    SetNotifyTarget(mainWindow);
    SetName(record.GetUserName().c_str());
    setToolTip(QString::fromUtf8(record.GetAddress().c_str()));

    m_pPicture = new CPictureWnd(QRect(0, 0, 160, 120), this, kPictureId);
    m_pPicture->SetFitMode(true);
    m_pPicture->SetForwardMouse(true);

    m_pDisconnect = MakeButton(this, "disconnect", "×", tr("このユーザとの接続を切ります"));
    connect(m_pDisconnect, &QToolButton::clicked, this,
            [this] { PostMessage(m_hMain, WM_KILL_USER, m_dwUserId, m_dwGroupId); });
    m_pViewButton = MakeButton(this, "viewstep", "□", tr("ウインドウの大きさを切り替えます"));
    connect(m_pViewButton, &QToolButton::clicked, this, &CUserWndObject::StepView);

    Create("CUserWndObject", QRect(0, 32, 339, 262), 0);
    auto frame = std::make_unique<CWndFramePart>();
    frame->m_strText = record.GetUserName();
    frame->m_Size = Oskel2DSize(339, 262);
    frame->m_Position = Oskel2DPoint(0, 32);
    Information().AttachPart(std::move(frame), true);
    SetViewMode(kViewMediumWindow);
    MoveTo(0, 32);
}

CUserWndObject::~CUserWndObject()
{
    // An open property sheet unlinks its preview from this window while it still exists.
    qDeleteAll(findChildren<QDialog*>(QString(), Qt::FindDirectChildrenOnly));
}

QString CUserWndObject::UserName() const
{
    return m_strUserName;
}

QColor CUserWndObject::FrameColor() const
{
    // 10615295 / 8511999 as colour references.
    return m_bOwnSession ? QColor(0xFF, 0xE1, 0x81) : QColor(0xFF, 0xF9, 0xA1);
}

void CUserWndObject::LayoutChildren()
{
    const int w = width();
    const int h = height();
    if (m_pPicture->parentWidget() == this) m_pPicture->setGeometry(1, 1, std::max(0, w - 19), std::max(0, h - 22));
    const int y = h - 2 - m_pDisconnect->height();
    const int right = w - 24;
    m_pDisconnect->move(right - m_pDisconnect->width(), y);
    m_pViewButton->move(right - m_pDisconnect->width() - 2 - m_pViewButton->width(), y);
    const bool icon = IsIconView(Information().GetViewType());
    m_pPicture->setVisible(!icon);
    m_pDisconnect->setVisible(!icon);
    m_pViewButton->setVisible(!icon);
    if (m_pVolume != nullptr) {
        m_pVolume->setGeometry(VolumeBarRect());
        m_pVolume->setVisible(!icon);
    }
}

void CUserWndObject::CreateVolumeControl(const QString& assetsFolder)
{
    if (m_pVolume != nullptr) return;
    const QString pictures = assetsFolder + QStringLiteral("Pictures/Standard/Control/");
    m_pVolume = new CVolumeControl(this);
    m_pVolume->Create(VolumeBarRect(), kVolumeId, pictures + QStringLiteral("Knob.bmp"),
                      pictures + QStringLiteral("Speaker.bmp"));
    m_pVolume->setToolTip(tr("このユーザの声の音量"));
    LayoutChildren();
}

void CUserWndObject::BindPlayback(std::weak_ptr<CSoundPlay> play)
{
    m_play = std::move(play);
    const std::shared_ptr<CSoundPlay> bound = m_play.lock();
    if (m_pVolume == nullptr || !bound) return;
    long volume = 100;
    bound->GetVolume(&volume);
    m_pVolume->SetRange(0, 200, true);
    m_pVolume->SetPos(static_cast<int>(volume));
    m_pVolume->onScroll = [this](int value) {
        if (const auto play = m_play.lock()) play->SetVolume(value);
    };
    m_pVolume->onCommand = [this](int) {
        if (const auto play = m_play.lock(); play && m_pVolume) play->SetMute(m_pVolume->IsMuted() ? 1 : 0);
    };
}

QRect CUserWndObject::VolumeBarRect() const
{
    return QRect(width() - kVolumeBarWidth, 0, kVolumeBarWidth, height());
}

void CUserWndObject::StepView()
{
    switch (Information().GetViewType()) {
    case kViewLargeWindow: SetViewMode(kViewSmallWindow); break;
    case kViewSmallWindow: SetViewMode(kViewMediumWindow); break;
    default: SetViewMode(kViewLargeWindow); break;
    }
}

void CUserWndObject::ReceivePicture(const std::uint8_t* data, std::uint32_t size, std::uintptr_t type)
{
    ++m_nPictures;
    const COPYDATASTRUCT copy{type, data != nullptr ? size : 0, data};
    CPictureWnd* target = m_pViewer ? m_pViewer.data() : m_pPicture;
    SendPayload(target->Handle(), WM_COPYDATA, 0, copy);
    target->update();
}

void CUserWndObject::LinkViewer(CPictureWnd* viewer)
{
    if (m_pViewer) return;
    m_pViewer = viewer;
}

void CUserWndObject::UnlinkViewer(CPictureWnd* viewer)
{
    if (m_pViewer == viewer) m_pViewer = nullptr;
}

void CUserWndObject::ReclaimPicture()
{
    m_pPicture->setParent(this);
    m_pPicture->show();
    LayoutChildren();
}

void CUserWndObject::OnCommand(int command)
{
    switch (command) {
    case ID_FULL_SCREEN: FullScreen(); return;
    case ID_CHOOSE_STILL:
        if (onChooseStill) onChooseStill();
        return;
    case ID_BACK_TO_CAMERA:
        if (onBackToCamera) onBackToCamera();
        return;
    default: CWndObject::OnCommand(command); return;
    }
}

void CUserWndObject::BuildContextMenu(QMenu& menu)
{
    auto add = [&](const char* text, int command, bool enabled) {
        QAction* action = menu.addAction(tr(text), this, [this, command] { OnCommand(command); });
        action->setData(command);
        action->setEnabled(enabled);
    };
    add(QT_TR_NOOP("ウインドウ 大"), ID_VIEW_LARGE_WINDOW, true);
    add(QT_TR_NOOP("ウインドウ 中"), ID_VIEW_MEDIUM_WINDOW, true);
    add(QT_TR_NOOP("ウインドウ 小"), ID_VIEW_SMALL_WINDOW, true);
    add(QT_TR_NOOP("フルスクリーン"), ID_FULL_SCREEN, false);
    add(QT_TR_NOOP("アイコン 大"), ID_VIEW_LARGE_ICON, false);
    add(QT_TR_NOOP("アイコン 小"), ID_VIEW_SMALL_ICON, false);
    menu.addSeparator();
    add(QT_TR_NOOP("コピー"), ID_EDIT_COPY, true);
    add(QT_TR_NOOP("貼り付け"), ID_EDIT_PASTE, canPasteStill && canPasteStill());
    menu.addSeparator();
    add(QT_TR_NOOP("静止画の選択"), ID_CHOOSE_STILL, static_cast<bool>(onChooseStill));  // the own window only
    add(QT_TR_NOOP("カメラ画像に戻す"), ID_BACK_TO_CAMERA, canBackToCamera && canBackToCamera());
    menu.addSeparator();
    add(QT_TR_NOOP("プロパティ"), ID_PROPERTIES, true);
}

void CUserWndObject::OnCopy()
{
    QImage image(m_pPicture->size(), QImage::Format_RGB888);
    image.fill(Qt::black);
    const QImage picture = m_pPicture->CurrentImage();
    if (!picture.isNull()) {
        QPainter painter(&image);
        painter.drawImage(0, 0, picture);
    }
    QApplication::clipboard()->setImage(image);
}

void CUserWndObject::OnPaste()
{
    if (onPasteStill) onPasteStill();
}

void CUserWndObject::FullScreen()
{
    {
        CFullWindow full(*this);
        full.exec();
    }
    SetViewMode(Information().GetViewType());
}

void CUserWndObject::ShowProperties()
{
    QDialog* sheet = new (std::nothrow) QDialog(this);
    if (sheet == nullptr) {
        MORVIKA_LOG("ERROR CUserWndObject::OnComProperty() メモリ確保できない \n");
        return;
    }
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowTitle(tr("プロパティ"));
    auto* tabs = new QTabWidget(sheet);
    // The page keeps the playback for as long as the sheet is open.
    const std::shared_ptr<CSoundPlay> play = m_play.lock();
    connect(sheet, &QObject::destroyed, sheet, [play] {});
    tabs->addTab(new CPageClientMicVolume(m_pVolume, play.get(), tabs), tr("スピーカー"));
    auto* page = new CPageClientCapter(*this, tabs);
    tabs->addTab(page, tr("画像"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, sheet);
    connect(buttons, &QDialogButtonBox::accepted, sheet, [sheet, page] {
        page->OnOK();
        sheet->accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, sheet, &QDialog::reject);
    auto* layout = new QVBoxLayout(sheet);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    sheet->open();
}
