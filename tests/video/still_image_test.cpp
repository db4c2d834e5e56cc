// The camera image page and still images from the own window, with a recorder in place of
// the main window.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QUrl>

#include <fstream>

#include "JpegTestPictures.h"
#include "app/WindowMessages.h"
#include "video/JpegBuffer.h"
#include "video/JpegControl.h"
#include "video/StillImage.h"
#include "platform/winmsg/WinMsgPayload.h"

namespace {

// The main window: keeps a copy of every still image.
class StillRecorder : public CMsgTarget {
public:
    ~StillRecorder() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        const auto* block = SentPayload<const SendBlock>(lParam);
        if (message == WM_STILL_IMAGE && block != nullptr)
            stills.emplace_back(block->bytes, block->bytes + block->count);
        return 0;
    }
    std::vector<std::vector<unsigned char>> stills;
};

void WriteFile(const QString& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> ReadFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll();
    return {bytes.begin(), bytes.end()};
}

class StillImageTest : public ::testing::Test {
protected:
    QString Folder() const { return dir.path() + QLatin1Char('/'); }
    std::string StillFile() const { return (Folder() + QStringLiteral("rgbtest.jpeg")).toStdString(); }
    QTemporaryDir dir;
    StillRecorder main;
};

TEST_F(StillImageTest, ThePageShowsAndReadsItsControlsAsTheCameraKeepsThem)
{
    OskelJpegControlData settings;
    settings.m_nFrameRate = 3;  // not in the list
    std::vector<OskelJpegControlData> pushed;
    CJpegControl page(
        settings, [&](const OskelJpegControlData& data) { pushed.push_back(data); }, StillFile(), main.Handle(),
        nullptr);
    EXPECT_EQ(page.RateList()->currentIndex(), -1);
    EXPECT_EQ(page.QualitySlider()->value(), 40) << "quality 39 sits at position 40";
    EXPECT_FALSE(page.ApplyButton()->isEnabled());

    page.QualitySlider()->setValue(1);
    page.OnApply();
    EXPECT_EQ(page.Settings().m_nFrameRate, 4) << "an empty selection applies 4";
    EXPECT_EQ(page.Settings().m_nQuality, 0);
    EXPECT_EQ(page.Settings().m_nDctMethod, 1);
    ASSERT_EQ(pushed.size(), 1u) << "Apply hands the settings to the element";
    EXPECT_EQ(pushed[0].m_nFrameRate, 4);
    EXPECT_EQ(pushed[0].m_nQuality, 0);

    const std::int32_t rates[] = {0, 1, 2, 4, 8, 12};
    for (int index = 0; index < 6; ++index) {
        page.RateList()->setCurrentIndex(index);
        page.OnApply();
        EXPECT_EQ(page.Settings().m_nFrameRate, rates[index]);
    }
    EXPECT_TRUE(main.stills.empty()) << "no still image exists yet, so rate 0 sends nothing";
}

TEST_F(StillImageTest, ApplyingRateZeroSendsTheRecompressedStillImageOnce)
{
    WriteFile(QString::fromStdString(StillFile()), EncodeDefault(MakeBandedBitmap(640, 480)));
    OskelJpegControlData settings;
    CJpegControl page(settings, {}, StillFile(), main.Handle(), nullptr);
    ASSERT_GT(page.StillLength(), 0u);
    EXPECT_FALSE(page.PreviewImage().isNull());

    page.RateList()->setCurrentIndex(3);  // " 4"
    page.OnApply();
    EXPECT_TRUE(main.stills.empty());
    page.RateList()->setCurrentIndex(0);  // " 0"
    page.OnApply();
    ASSERT_EQ(main.stills.size(), 1u);
    // What leaves is the file re-compressed at 320 pixels wide.
    TopDownPicture sent;
    ASSERT_TRUE(DecodeDirect(main.stills[0], sent));
    EXPECT_EQ(sent.width, 320);
    EXPECT_EQ(sent.height, 240);
}

