#pragma once

#include "IWatermarkImpl.h"

class CImageWatermark : public IWatermarkImpl<IImageWatermark> {
public:
    IWatermark* Clone() noexcept override;
    int GetType() noexcept override { return 2; }
    int SetImagePath(const wchar_t* path) noexcept override;
    const wchar_t* GetImagePath() noexcept override { return path_.c_str(); }

    int CopyImagePath(wchar_t* buffer, int* length) noexcept;

private:
    std::wstring path_;
};
