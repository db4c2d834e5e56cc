// The voice controls as the user meets them: the knob's value and position at both ends, the
// volume page driving a peer's playback through the knob, the microphone test without and
// with level reports, and the settings dialog keeping the stored quality.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>

#include "SoundTestSupport.h"
#include "app/HalvoApp.h"
#include "voice/DlgMicTest.h"
#include "voice/MicControl.h"
#include "voice/PageClientMicVolume.h"
#include "voice/SoundCapture.h"
#include "voice/SoundPlay.h"
#include "voice/VolumeControl.h"

using namespace morvika::sound;

TEST(VolumeControl, ValueAndPositionMeetAtBothEndsOfTheTrack)
{
    CVolumeControl knob(nullptr);
    knob.Create(QRect(0, 0, 17, 200), 1064, QString(), QString());  // no pictures: 13-pixel speaker
    knob.SetRange(0, 200, false);
    // Speaker at 185..197; the area above it is 185 high, shortened by 7 at each end.
    EXPECT_EQ(knob.SpeakerRect(), QRect(2, 185, 13, 13));
    EXPECT_EQ(knob.TrackRect().top(), 7);
    EXPECT_EQ(knob.TrackRect().bottom(), 178);
    EXPECT_EQ(knob.PositionOf(200), 7);
    EXPECT_EQ(knob.PositionOf(0), 178);
    EXPECT_EQ(knob.PositionOf(500), 7);  // clamped to the range first
    EXPECT_EQ(knob.PositionOf(100), 178 - 85);
    EXPECT_EQ(knob.ValueAt(7), 200);
    EXPECT_EQ(knob.ValueAt(0), 200);  // above the track
    EXPECT_EQ(knob.ValueAt(178), 0);
    EXPECT_EQ(knob.ValueAt(199), 0);  // below it

    std::vector<int> reported;
    knob.onScroll = [&](int value) { reported.push_back(value); };
    knob.SetPos(120);  // placing does not report
    EXPECT_EQ(knob.GetPos(), 120);
    knob.MoveKnobTo(250);
    EXPECT_EQ(reported, std::vector<int>{200});
    EXPECT_EQ(knob.KnobY(), 7);
}

TEST(PageClientMicVolume, SliderPositionsSetThePeersVolumeThroughTheKnobAndMuteDisablesIt)
{
    VirtualSoundBackend backend;
    RecordingPoster poster;
    CSoundPlay play(backend, &poster);
    ASSERT_EQ(play.Init(0x10, nullptr, nullptr), 0);
    CVolumeControl knob(nullptr);
    knob.Create(QRect(0, 0, 17, 200), 1064, QString(), QString());
    knob.SetRange(0, 200, false);
    knob.onScroll = [&](int value) { play.SetVolume(value); };  // as the peer window binds it

    CPageClientMicVolume page(&knob, &play);
    EXPECT_EQ(page.Slider()->value(), 100);  // volume 100 sits in the middle
    for (const auto& [position, volume] : std::vector<std::pair<int, long>>{{0, 200}, {100, 100}, {200, 0}}) {
        page.Slider()->setValue(position);
        long got = -1;
        ASSERT_EQ(play.GetVolume(&got), 0);
        EXPECT_EQ(got, volume) << position;
        EXPECT_EQ(knob.GetPos(), volume);
    }

    page.Slider()->setValue(100);
    page.MuteBox()->click();
    EXPECT_TRUE(play.IsMuted());
    EXPECT_TRUE(knob.IsMuted());
    EXPECT_FALSE(page.Slider()->isEnabled());
    page.MuteBox()->click();
    long got = -1;
    play.GetVolume(&got);
    EXPECT_EQ(got, 100);  // unmuting brings the volume back

    CPageClientMicVolume unbound(nullptr, nullptr);
    EXPECT_FALSE(unbound.Slider()->isEnabled());
}

class MicTestTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    CHalvoApp app{dir.filePath(QStringLiteral("Morvika.conf")).toStdString()};
    VirtualSoundBackend backend;
    RecordingPoster poster;
    RecordingSink sink;
    CSoundCapture capture{backend, &poster, &sink};
};

TEST_F(MicTestTest, WithoutALevelReportNothingIsStoredAndTheDialogSaysSo)
{
    CDlgMicTest test(app, &capture);
    std::optional<bool> stored;
    test.onFinished = [&](bool ok, int) { stored = ok; };
    test.OnSilenceButton();
    EXPECT_FALSE(test.SilenceButton()->isEnabled());
    test.OnTimer();
    EXPECT_EQ(stored, std::optional<bool>(false));
    EXPECT_FALSE(app.HasNonVoice());
    EXPECT_EQ(test.Message()->text(), CDlgMicTest::NoSoundText());
    EXPECT_TRUE(test.SilenceButton()->isEnabled());
}

TEST_F(MicTestTest, TheMeanOfTheReportsIsStoredAndGivenToTheCapture)
{
    CDlgMicTest test(app, &capture);
    test.WindowProc(WM_VOICE_LEVEL, 500, 99);  // before measuring: the meter only
    EXPECT_EQ(test.Meter()->value(), 500);
    test.OnSilenceButton();
    for (const int mean : {-30, -10, -21}) test.WindowProc(WM_VOICE_LEVEL, 0, mean);
    EXPECT_EQ(test.Slider()->value(), 21);
    test.OnTimer();
    EXPECT_TRUE(app.HasNonVoice());
    EXPECT_EQ(app.GetNonVoice(), -20);
    EXPECT_EQ(capture.DcOffset(), -20);
    EXPECT_EQ(test.Slider()->value(), 20);
    EXPECT_EQ(test.Message()->text(), CDlgMicTest::DoneText());
}

TEST_F(MicTestTest, SettingsDialogKeepsTheStoredQualityAndWritesTheRecordIntoTheCapture)
{
    CVoiceClientConfig live;  // the capture's record
    capture.SetSettings(&live);
    CVoiceClientConfig copy;
    copy.m_dwThreshold = 4;
    copy.m_dwFlags = 4;
    copy.m_lRecordVolume = -200;
    CMicControl dialog(copy, "no mixer", nullptr, &capture, app, 2, QString());
    EXPECT_TRUE(dialog.QualityButton(2)->isChecked());
    EXPECT_EQ(dialog.Slider()->value(), 200);
    EXPECT_FALSE(dialog.Rate()->isEnabled());  // two users connected
    EXPECT_FALSE(dialog.ApplyButton()->isEnabled());
    dialog.Mute()->click();
    dialog.Slider()->setValue(350);
    EXPECT_TRUE(dialog.ApplyButton()->isEnabled());
    dialog.OnOK();
    EXPECT_EQ(live.m_dwThreshold, 4u);
    EXPECT_EQ(live.RawFlags(), 5u);
    EXPECT_EQ(live.m_lRecordVolume, -350);

    dialog.AutoGain()->click();
    EXPECT_FALSE(dialog.Slider()->isEnabled());
    dialog.QualityButton(0)->click();
    dialog.OnApply();
    EXPECT_EQ(live.RawFlags(), 13u);
    EXPECT_EQ(live.m_lRecordVolume, 1);
    EXPECT_EQ(live.m_dwThreshold, 8u);
}
