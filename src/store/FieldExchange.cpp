#include "store/FieldExchange.h"

#include <array>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph {

std::string EncodeInt(int32_t value) { return Format("%d", value); }

int32_t DecodeInt(std::string_view text) { return LeadingInt(text); }

namespace {

bool Digits(std::string_view text, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The month names as the store writes them, taken from DateTime's own formatting.
int StoreMonth(std::string_view name) {
    static const std::array<std::string, 12> names = [] {
        std::array<std::string, 12> out;
        for (int m = 1; m <= 12; ++m) out[m - 1] = DateTime::FromParts(2000, m, 1).Format("%B");
        return out;
    }();
    for (int m = 0; m < 12; ++m)
        if (names[m] == name) return m + 1;
    return 0;
}

// Reads the one form the store writes ("March 05, 2004 17:02:09") without the general
// parser, which would otherwise cost a walk of many rows more than the rest of each row.
// False for any other text, and for a day number the general parser reads another way.
bool DecodeStoreDate(std::string_view text, DateTime& value) {
    const size_t space = text.find(' ');
    if (space == std::string_view::npos || text.size() != space + 18) return false;
    const int month = StoreMonth(text.substr(0, space));
    const std::string_view rest = text.substr(space + 1);  // "05, 2004 17:02:09"
    int day, year, hour, minute, second;
    if (!month || rest[2] != ',' || rest[3] != ' ' || rest[8] != ' ' || rest[11] != ':' ||
        rest[14] != ':' || !Digits(rest, 0, 2, day) || !Digits(rest, 4, 4, year) ||
        !Digits(rest, 9, 2, hour) || !Digits(rest, 12, 2, minute) || !Digits(rest, 15, 2, second) ||
        day > 31)
        return false;
    value = DateTime::FromParts(year, month, day, hour, minute, second);
    return true;
}

}  // namespace

void DecodeDate(std::string_view text, DateTime& value) {
    if (!text.empty() && !DecodeStoreDate(text, value)) value.Parse(text);
}

void CTextFieldExchange::Text(const char* name, std::string& value) {
    if (m_writing)
        Put(name, value);
    else
        value = Get(name);
}

void CTextFieldExchange::Int(const char* name, int32_t& value) {
    if (m_writing)
        Put(name, EncodeInt(value));
    else
        value = DecodeInt(Get(name));
}

void CTextFieldExchange::Bool(const char* name, bool& value) {
    if (m_writing)
        Put(name, EncodeBool(value));
    else
        value = DecodeBool(Get(name));
}

void CTextFieldExchange::Date(const char* name, DateTime& value) {
    if (m_writing)
        Put(name, EncodeDate(value));
    else
        DecodeDate(Get(name), value);
}

void CDollarTagWriter::Put(const char* name, std::string_view text) {
    m_text += "<$";
    m_text += name;
    m_text += "$>";
    m_text += text;
    m_text += "</$>\r\n";
}

std::string_view CDollarTagReader::Get(const char* name) {
    const std::string open = std::string("<$") + name + "$>";
    // Fields stand in exchange order, so the search goes on from the previous value; that
    // keeps a tag quoted inside an earlier value (a message body, say) from being taken
    // for the field. Records written in another order are found from the start.
    size_t at = m_text.find(open, m_resume);
    if (at == std::string_view::npos) at = m_text.find(open);
    if (at == std::string_view::npos) return {};
    const size_t begin = at + open.size();
    const size_t end = m_text.find("</$>", begin);
    if (end == std::string_view::npos) return {};
    m_resume = end + 4;
    return m_text.substr(begin, end - begin);
}

std::string EscapeElementValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '%' || c == '<' || c == '>')
            out += Format("%c%x", '%', static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

std::string UnescapeElementValue(std::string_view text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[i + 1];
        if (next == '%') {
            out += '%';
            ++i;
        } else if (next == '\r') {
            i += (i + 2 < text.size() && text[i + 2] == '\n') ? 2 : 1;
        } else if (next == '\n') {
            ++i;
        } else if (i + 2 < text.size() && hex(next) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(next) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += '%';
        }
    }
    return out;
}

}  // namespace ph
