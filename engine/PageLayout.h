// The arithmetic of page sizes and image boxes, kept apart from the PDF calls so it
// can be checked number by number.
#pragma once

#include <string>

namespace layout {

struct Size {
    int width;
    int height;
};

struct Box {
    int x;
    int y;
    int width;
    int height;
};

struct Margins {
    int left;
    int top;
    int right;
    int bottom;
};

// The fixed page size of a page-size code, exchanged for landscape. Code 0 (the page
// follows its image) and codes outside the table give 0 x 0.
Size pageSizeForCode(int code, bool rotate);

Box singleBox(Size page, Margins m);

// Side by side when `rotate` is set, else one above the other (the first box on top).
void doubleBoxes(Size page, Margins m, bool rotate, Box* first, Box* second);

// The option list that fits an image of imageWidth x imageHeight pixels into a box
// of boxWidth x boxHeight points.
std::wstring fitOptions(int boxWidth, int boxHeight, double imageWidth, double imageHeight,
                        bool imageInPage, bool autoRotate);

// A page cut to the image: its natural size plus the margins. A resolution of 0 or
// less counts as 72 dpi.
Size imageSizedPage(double imageWidth, double imageHeight, double resx, double resy, Margins m);

} // namespace layout
