#include "video/JpegControl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QThread>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <new>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "ui/DialogRegistry.h"
#include "video/JpegBuffer.h"
#include "video/OskelJpegObject.h"

namespace {

// Control 1026: the preview, stretched over the whole frame.
class PreviewFrame : public QWidget {
public:
    PreviewFrame(const QImage& image, QWidget* parent) : QWidget(parent), m_image(image)
    {
        setObjectName(QStringLiteral("preview1026"));
        setFixedSize(CJpegControl::kPreviewWidth / 2 + 2, 122);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), palette().window());
        if (!m_image.isNull()) painter.drawImage(rect(), m_image);
    }

private:
    const QImage& m_image;
};

constexpr std::int32_t kRates[] = {0, 1, 2, 4, 8, 12};

// A bottom-up 24-bit BGR bitmap as an image.
QImage FromBottomUp(const unsigned char* bits, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    const int stride = static_cast<int>(DibStride(24, static_cast<std::uint32_t>(width)));
    for (int y = 0; y < height; ++y) {
        std::memcpy(image.scanLine(y), bits + static_cast<std::ptrdiff_t>(height - 1 - y) * stride,
                    static_cast<std::size_t>(width) * 3);
    }
    return image.rgbSwapped();
}

}  // namespace

bool CopyFileInPieces(const std::string& from, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    // The same file: opening it for writing would empty it before it is read.
    struct stat source {};
    struct stat target {};
    if (::fstat(in, &source) == 0 && ::stat(to.c_str(), &target) == 0 && source.st_dev == target.st_dev &&
        source.st_ino == target.st_ino) {
        ::close(in);
        return true;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    char piece[4096];
    for (;;) {
        const ssize_t n = ::read(in, piece, sizeof piece);
        if (n == 0) break;
        if (n < 0 || ::write(out, piece, static_cast<std::size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    ::close(in);
    ok = ::close(out) == 0 && ok;
    return ok;
}

CJpegControl::CJpegControl(const OskelJpegControlData& settings,
                           std::function<void(const OskelJpegControlData&)> filterControl, std::string stillFile,
                           HWND mainWindow, QWidget* parent)
    : QDialog(parent),
      m_settings(settings),
      m_filterControl(std::move(filterControl)),
      m_strStillFile(std::move(stillFile)),
      m_hMain(mainWindow)
{
    setObjectName(QStringLiteral("CJpegControl"));
    setWindowTitle(tr("カメラ画像のプロパティ"));

    auto* dct = new QGroupBox(tr("圧縮方式"), this);
    auto* dctLayout = new QVBoxLayout(dct);
    const char* dctNames[] = {QT_TR_NOOP("画質優先"), QT_TR_NOOP("動き優先"), QT_TR_NOOP("CPUに依存")};
    for (int i = 0; i < 3; ++i) {
        m_pDct[i] = new QRadioButton(tr(dctNames[i]), dct);
        m_pDct[i]->setObjectName(QStringLiteral("radio%1").arg(1001 + i));
        dctLayout->addWidget(m_pDct[i]);
    }
    m_pRate = new QComboBox(this);
    m_pRate->setObjectName(QStringLiteral("rate1013"));
    m_pQuality = new QSlider(Qt::Horizontal, this);
    m_pQuality->setObjectName(QStringLiteral("quality1004"));
    m_pPreviewFrame = new PreviewFrame(m_preview, this);
    m_pChoose = new QPushButton(tr("貼り付ける画像を選ぶ"), this);
    m_pChoose->setObjectName(QStringLiteral("button1019"));

    m_pNotice = new QLabel(this);
    m_pNotice->setWordWrap(true);
    m_pNotice->setStyleSheet(QStringLiteral("color: #b00000"));
    m_pNotice->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_pApply = buttons->addButton(tr("適用"), QDialogButtonBox::ApplyRole);
    m_pApply->setObjectName(QStringLiteral("button3"));

    for (int i = 0; i < 3; ++i) DialogRegistry::SetControlId(m_pDct[i], 1001 + i);
    DialogRegistry::SetControlId(m_pRate, 1013);
    DialogRegistry::SetControlId(m_pQuality, 1004);
    DialogRegistry::SetControlId(m_pChoose, 1019);
    DialogRegistry::SetControlId(m_pNotice, kNoticeId);
    DialogRegistry::SetControlId(m_pApply, 3);
    DialogRegistry::SetControlId(buttons->button(QDialogButtonBox::Ok), 1);
    DialogRegistry::SetControlId(buttons->button(QDialogButtonBox::Cancel), 2);

    auto* grid = new QGridLayout(this);
    grid->addWidget(dct, 0, 0, 2, 1);
    grid->addWidget(new QLabel(tr("コマ数 (毎秒)"), this), 0, 1);
    grid->addWidget(m_pRate, 0, 2);
    grid->addWidget(new QLabel(tr("画質"), this), 1, 1);
    grid->addWidget(m_pQuality, 1, 2);
    grid->addWidget(m_pPreviewFrame, 2, 0, 1, 2);
    grid->addWidget(m_pChoose, 2, 2, Qt::AlignBottom);
    grid->addWidget(m_pNotice, 3, 0, 1, 3);
    grid->addWidget(buttons, 4, 0, 1, 3);

    connect(buttons, &QDialogButtonBox::accepted, this, &CJpegControl::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pApply, &QPushButton::clicked, this, &CJpegControl::OnApply);
    connect(m_pChoose, &QPushButton::clicked, this, &CJpegControl::OnChooseFile);
    connect(m_pQuality, &QSlider::sliderMoved, this, [this](int position) {
        m_settings.m_nQuality = position - 1;
        RefreshPreview();
    });
    connect(m_pQuality, &QSlider::sliderReleased, this, [this] { m_pApply->setEnabled(true); });
    // Choosing another method or rate is a change to apply as well.
    for (QRadioButton* radio : m_pDct)
        connect(radio, &QRadioButton::clicked, this, [this] { m_pApply->setEnabled(true); });
    connect(m_pRate, &QComboBox::activated, this, [this] { m_pApply->setEnabled(true); });

    OnInitDialog();
}

CJpegControl::~CJpegControl() = default;

void CJpegControl::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    DialogRegistry::Opened(this);
}

std::int32_t CJpegControl::RateFromIndex(int index)
{
    switch (index) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 2;
    case 4: return 8;
    case 5: return 12;
    default: return 4;
    }
}

void CJpegControl::OnInitDialog()
{
    for (const char* entry : {" 0", " 1", " 2", " 4", " 8", "12"}) m_pRate->addItem(QString::fromLatin1(entry));
    m_pRate->setCurrentIndex(-1);
    for (int i = 0; i < 6; ++i) {
        if (kRates[i] == m_settings.m_nFrameRate) m_pRate->setCurrentIndex(i);
    }
    const int method = m_settings.m_nDctMethod;
    if (method >= 0 && method <= 2) m_pDct[method]->setChecked(true);
    m_pQuality->setRange(1, 100);
    m_pQuality->setPageStep(1);
    m_pQuality->setValue(m_settings.m_nQuality + 1);
    m_pApply->setEnabled(false);
    RefreshPreview();
}

void CJpegControl::ReadControls()
{
    m_settings.m_nDctMethod = m_pDct[0]->isChecked() ? 0 : m_pDct[2]->isChecked() ? 2 : 1;
    m_settings.m_nFrameRate = RateFromIndex(m_pRate->currentIndex());
    m_settings.m_nQuality = m_pQuality->value() - 1;
    if (m_filterControl) m_filterControl(OskelJpegControlData(m_settings));
    RefreshPreview();
    if (m_settings.m_nFrameRate == 0) {
        // Lets the streaming thread see rate 0 first, so no live frame follows the still image.
        QThread::msleep(100);
        if (m_pStill != nullptr && m_nStillLength != 0) {
            const SendBlock block{0, m_nStillLength, m_pStill.get()};
            SendPayload(m_hMain, WM_STILL_IMAGE, 0, block);
        }
    }
}

void CJpegControl::OnApply()
{
    m_pApply->setEnabled(false);
    ReadControls();
}

void CJpegControl::OnOK()
{
    m_pApply->setEnabled(false);
    ReadControls();
    accept();
}

void CJpegControl::RefreshPreview()
{
    // Load: files of 1 byte to 1 MiB replace the block; anything else leaves it as it was.
    const int fd = ::open(m_strStillFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_size >= 1 && info.st_size <= static_cast<off_t>(kMaxStillFile)) {
            const auto length = static_cast<std::uint32_t>(info.st_size);
            std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[length]());
            std::uint32_t got = 0;
            while (block != nullptr && got < length) {
                const ssize_t n = ::read(fd, block.get() + got, length - got);
                if (n <= 0) break;
                got += static_cast<std::uint32_t>(n);
            }
            if (block != nullptr) {
                m_pStill = std::move(block);
                m_nStillLength = length;
                JpegBuffer buffer;
                JpegBlock sent = buffer.Transcode(m_pStill.get(), m_nStillLength, kPreviewWidth, m_settings);
                if (sent != nullptr) {
                    m_pStill = std::move(sent);
                    m_nStillLength = buffer.Length();
                }
            }
        }
        ::close(fd);
    }

    m_preview = QImage();
    if (m_pStill != nullptr && m_nStillLength != 0) {
        OskelJpegObject decoder;
        decoder.SetTargetWidth(m_pPreviewFrame->width());
        decoder.BeginDecode(m_pStill.get(), m_nStillLength, 0, 0);
        if (decoder.DecodeState() == 1) {
            const int width = static_cast<int>(decoder.OutputWidth());
            const int height = static_cast<int>(decoder.OutputHeight());
            std::vector<unsigned char> rows(static_cast<std::size_t>(DibStride(24, static_cast<std::uint32_t>(width))) *
                                            static_cast<std::size_t>(height));
            if (!rows.empty()) {
                decoder.ReadAllRows(rows.data());
                if (decoder.DecodeState() == 1) m_preview = FromBottomUp(rows.data(), width, height);
            }
        }
        decoder.EndDecode();
    }
    m_pPreviewFrame->update();
}

