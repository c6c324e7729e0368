#include "MessageView.h"

#include "Display.h"
#include "common/Format.h"

namespace ph::cli {

void ParseAsRetrieved(std::string_view text, ParsedMessage& parsed, const mime::AddressBookLookup& inAddressBook,
                      const DateTime& today) {
    CEmailMessage& m = parsed.message;
    // The body parser only ever sets these, so a second parse must start from nothing.
    m.ClearAttachments();
    m.PlainText.clear();
    m.HtmlText.clear();
    m.AttachmentType.clear();
    m.HasAttachment = false;
    m.Header = std::string(mime::GetHeaderBlock(text));
    m.Body = std::string(text);
    m.CollectAttachments = true;
    mime::ParseHeaders(m, text, inAddressBook, today);
    mime::ParseBody(m, text);
    parsed.sentDateText = mime::SentDateText(text, today);
}

std::string AttachmentFileName(const CEmailMessage& message, size_t index) {
    std::string name = mime::SafeFileName(index < message.AttachmentNames.size() ? message.AttachmentNames[index] : "");
    return name.empty() ? Format("file%d.dat", static_cast<int>(index)) : name;
}

nlohmann::ordered_json MessageJson(const ParsedMessage& parsed) {
    const CEmailMessage& m = parsed.message;
    nlohmann::ordered_json out = {
        {"to", JsonText(m.To)},
        {"cc", JsonText(m.Cc)},
        {"subject", JsonText(m.Subject)},
        {"from", JsonText(m.From)},
        {"fromName", JsonText(m.FromName)},
        {"fromAddress", JsonText(m.FromAddress)},
        {"fromIconState", m.FromIconState},
        {"replyTo", JsonText(m.ReplyTo)},
        {"sentDate", JsonText(parsed.sentDateText)},
        {"storedDate", m.SentDate.ToStoreText()},
        {"hasAttachment", m.HasAttachment},
        {"attachmentType", JsonText(m.AttachmentType)},
        {"plainText", JsonText(m.PlainText)},
        {"htmlText", JsonText(m.HtmlText)},
        {"attachments", nlohmann::ordered_json::array()},
    };
    for (size_t i = 0; i < m.AttachmentData.size(); ++i)
        out["attachments"].push_back({{"name", JsonText(i < m.AttachmentNames.size() ? m.AttachmentNames[i] : "")},
                                      {"size", m.AttachmentData[i].size()}});
    return out;
}

void PrintMessage(std::ostream& out, const ParsedMessage& parsed) {
    const CEmailMessage& m = parsed.message;
    const std::pair<const char*, const std::string*> texts[] = {
        {"To", &m.To},           {"Cc", &m.Cc},
        {"Subject", &m.Subject}, {"From", &m.From},
        {"FromName", &m.FromName}, {"FromAddress", &m.FromAddress},
    };
    for (const auto& [label, text] : texts) out << label << ": " << EscapeForLine(*text) << "\n";
    out << "FromIconState: " << m.FromIconState << "\n";
    out << "ReplyTo: " << EscapeForLine(m.ReplyTo) << "\n";
    out << "SentDate: " << EscapeForLine(parsed.sentDateText) << "\n";
    out << "StoredDate: " << m.SentDate.ToStoreText() << "\n";
    out << "HasAttachment: " << (m.HasAttachment ? "yes" : "no") << "\n";
    out << "AttachmentType: " << EscapeForLine(m.AttachmentType) << "\n";
    out << "PlainText: " << EscapeForLine(m.PlainText) << "\n";
    out << "HtmlText: " << EscapeForLine(m.HtmlText) << "\n";
    for (size_t i = 0; i < m.AttachmentData.size(); ++i)
        out << "Attachment " << i << ": " << EscapeForLine(i < m.AttachmentNames.size() ? m.AttachmentNames[i] : "")
            << " (" << m.AttachmentData[i].size() << " bytes)\n";
}

}  // namespace ph::cli