TEST_F(StillImageTest, ALargeFileIsCopiedByThePageButOnlySentWholeFromTheOwnWindow)
{
    const TestBitmap noise = MakeNoisyBitmap(1300, 1000, 3);
    OskelJpegControlData fine;
    fine.m_nQuality = 100;
    std::uint32_t length = 0;
    const DibSection section{noise.width, noise.height, static_cast<std::int32_t>(noise.Stride()),
                             1,           24,           const_cast<unsigned char*>(noise.pixels.data())};
    const JpegBlock large = JpegBuffer::EncodeBitmap(section, fine, length);
    ASSERT_GT(length, 2u * 1024 * 1024) << "the test picture should be over 2 MiB";
    const QString chosen = dir.filePath(QStringLiteral("large.jpg"));
    WriteFile(chosen, std::vector<unsigned char>(large.get(), large.get() + length));

    CJpegControl page(OskelJpegControlData(), {}, StillFile(), main.Handle(), nullptr);
    page.chooseFile = [&] { return chosen; };
    page.OnChooseFile();
    EXPECT_EQ(ReadFile(QString::fromStdString(StillFile())).size(), length) << "copied over the still image file";
    EXPECT_EQ(page.StillLength(), 0u) << "a file over 1 MiB is not loaded";
    EXPECT_TRUE(page.ApplyButton()->isEnabled());
    EXPECT_TRUE(page.Notice()->text().contains(QStringLiteral("large.jpg"))) << "and the page says why";
    // Choosing the still image file itself keeps it whole.
    page.chooseFile = [&] { return QString::fromStdString(StillFile()); };
    page.OnChooseFile();
    EXPECT_EQ(ReadFile(QString::fromStdString(StillFile())).size(), length);

    CStillImage still(main.Handle(), Folder().toStdString(), nullptr);
    ASSERT_TRUE(still.UseFile(chosen));
    ASSERT_EQ(main.stills.size(), 1u);
    EXPECT_EQ(main.stills[0], std::vector<unsigned char>(large.get(), large.get() + length)) << "sent as it is";
}

TEST_F(StillImageTest, PastingWithoutACameraCompressesAtQuality99)
{
    const TestBitmap banded = MakeBandedBitmap(200, 150);
    QImage picture(banded.width, banded.height, QImage::Format_RGB888);
    for (int y = 0; y < banded.height; ++y) {
        for (int x = 0; x < banded.width; ++x) {
            const unsigned char* bgr = banded.PixelAt(y, x);
            picture.setPixel(x, y, qRgb(bgr[2], bgr[1], bgr[0]));
        }
    }
    CStillImage still(main.Handle(), Folder().toStdString(), nullptr);
    QMimeData bitmap;
    bitmap.setImageData(picture);
    ASSERT_TRUE(still.CanPaste(&bitmap));
    ASSERT_TRUE(still.Paste(&bitmap));
    ASSERT_EQ(main.stills.size(), 1u);
    OskelJpegControlData expected;
    expected.m_nQuality = 99;
    std::uint32_t length = 0;
    const DibSection section{banded.width,
                             banded.height,
                             static_cast<std::int32_t>(banded.Stride()),
                             1,
                             24,
                             const_cast<unsigned char*>(banded.pixels.data())};
    const JpegBlock reference = JpegBuffer::EncodeBitmap(section, expected, length);
    EXPECT_EQ(main.stills[0], std::vector<unsigned char>(reference.get(), reference.get() + length));
    EXPECT_EQ(ReadFile(QString::fromStdString(StillFile())), main.stills[0]) << "kept as the still image file";

    // A file list: its first file, when it is a picture.
    const QString png = dir.filePath(QStringLiteral("pasted.png"));
    ASSERT_TRUE(picture.save(png));
    const QString text = dir.filePath(QStringLiteral("notes.txt"));
    WriteFile(text, {'h', 'i'});
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(text), QUrl::fromLocalFile(png)});
    EXPECT_FALSE(still.CanPaste(&files)) << "only the first file counts";
    files.setUrls({QUrl::fromLocalFile(png)});
    EXPECT_TRUE(still.CanPaste(&files));
    ASSERT_TRUE(still.Paste(&files));
    ASSERT_EQ(main.stills.size(), 2u);
    EXPECT_EQ(main.stills[1], main.stills[0]);
    QMimeData nothing;
    EXPECT_FALSE(still.CanPaste(&nothing));
    EXPECT_FALSE(still.Paste(&nothing));
    EXPECT_FALSE(still.CanBackToCamera()) << "no camera to go back to";
}

}  // namespace

