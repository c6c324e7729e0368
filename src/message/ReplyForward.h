#pragma once
// The initial contents of the compose window opened to reply to or forward a stored message.
// Pure functions over the source message: the window and the document stay outside, so the
// GUI and the command line build the same texts.
#include <functional>
#include <string>

#include "model/CEmailMessage.h"

namespace ph::mime {

// The style sheet every HTML compose body starts with.
extern const char* const kComposeStyle;

// What the compose window starts with.
struct ReplyDraft {
    std::string From, To, Subject, Body;
    bool plainText = false;  // the plain-text window (else the HTML one)
};

// The replying (or forwarding) side.
struct ReplySettings {
    std::string accountAddress;  // the account's e-mail address
    int accountType = 2;          // CEmailAccount::m_type
    bool includeOriginal = true;  // the IncludeOrigInReply setting
    // To of a reply from an account of the maker's own web-mail kind (type 98), whose
    // messages carry no address to answer.
    std::string placeholderTo;
};

// Brings a message's stored texts into memory (the document's FetchMessageTexts); false
// when the store no longer has them.
using FetchTexts = std::function<bool(CEmailMessage&)>;

// The plain-text window serves the account kinds whose services took no HTML (types 3 and 1).
bool UsesPlainTextWindow(int accountType);

// "Re: " + Subject, To = the source's whole From (after RefreshFromHeader with its Header).
// The source is changed only by that refresh and by fetching its texts.
ReplyDraft BuildReply(CEmailMessage& source, const ReplySettings& settings, const FetchTexts& fetch = nullptr);
// "FWD: " + Subject and the same body rules; To is left for the user.
ReplyDraft BuildForward(CEmailMessage& source, const ReplySettings& settings, const FetchTexts& fetch = nullptr);

// The two bodies on their own. `replyingAddress` is the account's address shown in the quote.
std::string HtmlReplyBody(const CEmailMessage& source, const std::string& replyingAddress, bool includeOriginal);
std::string PlainReplyBody(const CEmailMessage& source, const std::string& replyingAddress, bool includeOriginal);

}  // namespace ph::mime
