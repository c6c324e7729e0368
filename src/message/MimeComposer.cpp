#include "message/MimeComposer.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include <sys/stat.h>

#include "common/Bytes.h"
#include "common/Format.h"
#include "message/Encoders.h"

namespace ph::mime {
namespace {

constexpr const char* kPreamble = "This is a multi-part message in MIME format";
// Whole base64 lines per slice, so a large file is never held in memory at once.
constexpr size_t kFileSlice = kBase64LineBytes * 1024;

std::string JoinAddresses(const std::vector<AddressPair>& list) {
    std::string out;
    for (const AddressPair& pair : list) {
        if (!out.empty()) out += ',';
        out += FormatAddress(pair);
    }
    return out;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string FormatAddress(const AddressPair& pair) {
    return pair.name.empty() ? pair.address : Format("%s <%s>", pair.name.c_str(), pair.address.c_str());
}

MessageTime MessageTime::Now() {
    const time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    // tm_gmtoff already includes daylight saving time when it is in effect.
    return {DateTime::FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                local.tm_min, local.tm_sec),
            static_cast<int>(local.tm_gmtoff / 60)};
}

std::string FormatZone(int zoneMinutes) {
    // Sign and magnitude apart: a zone less than an hour west of UTC still shows its "-".
    const int magnitude = zoneMinutes < 0 ? -zoneMinutes : zoneMinutes;
    return Format("%c%02d%02d", zoneMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}

std::string FormatMessageDate(const MessageTime& when) {
    return when.local.Format("%a, %d %b %Y %H:%M:%S ") + FormatZone(when.zoneMinutes);
}

// ---- CMimePart ----

CMimePart::CMimePart() : m_boundary(NewUuid()) {}

void CMimePart::SetText(std::string_view text) {
    Text = NormalizeLineBreaks(text);
    Type = "text/plain";
}

bool CMimePart::AttachFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    FilePath = path;
    FileName = std::filesystem::path(path).filename().string();
    Type = "application/octet-stream";
    Data.reset();
    return true;
}

void CMimePart::AttachData(const std::string& fileName, std::string data) {
    FilePath = fileName;
    FileName = fileName;
    Type = "application/octet-stream";
    Data = std::move(data);
}

CMimePart& CMimePart::AddChild(std::unique_ptr<CMimePart> child) {
    child->m_parent = this;
    m_children.push_back(std::move(child));
    return *m_children.back();
}

void CMimePart::RemoveChildren() { m_children.clear(); }

CMimePart* CMimePart::FindChild(std::string_view type) const {
    for (const auto& child : m_children)
        if (EqualsNoCase(child->Type, type)) return child.get();
    return nullptr;
}

std::string CMimePart::PartHeader() const {
    const char* parentBoundary = m_parent->m_boundary.c_str();
    std::string header;
    if (IsAttachment()) {
        header = Format("\r\n\r\n--%s\r\nContent-Type: %s; charset=%s; name=%s", parentBoundary, Type.c_str(),
                        Charset.c_str(), FileName.c_str());
        if (IsContainer()) header += Format("; Boundary=\"%s\"", m_boundary.c_str());
        header += Format("\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"%s\"\r\n",
                         FileName.c_str());
    } else {
        header = Format("\r\n--%s\r\nContent-Type: %s; charset=%s", parentBoundary, Type.c_str(), Charset.c_str());
        if (IsContainer()) header += Format("; Boundary=\"%s\"", m_boundary.c_str());
        header += "\r\n";
        if (QuotedPrintable) header += "Content-Transfer-Encoding: quoted-printable\r\n";
    }
    if (!ContentBase.empty()) header += Format("Content-Base: %s\r\n", ContentBase.c_str());
    if (!ContentId.empty()) header += Format("Content-ID: %s\r\n", ContentId.c_str());
    if (!ContentLocation.empty()) header += Format("Content-Location: %s\r\n", ContentLocation.c_str());
    header += "\r\n";
    return header;
}

bool CMimePart::WriteAttachmentBody(const MessageSink& sink) const {
    if (Data) return sink(Base64Lines(*Data));
    std::unique_ptr<FILE, FileCloser> file(std::fopen(FilePath.c_str(), "rb"));
    if (!file) return false;
    std::string slice(kFileSlice, '\0');
    for (;;) {
        const size_t got = std::fread(slice.data(), 1, slice.size(), file.get());
        if (std::ferror(file.get())) return false;
        if (got > 0 && !sink(Base64Lines(std::string_view(slice).substr(0, got)))) return false;
        if (got < slice.size()) return true;
    }
}

bool CMimePart::Write(const MessageSink& sink) const {
    if (m_parent && !sink(PartHeader())) return false;
    if (IsAttachment()) {
        if (!WriteAttachmentBody(sink)) return false;
    } else if (!sink(DotStuff(QuotedPrintable ? EncodeQuotedPrintable(Text) : Text))) {
        return false;
    }
    for (const auto& child : m_children)
        if (!child->Write(sink)) return false;
    return !IsContainer() || sink(Format("\r\n--%s--", m_boundary.c_str()));
}

// ---- CMimeMessage ----

CMimeMessage::CMimeMessage() = default;

bool CMimeMessage::AddRecipient(AddressPair pair, int list) {
    if (list < kTo || list > kBcc) return false;
    Recipients[list].push_back(std::move(pair));
    return true;
}

std::string CMimeMessage::BodyText() const {
    if (!m_mimeMode && !m_root.IsContainer()) return m_root.Text;
    const CMimePart* plain = m_root.FindChild("text/plain");
    return plain ? plain->Text : std::string();
}

void CMimeMessage::MakeContainer(const char* type) {
    m_root.Text = kPreamble;
    m_root.Type = type;
}

void CMimeMessage::SetMimeMode(bool on) {
    if (on == m_mimeMode) return;
    const std::string body = BodyText();
    m_root.RemoveChildren();
    m_mimeMode = on;
    if (on) {
        MakeContainer("multipart/mixed");
    } else {
        // The preamble would otherwise become the body of the single-part message.
        m_root.SetText({});
    }
    if (!body.empty()) SetBodyText(body);
}

void CMimeMessage::SetBodyText(std::string_view text) {
    if (!m_mimeMode && !m_root.IsContainer()) {
        m_root.SetText(text);
        return;
    }
    if (CMimePart* plain = m_root.FindChild("text/plain")) {
        plain->SetText(text);
        return;
    }
    MakeContainer("multipart/mixed");
    auto part = std::make_unique<CMimePart>();
    part->Charset = m_root.Charset;
    part->SetText(text);
    m_root.AddChild(std::move(part));
}

void CMimeMessage::SetHtmlText(std::string_view html, std::string_view contentBase) {
    CMimePart* part = m_root.FindChild("text/html");
    if (!part) {
        MakeContainer("multipart/related");
        auto made = std::make_unique<CMimePart>();
        made->Charset = m_root.Charset;
        made->ContentBase = contentBase;
        part = &m_root.AddChild(std::move(made));
    }
    part->SetText(html);
    part->Type = "text/html";
}

CMimePart& CMimeMessage::AddAttachment(std::unique_ptr<CMimePart> part) {
    SetMimeMode(true);
    return m_root.AddChild(std::move(part));
}

std::string CMimeMessage::BuildHeader() const {
    const std::string& charset = m_root.Charset;
    auto word = [&charset](const std::string& value) { return EncodeHeaderWord(value, charset); };

    std::string header = Format("From: %s\r\nTo: %s\r\n", word(FormatAddress(From)).c_str(),
                                word(JoinAddresses(Recipients[kTo])).c_str());
    if (!Recipients[kCc].empty()) header += Format("Cc: %s\r\n", word(JoinAddresses(Recipients[kCc])).c_str());
    header += Format("Subject: %s\r\nDate: %s\r\nX-Mailer: %s\r\n", word(Subject).c_str(),
                     word(FormatMessageDate(m_clock())).c_str(), word(XMailer).c_str());
    if (m_mimeMode) {
        if (m_root.QuotedPrintable) header += "Content-Transfer-Encoding: quoted-printable\r\n";
        if (m_root.IsContainer()) {
            header += Format("MIME-Version: 1.0\r\nContent-Type: %s; boundary=\"%s\"\r\n", m_root.Type.c_str(),
                             m_root.Boundary().c_str());
        } else {
            header += Format("MIME-Version: 1.0\r\nContent-Type: %s\r\n", m_root.Type.c_str());
        }
    } else {
        header += Format("Content-Type: %s;\r\n\tcharset=%s\r\n", m_root.Type.c_str(), charset.c_str());
    }
    if (!ReplyTo.address.empty()) header += Format("Reply-To: %s\r\n", FormatAddress(ReplyTo).c_str());
    for (const std::string& line : ExtraHeaders) header += line + "\r\n";
    return header;
}

bool CMimeMessage::WriteMessage(const MessageSink& sink) const {
    if (!sink(BuildHeader() + "\r\n")) return false;
    if (!m_mimeMode && !m_root.IsContainer()) return sink(m_root.Text);
    return m_root.Write(sink);
}

}  // namespace ph::mime
