#include "share/LoginDlg.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>

#include <algorithm>
#include <vector>

#include "app/HalvoApp.h"
#include "app/Log.h"
#include "ui/DialogRegistry.h"
#include "ui/NoticeBox.h"
#include "ui/TabWnd.h"

namespace {

struct TabDef {
    const char* caption;
    const char* characters;
};

const TabDef kTabs[2][CLoginDlg::kTabsPerRow] = {
    {
        {"あ", "あいうえおアイウエオぁぃぅぇぉァィゥェォ"},
        {"か", "かきくけこカキクケコがぎぐげごガギグゲゴ"},
        {"さ", "さしすせそサシスセソざじずぜぞザジズゼゾ"},
        {"た", "たちつてとタチツテトだぢづでどダヂヅデド"},
        {"な", "なにぬねのナニヌネノ"},
        {"は", "はひふへほハヒフヘホばびぶべぼぱぴぷぺぽバビブベボパピプペポ"},
        {"ま", "まみむめもマミムメモ"},
        {"や", "やゆよヤユヨゃゅょャュョ"},
        {"ら", "らりるれろラリルレロ"},
        {"わ・ん", "わんワン"},
    },
    {
        {"A B C", "ａｂｃＡＢＣ"},
        {"D E F", "ｄｅｆＤＥＦ"},
        {"G H I", "ｇｈｉＧＨＩ"},
        {"J K L", "ｊｋｌＪＫＬ"},
        {"N M O", "ｎｍｏＮＭＯ"},
        {"P Q R", "ｐｑｒＰＱＲ"},
        {"S T U", "ｓｔｕＳＴＵ"},
        {"V W X", "ｖｗｘＶＷＸ"},
        {"Y Z", "ｙｚＹＺ"},
        {QT_TRANSLATE_NOOP("CLoginDlg", "記号"), ""},
    },
};

const QColor kBackground(240, 241, 198);

QString FromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.c_str());
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

QLineEdit* Edit(QWidget* parent, int id, const QRect& rect, bool masked = false)
{
    auto* edit = new QLineEdit(parent);
    DialogRegistry::SetControlId(edit, id);
    edit->setGeometry(rect);
    if (masked) edit->setEchoMode(QLineEdit::Password);
    return edit;
}

QPushButton* Button(QWidget* parent, const QString& text, int id, const QRect& rect)
{
    auto* button = new QPushButton(text, parent);
    DialogRegistry::SetControlId(button, id);
    button->setGeometry(rect);
    button->setAutoDefault(false);
    return button;
}

QLabel* Label(QWidget* parent, const QString& text, const QRect& rect)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(rect);
    return label;
}

}  // namespace

// --- the list ---

CAddressListCtrl::CAddressListCtrl(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("addressList"));
    DialogRegistry::SetControlId(this, 1020);
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHeaderLabels({tr("名前"), tr("アドレス"), tr("メール"), tr("コメント"), tr("ふり仮名")});
    for (int column = 0; column < 5; ++column) setColumnWidth(column, 100);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (section == 0) SortByReading();  // the other headers do nothing
    });
}

std::int32_t CAddressListCtrl::RowId(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->data(0, Qt::UserRole).toInt() : 0;
}

void CAddressListCtrl::SortByReading()
{
    m_bAscending = !m_bAscending;
    std::vector<QTreeWidgetItem*> items;
    while (topLevelItemCount() > 0) items.push_back(takeTopLevelItem(0));
    const bool ascending = m_bAscending;
    std::stable_sort(items.begin(), items.end(), [ascending](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        const QByteArray ka = a->text(kReadingColumn).toUtf8();
        const QByteArray kb = b->text(kReadingColumn).toUtf8();
        return ascending ? ka < kb : kb < ka;
    });
    for (QTreeWidgetItem* item : items) addTopLevelItem(item);
}

void CAddressListCtrl::mousePressEvent(QMouseEvent* event)
{
    QTreeWidget::mousePressEvent(event);
    if (event->button() != Qt::LeftButton) return;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid()) return;  // only a click on a row is reported
    emit rowClicked(index.row(), RowId(index.row()));
}

// --- the login dialog ---

