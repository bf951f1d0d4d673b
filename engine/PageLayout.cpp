#include "PageLayout.h"

#include <algorithm>
#include <charconv>

namespace layout {

namespace {
// Points, portrait. The values are the product's own, not rounded paper sizes, except
// Letter: its row once read 621, nine points wider than the paper, so every Letter page
// overhung the sheet it was printed on. Stored settings keep the code, not the width.
constexpr Size kPageSizes[12] = {{0, 0},     {1684, 2380}, {1190, 1684}, {842, 1190},
                                 {594, 842}, {421, 595},   {297, 421},   {501, 709},
                                 {612, 792}, {612, 1008},  {1224, 792},  {792, 1224}};

std::wstring fixed6(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    return std::wstring(buf, r.ptr);
}
} // namespace

Size pageSizeForCode(int code, bool rotate) {
    // A stored code outside the table would read past it: treat it as "follow the image".
    if (code < 0 || code >= 12)
        code = 0;
    Size s = kPageSizes[code];
    return rotate ? Size{s.height, s.width} : s;
}

Box singleBox(Size page, Margins m) {
    return {m.left, m.bottom, page.width - m.left - m.right, page.height - m.top - m.bottom};
}

void doubleBoxes(Size page, Margins m, bool rotate, Box* first, Box* second) {
    if (rotate) {
        int half = page.width / 2;
        *first = {m.left, m.bottom, half - m.left - m.right, page.height - m.top - m.bottom};
        *second = {half + m.left, m.bottom, first->width, first->height};
    } else {
        int half = page.height / 2;
        *first = {m.left, m.bottom + half, page.width - m.left - m.right, half - m.top - m.bottom};
        *second = {m.left, m.bottom, first->width, first->height};
    }
}

std::wstring fitOptions(int w, int h, double imageWidth, double imageHeight, bool imageInPage,
                        bool autoRotate) {
    // Single precision on purpose: the scale written must match what has always been
    // written for the same image and box.
    float wp = static_cast<float>(imageWidth) / 72.0f;
    float hp = static_cast<float>(imageHeight) / 72.0f;
    std::wstring options;
    if (imageInPage) {
        options = L"boxsize={" + std::to_wstring(w) + L" " + std::to_wstring(h) +
                  L"} position=center fitmethod=auto";
        if (static_cast<float>(w) > wp && static_cast<float>(h) > hp) {
            float sx = static_cast<float>(w) / wp;
            float sy = static_cast<float>(h) / hp;
            options += L" scale=" + fixed6(sx < sy ? sx : sy);
        }
    }
    if (autoRotate && h != 0 && hp != 0.0f) {
        float rb = static_cast<float>(w) / static_cast<float>(h);
        float ri = wp / hp;
        if ((rb > 1 && ri < 1) || (rb < 1 && ri > 1))
            options += L" orientate=east";
    }
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
