#include <gtest/gtest.h>

#include "GstTestEnvironment.h"
#include "filter/MediaTypeGuid.h"

namespace {

std::string GuidText(const OskelGuid& guid)
{
    std::string line = FormatGuidLine("", &guid);
    return line.substr(1, line.size() - 3);  // drop the prefix blank and the " \n" tail
}

MediaTypeGuids GuidsOf(const char* capsText)
{
    InitGstreamerForTests();
    GstCaps* caps = gst_caps_from_string(capsText);
    const MediaTypeGuids guids = MediaTypeGuidsOf(caps);
    gst_caps_unref(caps);
    return guids;
}

}  // namespace

TEST(GuidLogLine, PrintsTheFieldsWithTheThirdByteOfTheLastGroupInLowerCase)
{
    const OskelGuid guid = {0x5AFA2D39, 0xEB2D, 0x4A75, {0xB4, 0xD2, 0xAB, 0x83, 0xB6, 0x4F, 0x93, 0xBF}};
    EXPECT_EQ(FormatGuidLine("PREFIX ", &guid), "PREFIX  {5AFA2D39-EB2D-4A75-B4D2-ab83B64F93BF} \n");
    EXPECT_EQ(FormatGuidLine("PREFIX ", nullptr), "PREFIX  { NULL } \n");
}

TEST(MediaTypeGuids, MapCapsOntoMajorTypeSubtypeAndFormat)
{
    const MediaTypeGuids bgr = GuidsOf("video/x-raw,format=BGR,width=320,height=240,framerate=12/1");
    EXPECT_TRUE(bgr.majorType == kMediaTypeVideo);
    EXPECT_TRUE(bgr.subtype == kMediaSubtypeRgb24);
    EXPECT_TRUE(bgr.formatType == kFormatVideoInfo);
    EXPECT_EQ(GuidText(bgr.majorType), "{73646976-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidText(bgr.subtype), "{E436EB7D-524F-11CE-9F53-0020AF0BA770}");
    EXPECT_EQ(GuidText(bgr.formatType), "{05589F80-C356-11CE-BF01-00AA0055595A}");

    EXPECT_EQ(GuidText(GuidsOf("video/x-raw,format=YUY2,width=8,height=8").subtype),
              "{32595559-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidText(GuidsOf("video/x-raw,format=BGRx,width=8,height=8").subtype),
              "{E436EB7E-524F-11CE-9F53-0020AF0BA770}");
    EXPECT_TRUE(GuidsOf("video/x-raw,format=RGBx,width=8,height=8").subtype == kGuidNull)
        << "no identifier exists for red-first 32-bit pixels";
    EXPECT_TRUE(GuidsOf("video/x-raw,format=BGR").formatType == kGuidNull) << "no picture size";
    EXPECT_TRUE(GuidsOf("video/x-raw(memory:GLMemory),format=BGR,width=8,height=8").majorType == kGuidNull);
    EXPECT_TRUE(GuidsOf("audio/x-raw,format=S16LE").subtype == kGuidNull);
    EXPECT_FALSE(GuidsOf("audio/x-raw,format=S16LE").majorType == kMediaTypeVideo);
}
