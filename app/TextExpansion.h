// The placeholders of bookmark and watermark texts: %FILENAME%, %NUMBER% and %MDATA%
// (case does not matter), expanded for the page the engine is making.
#pragma once

#include <folimo/Folimo.h>

#include <string>
#include <string_view>

namespace folimo {

// "%%" gives "%"; an unknown name gives the name itself; text after a "%" that is
// never closed is dropped.
std::wstring expandPlaceholders(std::wstring_view text, const TextContext& context);

// A FolimoCallback over expandPlaceholders. Its result stays valid until its next call.
class TextExpander : public FolimoCallback {
public:
    const wchar_t* ExpandText(const wchar_t* text, TextContext* context) noexcept override;
    virtual ~TextExpander() = default;

private:
    std::wstring result_;
};

} // namespace folimo