const char* CLoginDlg::TabCharacters(int row, int index)
{
    return kTabs[row][index].characters;
}

const char* CLoginDlg::TabCaption(int row, int index)
{
    return kTabs[row][index].caption;
}

namespace {

// What was last typed to connect with in this run: a failed attempt is tried again without
// typing it anew. The password is not kept.
struct LastTyped {
    QString address;
    QString comment;
};

LastTyped& Typed()
{
    static LastTyped typed;
    return typed;
}

}  // namespace

CLoginDlg::CLoginDlg(CHalvoApp& app, QWidget* parent) : CDlgMorvika(parent), m_app(app)
{
    setObjectName(QStringLiteral("CLoginDlg"));
    setWindowTitle(tr("ログイン"));
    m_app.LoadAddressBook(m_book);

    // The address book's part, and beside it the sessions found on the LAN.
    const QSize bookSize(600, 470);
    const QSize clientSize(bookSize.width() + 200, bookSize.height());
    setFixedSize(clientSize.width() + 2, clientSize.height() + CDlgMorvika::kCaptionHeight + 1);
    auto* client = new QWidget(this);
    client->setGeometry(contentsRect());

    m_pList = new CAddressListCtrl(client);
    const QString control = CDlgMorvika::DefaultAssetsFolder() + QStringLiteral("Pictures/Standard/Control/");
    QPixmap small(control + QStringLiteral("ListCtrlIconS.bmp"));
    if (!small.isNull()) {
        small.setMask(small.createMaskFromColor(QColor(0, 128, 128)));
        m_pList->setIconSize(small.size());
        m_pList->setProperty("rowIcon", QIcon(small));
    }
    connect(m_pList, &CAddressListCtrl::rowClicked, this, &CLoginDlg::OnRowClick);

    const QRect tabRect(QPoint(60, 10), QPoint(bookSize.width() - 20, 340));
    for (int row = 0; row < 2; ++row) {
        for (int i = 0; i < kTabsPerRow; ++i) {
            auto* tab = new CTabWnd(i, client);
            tab->Create(tr(kTabs[row][i].caption), tabRect, client, (row == 0 ? 2000 : 3000) + i);
            tab->SetFrameColor(kBackground);
            tab->SetHostedWindow(m_pList);
            QPalette palette = tab->palette();
            palette.setColor(QPalette::Window, kBackground);
            tab->setPalette(palette);
            // A click on a tab shows that tab's entries at once.
            connect(tab, &CTabWnd::activated, this, [this, row](int index) {
                m_activeTab[row] = index;
                FillList();
            });
            m_tabs[row][i] = tab;
        }
    }

    m_pKana = Button(client, tr("あ"), 1001, QRect(10, 10, 40, 28));
    m_pLetters = Button(client, tr("Ａ"), 1002, QRect(10, 42, 40, 28));
    for (QPushButton* b : {m_pKana, m_pLetters}) {
        b->setCheckable(true);
        b->setAutoExclusive(true);
    }
    m_pKana->setChecked(true);
    connect(m_pKana, &QPushButton::clicked, this, [this] { ShowRow(0); });
    connect(m_pLetters, &QPushButton::clicked, this, [this] { ShowRow(1); });

    Label(client, tr("アドレス："), QRect(60, 352, 90, 24));
    m_pAddress = Edit(client, 1017, QRect(150, 352, 250, 24));
    Label(client, tr("パスワード："), QRect(60, 380, 90, 24));
    m_pPassword = Edit(client, 1018, QRect(150, 380, 250, 24), true);
    Label(client, tr("コメント："), QRect(60, 408, 90, 24));
    m_pComment = Edit(client, 1027, QRect(150, 408, 390, 24));

    auto* newEntry = Button(client, tr("新規"), 1021, QRect(420, 352, 56, 24));
    auto* edit = Button(client, tr("編集"), 1045, QRect(480, 352, 56, 24));
    auto* remove = Button(client, tr("削除"), 1046, QRect(420, 380, 56, 24));
    auto* mail = Button(client, tr("メール送信"), 1019, QRect(480, 380, 90, 24));
    auto* ok = Button(client, tr("接続"), 1, QRect(clientSize.width() - 200, 438, 90, 26));
    auto* cancel = Button(client, tr("キャンセル"), 2, QRect(clientSize.width() - 100, 438, 90, 26));
    ok->setDefault(true);
    connect(newEntry, &QPushButton::clicked, this, &CLoginDlg::OnNew);
    connect(edit, &QPushButton::clicked, this, &CLoginDlg::OnEdit);
    connect(remove, &QPushButton::clicked, this, &CLoginDlg::OnDelete);
    connect(mail, &QPushButton::clicked, this, &CLoginDlg::OnMail);
    connect(ok, &QPushButton::clicked, this, &CLoginDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CLoginDlg::reject);

    Label(client, tr("近くのユーザ"), QRect(bookSize.width(), 10, 180, 24));
    m_pNearby = new QListWidget(client);
    m_pNearby->setGeometry(bookSize.width(), 36, 180, 304);
    DialogRegistry::SetControlId(m_pNearby, kNearbyListId);
    connect(m_pNearby, &QListWidget::currentRowChanged, this, &CLoginDlg::OnNearbyChosen);
    auto* addNearby = Button(client, tr("アドレス帳に追加"), kNearbyAddId, QRect(bookSize.width(), 352, 180, 24));
    connect(addNearby, &QPushButton::clicked, this, &CLoginDlg::OnNearbyAdd);

    for (CTabWnd* tab : m_tabs[1]) tab->hide();
    m_tabs[0][0]->ShowNoActivate();
    FillList();
    m_pAddress->setText(Typed().address);
    m_pComment->setText(Typed().comment);
}