namespace {

std::vector<unsigned char> NoiseJpeg(int width, int height, int quality)
{
    const TestBitmap noise = MakeNoisyBitmap(width, height, 7);
    OskelJpegControlData settings;
    settings.m_nQuality = quality;
    std::uint32_t length = 0;
    const DibSection section{noise.width, noise.height, static_cast<std::int32_t>(noise.Stride()),
                             1,           24,           const_cast<unsigned char*>(noise.pixels.data())};
    const JpegBlock jpeg = JpegBuffer::EncodeBitmap(section, settings, length);
    return std::vector<unsigned char>(jpeg.get(), jpeg.get() + length);
}

}  // namespace

// A still is taken only once it is in hand: the still image file chosen itself stays whole, a
// broken file or one that is no picture changes nothing, and a photo too big for a message is
// scaled down and sent.
TEST_F(StillImageTest, AStillIsKeptOnlyOnceItIsWholeAndFitsAMessage)
{
    CStillImage still(main.Handle(), Folder().toStdString(), nullptr);
    const QString stillFile = QString::fromStdString(StillFile());
    const std::vector<unsigned char> small = NoiseJpeg(320, 240, 60);
    WriteFile(stillFile, small);
    ASSERT_TRUE(still.UseFile(stillFile));
    EXPECT_EQ(ReadFile(stillFile), small) << "the chosen file was lost";
    ASSERT_EQ(main.stills.size(), 1u);
    EXPECT_EQ(main.stills[0], small);

    std::vector<unsigned char> broken = small;
    broken.resize(broken.size() / 2);
    for (std::size_t i = broken.size() / 3; i < broken.size(); ++i) broken[i] = static_cast<unsigned char>(i * 31);
    const QString brokenFile = dir.filePath(QStringLiteral("broken.jpg"));
    WriteFile(brokenFile, broken);
    const QString textFile = dir.filePath(QStringLiteral("notes.jpg"));
    WriteFile(textFile, {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c'});
    EXPECT_FALSE(still.UseFile(brokenFile));
    EXPECT_FALSE(still.UseFile(textFile));
    EXPECT_FALSE(still.UseFile(dir.filePath(QStringLiteral("missing.jpg"))));
    EXPECT_EQ(main.stills.size(), 1u) << "a refused file was sent";
    EXPECT_EQ(ReadFile(stillFile), small) << "a refused file replaced the still";

    // A photo of 2400 x 1800 over the message limit: scaled to the largest size kept, whole.
    const std::vector<unsigned char> photo = NoiseJpeg(2400, 1800, 95);
    ASSERT_GT(photo.size(), 4u * 1024 * 1024);
    const QString photoFile = dir.filePath(QStringLiteral("photo.jpg"));
    WriteFile(photoFile, photo);
    ASSERT_TRUE(still.UseFile(photoFile));
    ASSERT_EQ(main.stills.size(), 2u);
    EXPECT_LE(main.stills[1].size(), static_cast<std::size_t>(CStillImage::kMaxStillBytes));
    QImage sent;
    ASSERT_TRUE(sent.loadFromData(main.stills[1].data(), static_cast<int>(main.stills[1].size()), "JPEG"));
    EXPECT_EQ(sent.size(), QSize(1600, 1200));
    EXPECT_EQ(ReadFile(stillFile), main.stills[1]);
}
