#include "message/ReplyForward.h"

#include "message/MimeParser.h"
#include "message/TextSearch.h"
#include "model/CEmailAccount.h"

namespace ph::mime {

const char* const kComposeStyle =
    "<style type=\"text/css\">BODY { font-family: arial; font-size: 10pt } P { margin-top: 0em; "
    "margin-bottom: 0em; } UL, OL { margin-top: 2px; margin-bottom: 5px; } </style>";

namespace {

std::string QuoteOpening(const CEmailMessage& source, const std::string& replyingAddress) {
    std::string q;
    q += "<DIV>&nbsp;</DIV>\n";
    q += "<BLOCKQUOTE style=\"PADDING-RIGHT: 0px; PADDING-LEFT: 5px; MARGIN-LEFT: 5px; BORDER-LEFT: #000000 2px "
         "solid; MARGIN-RIGHT: 0px\">\n";
    q += "<DIV style=\"FONT: 10pt arial\">----- Original Message ----- </DIV>";
    q += "<DIV style=\"BACKGROUND: #e4e4e4; FONT: 10pt arial; font-color: black\"><B>From:</B> ";
    q += "<A href=\"mailto:" + source.FromAddress + "\">" + source.FromName + "</A> </DIV>\n";
    q += "<DIV style=\"FONT: 10pt arial\"><B>To:</B> <A href=\"mailto:" + replyingAddress + "\">" + replyingAddress +
         "</A> </DIV>\n";
    q += "<DIV style=\"FONT: 10pt arial\"><B>Subject:</B> " + source.Subject + "</DIV>\n";
    q += "<DIV><BR></DIV>\n";
    return q;
}

// Just past the ">" that closes the first tag starting with `tag`; npos when there is no such
// tag or it is never closed. Mail HTML writes its tags in any case.
size_t AfterTag(std::string_view html, std::string_view tag) {
    const size_t at = FindNoCase(html, tag);
    if (at == npos) return npos;
    const size_t close = html.find('>', at + tag.size());
    return close == npos ? npos : close + 1;
}

// Texts that were never brought from the store are fetched once, so the quote is not empty.
void FetchIfOnlyStored(CEmailMessage& source, const ReplySettings& settings, const FetchTexts& fetch) {
    if (!settings.includeOriginal || !fetch) return;
    if (!source.PlainText.empty() || !source.HtmlText.empty()) return;
    if (source.m_textsInMemory || !(source.m_bodyCached || source.m_textCached)) return;
    fetch(source);
}

ReplyDraft BuildDraft(const CEmailMessage& source, const ReplySettings& settings, const char* prefix) {
    ReplyDraft draft;
    draft.plainText = UsesPlainTextWindow(settings.accountType);
    draft.From = settings.accountAddress;
    draft.Subject = prefix + source.Subject;
    draft.Body = draft.plainText ? PlainReplyBody(source, settings.accountAddress, settings.includeOriginal)
                                 : HtmlReplyBody(source, settings.accountAddress, settings.includeOriginal);
    return draft;
}

}  // namespace

bool UsesPlainTextWindow(int accountType) {
    return accountType == kTypeAol || accountType == kTypeHttp;
}

std::string HtmlReplyBody(const CEmailMessage& source, const std::string& replyingAddress, bool includeOriginal) {
    std::string body = kComposeStyle;
    if (source.HtmlText.empty() || !includeOriginal) return body + "<BODY>" + source.PlainText + "</BODY>";
    body += source.HtmlText;
    const size_t open = AfterTag(body, "<BODY");
    body.insert(open == npos ? 0 : open, QuoteOpening(source, replyingAddress));
    const size_t close = AfterTag(body, "</BODY");
    body.insert(close == npos ? body.size() : close, "</BLOCKQUOTE>\n");
    return body;
}

std::string PlainReplyBody(const CEmailMessage& source, const std::string& replyingAddress, bool includeOriginal) {
    if (!includeOriginal) return {};
    // Put together rather than printed: a decoded text may hold zero bytes.
    std::string body = "From: " + replyingAddress + "\r\nTo: " + source.FromAddress + "\r\nSubject: " +
                       source.Subject + "\r\nDate: " + source.SentDate.ToStoreText() + "\r\n\r\n\r\n" +
                       source.PlainText + "\r\n";
    QuoteText(body);
    return body;
}

ReplyDraft BuildReply(CEmailMessage& source, const ReplySettings& settings, const FetchTexts& fetch) {
    // The stored Header may come with the texts, and the refresh needs it.
    FetchIfOnlyStored(source, settings, fetch);
    RefreshFromHeader(source, source.Header);
    ReplyDraft draft = BuildDraft(source, settings, "Re: ");
    draft.To = settings.accountType == kTypePH ? settings.placeholderTo : source.From;
    return draft;
}

ReplyDraft BuildForward(CEmailMessage& source, const ReplySettings& settings, const FetchTexts& fetch) {
    FetchIfOnlyStored(source, settings, fetch);
    return BuildDraft(source, settings, "FWD: ");
}

}  // namespace ph::mime
