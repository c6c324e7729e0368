#include "model/Profile.h"

#include <optional>
#include <vector>

#include "common/Bytes.h"
#include "common/Format.h"
#include "model/AtomicFile.h"

namespace ph {
namespace {

constexpr std::string_view kSection = "Settings";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// One physical line: its content and the line end it came with ("\n", "\r\n" or none on an
// unterminated last line), so lines we do not touch are written back byte for byte.
struct Line {
    std::string_view content;
    std::string_view end;
};

std::vector<Line> PhysicalLines(std::string_view text) {
    std::vector<Line> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view content = text.substr(0, nl);
        std::string_view end;
        if (nl == std::string_view::npos) {
            text = {};
        } else {
            end = text.substr(nl, 1);
            text.remove_prefix(nl + 1);
        }
        if (!content.empty() && content.back() == '\r') {
            // Keep "\r\n" together as the line end.
            end = std::string_view(content.data() + content.size() - 1, end.size() + 1);
            content.remove_suffix(1);
        }
        lines.push_back({content, end});
    }
    return lines;
}

// The section name of a "[name]" line; nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view content, bool firstLine) {
    if (firstLine && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
    content = TrimBlanks(content);
    if (content.size() < 2 || content.front() != '[') return std::nullopt;
    const size_t close = content.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return TrimBlanks(content.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view content) {
    const std::string_view trimmed = TrimBlanks(content);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return std::nullopt;
    const size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{TrimBlanks(trimmed.substr(0, eq)), TrimBlanks(trimmed.substr(eq + 1))};
}

// Where "Settings" and a key stand in the file. Like any INI reader we take the first section of
// that name and the first line of the key in it.
struct Location {
    std::optional<size_t> section;   // the header line
    size_t sectionEnd = 0;           // one past the section's last non-blank line
    std::optional<size_t> keyLine;
};

Location Locate(const std::vector<Line>& lines, std::string_view key) {
    Location at;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i].content, i == 0);
        if (!at.section) {
            if (name && EqualsNoCase(*name, kSection)) {
                at.section = i;
                at.sectionEnd = i + 1;
            }
            continue;
        }
        if (name) break;
        if (!TrimBlanks(lines[i].content).empty()) at.sectionEnd = i + 1;
        if (!at.keyLine) {
            if (const auto kv = ParseKeyLine(lines[i].content); kv && EqualsNoCase(kv->key, key)) at.keyLine = i;
        }
    }
    return at;
}

// The line end new lines get: the file's own, so a file edited on Windows stays consistent.
std::string_view PreferredLineEnd(const std::vector<Line>& lines) {
    for (const Line& l : lines)
        if (!l.end.empty()) return l.end;
    return "\n";
}

}  // namespace

Profile::Profile(std::string path) : m_path(std::move(path)) {
    if (auto text = ReadWholeFile(m_path)) m_text = std::move(*text);
}

std::string Profile::GetString(std::string_view key, std::string_view fallback) const {
    const std::vector<Line> lines = PhysicalLines(m_text);
    const Location at = Locate(lines, key);
    if (!at.keyLine) return std::string(fallback);
    return std::string(ParseKeyLine(lines[*at.keyLine].content)->value);
}

int Profile::GetInt(std::string_view key, int fallback) const {
    const std::vector<Line> lines = PhysicalLines(m_text);
    const Location at = Locate(lines, key);
    if (!at.keyLine) return fallback;
    return LeadingInt(ParseKeyLine(lines[*at.keyLine].content)->value);
}

bool Profile::WriteString(std::string_view key, std::string_view value) {
    // A line break would end the line early and plant whatever follows as lines of its own; a
    // key with '=' or a bracket could not be read back as the same key.
    if (TrimBlanks(key).empty() || TrimBlanks(key) != key) return false;
    if (key.find_first_of("=[;#\r\n") != std::string_view::npos) return false;
    if (value.find_first_of("\r\n") != std::string_view::npos) return false;

    const std::vector<Line> lines = PhysicalLines(m_text);
    const Location at = Locate(lines, key);
    const std::string_view eol = PreferredLineEnd(lines);
    const std::string newLine = std::string(key) + "=" + std::string(value);

    std::string out;
    out.reserve(m_text.size() + newLine.size() + 16);
    auto emit = [&](const Line& l, bool needEnd) {
        out += l.content;
        out += l.end.empty() && needEnd ? eol : l.end;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        if (at.keyLine && i == *at.keyLine) {
            out += newLine;
            out += lines[i].end.empty() ? eol : lines[i].end;
            continue;
        }
        const bool insertAfter = at.section && !at.keyLine && i + 1 == at.sectionEnd;
        emit(lines[i], insertAfter);
        if (insertAfter) {
            out += newLine;
            out += eol;
        }
    }
    if (!at.section) {
        if (!out.empty() && out.back() != '\n') out += eol;
        out += Format("[%.*s]", static_cast<int>(kSection.size()), kSection.data());
        out += eol;
        out += newLine;
        out += eol;
    }

    if (!WriteFileAtomically(m_path, out)) return false;
    m_text = std::move(out);
    return true;
}

bool Profile::WriteInt(std::string_view key, int value) { return WriteString(key, Format("%d", value)); }

}  // namespace ph
