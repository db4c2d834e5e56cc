#include "share/MainPropertySeet.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/HalvoApp.h"
#include "app/Version.h"
#include "session/ConnectReply.h"
#include "ui/DialogRegistry.h"

namespace {

QString FromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.c_str());
}

// Lays a page out: in wizard mode the side picture (static 1065) at the left edge and the
// page's own controls moved right by its width.
QVBoxLayout* PageLayout(QWidget* page, const QString& sidePicture)
{
    auto* outer = new QHBoxLayout(page);
    outer->setContentsMargins(0, 0, 0, 0);
    if (!sidePicture.isEmpty()) {
        auto* picture = new QLabel(page);
        picture->setPixmap(QPixmap(sidePicture));
        picture->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        DialogRegistry::SetControlId(picture, 1065);
        outer->addWidget(picture);
    }
    auto* inner = new QVBoxLayout;
    inner->setContentsMargins(12, 12, 12, 12);
    outer->addLayout(inner, 1);
    return inner;
}

template <typename W>
W* WithId(W* widget, int id)
{
    DialogRegistry::SetControlId(widget, id);
    return widget;
}

}  // namespace

// --- page 1 ---

CMainPropertyPageStart::CMainPropertyPageStart(const PropertyHost& host, const QString& sidePicture, QWidget* parent)
    : QWidget(parent),
      m_host(host)
{
    setWindowTitle(tr("基本設定"));
    setObjectName(QStringLiteral("CMainPropertyPageStart"));
    QVBoxLayout* layout = PageLayout(this, sidePicture);

    auto* form = new QFormLayout;
    m_pUserName = WithId(new QLineEdit(this), 1017);
    m_pPassword = WithId(new QLineEdit(this), 1018);
    m_pPassword->setEchoMode(QLineEdit::Password);
    form->addRow(tr("ユーザ名："), m_pUserName);
    form->addRow(tr("パスワード："), m_pPassword);
    // Each language by its own name; the choice takes effect at the next start.
    m_pLanguage = WithId(new QComboBox(this), 1070);
    m_pLanguage->addItem(QStringLiteral("日本語"), QStringLiteral("ja"));
    m_pLanguage->addItem(QStringLiteral("English"), QStringLiteral("en"));
    form->addRow(tr("言語（次回の起動から）："), m_pLanguage);
    layout->addLayout(form);

    m_pConnectCheck = WithId(new QCheckBox(tr("「接続の承諾」の画面を表示する"), this), 1005);
    m_pAlways = WithId(new QRadioButton(tr("接続の要求があれば必ず表示する"), this), 1001);
    m_pIconOnly = WithId(new QRadioButton(tr("アイコンのときだけ表示する"), this), 1002);
    m_pSound = WithId(new QCheckBox(tr("メッセージ音を出す"), this), 1057);
    m_pTopmost = WithId(new QCheckBox(tr("常に手前に表示する"), this), 1006);
    m_pPortMapping = WithId(new QCheckBox(tr("ルータのポートを自動で開く (UPnP / NAT-PMP)"), this), 1080);
    m_pJoinAddress = WithId(new QLabel(this), 1081);
    m_pJoinAddress->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_pConnectCheck);
    auto* radios = new QVBoxLayout;
    radios->setContentsMargins(20, 0, 0, 0);
    radios->addWidget(m_pAlways);
    radios->addWidget(m_pIconOnly);
    layout->addLayout(radios);
    layout->addWidget(m_pSound);
    layout->addWidget(m_pTopmost);
    layout->addWidget(m_pPortMapping);
    layout->addWidget(m_pJoinAddress);
    layout->addStretch();

    OnInitDialog();

    connect(m_pConnectCheck, &QCheckBox::clicked, this, &CMainPropertyPageStart::UpdateRadios);
    connect(m_pLanguage, &QComboBox::activated, this, &CMainPropertyPageStart::modified);
    for (QLineEdit* edit : {m_pUserName, m_pPassword}) {
        connect(edit, &QLineEdit::textEdited, this, &CMainPropertyPageStart::modified);
    }
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{m_pConnectCheck, m_pAlways, m_pIconOnly,
                                                                           m_pSound, m_pTopmost, m_pPortMapping}) {
        connect(button, &QAbstractButton::clicked, this, &CMainPropertyPageStart::modified);
    }
}

void CMainPropertyPageStart::OnInitDialog()
{
    CHalvoApp& app = *m_host.app;
    m_pUserName->setText(FromUtf8(app.GetUserName()));
    m_pPassword->setText(FromUtf8(app.GetPassword()));
    const int check = app.GetConnectCheck();
    // Any value but "when hidden" is shown, and later stored, as "always".
    m_pConnectCheck->setChecked(check != kAskNever);
    (check == kAskWhenHidden ? m_pIconOnly : m_pAlways)->setChecked(true);
    UpdateRadios();
    m_pSound->setChecked(app.GetSoundState() != 0);
    m_pTopmost->setChecked(app.GetTopmost() != 0);
    m_pPortMapping->setChecked(app.GetPortMapping() != 0);
    const std::string join = m_host.joinAddress ? m_host.joinAddress() : std::string();
    m_pJoinAddress->setText(join.empty() ? QString() : tr("ほかの人が接続できるアドレス: ") + FromUtf8(join));
    m_pLanguage->setCurrentIndex(std::max(0, m_pLanguage->findData(QString::fromStdString(app.GetLanguage()))));
}