void CLoginDlg::SetNearby(const std::vector<NearbySession>& sessions)
{
    const QSignalBlocker quiet(m_pNearby);
    const int row = m_pNearby->currentRow();
    const std::string chosen = row >= 0 && row < static_cast<int>(m_nearby.size()) ? m_nearby[row].address : "";
    m_nearby = sessions;
    m_pNearby->clear();
    for (std::size_t i = 0; i < m_nearby.size(); ++i) {
        m_pNearby->addItem(FromUtf8(m_nearby[i].user) + QStringLiteral(" (") + FromUtf8(m_nearby[i].address) +
                           QStringLiteral(")"));
        // A list that changes under the user keeps the session chosen.
        if (m_nearby[i].address == chosen) m_pNearby->setCurrentRow(static_cast<int>(i));
    }
}

void CLoginDlg::OnNearbyChosen(int row)
{
    if (row < 0 || row >= static_cast<int>(m_nearby.size())) return;
    m_pAddress->setText(FromUtf8(m_nearby[static_cast<std::size_t>(row)].address));
}

void CLoginDlg::OnNearbyAdd()
{
    const int row = m_pNearby->currentRow();
    if (row < 0 || row >= static_cast<int>(m_nearby.size())) return;
    const NearbySession& session = m_nearby[static_cast<std::size_t>(row)];
    CAddressData entry;
    entry.m_strUserNameSort = session.user;
    entry.m_strUserName = session.user;
    entry.m_strMorvikaAddress = session.address;
    m_book.PushBack(entry);
    Reload();
}

void CLoginDlg::ShowRow(int row)
{
    m_nRow = row;
    for (int r = 0; r < 2; ++r) {
        for (CTabWnd* tab : m_tabs[r]) tab->setVisible(r == row);
    }
    // The list shows again in the row's tab that was last up, and takes its entries.
    for (int i = 0; i < kTabsPerRow; ++i) {
        if (i != m_activeTab[row]) m_tabs[row][i]->ShowNoActivate();
    }
    m_tabs[row][m_activeTab[row]]->ShowNoActivate();
    FillList();
}

