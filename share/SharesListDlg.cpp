#include "share/SharesListDlg.h"

#include <algorithm>
#include <filesystem>

#include <QAction>
#include <QApplication>
#include <QBitmap>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QSaveFile>
#include <QHeaderView>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include "app/Log.h"
#include "share/FtpStat.h"
#include "share/SharesStore.h"
#include "ui/NoticeBox.h"

namespace {

constexpr int kColumnWidth = 100;
const QColor kIconMask(0, 128, 128);

QString FromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.c_str());
}

// The two images (unavailable, available) of an icon strip, with the mask colour cut out.
std::vector<QIcon> IconStrip(const QString& path, int size)
{
    std::vector<QIcon> icons;
    QPixmap strip(path);
    if (strip.isNull()) return icons;
    strip.setMask(strip.createMaskFromColor(kIconMask));
    for (int x = 0; x + size <= strip.width() && icons.size() < 2; x += size)
        icons.emplace_back(strip.copy(x, 0, size, size));
    return icons;
}

// What a user is told about a file that cannot be offered.
const char* RefusalText(OfferRefusal why)
{
    switch (why) {
    case OfferRefusal::Missing: return QT_TRANSLATE_NOOP("CSharesListDlg", "%1: ファイルが見つかりません");
    case OfferRefusal::Folder: return QT_TRANSLATE_NOOP("CSharesListDlg", "%1: フォルダは共有できません");
    case OfferRefusal::NotAFile: return QT_TRANSLATE_NOOP("CSharesListDlg", "%1: 普通のファイルではありません");
    case OfferRefusal::TooLarge:
        return QT_TRANSLATE_NOOP("CSharesListDlg", "%1: 2 MiB（2,097,152 バイト）より大きいファイルは共有できません");
    case OfferRefusal::Unreadable: return QT_TRANSLATE_NOOP("CSharesListDlg", "%1: 読み取りが許されていません");
    case OfferRefusal::None: break;
    }
    return QT_TRANSLATE_NOOP("CSharesListDlg", "%1: 共有できません");
}

// Why an awaited file did not come, as the owner's answer tells.
const char* ServeFailureText(ServeFailure why)
{
    switch (why) {
    case ServeFailure::NotOffered:
        return QT_TRANSLATE_NOOP("CSharesListDlg",
                                 "「%1」を受け取れませんでした。%2 さんはもうこのファイルを共有していません。");
    case ServeFailure::Gone:
        return QT_TRANSLATE_NOOP(
            "CSharesListDlg",
            "「%1」を受け取れませんでした。%2 さんの側でファイルが削除されたか、読めなくなりました。");
    case ServeFailure::TooLarge:
        return QT_TRANSLATE_NOOP("CSharesListDlg",
                                 "「%1」を受け取れませんでした。%2 さんの側でファイルが大きくなりすぎて送れません。");
    case ServeFailure::Empty:
        return QT_TRANSLATE_NOOP("CSharesListDlg",
                                 "「%1」を受け取れませんでした。%2 さんの側でファイルが空になっています。");
    case ServeFailure::Unknown: break;
    }
    return QT_TRANSLATE_NOOP("CSharesListDlg", "「%1」を受け取れませんでした。%2 さんがファイルを送れませんでした。");
}

}  // namespace

CSharesListDlg::CSharesListDlg(SharesDlgHost host, CSharesExchange& exchange, QWidget* parent)
    : QDialog(parent),
      m_host(std::move(host)),
      m_exchange(exchange)
{
    MORVIKA_LOG("LOG   CSharesListDlg::CSharesListDlg() \n");
    m_opener = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    m_exchange.SetObserver(this);
}

CSharesListDlg::~CSharesListDlg()
{
    MORVIKA_LOG("LOG   CSharesListDlg::~CSharesListDlg() \n");
    m_exchange.SetObserver(nullptr);
    CloseTransfers();
    if (m_bCreated) MORVIKA_LOG("LOG   CSharesListDlg::DestroyWindow() \n");
}

