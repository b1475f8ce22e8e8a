// SPDX-License-Identifier: MIT
// How string results are shown and read back: binary bytes as hexadecimal,
// text-alphabet bytes (ISO 8859-1) as UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavtool {

std::string ToHex(std::string_view bytes);
// Upper- or lower-case digits; nullopt for an odd length or a non-digit.
std::optional<std::string> FromHex(std::string_view hex);

std::string Latin1ToUtf8(std::string_view latin1);
// nullopt, with a description in `error`, for invalid UTF-8, U+0000 (the
// library's strings end there) and characters above U+00FF.
std::optional<std::string> Utf8ToLatin1(std::string_view utf8, std::string& error);

}  // namespace tavtool
