#pragma once
// Small settings files (the profile, the autostart entry) are replaced whole: a reader or a
// crash sees either the old content or the new one, never a mixture or a truncated file.
#include <optional>
#include <string>
#include <string_view>

namespace ph {

// Writes `content` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`, creating missing parent directories first. An existing file keeps its permissions.
// False (and `path` untouched, no temporary left behind) when any step fails.
bool WriteFileAtomically(const std::string& path, std::string_view content);

// The whole content of the regular file `path`; nothing when it is missing, not a regular
// file or cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace ph
