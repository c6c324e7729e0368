#include "store/FieldExchange.h"

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph {

std::string EncodeInt(int32_t value) { return Format("%d", value); }

int32_t DecodeInt(std::string_view text) { return LeadingInt(text); }

void DecodeDate(std::string_view text, DateTime& value) {
    if (!text.empty()) value.Parse(text);
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
