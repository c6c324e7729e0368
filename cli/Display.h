#pragma once
// Turning stored byte texts into something a terminal can take. Texts are bytes in an 8-bit
// code page; they are shown as ISO 8859-1 (Latin1ToUtf8), which loses nothing.
#include <string>
#include <string_view>

namespace ph::cli {

// One line: control characters as \r \n \t \xNN, backslash doubled.
std::string EscapeForLine(std::string_view bytes);

}  // namespace ph::cli