void CMainPropertyPageStart::UpdateRadios()
{
    m_pAlways->setEnabled(m_pConnectCheck->isChecked());
    m_pIconOnly->setEnabled(m_pConnectCheck->isChecked());
}

void CMainPropertyPageStart::OnApply()
{
    CHalvoApp& app = *m_host.app;
    app.SetUserName(m_pUserName->text().toStdString());
    if (m_host.userNameChanged) m_host.userNameChanged(m_pUserName->text().toStdString());
    app.SetPassword(m_pPassword->text().toStdString());
    int check = kAskAlways;
    if (!m_pConnectCheck->isChecked()) {
        check = kAskNever;
    } else if (m_pIconOnly->isChecked()) {
        check = kAskWhenHidden;
    }
    app.SetConnectCheck(check);
    app.SetSoundState(m_pSound->isChecked() ? 1 : 0);
    app.SetTopmost(m_pTopmost->isChecked() ? 1 : 0);
    app.SetLanguage(m_pLanguage->currentData().toString().toStdString());
    if (m_host.applyTopmost) m_host.applyTopmost(m_pTopmost->isChecked());
    app.SetPortMapping(m_pPortMapping->isChecked() ? 1 : 0);
    if (m_host.portMappingChanged) m_host.portMappingChanged(m_pPortMapping->isChecked());
}

// --- page 2 ---

CMainPropertyPageDevice::CMainPropertyPageDevice(const PropertyHost& host, const QString& sidePicture, QWidget* parent)
    : QWidget(parent),
      m_host(host)
{
    setWindowTitle(tr("カメラとマイクとスピーカ"));
    setObjectName(QStringLiteral("CMainPropertyPageDevice"));
    QVBoxLayout* layout = PageLayout(this, sidePicture);
    auto* form = new QFormLayout;
    m_pCamera = WithId(new QComboBox(this), 1013);
    m_pCapture = WithId(new QComboBox(this), 1014);
    m_pSpeaker = WithId(new QComboBox(this), 1015);
    form->addRow(tr("カメラ："), m_pCamera);
    form->addRow(tr("マイク："), m_pCapture);
    form->addRow(tr("スピーカ："), m_pSpeaker);
    layout->addLayout(form);
    layout->addStretch();

    OnInitDialog();

    for (QComboBox* combo : {m_pCamera, m_pCapture, m_pSpeaker}) {
        connect(combo, &QComboBox::activated, this, &CMainPropertyPageDevice::modified);
    }
}

void CMainPropertyPageDevice::OnInitDialog()
{
    CHalvoApp& app = *m_host.app;
    m_cameras = m_host.cameras ? m_host.cameras() : std::vector<CameraEntry>{};
    m_pCamera->clear();
    if (m_cameras.empty()) {
        m_pCamera->addItem(tr("カメラなし"));
        m_pCamera->setCurrentIndex(-1);
    } else {
        const std::string stored = app.GetCameraName();
        int selected = -1;
        for (std::size_t i = 0; i < m_cameras.size(); ++i) {
            m_pCamera->addItem(FromUtf8(m_cameras[i].name));
            if (selected < 0 && m_cameras[i].name == stored) selected = static_cast<int>(i);
        }
        m_pCamera->setCurrentIndex(selected);
    }

    // Device names up to the first empty one; the stored name, else the first device.
    auto fill = [](QComboBox* combo, const std::vector<std::string>& names, const std::string& stored) {
        combo->clear();
        for (const std::string& name : names) {
            if (name.empty() || combo->count() >= kMaxSoundDevices) break;
            combo->addItem(FromUtf8(name));
        }
        const int found = stored.empty() ? -1 : combo->findText(FromUtf8(stored), Qt::MatchExactly);
        combo->setCurrentIndex(found >= 0 ? found : (combo->count() > 0 ? 0 : -1));
    };
    fill(m_pCapture, m_host.captureDevices ? m_host.captureDevices() : std::vector<std::string>{},
         app.GetCaptureDevice());
    fill(m_pSpeaker, m_host.playbackDevices ? m_host.playbackDevices() : std::vector<std::string>{},
         app.GetSoundDevice());
}

void CMainPropertyPageDevice::OnApply()
{
    CHalvoApp& app = *m_host.app;
    const int selected = m_pCamera->currentIndex();
    const std::string camera = selected >= 0 && selected < static_cast<int>(m_cameras.size())
                                   ? m_cameras[static_cast<std::size_t>(selected)].name
                                   : std::string();
    const std::string before = app.GetCameraName();
    app.SetCameraName(camera);
    if (camera != before && m_host.switchCamera) m_host.switchCamera(camera);
    app.SetCaptureDevice(m_pCapture->currentText().toStdString());
    app.SetSoundDevice(m_pSpeaker->currentText().toStdString());
}

