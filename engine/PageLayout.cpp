#include "PageLayout.h"

#include <folimo/Folimo.h>

#include <algorithm>
#include <charconv>

namespace layout {

namespace {
std::wstring fixed6(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    return std::wstring(buf, r.ptr);
}
} // namespace

Size pageSizeForCode(int code, bool rotate) {
    // A stored code outside the table reads as "follow the image".
    FolimoPageExtent page = FolimoPageExtentOf(code, rotate);
    return {page.width, page.height};
}

Box inset(Box cell, Margins m) {
    return {cell.x + m.left, cell.y + m.bottom, cell.width - m.left - m.right,
            cell.height - m.top - m.bottom};
}

Box pageCell(Size page) {
    return {0, 0, page.width, page.height};
}

Box singleBox(Size page, Margins m) {
    return inset(pageCell(page), m);
}

void doubleCells(Size page, bool rotate, Box* first, Box* second) {
    if (rotate) {
        int half = page.width / 2;
        *first = {0, 0, half, page.height};
        *second = {half, 0, half, page.height};
    } else {
        int half = page.height / 2;
        *first = {0, half, page.width, half};
        *second = {0, 0, page.width, half};
    }
}

void doubleBoxes(Size page, Margins m, bool rotate, Box* first, Box* second) {
    doubleCells(page, rotate, first, second);
    *first = inset(*first, m);
    *second = inset(*second, m);
}

std::wstring fitOptions(Box box, Box cell, Picture picture, bool imageInPage, bool autoRotate) {
    const int w = box.width;
    const int h = box.height;
    const std::wstring fitted = L"boxsize={" + std::to_wstring(w) + L" " + std::to_wstring(h) +
                                L"} position=center fitmethod=auto";
    // Single precision on purpose: the scale written must match what has always been
    // written for the same image and box.
    float wp = static_cast<float>(picture.pixelWidth) / 72.0f;
    float hp = static_cast<float>(picture.pixelHeight) / 72.0f;
    bool turn = false;
    if (autoRotate && h != 0 && hp != 0.0f) {
        float rb = static_cast<float>(w) / static_cast<float>(h);
        float ri = wp / hp;
        turn = (rb > 1 && ri < 1) || (rb < 1 && ri > 1);
    }
    std::wstring options;
    if (imageInPage) {
        options = fitted;
        if (static_cast<float>(w) > wp && static_cast<float>(h) > hp) {
            float sx = static_cast<float>(w) / wp;
            float sy = static_cast<float>(h) / hp;
            options += L" scale=" + fixed6(sx < sy ? sx : sy);
        }
    } else {
        // A quarter turn exchanges the extent on the page. The allowance absorbs the
        // rounding of resolutions such as 72.009 dpi, not whole points.
        const double across = turn ? picture.height : picture.width;
        const double up = turn ? picture.width : picture.height;
        constexpr double kAllowance = 1e-3;
        const bool staysInCell = box.x >= cell.x && box.y >= cell.y &&
                                 box.x + across <= cell.x + cell.width + kAllowance &&
                                 box.y + up <= cell.y + cell.height + kAllowance;
        if (!staysInCell)
            options = fitted;
    }
    if (turn)
        options += L" orientate=east";
    return options;
}

Size imageSizedPage(double imageWidth, double imageHeight, double resx, double resy, Margins m) {
    int rx = static_cast<int>(resx);
    int ry = static_cast<int>(resy);
    if (rx <= 0)
        rx = 72;
    if (ry <= 0)
        ry = 72;
    double w = m.right + (imageWidth / (rx / 72.0) + m.left);
    double h = m.bottom + (imageHeight / (ry / 72.0) + m.top);
    // The PDF library takes pages up to 1e9 points (through larger units); a wide image
    // at a tiny resolution would otherwise overflow the integer.
    auto points = [](double v) { return static_cast<int>(std::clamp(v, -1e9, 1e9)); };
    return {points(w), points(h)};
}

} // namespace layout
