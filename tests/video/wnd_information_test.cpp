// View records, preset sizes and the drag clamp of the window objects.
#include <gtest/gtest.h>

#include "video/WndInformation.h"

namespace {

std::unique_ptr<CWndFramePart> Frame(int w, int h, int x, int y)
{
    auto part = std::make_unique<CWndFramePart>();
    part->m_Size = Oskel2DSize(w, h);
    part->m_Position = Oskel2DPoint(x, y);
    return part;
}

}  // namespace

TEST(WndInformation, SizeLookupFallsBackToDefaultThenToQuarterVga)
{
    CWndInformation info;
    EXPECT_EQ(info.GetSize("MediumWindow"), Oskel2DSize(320, 240));
    EXPECT_EQ(info.RecordCount(), 0u);  // a size lookup stores nothing

    info.SetSize(100, 50, "DefaultWindow");
    EXPECT_EQ(info.GetSize("MediumWindow"), Oskel2DSize(100, 50));
    info.SetSize(7, 8, "MediumWindow");
    EXPECT_EQ(info.GetSize("MediumWindow"), Oskel2DSize(7, 8));
    // Without a name: the current view's, and an unknown type is "DefaultWindow".
    info.SetViewType(kViewMediumWindow);
    EXPECT_EQ(info.GetSize(), Oskel2DSize(7, 8));
    info.SetViewType(7);
    EXPECT_EQ(info.GetSize(), Oskel2DSize(100, 50));
}

TEST(WndInformation, PositionAtOriginTakesAndKeepsTheDefault)
{
    CWndInformation info;
    EXPECT_EQ(info.GetPosition("SmallWindow"), Oskel2DPoint(0, 0));
    info.SetDefaultPosition(12, 34);
    info.SetSize(99, 82, "SmallWindow");  // a record with position (0, 0)
    EXPECT_EQ(info.GetPosition("SmallWindow"), Oskel2DPoint(12, 34));
    // Stored: moving the default later does not move this view.
    info.SetDefaultPosition(50, 60);
    EXPECT_EQ(info.GetPosition("SmallWindow"), Oskel2DPoint(12, 34));
    // A view without a record reads the default's position but stores nothing.
    EXPECT_EQ(info.GetPosition("LargeWindow"), Oskel2DPoint(50, 60));
    EXPECT_EQ(info.FindRecord("LargeWindow"), nullptr);
    EXPECT_EQ(info.FindRecord("SmallWindow")->m_Size, Oskel2DSize(99, 82));
}

TEST(WndInformation, SetterOnTheCurrentViewCreatesItsRecordOnce)
{
    CWndInformation info;
    info.SetViewType(kViewLargeIcon);
    info.SetPosition(3, 4);
    info.SetSize(32, 32);
    ASSERT_EQ(info.RecordCount(), 1u);
    const CWndinfoPosition* record = info.FindRecord("LargeIcon");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->m_Position, Oskel2DPoint(3, 4));
    EXPECT_EQ(record->m_Size, Oskel2DSize(32, 32));
    CWndinfoPosition copy = *record;
    EXPECT_EQ(copy.m_strName, "LargeIcon");
    EXPECT_EQ(CWndinfoPosition().m_strName, "NonName");
}

TEST(WndInformation, AttachingTheFramePartSetsPresetsAndPositions)
{
    CWndInformation info;
    info.SetViewType(kViewLargeWindow);
    info.AttachPart(Frame(320, 240, 222, 445), false);
    EXPECT_EQ(info.GetSize("LargeWindow"), Oskel2DSize(339, 262));
    EXPECT_EQ(info.GetSize("MediumWindow"), Oskel2DSize(179, 142));
    EXPECT_EQ(info.GetSize("SmallWindow"), Oskel2DSize(99, 82));
    for (const char* view : {"LargeWindow", "MediumWindow", "SmallWindow"}) {
        EXPECT_EQ(info.GetPosition(view), Oskel2DPoint(222, 445)) << view;
    }
    EXPECT_EQ(info.FindRecord("DefaultWindow"), nullptr);
    EXPECT_NE(info.FindPart("Window"), nullptr);
    EXPECT_EQ(info.FindPart(), info.FindPart("Window"));

    CWndInformation withDefault;
    withDefault.AttachPart(Frame(50, 60, 7, 8), true);
    EXPECT_EQ(withDefault.GetSize("DefaultWindow"), Oskel2DSize(50, 60));
    EXPECT_EQ(withDefault.GetPosition("DefaultWindow"), Oskel2DPoint(7, 8));
}

TEST(WndInformation, IconPartsAreFoundForTheIconViews)
{
    CWndInformation info;
    info.AttachPart(std::make_unique<CWndIconPart>(true, "large.ico"), false);
    info.AttachPart(std::make_unique<CWndIconPart>(false, "small.ico"), false);
    info.SetViewType(kViewLargeIcon);
    ASSERT_NE(info.FindPart(), nullptr);
    EXPECT_EQ(info.FindPart()->Name(), "LargeIcon");
    EXPECT_EQ(info.GetSize(), Oskel2DSize(32, 32));
    info.SetViewType(kViewSmallIcon);
    EXPECT_EQ(info.FindPart()->Name(), "SmallIcon");
    EXPECT_EQ(info.GetSize(), Oskel2DSize(16, 16));
    info.SetViewType(kViewMediumWindow);
    EXPECT_EQ(info.FindPart(), nullptr);  // no frame part attached
}

TEST(WndInformation, ViewNames)
{
    EXPECT_STREQ(ViewName(1), "SmallWindow");
    EXPECT_STREQ(ViewName(2), "MediumWindow");
    EXPECT_STREQ(ViewName(3), "LargeWindow");
    EXPECT_STREQ(ViewName(4), "SmallIcon");
    EXPECT_STREQ(ViewName(5), "LargeIcon");
    EXPECT_STREQ(ViewName(0), "DefaultWindow");
    EXPECT_STREQ(ViewName(-3), "DefaultWindow");
}

TEST(DragClamp, KeepsTheWindowInsideTheAllowedArea)
{
    EXPECT_EQ(ClampDragPosition(-10, 5, 640, 480, 179, 142), Oskel2DPoint(0, 32));
    EXPECT_EQ(ClampDragPosition(600, 400, 640, 480, 179, 142), Oskel2DPoint(461, 321));
    EXPECT_EQ(ClampDragPosition(100, 100, 640, 480, 179, 142), Oskel2DPoint(100, 100));
    EXPECT_EQ(ClampDragPosition(461, 321, 640, 480, 179, 142), Oskel2DPoint(461, 321));
    // A parent smaller than the window: the top-left corner stays reachable.
    EXPECT_EQ(ClampDragPosition(50, 50, 100, 100, 179, 142), Oskel2DPoint(0, 32));
}
