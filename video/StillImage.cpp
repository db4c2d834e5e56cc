#include "video/StillImage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QUrl>

#include <cstring>
#include <vector>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "video/CameraView.h"
#include "video/JpegBuffer.h"
#include "video/JpegControl.h"

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

OskelJpegControlData CStillImage::PrepareCamera()
{
    if (HasCamera()) {
        m_pCamera->SetFrameRate(0);
        return OskelJpegControlData(m_pCamera->Pipeline().ControlData());
    }
    OskelJpegControlData settings;
    settings.m_nQuality = kNoCameraQuality;
    return settings;
}

void CStillImage::Select(QWidget* parent)
{
    PrepareCamera();
    const QString chosen =
        QFileDialog::getOpenFileName(parent, QString(), QString::fromStdString(SampleFolder()),
                                     QCoreApplication::translate("CStillImage", "画像ファイル (*.jpg *.jpeg)"));
    if (chosen.isEmpty()) {
        MORVIKA_LOG("ERROR ::GetOpenFileName() %X \n", 0u);
        return;
    }
    UseFile(chosen);
}

bool CStillImage::UseFile(const QString& path)
{
    const std::string from = path.toStdString();
    const std::string to = StillFile();
    MORVIKA_LOG("LOG   CUserWndObject::StillSerect() 元　%s \n", from.c_str());
    MORVIKA_LOG("LOG   CUserWndObject::StillSerect() 先　%s \n", to.c_str());
    if (!CopyFileInPieces(from, to)) return false;
    JpegBuffer buffer;
    buffer.LoadFile(to);
    if (buffer.Data() == nullptr || buffer.Length() == 0) return false;
    const SendBlock block{0, buffer.Length(), buffer.Data()};
    SendMessage(m_hMain, WM_STILL_IMAGE, 0, reinterpret_cast<LPARAM>(&block));
    return true;
}

bool CStillImage::Paste(const QMimeData* clipboard)
{
    if (clipboard == nullptr) return false;
    const QString file = FirstFile(clipboard);
    if (file.isEmpty() && !clipboard->hasImage()) return false;
    const OskelJpegControlData settings = PrepareCamera();
    QImage picture = file.isEmpty() ? qvariant_cast<QImage>(clipboard->imageData()) : QImage(file);
    if (picture.isNull()) return false;
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
    std::uint32_t length = 0;
    const JpegBlock jpeg = JpegBuffer::EncodeBitmap(bitmap, settings, length);
    if (jpeg == nullptr || length == 0) return false;
    // Kept as the still image file as well, so the camera image page shows it.
    std::FILE* out = std::fopen(StillFile().c_str(), "wb");
    if (out != nullptr) {
        std::fwrite(jpeg.get(), 1, length, out);
        std::fclose(out);
    }
    const SendBlock block{0, length, jpeg.get()};
    SendMessage(m_hMain, WM_STILL_IMAGE, 0, reinterpret_cast<LPARAM>(&block));
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
