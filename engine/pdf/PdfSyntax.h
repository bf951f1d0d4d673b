// Small formatters for PDF syntax shared by the writer's parts.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace folimo::pdf {

// A number as PDF wants it: no exponent, at most `decimals` decimals, no trailing
// zeros. Four are finer than any device; factors far below 1 need more.
std::string pdfReal(double value, int decimals = 4);

// A matrix as the operator cm takes it, a b c d e f: x' = a x + c y + e, y' = b x + d y + f.
using Matrix = std::array<double, 6>;
// The matrix that applies `first`, then `second`.
Matrix multiply(const Matrix& first, const Matrix& second);
// "a b c d e f cm", the factors with `decimals` decimals and the offsets with 4.
std::string matrixOperator(const Matrix& m, int decimals = 4);

// A text string for document information and bookmarks: plain ASCII as a literal,
// anything else as UTF-16BE with a byte order mark, so every Unicode text shows.
std::string pdfTextString(std::wstring_view text);

// A literal string with (, ) and \ escaped; bytes pass unchanged.
std::string pdfLiteralString(std::string_view bytes);

std::string pdfHexString(std::string_view bytes);

// A name object, "/" included, with delimiters and non-regular bytes as #xx.
std::string pdfName(std::string_view name);

} // namespace folimo::pdf