void CLoginDlg::FillList()
{
    const auto* host = qobject_cast<CTabWnd*>(m_pList->parentWidget());
    int row = 0;
    int index = 0;
    for (int r = 0; r < 2; ++r) {
        for (int i = 0; i < kTabsPerRow; ++i) {
            if (m_tabs[r][i] == host) {
                row = r;
                index = i;
            }
        }
    }
    const CAddressDataList selected = m_book.Select(kTabs[row][index].characters);
    const QIcon icon = m_pList->property("rowIcon").value<QIcon>();
    m_pList->clear();
    for (const CAddressData& entry : selected.Entries()) {
        auto* item = new QTreeWidgetItem;
        item->setText(0, FromUtf8(entry.m_strUserName));
        item->setText(1, FromUtf8(entry.m_strMorvikaAddress));
        item->setText(2, FromUtf8(entry.m_strMailAddress));
        item->setText(3, FromUtf8(entry.m_strComment));
        item->setText(4, FromUtf8(entry.m_strUserNameSort));
        item->setData(0, Qt::UserRole, entry.m_nId);
        if (!icon.isNull()) item->setIcon(0, icon);
        // Each row goes in at the top: the list shows the book in reverse.
        m_pList->insertTopLevelItem(0, item);
    }
    // Every row asks to be selected as it goes in; one selection leaves the last one, on top.
    if (m_pList->topLevelItemCount() > 0) m_pList->setCurrentItem(m_pList->topLevelItem(0));
}

void CLoginDlg::OnRowClick(int, std::int32_t id)
{
    m_nClickedId = id;
    const CAddressData* entry = m_book.Find(id);
    if (entry == nullptr) return;
    m_pAddress->setText(FromUtf8(entry->m_strMorvikaAddress));
    m_pPassword->setText(FromUtf8(entry->m_strPassword));
    m_pComment->setText(FromUtf8(entry->m_strComment));
}

void CLoginDlg::Reload()
{
    m_app.SaveAddressBook(m_book);
    m_app.LoadAddressBook(m_book);
    FillList();
}

void CLoginDlg::OnNew()
{
    CDlgAddressUpdate editor(m_book, 0, this);
    if (editor.exec() == QDialog::Accepted) Reload();
}

void CLoginDlg::OnEdit()
{
    const QList<QTreeWidgetItem*> selected = m_pList->selectedItems();
    if (selected.isEmpty()) return;
    const std::int32_t id = selected.front()->data(0, Qt::UserRole).toInt();
    if (id == 0) return;
    CDlgAddressUpdate editor(m_book, id, this);
    if (editor.exec() == QDialog::Accepted) Reload();
}

void CLoginDlg::OnDelete()
{
    if (m_nClickedId == 0) return;  // no row clicked: nothing to delete
    m_book.Remove(m_nClickedId);
    m_nClickedId = 0;
    Reload();
    m_pAddress->clear();
    m_pPassword->clear();
    m_pComment->clear();
}

bool CLoginDlg::BuildMailLaunch(const std::string& command, const std::string& mailAddress, std::string& program,
                                std::string& parameters)
{
    if (command.empty() || command.find("%1") == std::string::npos) return false;
    std::string text = command;
    ReplaceAll(text, "%1", "%s");
    text = Trim(text);
    if (text.find('"') == std::string::npos) {
        const std::size_t blank = text.find(' ');
        program = blank == std::string::npos ? text : text.substr(0, blank);
        parameters = blank == std::string::npos ? std::string() : text.substr(blank);
    } else {
        const std::size_t open = text.find('"');
        const std::size_t close = text.find('"', open + 1);
        if (close == std::string::npos || close == open + 1) return false;  // an empty token stops
        program = text.substr(open + 1, close - open - 1);
        parameters = text.substr(close + 1);
    }
    program = Trim(program);
    parameters = Trim(parameters);
    // Two formatting steps: the link first, then the address into it. Only the first "%s"
    // takes the link; the mail address is inserted as text, never read as a format.
    const std::size_t at = parameters.find("%s");
    if (at != std::string::npos) parameters.replace(at, 2, "mailto:" + mailAddress);
    return !program.empty();
}

void CLoginDlg::OnMail()
{
    const std::string command = m_app.GetMailCommand();
    MORVIKA_LOG("LOG    CLoginDlg::OnBnClickedButton1() command %s \n", command.c_str());
    const CAddressData* entry = m_nClickedId != 0 ? m_book.Find(m_nClickedId) : nullptr;
    if (entry == nullptr) return;
    std::string program;
    std::string parameters;
    if (!BuildMailLaunch(command, entry->m_strMailAddress, program, parameters)) return;
    QProcess::startDetached(FromUtf8(program), QProcess::splitCommand(FromUtf8(parameters)));
    MORVIKA_LOG("LOG    CLoginDlg::OnBnClickedButton1() command %s parama %s\n", program.c_str(), parameters.c_str());
}

