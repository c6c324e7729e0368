#pragma once
// Turning stored byte texts into something a terminal or a JSON reader can take. Texts are
// bytes in an 8-bit code page; they are shown as ISO 8859-1, which loses nothing.
#include <string>
#include <string_view>

namespace ph::cli {

std::string Latin1ToUtf8(std::string_view bytes);
// One line: control characters as \r \n \t \xNN, backslash doubled.
std::string EscapeForLine(std::string_view bytes);

}  // namespace ph::cli
