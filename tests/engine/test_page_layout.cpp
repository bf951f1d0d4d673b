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

TEST(Boxes, DoubleCellsAreTheHalvesTheBoxesAreInsetFrom) {
    Box a{}, b{};
    layout::doubleCells({842, 594}, true, &a, &b);
    expectBox(a, 0, 0, 421, 594);
    expectBox(b, 421, 0, 421, 594);
    layout::doubleCells({594, 843}, false, &a, &b);
    expectBox(a, 0, 421, 594, 421);
    expectBox(b, 0, 0, 594, 421);
}

TEST(Boxes, OddPageSizeHalvesTowardZero) {
    Box a{}, b{};
    layout::doubleBoxes({595, 843}, {0, 0, 0, 0}, true, &a, &b);
    expectBox(a, 0, 0, 297, 843);
    expectBox(b, 297, 0, 297, 843);
}

// A box of w x h at the page's corner, inside a cell with room to spare, and an image
// of wp x hp pixels that takes 10 x 10 points: small enough never to be shrunk.
std::wstring fit(int w, int h, double wp, double hp, bool inPage, bool autoRotate) {
    return layout::fitOptions({0, 0, w, h}, {0, 0, 1000, 1000}, {wp, hp, 10, 10}, inPage,
                              autoRotate);
}

TEST(FitOptions, ImageInPageScalesOnlyWhenTheBoxIsLargerBothWays) {
    EXPECT_EQ(fit(500, 400, 720, 720, true, false),
              L"boxsize={500 400} position=center fitmethod=auto scale=40.000000");
    EXPECT_EQ(fit(5, 400, 720, 720, true, false),
              L"boxsize={5 400} position=center fitmethod=auto");
    EXPECT_EQ(fit(500, 400, 720, 720, false, false), L"");
}

TEST(FitOptions, AutoRotateTurnsOnlyWhenOrientationsDiffer) {
    EXPECT_EQ(fit(500, 400, 720, 1440, false, true), L" orientate=east");
    EXPECT_EQ(fit(500, 400, 1440, 720, false, true), L"");
    EXPECT_EQ(fit(400, 400, 720, 1440, false, true), L"");
    EXPECT_EQ(fit(500, 400, 720, 720, false, true), L"");
    EXPECT_EQ(fit(500, 400, 720, 1440, true, true),
              L"boxsize={500 400} position=center fitmethod=auto scale=20.000000 orientate=east");
    // A box without height must not divide by zero.
    EXPECT_EQ(fit(500, 0, 720, 1440, false, true), L"");
}

TEST(FitOptions, WithoutFittingTheNaturalSizeStaysWhileTheImageStaysInItsCell) {
    const std::wstring shrink = L"boxsize={554 802} position=center fitmethod=auto";
    struct Case {
        double width, height; // natural size in points
        bool autoRotate;
        std::wstring options;
    } cases[] = {
        {554, 802, false, L""},               // exactly the box
        {574, 822, false, L""},               // over the margins, still on the page
        {574.0004, 822, false, L""},          // a resolution's rounding
        {575, 100, false, shrink},            // off the right edge
        {100, 823, false, shrink},            // off the top
        {1200, 900, false, shrink},           // a photo at 72 dpi
        {822, 574, true, L" orientate=east"}, // stays on the page once turned
        {1200, 900, true, shrink + L" orientate=east"},
    };
    for (const auto& c : cases) {
        // A4 with margins of 20, the image turned only when its orientation differs.
        EXPECT_EQ(layout::fitOptions({20, 20, 554, 802}, {0, 0, 594, 842},
                                     {c.width, c.height, c.width, c.height}, false, c.autoRotate),
                  c.options)
            << c.width << " x " << c.height;
    }
    // On a page of two, the upper half ends where the page does; the lower one where the
    // upper begins, so its image may not grow into the other's half.
    Box upper{}, lower{};
    layout::doubleCells({594, 842}, false, &upper, &lower);
    Box lowerBox = layout::inset(lower, {10, 10, 10, 10});
    EXPECT_EQ(layout::fitOptions(lowerBox, lower, {500, 400, 500, 400}, false, false), L"");
    EXPECT_EQ(layout::fitOptions(lowerBox, lower, {500, 412, 500, 412}, false, false),
              L"boxsize={574 401} position=center fitmethod=auto");
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
