#include "video/StillImage.h"

#include <QCoreApplication>
#include <QDir>
#include <QBuffer>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QMessageBox>
#include <QMimeData>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "video/CameraView.h"
#include "video/JpegBuffer.h"
#include "video/JpegControl.h"
#include "video/OskelJpegObject.h"

namespace {

// The first file of a file list that is a local file, or empty.
QString FirstFile(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls() || data->urls().isEmpty()) return {};
    const QUrl first = data->urls().constFirst();
    return first.isLocalFile() ? first.toLocalFile() : QString();
}

}  // namespace

CStillImage::CStillImage(HWND mainWindow, std::string workingFolder, CCameraView* camera)
    : m_hMain(mainWindow),
      m_strFolder(std::move(workingFolder)),
      m_pCamera(camera)
{
}

void CStillImage::InstallSamples(const std::string& assetsFolder) const
{
    const QString target = QString::fromStdString(SampleFolder());
    if (QDir(target).exists()) return;
    const QDir source(QString::fromStdString(assetsFolder) + QStringLiteral("Pictures/Sample"));
    if (!source.exists() || !QDir().mkpath(target)) return;
    for (const QString& name : source.entryList({QStringLiteral("*.jpg")}, QDir::Files)) {
        QFile::copy(source.filePath(name), target + QLatin1Char('/') + name);
    }
}

bool CStillImage::HasCamera() const
{
    // A camera icon without a pipeline has no camera behind it.
    return m_pCamera != nullptr && m_pCamera->Pipeline().State() != kPipelineNone;
}

OskelJpegControlData CStillImage::CompressionSettings() const
{
    if (HasCamera()) return OskelJpegControlData(m_pCamera->Pipeline().ControlData());
    OskelJpegControlData settings;
    settings.m_nQuality = kNoCameraQuality;
    return settings;
}

OskelJpegControlData CStillImage::PrepareCamera()
{
    const OskelJpegControlData settings = CompressionSettings();
    if (HasCamera()) m_pCamera->SetFrameRate(0);
    return settings;
}

void CStillImage::Select(QWidget* parent)
{
    const QString chosen =
        QFileDialog::getOpenFileName(parent, QString(), QString::fromStdString(SampleFolder()),
                                     QCoreApplication::translate("CStillImage", "画像ファイル (*.jpg *.jpeg)"));
    if (chosen.isEmpty()) {
        MORVIKA_LOG("ERROR ::GetOpenFileName() %X \n", 0u);
        return;
    }
    if (!UseFile(chosen)) {
        QMessageBox::warning(parent, QCoreApplication::translate("CStillImage", "静止画の選択"),
                             QCoreApplication::translate("CStillImage", "「%1」は画像として読み込めませんでした。")
                                 .arg(QFileInfo(chosen).fileName()));
    }
}

std::vector<unsigned char> CStillImage::Compress(QImage picture, const OskelJpegControlData& settings) const
{
    picture = picture.convertToFormat(QImage::Format_RGB888).rgbSwapped();  // blue, green, red
    DibSection bitmap;
    bitmap.bmWidth = picture.width();
    bitmap.bmHeight = picture.height();
    bitmap.bmWidthBytes = static_cast<std::int32_t>(DibStride(24, static_cast<std::uint32_t>(picture.width())));
    std::vector<unsigned char> bits(static_cast<std::size_t>(bitmap.bmWidthBytes) *
                                    static_cast<std::size_t>(bitmap.bmHeight));
    for (int y = 0; y < picture.height(); ++y) {
        std::memcpy(bits.data() + static_cast<std::ptrdiff_t>(picture.height() - 1 - y) * bitmap.bmWidthBytes,
                    picture.constScanLine(y), static_cast<std::size_t>(picture.width()) * 3);
    }
    bitmap.bmBits = bits.data();
    OskelJpegControlData tried = settings;
    while (true) {
        std::uint32_t length = 0;
        const JpegBlock jpeg = JpegBuffer::EncodeBitmap(bitmap, tried, length);
        if (jpeg == nullptr || length == 0) return {};
        // Noise at a high quality may still be too much for one message: coarser until it fits.
        if (length <= static_cast<std::uint32_t>(kMaxStillBytes) || tried.m_nQuality <= 10) {
            return std::vector<unsigned char>(jpeg.get(), jpeg.get() + length);
        }
        tried.m_nQuality = std::max(10, tried.m_nQuality - 20);
    }
}

