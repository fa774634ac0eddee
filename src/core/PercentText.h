#pragma once

#include <optional>
#include <string>
#include <string_view>

// Texts of ours that travel in datagrams and files as percent-encoding: every byte outside
// A-Z a-z 0-9 - . _ ~ is written %XX, so that no separator, blank or control byte of a name
// can break the line or field it stands in.
namespace percent_text {

bool IsUnreserved(unsigned char c);
// 0 to 15 for a hexadecimal digit of either case, else -1.
int HexValue(char c);
// Upper-case digits.
std::string Encode(std::string_view text);
// Strict: a byte outside the unreserved set that does not come as %XX refuses the whole text.
std::optional<std::string> Decode(std::string_view text);

}  // namespace percent_text
