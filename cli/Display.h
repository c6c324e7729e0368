#pragma once
// Turning stored byte texts into something a terminal can take, and command-line texts into
// stored ones. Texts are bytes in an 8-bit code page; they are shown as ISO 8859-1
// (Latin1ToUtf8), which loses nothing, so what a user types is read back the same way.
#include <optional>
#include <string>
#include <string_view>

namespace ph::cli {

// One line: control characters as \r \n \t \xNN, backslash doubled.
std::string EscapeForLine(std::string_view bytes);

// A stored text for JSON output (which must be UTF-8).
std::string JsonText(std::string_view bytes);

// A command-line text as stored bytes: UTF-8 is read back into ISO 8859-1, the inverse of how
// texts are shown. Bytes that are not UTF-8 are taken as they are (a terminal in an 8-bit
// locale). Nothing when the text holds a character the stored code page cannot hold.
std::optional<std::string> StoredText(std::string_view argument);

}  // namespace ph::cli