std::vector<unsigned char> CStillImage::StillFrom(const QByteArray& bytes) const
{
    QBuffer source;
    source.setData(bytes);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source);
    const QSize size = reader.size();
    if (!reader.canRead() || !size.isValid() || size.isEmpty()) return {};
    const bool fits = reader.format() == "jpeg" && bytes.size() <= kMaxStillBytes && size.width() <= kMaxStillWidth &&
                      size.height() <= kMaxStillHeight;
    if (fits) {
        // Kept as it is only when every peer's decoder can show it whole.
        OskelJpegObject jpeg;
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
        jpeg.BeginDecode(data, static_cast<std::uint32_t>(bytes.size()), 1, 1);
        bool whole = jpeg.DecodeState() > 0 && jpeg.OutputWidth() > 0 && jpeg.OutputHeight() > 0;
        if (whole) {
            std::vector<unsigned char> rows(static_cast<std::size_t>(DibStride(24, jpeg.OutputWidth())) *
                                            jpeg.OutputHeight());
            jpeg.ReadAllRows(rows.data());
            whole = jpeg.DecodeState() == 1 && jpeg.DecodeWarnings() == 0;
        }
        jpeg.EndDecode();
        if (!whole) return {};
        return std::vector<unsigned char>(data, data + bytes.size());
    }
    // Decoded straight at the size it is kept at, so even a huge picture costs little memory.
    reader.setAutoTransform(true);
    const QSize target = size.width() > kMaxStillWidth || size.height() > kMaxStillHeight
                             ? size.scaled(kMaxStillWidth, kMaxStillHeight, Qt::KeepAspectRatio).expandedTo(QSize(1, 1))
                             : size;
    reader.setScaledSize(target);
    const QImage picture = reader.read();
    if (picture.isNull()) return {};
    return Compress(picture, CompressionSettings());
}

void CStillImage::Keep(const std::vector<unsigned char>& jpeg)
{
    // Written under a temporary name and renamed, so the file stays whole whatever happens.
    QSaveFile out(QString::fromStdString(StillFile()));
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<qint64>(jpeg.size())) !=
            static_cast<qint64>(jpeg.size()) ||
        !out.commit()) {
        MORVIKA_LOG("ERROR CStillImage::Keep() 静止画を保存できない %s %s \n", StillFile().c_str(),
                    out.errorString().toUtf8().constData());
    }
    PrepareCamera();
    const SendBlock block{0, static_cast<std::uint32_t>(jpeg.size()), jpeg.data()};
    SendPayload(m_hMain, WM_STILL_IMAGE, 0, block);
}

bool CStillImage::UseFile(const QString& path)
{
    const std::string from = path.toStdString();
    MORVIKA_LOG("LOG   CUserWndObject::StillSerect() 元　%s \n", from.c_str());
    MORVIKA_LOG("LOG   CUserWndObject::StillSerect() 先　%s \n", StillFile().c_str());
    // Read whole first: the chosen file may be the still image file itself.
    QFile in(path);
    constexpr qint64 kMaxReadBytes = 64 * 1024 * 1024;
    if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxReadBytes) {
        MORVIKA_LOG("ERROR CStillImage::UseFile() 読み込めない %s \n", from.c_str());
        return false;
    }
    const std::vector<unsigned char> still = StillFrom(in.readAll());
    if (still.empty()) {
        MORVIKA_LOG("ERROR CStillImage::UseFile() 画像ではない %s \n", from.c_str());
        return false;
    }
    Keep(still);
    return true;
}

bool CStillImage::Paste(const QMimeData* clipboard)
{
    if (clipboard == nullptr) return false;
    const QString file = FirstFile(clipboard);
    if (file.isEmpty() && !clipboard->hasImage()) return false;
    QImage picture;
    if (file.isEmpty()) {
        picture = qvariant_cast<QImage>(clipboard->imageData());
    } else {
        QImageReader reader(file);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (size.width() > kMaxStillWidth || size.height() > kMaxStillHeight) {
            reader.setScaledSize(size.scaled(kMaxStillWidth, kMaxStillHeight, Qt::KeepAspectRatio));
        }
        picture = reader.read();
    }
    if (picture.isNull()) return false;
    if (picture.width() > kMaxStillWidth || picture.height() > kMaxStillHeight) {
        picture = picture.scaled(kMaxStillWidth, kMaxStillHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    const std::vector<unsigned char> jpeg = Compress(picture, CompressionSettings());
    if (jpeg.empty()) return false;
    // Kept as the still image file as well, so the camera image page shows it.
    Keep(jpeg);
    return true;
}

bool CStillImage::CanPaste(const QMimeData* clipboard) const
{
    if (clipboard == nullptr) return false;
    const QString file = FirstFile(clipboard);
    if (!file.isEmpty()) return QImageReader(file).canRead();
    return clipboard->hasImage();
}

bool CStillImage::CanBackToCamera() const
{
    return HasCamera() && m_pCamera->Pipeline().ControlData().m_nFrameRate == 0;
}

void CStillImage::BackToCamera()
{
    if (m_pCamera != nullptr) m_pCamera->SetFrameRate(OskelJpegControlData::kDefaultFrameRate);
}
