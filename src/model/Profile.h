#pragma once
// The installation's settings: an INI file whose section "Settings" holds one key per
// setting. Reading takes the file as it was when the object was made (or last written);
// writing one key rewrites the file atomically (a temporary file renamed over it) and keeps
// every other line, section and comment as it was.
#include <string>
#include <string_view>

namespace ph {

class Profile {
public:
    // `path` need not exist yet; a missing or unreadable file reads as empty.
    explicit Profile(std::string path);

    const std::string& Path() const { return m_path; }
    std::string GetString(std::string_view key, std::string_view fallback) const;
    // The leading decimal number of the value; `fallback` when the key is missing.
    int GetInt(std::string_view key, int fallback) const;
    // False (the file unchanged) when it cannot be written.
    bool WriteString(std::string_view key, std::string_view value);
    bool WriteInt(std::string_view key, int value);

private:
    std::string m_path;
    std::string m_text;  // the file's content
};

}  // namespace ph
