#include <gtest/gtest.h>

#include <string>

#include "video/CameraDevices.h"

TEST(CameraDevicesTest, NamesAreCutToSixtyThreeWholeCharacters)
{
    const std::string ascii(70, 'c');
    EXPECT_EQ(CutCameraName(ascii), std::string(63, 'c'));
    EXPECT_EQ(CutCameraName(std::string(63, 'c')), std::string(63, 'c'));
    // Three bytes a character: 63 characters stay whole, the 64th goes.
    std::string kana;
    for (int i = 0; i < 64; ++i) kana += "カ";
    const std::string cut = CutCameraName(kana);
    EXPECT_EQ(cut.size(), 63u * 3u);
    EXPECT_EQ(cut, kana.substr(0, 63 * 3));
}