// --- page 3 ---

CMainPropertyPageFinish::CMainPropertyPageFinish(const QString& sidePicture, QWidget* parent) : QWidget(parent)
{
    setWindowTitle(tr("バージョン情報"));
    setObjectName(QStringLiteral("CMainPropertyPageFinish"));
    QVBoxLayout* layout = PageLayout(this, sidePicture);
    const std::uint32_t v = GetFileVersion(false);
    auto* text = new QLabel(tr("ソラネム (Morvika) %1.%2.%3.%4\n\n設定が終わりました。「完了」を押してください。")
                                .arg(v >> 24)
                                .arg((v >> 16) & 0xFF)
                                .arg((v >> 8) & 0xFF)
                                .arg(v & 0xFF),
                            this);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addStretch();
}

// --- the sheet ---

QString CMainPropertySeet::Caption()
{
    return tr("%1のプロパティ").arg(tr("ソラネム"));
}

CMainPropertySeet::CMainPropertySeet(PropertyHost host, bool wizard, const QString& assetsFolder, QWidget* parent)
    : QDialog(parent),
      m_host(std::move(host)),
      m_bWizard(wizard)
{
    setObjectName(QStringLiteral("CMainPropertySeet"));
    setWindowTitle(Caption());
    const QString picture =
        wizard ? assetsFolder + QStringLiteral("Pictures/Standard/Propertys/MainPropertyPage.bmp") : QString();
    m_pStart = new CMainPropertyPageStart(m_host, picture);
    m_pDevice = new CMainPropertyPageDevice(m_host, picture);

    auto* layout = new QVBoxLayout(this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto button = [&](const QString& text, int id) {
        auto* b = WithId(new QPushButton(text, this), id);
        b->setAutoDefault(false);
        buttons->addWidget(b);
        return b;
    };

    if (wizard) {
        m_pFinish = new CMainPropertyPageFinish(picture);
        m_pStack = new QStackedWidget(this);
        for (QWidget* page : std::initializer_list<QWidget*>{m_pStart, m_pDevice, m_pFinish}) m_pStack->addWidget(page);
        layout->addWidget(m_pStack, 1);
        m_pBack = button(tr("< 戻る(&B)"), kIdBack);
        m_pNext = button(tr("次へ(&N) >"), kIdNext);
        m_pFinishButton = button(tr("完了"), kIdFinish);
        m_pCancel = button(tr("キャンセル"), kIdCancel);
        connect(m_pBack, &QPushButton::clicked, this, [this] { SetPage(CurrentPage() - 1); });
        connect(m_pNext, &QPushButton::clicked, this, [this] { SetPage(CurrentPage() + 1); });
        // Finishing applies page 1, then page 2; cancelling applies nothing.
        connect(m_pFinishButton, &QPushButton::clicked, this, [this] {
            ApplyAll();
            accept();
        });
        connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);
        SetPage(0);
    } else {
        m_pTabs = new QTabWidget(this);
        m_pTabs->addTab(m_pStart, m_pStart->windowTitle());
        m_pTabs->addTab(m_pDevice, m_pDevice->windowTitle());
        layout->addWidget(m_pTabs, 1);
        m_pOk = button(QStringLiteral("OK"), kIdOk);
        m_pCancel = button(tr("キャンセル"), kIdCancel);
        m_pApply = button(tr("適用(&A)"), kIdApply);
        m_pOk->setDefault(true);
        m_pApply->setEnabled(false);
        connect(m_pOk, &QPushButton::clicked, this, [this] {
            ApplyAll();
            accept();
        });
        connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);
        connect(m_pApply, &QPushButton::clicked, this, [this] {
            ApplyAll();
            m_pApply->setEnabled(false);
        });
        connect(m_pStart, &CMainPropertyPageStart::modified, this, [this] { m_pApply->setEnabled(true); });
        connect(m_pDevice, &CMainPropertyPageDevice::modified, this, [this] { m_pApply->setEnabled(true); });
    }
    layout->addLayout(buttons);
}

int CMainPropertySeet::CurrentPage() const
{
    return m_pStack ? m_pStack->currentIndex() : m_pTabs->currentIndex();
}

void CMainPropertySeet::SetPage(int page)
{
    if (!m_pStack || page < 0 || page >= m_pStack->count()) return;
    m_pStack->setCurrentIndex(page);
    const bool last = page == m_pStack->count() - 1;
    // The last page offers only the finish button: there is no way back.
    m_pBack->setVisible(!last);
    m_pBack->setEnabled(page > 0);
    m_pNext->setVisible(!last);
    m_pCancel->setVisible(!last);
    m_pFinishButton->setVisible(last);
    (last ? m_pFinishButton : m_pNext)->setDefault(true);
}

void CMainPropertySeet::ApplyAll()
{
    m_pStart->OnApply();
    m_pDevice->OnApply();
}

void CMainPropertySeet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    DialogRegistry::Opened(this);
}
