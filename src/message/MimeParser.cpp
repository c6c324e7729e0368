#include "message/MimeParser.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Bytes.h"
#include "common/Format.h"
#include "message/Dates.h"
#include "message/Decoders.h"
#include "message/TextSearch.h"

namespace ph::mime {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string Trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

// Where the key "\r\n" + name + ":" (or one of the fallbacks) matches, as if "\r\n" stood
// before the text: the position just past the colon, or npos.
class HeaderKey {
public:
    HeaderKey(std::string_view text, std::string_view name) : m_text(text) {
        for (const char* lead : {"\r\n", "\r\n\t", "\n"}) {
            m_key = std::string(lead) + std::string(name) + ":";
            if (Next(0) != npos) return;
        }
    }
    // The value start of the first match whose key starts at or after `from` (positions in the
    // text with the imagined "\r\n" in front, so 0 stands for a match at the very start).
    size_t Next(size_t from) const {
        // A match at the start of the text uses the imagined "\r\n".
        if (from == 0) {
            const std::string_view rest = std::string_view(m_key).substr(m_key[0] == '\n' ? 1 : 2);
            if (StartsWithNoCase(m_text, 0, rest)) return rest.size();
        }
        const size_t at = FindNoCase(m_text, m_key, from == 0 ? 0 : from - 1);
        return at == npos ? npos : at + m_key.size();
    }

private:
    std::string_view m_text;
    std::string m_key;
};

// The value at `at` up to the end of its (unfolded) header line.
std::string UnfoldedValue(std::string_view text, size_t at) {
    std::string value;
    auto isFoldBlank = [&](size_t i) { return i < text.size() && (text[i] == ' ' || text[i] == '\t'); };
    for (size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\t') {
            value += ' ';
        } else if (c == '\r' || c == '\n') {
            // A fold: the line break (CR LF, or one of them) followed by a blank; each of its
            // characters becomes a space.
            const size_t afterBreak = (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? i + 2 : i + 1;
            if (!isFoldBlank(afterBreak)) break;
            value.append(afterBreak - i, ' ');
            i = afterBreak - 1;
        } else {
            value += c;
        }
    }
    return Trimmed(value);
}

// From `pos`, the start of the next logical line: continuation lines (starting with a byte
// below 33 other than a line break) belong to the line.
size_t LogicalLineEnd(std::string_view text, size_t pos) {
    for (;;) {
        while (pos < text.size() && text[pos] != '\r' && text[pos] != '\n') ++pos;
        if (pos >= text.size()) return pos;
        const char c = text[pos++];
        if (pos < text.size() && text[pos] != c && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
        if (pos >= text.size()) return pos;
        const auto next = static_cast<unsigned char>(text[pos]);
        if (next >= 33 || next == '\r' || next == '\n') return pos;
    }
}

// The date text of the first "Received" header: what follows its ";" (on a continuation line
// too), or the next line when it has none.
std::string_view ReceivedDate(std::string_view headers) {
    const size_t at = FindNoCase(headers, "received:");
    if (at == npos) return {};
    const size_t end = LogicalLineEnd(headers, at);
    const size_t semicolon = headers.substr(0, end).find(';', at);
    if (semicolon == npos) return headers.substr(end);
    size_t p = semicolon;
    while (p < headers.size() && headers[p] == ';') ++p;
    while (p < headers.size() && static_cast<unsigned char>(headers[p]) <= 32) ++p;
    return headers.substr(p);
}

// A parameter value: quoted to the closing quote (or the end), else to the first byte of
// code 32 or below, or 128 and above.
std::string ParameterValue(std::string_view text, size_t at) {
    if (at < text.size() && text[at] == '"') {
        const size_t close = text.find('"', at + 1);
        return std::string(text.substr(at + 1, (close == npos ? text.size() : close) - at - 1));
    }
    size_t end = at;
    while (end < text.size() && static_cast<unsigned char>(text[end]) > 32 && static_cast<unsigned char>(text[end]) < 128)
        ++end;
    return std::string(text.substr(at, end - at));
}

// The body walk of one message: every search goes through a Finder so the whole walk stays
// linear in the text, however the parts are nested or broken.
class BodyParser {
public:
    BodyParser(CEmailMessage& message, std::string_view text)
        : m(message),
          t(text),
          m_contentType(text, "Content-Type: ", true),
          m_transferEncoding(text, "Content-Transfer-Encoding: ", true),
          m_boundary(text, "boundary=", true),
          m_fileName(text, "filename=", false),
          m_name(text, "name=", false),
          m_crcr(text, "\r\r", false),
          m_crlfcrlf(text, "\r\n\r\n", false),
          m_lflf(text, "\n\n", false) {}

    void Run() {
        if (m_boundary.From(0) == npos) {
            std::string& target = FindNoCase(t, "Content-Type: text/html") != npos ? m.HtmlText : m.PlainText;
            ExtractTextPart(target, 0, nullptr);
            return;
        }
        const size_t p = m_contentType.From(0);
        if (p == npos) return;
        if (StartsWithNoCase(t, p, "Content-Type: multipart/mixed")) m.HasAttachment = true;
        ParseMultipart(p, 0);
    }

private:
    // Finders for one delimiter: the format searches it both ways.
    struct Delimiter {
        Delimiter(std::string_view text, const std::string& d) : exact(text, d, false), anyCase(text, d, true) {}
        Finder exact;
        Finder anyCase;
    };

    static constexpr int kMaxDepth = 32;

    size_t BlankLineEnd(size_t from) {
        const size_t a = m_crcr.From(from), b = m_crlfcrlf.From(from), c = m_lflf.From(from);
        size_t best = npos, skip = 0;
        if (a != npos) best = a, skip = 2;
        if (b != npos && b < best) best = b, skip = 4;
        if (c != npos && c < best) best = c, skip = 2;
        return best == npos ? npos : best + skip;
    }

    enum class Encoding { None, QuotedPrintable, Base64 };

    Encoding TransferEncodingAt(size_t at) const {
        const size_t v = at + m_transferEncoding.Length();
        if (StartsWithNoCase(t, v, "quoted-printable")) return Encoding::QuotedPrintable;
        if (StartsWithNoCase(t, v, "base64")) return Encoding::Base64;
        return Encoding::None;
    }

    static void Decode(std::string& data, Encoding encoding) {
        if (encoding == Encoding::QuotedPrintable)
            DecodeQuotedPrintable(data);
        else if (encoding == Encoding::Base64)
            DecodeBase64(data);
    }

    // The body of a text part into `target` (replacing it). Returns the body start, or npos
    // when the part has no end (the target is then left alone).
    size_t ExtractTextPart(std::string& target, size_t p, Delimiter* d) {
        const size_t next = d ? d->anyCase.From(p) : npos;
        const size_t cte = m_transferEncoding.From(p);
        const Encoding encoding = cte != npos && (!d || next == npos || cte < next) ? TransferEncodingAt(cte) : Encoding::None;
        size_t start = BlankLineEnd(p);
        if (start == npos) start = t.size();
        size_t end = t.size();
        if (d) {
            end = d->anyCase.From(start);
            if (end == npos) return npos;
        }
        target.assign(t.substr(start, end - start));
        Decode(target, encoding);
        return start;
    }

    size_t ExtractAttachmentPart(size_t p, Delimiter& d, std::string name) {
        size_t start = BlankLineEnd(p);
        if (start == npos) start = t.size();
        const size_t cte = m_transferEncoding.From(p);
        const Encoding encoding = cte != npos && cte < start ? TransferEncodingAt(cte) : Encoding::None;
        if (name.empty()) {
            const size_t type = m_contentType.From(p);
            if (type != npos && type < start) {
                size_t e = type + m_contentType.Length();
                while (e < t.size() && static_cast<unsigned char>(t[e]) > 32) ++e;
                name = std::string(t.substr(type + m_contentType.Length(), e - type - m_contentType.Length()));
            }
        }
        size_t end = d.anyCase.From(start);
        if (end == npos) end = t.size();
        std::string data;
        const std::string_view raw = t.substr(start, end - start);
        // The base64 decoder skips line breaks itself, so only other data needs them taken out.
        if (name == "message/rfc822" || encoding == Encoding::Base64) {
            data.assign(raw);
        } else {
            data.reserve(raw.size());
            for (char c : raw)
                if (c != '\r' && c != '\n') data += c;
        }
        Decode(data, encoding);
        m.AttachmentData.push_back(std::move(data));
        m.AttachmentNames.push_back(std::move(name));
        m.AttachmentExtra.emplace_back();
        return start;
    }

    size_t NonTextPart(size_t s, size_t v, Delimiter& d) {
        const size_t next = d.exact.From(s);
        std::string name;
        if (next != npos) {
            if (const size_t f = m_fileName.Before(s, next); f != npos)
                name = ParameterValue(t, f + m_fileName.Length());
            else if (const size_t n = m_name.Before(s, next); n != npos)
                name = ParameterValue(t, n + m_name.Length());
            else
                name = ParameterValue(t, v);
        } else {
            name = ParameterValue(t, v);
        }
        m.AttachmentType = name;
        return m.CollectAttachments ? ExtractAttachmentPart(v, d, name) : v;
    }

    size_t ParseMultipart(size_t p, int depth) {
        if (depth > kMaxDepth) return npos;
        const size_t b = m_boundary.From(p);
        if (b == npos) {
            const size_t blank = m_crlfcrlf.From(p);
            if (blank != npos) m.PlainText.assign(t.substr(blank + 4));
            return t.size();
        }
        size_t pos = b + m_boundary.Length();
        std::string value;
        if (pos < t.size() && t[pos] == '"') {
            const size_t close = t.find('"', pos + 1);
            if (close == npos) return npos;
            value.assign(t.substr(pos + 1, close - pos - 1));
            pos = close + 1;
        } else {
            size_t e = pos;
            while (e < t.size() && static_cast<unsigned char>(t[e]) > 32 && static_cast<unsigned char>(t[e]) < 128) ++e;
            value.assign(t.substr(pos, e - pos));
            pos = e;
        }
        Delimiter d(t, "--" + value);
        for (;;) {
            if (pos >= t.size()) return pos;
            const size_t at = d.exact.From(pos);
            if (at == npos) return npos;
            size_t lineEnd = at + 2 + value.size();
            if (t.compare(lineEnd, 2, "--") == 0) {
                while (lineEnd < t.size() && t[lineEnd] != '\r' && t[lineEnd] != '\n') ++lineEnd;
                if (lineEnd < t.size() && t[lineEnd] == '\r') ++lineEnd;
                if (lineEnd < t.size() && t[lineEnd] == '\n') ++lineEnd;
                return lineEnd;
            }
            while (lineEnd < t.size() && t[lineEnd] != '\r' && t[lineEnd] != '\n') ++lineEnd;
            if (lineEnd >= t.size()) return lineEnd;
            if (t[lineEnd] == '\r' && lineEnd + 1 < t.size() && t[lineEnd + 1] == '\n')
                lineEnd += 2;
            else
                ++lineEnd;
            const size_t s = lineEnd;
            const size_t type = m_contentType.From(s);
            if (type == npos) return npos;
            const size_t v = type + m_contentType.Length();
            if (StartsWithNoCase(t, v, "multipart/"))
                pos = ParseMultipart(v, depth + 1);
            else if (StartsWithNoCase(t, v, "text/html"))
                pos = ExtractTextPart(m.HtmlText, v, &d);
            else if (StartsWithNoCase(t, v, "text/"))
                pos = ExtractTextPart(m.PlainText, v, &d);
            else
                pos = NonTextPart(s, v, d);
            if (pos == npos) return npos;
        }
    }

    CEmailMessage& m;
    std::string_view t;
    Finder m_contentType;
    Finder m_transferEncoding;
    Finder m_boundary;
    Finder m_fileName;
    Finder m_name;
    Finder m_crcr;
    Finder m_crlfcrlf;
    Finder m_lflf;
};

}  // namespace

std::string_view GetHeaderBlock(std::string_view text) {
    const size_t end = text.find("\r\n\r\n");
    return end == npos ? text : text.substr(0, end);
}

std::string GetHeaderField(std::string_view headers, std::string_view name, int index) {
    const HeaderKey key(headers, name);
    size_t at = key.Next(0);
    for (int i = 0; i < index && at != npos; ++i) at = key.Next(at);
    return at == npos ? std::string() : UnfoldedValue(headers, at);
}

void SplitFromAddress(CEmailMessage& m, const AddressBookLookup& inAddressBook) {
    const std::string_view f = m.From;
    const size_t lt = f.find('<');
    if (lt == npos) {
        m.FromName = m.From;
        m.FromAddress = m.From;
    } else {
        std::string name = Trimmed(f.substr(0, lt));
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = Trimmed(std::string_view(name).substr(1, name.size() - 2));
        if (name.empty()) {
            name = Trimmed(f);
            if (name.size() >= 2 && name.front() == '<' && name.back() == '>') name = Trimmed(std::string_view(name).substr(1, name.size() - 2));
        }
        m.FromName = std::move(name);
        const std::string_view rest = f.substr(lt + 1);
        m.FromAddress = std::string(rest.substr(0, rest.find('>')));
    }
    m.FromIconState = inAddressBook && inAddressBook(m.FromAddress) ? 8 : 0;
}

std::string SentDateText(std::string_view text, const DateTime& today) {
    const std::string_view headers = GetHeaderBlock(text);
    std::string source(ReceivedDate(headers));
    if (Trimmed(source).empty()) source = GetHeaderField(headers, "Date");
    if (source.empty()) source = GetHeaderField(text, "Date");
    if (source.empty()) source = today.Format("%m/%d/%y");
    return NormalizeDate(source);
}

void ParseHeaders(CEmailMessage& m, std::string_view text, const AddressBookLookup& inAddressBook,
                  const DateTime& today) {
    const std::string_view h = GetHeaderBlock(text);
    m.ReplyTo = GetHeaderField(h, "Reply-To");
    for (const char* fallback : {"From", "Sender", "Return-Path"})
        if (m.ReplyTo.empty()) m.ReplyTo = GetHeaderField(h, fallback);
    m.Subject = GetHeaderField(h, "Subject");
    m.From = GetHeaderField(h, "From");
    SplitFromAddress(m, inAddressBook);
    m.SentDate.Parse(SentDateText(text, today));
    m.To = GetHeaderField(h, "To");
    m.Cc = GetHeaderField(h, "CC");
    if (FindNoCase(GetHeaderField(h, "Content-Type"), "multipart/mixed") != npos) m.HasAttachment = true;
}

void ParseBody(CEmailMessage& m, std::string_view text) { BodyParser(m, text).Run(); }

void RefreshFromHeader(CEmailMessage& m, std::string_view text) {
    if (!m.From.empty() && m.From.find('@') != std::string::npos) return;
    m.From = GetHeaderField(GetHeaderBlock(text), "From");
    const int icon = m.FromIconState;
    SplitFromAddress(m);
    m.FromIconState = icon;
}

void ParseAddressList(std::string_view text, std::vector<std::string>& list) {
    size_t i = 0;
    auto collect = [&](std::string_view item) {
        if (item.find('@') == npos) return;
        std::string address(item);
        for (char& c : address) c = AsciiLower(c);
        list.push_back(std::move(address));
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == ',') {
            ++i;
        } else if (c == '"') {
            const size_t close = text.find('"', i + 1);
            i = close == npos ? text.size() : close + 1;
        } else if (c == '<') {
            const size_t close = text.find('>', i + 1);
            collect(text.substr(i + 1, (close == npos ? text.size() : close) - i - 1));
            i = close == npos ? text.size() : close + 1;
        } else {
            size_t end = i;
            while (end < text.size() && text[end] != ',' && text[end] != ' ') ++end;
            collect(text.substr(i, end - i));
            i = end;
        }
    }
}