void CJpegControl::OnChooseFile()
{
    const QString chosen =
        chooseFile ? chooseFile()
                   : QFileDialog::getOpenFileName(this, QString(), QString(), tr("画像ファイル (*.jpg *.jpeg)"));
    if (chosen.isEmpty()) {
        MORVIKA_LOG("ERROR ::GetOpenFileName() %X \n", 0u);
    } else {
        const std::string from = chosen.toStdString();
        MORVIKA_LOG("LOG   CJpegControl::OnBnClickedButton1() 元　%s \n", from.c_str());
        MORVIKA_LOG("LOG   CJpegControl::OnBnClickedButton1() 先　%s \n", m_strStillFile.c_str());
        if (!CopyFileInPieces(from, m_strStillFile)) {
            MORVIKA_LOG("ERROR CJpegControl::OnBnClickedButton1() コピーできない %s %s \n", from.c_str(),
                        std::strerror(errno));
        }
        // The page loads no file over 1 MiB; say so rather than keep the old preview silently.
        const QFileInfo info(chosen);
        if (info.size() > static_cast<qint64>(kMaxStillFile)) {
            MORVIKA_LOG("ERROR CJpegControl::OnBnClickedButton1() 1MBを超える %s \n", from.c_str());
            m_pNotice->setText(tr("「%1」は1MBを超えるため、この画面では使えません。自分のウインドウの"
                                  "「静止画の選択」なら送れます。")
                                   .arg(info.fileName()));
            m_pNotice->show();
        } else {
            m_pNotice->hide();
        }
    }
    RefreshPreview();
    m_pApply->setEnabled(true);
}