void CSharesListDlg::Create()
{
    MORVIKA_LOG("LOG   CSharesListDlg::Create() \n");
    setObjectName(QStringLiteral("CSharesListDlg"));
    setWindowTitle(tr("共有ファイル"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::WindowStaysOnTopHint);
    setModal(false);
    setSizeGripEnabled(true);
    setAcceptDrops(true);
    resize(420, 300);

    m_pModel = new QStandardItemModel(0, 4, this);
    m_pModel->setHorizontalHeaderLabels({tr("名前"), tr("サイズ"), tr("アクセス権"), tr("所有者")});
    m_pList = new QListView(this);
    m_pList->setObjectName(QStringLiteral("list"));
    m_pDetails = new QTreeView(this);
    m_pDetails->setObjectName(QStringLiteral("details"));
    m_pDetails->setRootIsDecorated(false);
    m_pDetails->setItemsExpandable(false);
    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(m_pList), static_cast<QAbstractItemView*>(m_pDetails)}) {
        view->setModel(m_pModel);
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        view->viewport()->setAcceptDrops(true);
        view->viewport()->installEventFilter(this);
        connect(view, &QAbstractItemView::doubleClicked, this, [this] { OnOpen(); });
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& at) { ShowContextMenu(view, at); });
    }
    for (int column = 0; column < 4; ++column) m_pDetails->setColumnWidth(column, kColumnWidth);
    m_pStack = new QStackedWidget(this);
    m_pStack->addWidget(m_pList);
    m_pStack->addWidget(m_pDetails);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* menuBar = new QMenuBar(this);
    layout->setMenuBar(menuBar);
    layout->addWidget(m_pStack);

    m_pWait = new CFtpStat(this);
    LoadImageLists();
    BuildMenus();
    menuBar->addMenu(findChild<QMenu*>(QStringLiteral("fileMenu")));
    menuBar->addMenu(findChild<QMenu*>(QStringLiteral("editMenu")));
    menuBar->addMenu(findChild<QMenu*>(QStringLiteral("viewMenu")));
    SetView(IconView);
    m_bCreated = true;
}

void CSharesListDlg::LoadImageLists()
{
    std::lock_guard lock(m_viewLock);
    const QString folder = FromUtf8(m_host.assetsFolder) + QStringLiteral("Pictures/Standard/SharesFile/");
    // Kept as properties of the model: index 0 for unavailable records, 1 for available ones.
    const auto big = IconStrip(folder + QStringLiteral("BigIcon.bmp"), 32);
    const auto small = IconStrip(folder + QStringLiteral("SmallIcon.bmp"), 16);
    for (int i = 0; i < 2; ++i) {
        QIcon icon;
        if (i < static_cast<int>(big.size())) icon.addPixmap(big[static_cast<std::size_t>(i)].pixmap(32, 32));
        if (i < static_cast<int>(small.size())) icon.addPixmap(small[static_cast<std::size_t>(i)].pixmap(16, 16));
        m_pModel->setProperty(i == 0 ? "icon0" : "icon1", QVariant::fromValue(icon));
    }
}