void CLoginDlg::accept()
{
    if (m_pAddress->text().trimmed().isEmpty()) {
        NoticeBox::Open(this, tr("ログイン"), tr("接続先のアドレスを入力するか、アドレス帳から選んでください。"), true);
        return;
    }
    Typed() = {m_pAddress->text().trimmed(), m_pComment->text()};
    CDlgMorvika::accept();
    m_strAddress = m_pAddress->text().trimmed().toStdString();
    m_strPassword = m_pPassword->text().toStdString();
    m_strComment = m_pComment->text().toStdString();
}

// --- the entry editor ---

CDlgAddressUpdate::CDlgAddressUpdate(CAddressDataList& book, std::int32_t id, QWidget* parent)
    : CDlgMorvika(parent),
      m_book(book),
      m_nId(id)
{
    setObjectName(QStringLiteral("CDlgAddressUpdate"));
    setWindowTitle(tr("アドレス帳"));
    setFixedSize(482, 260 + CDlgMorvika::kCaptionHeight + 1);
    auto* client = new QWidget(this);
    client->setGeometry(contentsRect());

    struct Field {
        int id;
        const char* label;
        bool masked;
        bool hint;
    };
    const Field fields[6] = {
        {1017, QT_TR_NOOP("ふり仮名："), false, true},   {1018, QT_TR_NOOP("名前："), false, true},
        {1019, QT_TR_NOOP("アドレス："), false, false},  {1021, QT_TR_NOOP("メールアドレス："), false, false},
        {1022, QT_TR_NOOP("パスワード："), true, false}, {1023, QT_TR_NOOP("コメント："), false, false},
    };
    for (int i = 0; i < 6; ++i) {
        const int y = 10 + 34 * i;
        Label(client, tr(fields[i].label), QRect(10, y, 110, 24));
        m_edits[static_cast<std::size_t>(i)] =
            Edit(client, fields[i].id, QRect(120, y, fields[i].hint ? 160 : 340, 24), fields[i].masked);
        if (fields[i].hint) Label(client, tr("（全角文字で入力してください）"), QRect(286, y, 190, 24));
    }
    auto* ok = Button(client, QStringLiteral("OK"), 1, QRect(280, 222, 90, 26));
    auto* cancel = Button(client, tr("キャンセル"), 2, QRect(380, 222, 90, 26));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CDlgAddressUpdate::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgAddressUpdate::reject);

    if (const CAddressData* entry = m_nId != 0 ? m_book.Find(m_nId) : nullptr) {
        const std::string* texts[6] = {&entry->m_strUserNameSort, &entry->m_strUserName, &entry->m_strMorvikaAddress,
                                       &entry->m_strMailAddress,  &entry->m_strPassword, &entry->m_strComment};
        for (int i = 0; i < 6; ++i) m_edits[static_cast<std::size_t>(i)]->setText(FromUtf8(*texts[i]));
    }
}

void CDlgAddressUpdate::accept()
{
    auto text = [this](int i) { return m_edits[static_cast<std::size_t>(i)]->text().toStdString(); };
    // An entry without reading, name and address could be neither found nor used.
    const auto blank = [this](int i) { return m_edits[static_cast<std::size_t>(i)]->text().trimmed().isEmpty(); };
    if (blank(0) && blank(1) && blank(2)) {
        NoticeBox::Open(this, tr("アドレス帳"), tr("名前かアドレスを入力してください。"), true);
        return;
    }
    CAddressData* entry = m_nId != 0 ? m_book.Find(m_nId) : nullptr;
    CAddressData fresh;
    CAddressData& target = entry != nullptr ? *entry : fresh;
    target.m_strUserNameSort = text(0);
    target.m_strUserName = text(1);
    target.m_strMorvikaAddress = text(2);
    target.m_strMailAddress = text(3);
    target.m_strPassword = text(4);
    target.m_strComment = text(5);
    if (entry == nullptr && m_nId == 0) m_book.PushBack(fresh);
    CDlgMorvika::accept();
}