void QuoteText(std::string& text) {
    if (text.empty()) return;
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 1);
    out += '>';
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') out += text[++i];
        if (text[i] == '\r' || text[i] == '\n') out += '>';
    }
    text.swap(out);
}

std::string SafeFileName(std::string_view name) {
    const size_t slash = name.find_last_of("/\\");
    if (slash != npos) name = name.substr(slash + 1);
    std::string out;
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 32 && c != 127) out += c;
    if (out == "." || out == "..") out.clear();
    return out;
}

int SaveAttachments(const CEmailMessage& m, const std::string& folder, std::string* error) {
    // No folder chosen is not the file system's root.
    if (folder.empty()) {
        if (error) *error = "no folder to save attachments into";
        return 0;
    }
    int written = 0;
    for (size_t i = 0; i < m.AttachmentData.size(); ++i) {
        std::string name = SafeFileName(i < m.AttachmentNames.size() ? m.AttachmentNames[i] : std::string());
        if (name.empty()) name = Format("file%d.dat", static_cast<int>(i));
        const std::string path = Format("%s/%s", folder.c_str(), name.c_str());
        // O_NOFOLLOW: a link planted under the chosen name must not lead the data elsewhere.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (error) *error = Format("cannot write %s: %s", path.c_str(), std::strerror(errno));
            continue;
        }
        const std::string& data = m.AttachmentData[i];
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(fd);
        if (done == data.size())
            ++written;
        else if (error)
            *error = Format("cannot write %s", path.c_str());
    }
    return written;
}

}  // namespace ph::mime