void CSharesListDlg::BuildMenus()
{
    auto* file = new QMenu(tr("ファイル"), this);
    file->setObjectName(QStringLiteral("fileMenu"));
    file->addAction(tr("追加"), this, &CSharesListDlg::OnAdd);
    file->addAction(tr("開く"), this, &CSharesListDlg::OnOpen);
    file->addAction(tr("保存"), this, &CSharesListDlg::OnSave);
    file->addAction(tr("削除"), this, &CSharesListDlg::OnDelete);
    file->addAction(tr("閉じる"), this, &CSharesListDlg::OnAppExit);
    auto* edit = new QMenu(tr("編集"), this);
    edit->setObjectName(QStringLiteral("editMenu"));
    edit->addAction(tr("貼り付け"), this, &CSharesListDlg::OnPaste);
    auto* view = new QMenu(tr("表示"), this);
    view->setObjectName(QStringLiteral("viewMenu"));
    const char* names[3] = {QT_TR_NOOP("アイコン"), QT_TR_NOOP("一覧"), QT_TR_NOOP("詳細")};
    for (int i = 0; i < 3; ++i) {
        m_viewActions[i] = view->addAction(tr(names[i]), this, [this, i] { SetView(static_cast<View>(i)); });
        m_viewActions[i]->setCheckable(true);
    }

    m_pItemMenu = new QMenu(this);
    m_pItemMenu->setObjectName(QStringLiteral("itemMenu"));
    m_pItemMenu->addAction(tr("開く"), this, &CSharesListDlg::OnOpen);
    m_pItemMenu->addAction(tr("保存"), this, &CSharesListDlg::OnSave);
    m_pItemMenu->addAction(tr("削除"), this, &CSharesListDlg::OnDelete);
    m_pSpaceMenu = new QMenu(this);
    m_pSpaceMenu->setObjectName(QStringLiteral("spaceMenu"));
    m_pSpaceMenu->addAction(tr("ファイルの追加"), this, &CSharesListDlg::OnAdd);
    m_pSpaceMenu->addAction(tr("貼り付け"), this, &CSharesListDlg::OnPaste);
    m_pSpaceMenu->addSeparator();
    for (int i = 0; i < 3; ++i)
        m_pSpaceMenu->addAction(QString::fromUtf8(names[i]), this, [this, i] { SetView(static_cast<View>(i)); });
    m_pSpaceMenu->addSeparator();
    m_pSpaceMenu->addAction(tr("閉じる"), this, &CSharesListDlg::OnAppExit);
}

void CSharesListDlg::ShowContextMenu(QAbstractItemView* view, const QPoint& at)
{
    QMenu* menu = view->indexAt(at).isValid() ? m_pItemMenu : m_pSpaceMenu;
    menu->popup(view->viewport()->mapToGlobal(at));
}

void CSharesListDlg::SetView(View view)
{
    m_view = view;
    for (int i = 0; i < 3; ++i) m_viewActions[i]->setChecked(i == view);
    if (view == DetailsView) {
        m_pStack->setCurrentWidget(m_pDetails);
    } else {
        m_pList->setViewMode(view == IconView ? QListView::IconMode : QListView::ListMode);
        m_pList->setIconSize(view == IconView ? QSize(32, 32) : QSize(16, 16));
        m_pList->setFlow(view == IconView ? QListView::LeftToRight : QListView::TopToBottom);
        m_pList->setWrapping(true);
        m_pList->setResizeMode(QListView::Adjust);
        m_pList->setMovement(QListView::Static);
        m_pList->setGridSize(view == IconView ? QSize(96, 64) : QSize());
        m_pStack->setCurrentWidget(m_pList);
    }
    m_pDetails->setIconSize(QSize(16, 16));
    Refresh();
}

QAbstractItemView* CSharesListDlg::CurrentItemView() const
{
    return m_view == DetailsView ? static_cast<QAbstractItemView*>(m_pDetails) : m_pList;
}

void CSharesListDlg::Refresh()
{
    if (m_pModel == nullptr) return;
    std::size_t count = 0;
    {
        std::lock_guard lock(m_viewLock);
        m_exchange.List().PruneMissing(0, 0);
        CSharesDataList copy(m_exchange.List());
        if (m_pModel->rowCount() > 0) m_pModel->removeRows(0, m_pModel->rowCount());
        CSharesData record;
        for (int row = 0; copy.PopFront(record); ++row) {
            auto* name = new QStandardItem(FromUtf8(record.GetFileName()));
            name->setIcon(m_pModel->property(record.GetAvailable() == 1 ? "icon1" : "icon0").value<QIcon>());
            auto* size = new QStandardItem(FromUtf8(record.GetFileSizeText()));
            size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_pModel->appendRow({name, size, new QStandardItem(tr(record.GetAttributeText().c_str())),
                                 new QStandardItem(FromUtf8(record.GetUserName()))});
            ++count;
        }
    }
    Event(QStringLiteral("event shares %1").arg(count));
}

