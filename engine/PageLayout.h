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

// A cell less its margins.
Box inset(Box cell, Margins m);

// The whole page: the cell of its one image.
Box pageCell(Size page);
Box singleBox(Size page, Margins m);

// The halves of a page that two images share: side by side when `rotate` is set, else
// one above the other (the first on top). Both are as large as the first, so an odd
// page length leaves its last point to neither.
void doubleCells(Size page, bool rotate, Box* first, Box* second);
void doubleBoxes(Size page, Margins m, bool rotate, Box* first, Box* second);

// An image as the PDF library measures it: pixels, and its natural size in points.
struct Picture {
    double pixelWidth;
    double pixelHeight;
    double width;
    double height;
};

// The option list that fits `picture` into `box`, the margin box of `cell`. Unless the
// image is fitted to the box (imageInPage), it keeps its natural size on the box's
// lower left corner as long as it stays inside its cell; one that would reach past the
// cell (off the page, or over the other image of the page) is shrunk, keeping its
// shape, to fit the box and centred there, as the fitting centres.
std::wstring fitOptions(Box box, Box cell, Picture picture, bool imageInPage, bool autoRotate);

// A page cut to the image: its natural size plus the margins. A resolution of 0 or
// less counts as 72 dpi.
Size imageSizedPage(double imageWidth, double imageHeight, double resx, double resy, Margins m);

} // namespace layout
