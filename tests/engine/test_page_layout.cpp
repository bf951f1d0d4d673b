// Page sizes, image boxes and fitting options, number by number.
#include "PageLayout.h"

#include <gtest/gtest.h>

namespace {

using layout::Box;

TEST(PageSize, TableRowsAndLandscape) {
    EXPECT_EQ(layout::pageSizeForCode(4, false).width, 594);
    EXPECT_EQ(layout::pageSizeForCode(4, false).height, 842);
    EXPECT_EQ(layout::pageSizeForCode(4, true).width, 842);
    EXPECT_EQ(layout::pageSizeForCode(4, true).height, 594);
    EXPECT_EQ(layout::pageSizeForCode(1, false).height, 2380);
    EXPECT_EQ(layout::pageSizeForCode(8, false).width, 612);
    EXPECT_EQ(layout::pageSizeForCode(11, false).height, 1224);
    EXPECT_EQ(layout::pageSizeForCode(0, true).width, 0);
}

TEST(PageSize, CodesOutsideTheTableFollowTheImage) {
    for (int code : {-1, 12, 1000, -2147483647 - 1}) {
        EXPECT_EQ(layout::pageSizeForCode(code, false).width, 0) << code;
        EXPECT_EQ(layout::pageSizeForCode(code, true).height, 0) << code;
    }
}

void expectBox(Box b, int x, int y, int w, int h) {
    EXPECT_EQ(b.x, x);
    EXPECT_EQ(b.y, y);
    EXPECT_EQ(b.width, w);
    EXPECT_EQ(b.height, h);
}

TEST(Boxes, SingleBoxIsTheMarginBox) {
    expectBox(layout::singleBox({594, 842}, {10, 20, 30, 40}), 10, 40, 554, 782);
}

TEST(Boxes, DoubleLandscapeSideBySide) {
    Box a{}, b{};
    layout::doubleBoxes({842, 594}, {10, 10, 10, 10}, true, &a, &b);
    expectBox(a, 10, 10, 401, 574);
    expectBox(b, 431, 10, 401, 574);
}

TEST(Boxes, DoubleUprightStacked) {
    Box a{}, b{};
    layout::doubleBoxes({594, 842}, {10, 10, 10, 10}, false, &a, &b);
    expectBox(a, 10, 431, 574, 401);
    expectBox(b, 10, 10, 574, 401);
}

TEST(Boxes, OddPageSizeHalvesTowardZero) {
    Box a{}, b{};
    layout::doubleBoxes({595, 843}, {0, 0, 0, 0}, true, &a, &b);
    expectBox(a, 0, 0, 297, 843);
    expectBox(b, 297, 0, 297, 843);
}

TEST(FitOptions, ImageInPageScalesOnlyWhenTheBoxIsLargerBothWays) {
    EXPECT_EQ(layout::fitOptions(500, 400, 720, 720, true, false),
              L"boxsize={500 400} position=center fitmethod=auto scale=40.000000");
    EXPECT_EQ(layout::fitOptions(5, 400, 720, 720, true, false),
              L"boxsize={5 400} position=center fitmethod=auto");
    EXPECT_EQ(layout::fitOptions(500, 400, 720, 720, false, false), L"");
}

TEST(FitOptions, AutoRotateTurnsOnlyWhenOrientationsDiffer) {
    EXPECT_EQ(layout::fitOptions(500, 400, 720, 1440, false, true), L" orientate=east");
    EXPECT_EQ(layout::fitOptions(500, 400, 1440, 720, false, true), L"");
    EXPECT_EQ(layout::fitOptions(400, 400, 720, 1440, false, true), L"");
    EXPECT_EQ(layout::fitOptions(500, 400, 720, 720, false, true), L"");
    EXPECT_EQ(layout::fitOptions(500, 400, 720, 1440, true, true),
              L"boxsize={500 400} position=center fitmethod=auto scale=20.000000 orientate=east");
    // A box without height must not divide by zero.
    EXPECT_EQ(layout::fitOptions(500, 0, 720, 1440, false, true), L"");
}

TEST(ImageSizedPage, NaturalSizePlusMargins) {
    auto s = layout::imageSizedPage(1440, 720, 144, 144, {10, 30, 20, 40});
    EXPECT_EQ(s.width, 750);
    EXPECT_EQ(s.height, 430);
    auto noRes = layout::imageSizedPage(300, 200, 0, -5, {0, 0, 0, 0});
    EXPECT_EQ(noRes.width, 300);
    EXPECT_EQ(noRes.height, 200);
    // The resolution is cut to a whole number first.
    auto cut = layout::imageSizedPage(1000, 1000, 72.9, 144.5, {0, 0, 0, 0});
    EXPECT_EQ(cut.width, 1000);
    EXPECT_EQ(cut.height, 500);
}

} // namespace