void CSharesListDlg::Toggle()
{
    if (isVisible()) {
        hide();
        return;
    }
    if (m_host.playSound) m_host.playSound();
    show();
}

void CSharesListDlg::AnnounceShares()
{
    m_exchange.AnnounceShares();
}

void CSharesListDlg::OnFileArrived(const CSharesFileObject& file)
{
    if (m_awaited && file.SameOffer(*m_awaited)) {
        m_bAwaitedAnswered = true;
        if (!file.HasFileData() || file.GetFileSize() == 0)
            m_awaitedFailure = static_cast<ServeFailure>(file.GetReserved(0));
    }
    if (m_awaited && m_pWait && m_pWait->IsWaiting()) {
        Event(
            QStringLiteral("event download %1 %2 %2").arg(FromUtf8(m_awaited->GetFileName())).arg(file.GetFileSize()));
    }
    if (m_pWait) m_pWait->Arrived();
}

void CSharesListDlg::OnOwnerLeft(std::uint32_t userId, std::uint32_t groupId)
{
    // Nothing more comes from an owner who left.
    if (m_awaited && m_awaited->IsOwner(userId, groupId) && m_pWait) m_pWait->OwnerLeft();
}

void CSharesListDlg::OnDownloadProgress(std::uint32_t received, std::uint32_t total)
{
    if (!m_awaited || !m_pWait || !m_pWait->IsWaiting()) return;
    // The message carries the file with a little framing: its share of the message is the file's.
    const std::uint32_t fileSize = m_awaited->GetFileSize();
    const auto bytes = static_cast<std::uint32_t>(std::uint64_t{received} * fileSize / total);
    m_pWait->SetProgress(bytes, fileSize);
    Event(QStringLiteral("event download %1 %2 %3").arg(FromUtf8(m_awaited->GetFileName())).arg(bytes).arg(fileSize));
}

CFtpStat* CSharesListDlg::WaitDialog() const
{
    return m_pWait.data();
}

void CSharesListDlg::CloseTransfers()
{
    if (m_pWait && m_pWait->IsWaiting()) m_pWait->reject();
}

void CSharesListDlg::AddFiles(const QStringList& paths)
{
    QStringList refused;
    for (const QString& path : paths) {
        if (m_exchange.AddFile(path.toStdString())) continue;
        const QString name = path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
        refused
            << tr(RefusalText(CSharesExchange::WhyNotOffered(path.toStdString()))).arg(name.isEmpty() ? path : name);
    }
    AnnounceShares();
    Refresh();
    if (!refused.isEmpty()) {
        Notice(tr("次のファイルは共有できません。") + QLatin1Char('\n') + refused.join(QLatin1Char('\n')));
    }
}

void CSharesListDlg::Notice(const QString& text)
{
    NoticeBox::Open(isVisible() ? this : nullptr, tr("共有ファイル"), text);
}

void CSharesListDlg::OnAdd()
{
    const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), tr("すべてのファイル (*)"));
    if (path.isEmpty()) return;
    AddFiles({path});
}

void CSharesListDlg::OnPaste()
{
    QClipboard* clipboard = QApplication::clipboard();
    if (clipboard == nullptr) return;
    QStringList paths;
    if (const QMimeData* data = clipboard->mimeData(); data != nullptr && data->hasUrls()) {
        for (const QUrl& url : data->urls()) {
            if (url.isLocalFile()) paths << url.toLocalFile();
        }
    }
    clipboard->clear();
    AddFiles(paths);
}

void CSharesListDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CSharesListDlg::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) paths << url.toLocalFile();
    }
    event->acceptProposedAction();
    AddFiles(paths);
}

