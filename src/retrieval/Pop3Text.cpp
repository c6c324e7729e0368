#include "retrieval/Pop3Text.h"

#include "common/Bytes.h"
#include "message/Decoders.h"
#include "message/TextSearch.h"
#include "model/CEmailMessage.h"

namespace ph::pop3 {
namespace {

constexpr std::string_view kBlanks = " \t";

// The length of the line end at `pos` (CRLF, LFCR, LF or CR), 0 when there is none.
size_t LineEndLength(std::string_view text, size_t pos) {
    if (pos >= text.size() || (text[pos] != '\r' && text[pos] != '\n')) return 0;
    const bool pair = pos + 1 < text.size() && (text[pos + 1] == '\r' || text[pos + 1] == '\n') &&
                      text[pos + 1] != text[pos];
    return pair ? 2 : 1;
}

// The next line of `text` from `pos` (without its end); `pos` moves past the end.
std::string_view NextLine(std::string_view text, size_t& pos) {
    const size_t start = pos;
    const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    pos = end + LineEndLength(text, end);
    return text.substr(start, end - start);
}

// Up to `max` characters of the next word from `pos`, white space skipped first.
std::string_view NextWord(std::string_view line, size_t& pos, size_t max) {
    constexpr std::string_view kSpace = " \t\r\n\v\f";
    pos = std::min(line.find_first_not_of(kSpace, pos), line.size());
    const size_t end = std::min({line.find_first_of(kSpace, pos), line.size(), pos + max});
    const std::string_view word = line.substr(pos, end - pos);
    pos = end;
    return word;
}

// The value of a header parameter: quoted, or up to the next blank.
std::string_view ParameterValue(std::string_view line, size_t at) {
    if (at < line.size() && line[at] == '"') {
        const size_t close = line.find('"', at + 1);
        return line.substr(at + 1, close == std::string_view::npos ? std::string_view::npos : close - at - 1);
    }
    const size_t end = line.find(' ', at);
    return line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
}

}  // namespace

bool ParseStat(std::string_view reply, int& count, int& size) {
    const size_t first = reply.find_first_of(kBlanks);
    if (first == std::string_view::npos) return false;
    const size_t second = reply.find_first_of(kBlanks, first + 1);
    if (second == std::string_view::npos) return false;
    count = LeadingInt(reply.substr(first + 1));
    size = LeadingInt(reply.substr(second + 1));
    return true;
}

std::vector<uint32_t> ParseListing(std::string_view reply) {
    std::string_view body = AfterFirstLine(reply);
    body = body.substr(0, body.find('.'));
    std::vector<uint32_t> sizes;
    for (size_t at = body.find_first_of(kBlanks); at != std::string_view::npos; at = body.find_first_of(kBlanks, at + 1))
        sizes.push_back(static_cast<uint32_t>(LeadingInt(body.substr(at + 1))));
    return sizes;
}

std::vector<std::string> ParseUidListing(std::string_view reply, int count) {
    const std::string_view body = AfterFirstLine(reply);
    std::vector<std::string> ids;
    // A count larger than the lines sent (a hostile STAT) stops at the end of the text: the
    // missing ids read as empty either way.
    size_t pos = 0;
    for (int k = 0; k < count && pos < body.size(); ++k) {
        const std::string_view line = NextLine(body, pos);
        size_t at = 0;
        NextWord(line, at, 15);
        ids.emplace_back(NextWord(line, at, 999));
    }
    return ids;
}

std::string_view AfterFirstLine(std::string_view reply) {
    size_t pos = 0;
    NextLine(reply, pos);
    return reply.substr(std::min(pos, reply.size()));
}

std::string WithCrlfLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t pos = 0; pos < text.size();) {
        if (const size_t end = LineEndLength(text, pos)) {
            out += "\r\n";
            pos += end;
        } else {
            out += text[pos++];
        }
    }
    return out;
}

std::string* StreamedMessage::Target() {
    switch (m_destination) {
        case Destination::Plain: return &m_message.PlainText;
        case Destination::Html: return &m_message.HtmlText;
        default: return nullptr;
    }
}

