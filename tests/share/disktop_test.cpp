#include <gtest/gtest.h>

#include "share/DiskTop.h"

namespace {

const WindowRect kWork{0, 0, 1280, 770};

WindowRect Adjust(QPoint mouse, std::vector<WindowRect> peers = {})
{
    return CDiskTop::AdjustFrame(QPoint(100, 50), mouse, peers, kWork);
}

TEST(DiskTopTest, FrameRulesKeepTheMinimumThePeerWindowsAndTheWorkArea)
{
    // A tiny drag without peer windows still gives 320 x 309.
    EXPECT_EQ(Adjust({105, 52}), (WindowRect{100, 50, 420, 359}));
    // 308 high becomes 309; 310 high stays.
    EXPECT_EQ(Adjust({600, 358}).bottom, 359);
    EXPECT_EQ(Adjust({600, 360}).bottom, 360);

    // Peer windows are enclosed, and a tall frame ends 17 pixels below the lowest one.
    const std::vector<WindowRect> peers{{110, 80, 750, 400}, {110, 420, 430, 600}};
    const WindowRect frame = Adjust({500, 500}, peers);
    EXPECT_EQ(frame.right, 750);
    EXPECT_EQ(frame.bottom, 617);

    // Never below the work area.
    EXPECT_EQ(Adjust({600, 2000}).bottom, 770);
}

}  // namespace