bool CSharesListDlg::eventFilter(QObject* watched, QEvent* event)
{
    // The list passes dropped files to the window.
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (drag->mimeData()->hasUrls()) {
            drag->acceptProposedAction();
            return true;
        }
    } else if (event->type() == QEvent::Drop) {
        dropEvent(static_cast<QDropEvent*>(event));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

QStringList CSharesListDlg::SelectedNames() const
{
    QModelIndexList rows = CurrentItemView()->selectionModel()->selectedRows(0);
    if (m_view != DetailsView) rows = CurrentItemView()->selectionModel()->selectedIndexes();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList names;
    for (const QModelIndex& index : rows) {
        if (index.column() == 0) names << m_pModel->item(index.row(), 0)->text();
    }
    return names;
}

bool CSharesListDlg::SelectByName(const QString& fileName)
{
    QItemSelectionModel* selection = CurrentItemView()->selectionModel();
    selection->clearSelection();
    bool found = false;
    for (int row = 0; row < m_pModel->rowCount(); ++row) {
        if (m_pModel->item(row, 0)->text() != fileName) continue;
        selection->select(m_pModel->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        found = true;
    }
    return found;
}

void CSharesListDlg::OnDelete()
{
    for (const QString& name : SelectedNames()) m_exchange.DeleteOwn(name.toStdString());
    AnnounceShares();
    Refresh();
}

CSharesListDlg::Fetch CSharesListDlg::FetchCopy(CSharesData& record)
{
    if (!record.GetFileVirtualPath().empty()) {
        // A copy may have made way for newer ones of the same owner: fetched again then.
        std::error_code ec;
        if (std::filesystem::is_regular_file(m_exchange.LocalCopyPath(record), ec)) return Fetch::Local;
        record.SetFileVirtualPath("");
    }
    m_exchange.RequestFile(record);
    m_awaited = record;
    m_awaitedFailure.reset();
    m_bAwaitedAnswered = false;
    const int result = m_pWait->Wait(record.GetFileSize());
    Event(QStringLiteral("event download-done %1 %2")
              .arg(FromUtf8(record.GetFileName()), result == CFtpStat::kArrived     ? QStringLiteral("ok")
                                                   : result == CFtpStat::kOwnerLeft ? QStringLiteral("left")
                                                                                    : QStringLiteral("cancel")));
    const CSharesData awaited = *m_awaited;
    const std::optional<ServeFailure> failure = m_awaitedFailure;
    m_awaited.reset();
    m_awaitedFailure.reset();
    const QString name = FromUtf8(awaited.GetFileName());
    const QString owner = FromUtf8(awaited.GetUserName());
    if (result == CFtpStat::kOwnerLeft) {
        Notice(tr("「%1」のダウンロードを中止しました。持ち主の %2 さんがセッションから抜けました。").arg(name, owner));
        return Fetch::Missing;
    }
    if (result != CFtpStat::kArrived) return Fetch::Cancelled;
    if (failure) {
        Notice(tr(ServeFailureText(*failure)).arg(name, owner));
        return Fetch::Missing;
    }
    if (m_exchange.List().FindByName(record.GetFileName(), record) == 0) return Fetch::Missing;
    if (m_exchange.LocalCopyPath(record).empty() && m_bAwaitedAnswered) {
        Notice(tr("「%1」は届きましたが、一時フォルダに保存できませんでした。").arg(name));
        return Fetch::Missing;
    }
    return Fetch::Arrived;
}

void CSharesListDlg::OnOpen()
{
    for (const QString& name : SelectedNames()) {
        CSharesData record;
        if (m_exchange.List().FindByName(name.toStdString(), record) == 0) continue;
        QString path;
        bool cancelled = false;
        if (m_exchange.IsOwn(record)) {
            path = FromUtf8(record.GetFullPath());
        } else {
            const Fetch fetched = FetchCopy(record);
            cancelled = fetched == Fetch::Cancelled;
            if (fetched != Fetch::Cancelled && fetched != Fetch::Missing)
                path = FromUtf8(m_exchange.LocalCopyPath(record));
        }
        // An answer without content leaves no copy: there is nothing to open.
        if (!path.isEmpty() && m_opener) m_opener(path);
        if (onItemDone) onItemDone(name, path, cancelled);
    }
}

void CSharesListDlg::OnSave()
{
    for (const QString& name : SelectedNames()) {
        CSharesData record;
        if (m_exchange.List().FindByName(name.toStdString(), record) == 0) continue;
        // An own file ends the command: it and everything after it are left alone.
        if (m_exchange.IsOwn(record)) break;
        const Fetch fetched = FetchCopy(record);
        if (fetched == Fetch::Cancelled || fetched == Fetch::Missing) {
            if (onItemDone) onItemDone(name, QString(), fetched == Fetch::Cancelled);
            continue;
        }
        FileCpye(record);
    }
}

void CSharesListDlg::FileCpye(const CSharesData& record)
{
    const QString name = FromUtf8(record.GetFileName());
    const QString source = FromUtf8(m_exchange.LocalCopyPath(record));
    if (source.isEmpty()) {
        // The owner could not send the file: no copy exists, so there is nothing to save.
        if (onItemDone) onItemDone(name, QString(), false);
        return;
    }
    QString destination;
    if (m_nextSavePath) {
        destination = *m_nextSavePath;
        m_nextSavePath.reset();
    } else {
        // The peer chose the name: only its last part is proposed, never a path.
        destination = QFileDialog::getSaveFileName(
            this, QString(), FromUtf8(morvika::shares::PlainName(record.GetFileName())), tr("すべてのファイル (*)"));
    }
    if (destination.isEmpty()) {
        MORVIKA_LOG("ERROR ::GetOpenFileName() %X \n", 0u);
        if (onItemDone) onItemDone(name, QString(), false);
        return;
    }
    MORVIKA_LOG("LOG   CSharesListDlg::FileCpye() 元　%s \n", source.toUtf8().constData());
    MORVIKA_LOG("LOG   CSharesListDlg::FileCpye() 先　%s \n", destination.toUtf8().constData());
    // Written under a temporary name and renamed into place only when whole: a failed read
    // or write leaves whatever the destination held before.
    QFile in(source);
    QSaveFile out(destination);
    bool copied = false;
    if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly)) {
        char buffer[4096];
        copied = true;
        qint64 n = 0;
        while (copied && (n = in.read(buffer, sizeof buffer)) > 0) copied = out.write(buffer, n) == n;
        copied = copied && n == 0 && out.commit();
    }
    if (!copied) {
        out.cancelWriting();
        MORVIKA_LOG("ERROR CSharesListDlg::FileCpye() 保存できない %s %s \n", destination.toUtf8().constData(),
                    (in.error() != QFileDevice::NoError ? in.errorString() : out.errorString()).toUtf8().constData());
    }
    if (onItemDone) onItemDone(name, copied ? destination : QString(), false);
}

void CSharesListDlg::OnAppExit()
{
    MORVIKA_LOG("LOG   CSharesListDlg::OnAppExit() \n");
    hide();
}

void CSharesListDlg::reject()
{
    OnAppExit();
}

void CSharesListDlg::accept()
{
    AnnounceShares();
}

void CSharesListDlg::closeEvent(QCloseEvent* event)
{
    event->ignore();
    OnAppExit();
}

void CSharesListDlg::showEvent(QShowEvent* event)
{
    MORVIKA_LOG("LOG   CSharesListDlg::OnShowWindow() \n");
    QDialog::showEvent(event);
    Refresh();
}

void CSharesListDlg::hideEvent(QHideEvent* event)
{
    MORVIKA_LOG("LOG   CSharesListDlg::OnShowWindow() \n");
    QDialog::hideEvent(event);
}

void CSharesListDlg::Event(const QString& line) const
{
    if (m_host.event) m_host.event(line);
}