void StreamedMessage::EndPart() {
    if (std::string* target = Target(); target && m_encoding != Encoding::None && m_partStart <= target->size()) {
        // Only this part's content is decoded: earlier parts in the same text are done.
        std::string content = target->substr(m_partStart);
        if (m_encoding == Encoding::QuotedPrintable) mime::DecodeQuotedPrintable(content);
        else mime::DecodeBase64(content);
        target->replace(m_partStart, std::string::npos, content);
    }
    m_encoding = Encoding::None;
    m_destination = Destination::None;
    m_nonTextPart = false;
}

void StreamedMessage::ExamineHeaderLine(std::string_view line) {
    constexpr std::string_view kType = "Content-Type: ", kEncoding = "Content-Transfer-Encoding: ";
    if (mime::StartsWithNoCase(line, 0, kType)) {
        const std::string_view type = line.substr(kType.size());
        if (mime::StartsWithNoCase(type, 0, "text/html")) {
            m_destination = Destination::Html;
        } else if (mime::StartsWithNoCase(type, 0, "text/")) {
            m_destination = Destination::Plain;
        } else if (!mime::StartsWithNoCase(type, 0, "multipart/")) {
            m_destination = Destination::None;
            m_nonTextPart = true;
            m_message.AttachmentType = std::string(type.substr(0, type.find(';')));
        }
    } else if (mime::StartsWithNoCase(line, 0, kEncoding)) {
        const std::string_view encoding = line.substr(kEncoding.size());
        m_encoding = mime::StartsWithNoCase(encoding, 0, "quoted-printable") ? Encoding::QuotedPrintable
                     : mime::StartsWithNoCase(encoding, 0, "base64")         ? Encoding::Base64
                                                                             : Encoding::None;
    }
    if (const size_t at = mime::FindNoCase(line, "name="); at != mime::npos)
        m_message.AttachmentType = std::string(ParameterValue(line, at + 5));
    if (const size_t at = mime::FindNoCase(line, "boundary="); at != mime::npos) {
        m_delimiters.push_back("--" + std::string(ParameterValue(line, at + 9)));
        m_mode = Mode::SkipToDelimiter;
    }
}

bool StreamedMessage::Add(std::string_view line, bool complete) {
    // A line that starts with a dot came with one more in front of it.
    if (!m_lineContinues && line.size() >= 2 && line[0] == '.' && line[1] == '.') line.remove_prefix(1);
    const bool startsLine = !m_lineContinues;
    m_lineContinues = !complete;
    const std::string_view lineEnd = complete ? "\r\n" : "";

    const bool isDelimiter = startsLine && !m_delimiters.empty() && line.starts_with(m_delimiters.back());
    if (m_inMessageHeader && startsLine && (line.empty() || isDelimiter)) m_inMessageHeader = false;
    ((m_inMessageHeader ? m_message.Header : m_message.Body) += line) += lineEnd;

    if (isDelimiter) {
        EndPart();
        const bool closing = line.substr(m_delimiters.back().size()).starts_with("--");
        if (closing) m_delimiters.pop_back();
        m_mode = closing ? Mode::Content : Mode::HeaderBlock;
        return true;
    }
    switch (m_mode) {
        case Mode::SkipToDelimiter:
            return true;
        case Mode::HeaderBlock:
            if (!startsLine) return true;
            if (!line.empty()) {
                ExamineHeaderLine(line);
                return true;
            }
            // The texts are in and an attachment comes next: nothing more is needed.
            if (!m_message.HtmlText.empty() && m_destination == Destination::None && !m_message.AttachmentType.empty())
                return false;
            // A part that names no type is text; one of another type (an image, a document
            // before the HTML text) is skipped rather than poured into the plain text.
            if (m_destination == Destination::None && !m_nonTextPart) m_destination = Destination::Plain;
            m_mode = Mode::Content;
            if (const std::string* target = Target()) m_partStart = target->size();
            return true;
        case Mode::Content:
            if (std::string* target = Target()) (*target += line) += lineEnd;
            return true;
    }
    return true;
}

void StreamedMessage::Finish() { EndPart(); }

}  // namespace ph::pop3
