#pragma once
// The composer: an outgoing message as a tree of MIME parts, written out as Internet message
// text. The writer streams into any sink, so the SMTP client can send while it writes and
// others can collect the text in memory or a file.
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"

namespace ph::mime {

// A display name with its address; the name may be empty.
struct AddressPair {
    std::string name;
    std::string address;
};
// "name <address>", or the bare address when there is no name.
std::string FormatAddress(const AddressPair& pair);

// The three recipient lists of a message, by their numbers.
enum RecipientList { kTo = 0, kCc = 1, kBcc = 2 };

// When a message is written: the local wall-clock time and its zone, local time minus UTC.
struct MessageTime {
    DateTime local;
    int zoneMinutes = 0;
    static MessageTime Now();
};
// A zone as a sign and four digits of its absolute value: "+0000", "-0800", "+0530".
std::string FormatZone(int zoneMinutes);
// The Date header value, "%a, %d %b %Y %H:%M:%S " and the zone, with English names.
std::string FormatMessageDate(const MessageTime& when);

// Takes the next piece of the message text; false stops the writer (a dropped connection).
using MessageSink = std::function<bool(std::string_view)>;

class CMimePart {
public:
    CMimePart();
    CMimePart(const CMimePart&) = delete;
    CMimePart& operator=(const CMimePart&) = delete;

    // Stores the text with its line breaks made "\r\n" and makes the part "text/plain".
    void SetText(std::string_view text);
    // Makes the part an attachment of the file at `path`, read when the message is written.
    // False when the file's status cannot be read.
    bool AttachFile(const std::string& path);
    // An attachment whose bytes are given here instead of read from a file.
    void AttachData(const std::string& fileName, std::string data);

    // Appends `child` (this part becomes its parent and a container); returns it.
    CMimePart& AddChild(std::unique_ptr<CMimePart> child);
    void RemoveChildren();
    // The first child of `type` (compared ignoring case), or null.
    CMimePart* FindChild(std::string_view type) const;

    CMimePart* Parent() const { return m_parent; }
    const std::vector<std::unique_ptr<CMimePart>>& Children() const { return m_children; }
    bool IsContainer() const { return !m_children.empty(); }
    bool IsAttachment() const { return !FilePath.empty(); }
    // Made when the part is created; written as the delimiter of its children.
    const std::string& Boundary() const { return m_boundary; }

    // Writes the part (its header unless it is the root), its body and its children, depth
    // first. False when the sink refuses or an attachment file cannot be read.
    bool Write(const MessageSink& sink) const;

    std::string FilePath;  // an attachment's file (or, for data given in memory, its name)
    std::string FileName;  // the name the attachment is shown under
    std::string Type = "text/plain";
    std::string Charset = "iso-8859-1";
    std::string ContentBase, ContentId, ContentLocation;  // written when not empty
    std::string Text;
    std::optional<std::string> Data;  // an attachment's bytes, used instead of the file
    bool QuotedPrintable = true;

private:
    std::string PartHeader() const;
    bool WriteAttachmentBody(const MessageSink& sink) const;

    CMimePart* m_parent = nullptr;
    std::vector<std::unique_ptr<CMimePart>> m_children;
    std::string m_boundary;
};

class CMimeMessage {
public:
    using Clock = std::function<MessageTime()>;

    CMimeMessage();
    CMimeMessage(const CMimeMessage&) = delete;
    CMimeMessage& operator=(const CMimeMessage&) = delete;

    void SetFrom(AddressPair pair) { From = std::move(pair); }
    // An empty address means no Reply-To header.
    void SetReplyTo(AddressPair pair) { ReplyTo = std::move(pair); }
    // Appends to list 0 (To), 1 (Cc) or 2 (Bcc); false for any other list.
    bool AddRecipient(AddressPair pair, int list);
    // A complete header line (without its line break), written after the standard ones.
    void AddHeader(std::string line) { ExtraHeaders.push_back(std::move(line)); }

    // 0: a plain single-part message; 1: MIME. A change drops the root's children and keeps
    // the body text.
    void SetMimeMode(bool on);
    int MimeMode() const { return m_mimeMode ? 1 : 0; }
    // The plain-text body: the root's own text in a single-part message, else the first
    // "text/plain" child, made (with the root a "multipart/mixed" container) when missing.
    void SetBodyText(std::string_view text);
    // The HTML body: the first "text/html" child, made when missing, with the root then a
    // "multipart/related" container; other children stay.
    void SetHtmlText(std::string_view html, std::string_view contentBase = {});
    // Switches MIME mode on and appends `part` to the root's children; returns it.
    CMimePart& AddAttachment(std::unique_ptr<CMimePart> part);

    // The header block, each line ending "\r\n"; the Bcc list is never in it.
    std::string BuildHeader() const;
    // The header, a blank line and the parts. False when the sink refuses or a part fails.
    bool WriteMessage(const MessageSink& sink) const;

    CMimePart& Root() { return m_root; }
    const CMimePart& Root() const { return m_root; }
    // Where the Date header's time comes from; the machine's clock unless set.
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    AddressPair From;
    AddressPair ReplyTo;
    std::string Subject;
    std::string XMailer = "Postharbour v1.0";
    std::array<std::vector<AddressPair>, 3> Recipients;  // indexed by RecipientList
    std::vector<std::string> ExtraHeaders;

private:
    // What SetMimeMode carries over: the root's own text or the first "text/plain" child's.
    std::string BodyText() const;
    void MakeContainer(const char* type);

    CMimePart m_root;
    bool m_mimeMode = false;
    Clock m_clock = MessageTime::Now;
};

}  // namespace ph::mime
