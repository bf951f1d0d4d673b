// What text and image watermarks share: position, opacity, angle and file filter.
#pragma once

#include "CBase.h"

#include <folimo/Folimo.h>

#include <string>

template <class I>
class IWatermarkImpl : public IBaseImpl<I> {
public:
    int SetPosition(int x, int y) noexcept override {
        x_ = x;
        y_ = y;
        return 1;
    }
    int GetPosition(int* x, int* y) noexcept override {
        if (x)
            *x = x_;
        if (y)
            *y = y_;
        return 1;
    }
    int SetOpacity(int percent) noexcept override {
        opacity_ = percent;
        return 1;
    }
    int GetOpacity() noexcept override { return opacity_; }
    // Kept for the caller; drawing does not turn watermarks.
    int SetAngle(int degrees) noexcept override {
        angle_ = degrees;
        return 1;
    }
    int GetAngle() noexcept override { return angle_; }
    int SetFileFilter(const wchar_t* filter) noexcept override {
        assign(filter_, filter);
        return 1;
    }
    const wchar_t* GetFileFilter() noexcept override { return filter_.c_str(); }

protected:
    // A setter never fails; out of memory leaves the old text in place.
    static void assign(std::wstring& field, const wchar_t* text) noexcept {
        try {
            field = text ? text : L"";
        } catch (...) {
        }
    }

private:
    int x_ = 0;
    int y_ = 0;
    int opacity_ = 100;
    int angle_ = 0;
    std::wstring filter_;
};
