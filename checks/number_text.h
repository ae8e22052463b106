#pragma once
// How a text reads as a number in the gateway's C conversions, so that the
// checks can tell a value that converts as written from one that silently
// converts to something else (trailing garbage ignored, no digits read as 0).
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// Leading blanks, then one or more decimal digits and nothing else.
bool IsDecimalText(const std::string& text);
// Leading blanks, an optional 0x, then one or more hexadecimal digits only.
bool IsHexText(const std::string& text);
// Exactly count characters, each a decimal (hexadecimal) digit.
bool IsDecimalDigits(const std::string& text, size_t count);
bool IsHexDigits(const std::string& text, size_t count);

std::string ToUpper(std::string text);

// "01 03 00 00": the bytes in upper-case hexadecimal, a blank between two.
std::string HexBytes(const uint8_t* bytes, int count);

}  // namespace kestrel
