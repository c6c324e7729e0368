#pragma once
// The tolerant whole-text parser: raw Internet message text to the fields of a message.
// It works on the text with substring searches and never builds a tree; what it cannot find
// it leaves empty, and it never fails a message. Header values are stored as they stand
// (encoded words are not decoded). Every search is bounded so that a hostile message costs
// time linear in its size.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/CEmailMessage.h"

namespace ph::mime {

// Whether a name or address belongs to an entry of the address book.
using AddressBookLookup = std::function<bool(std::string_view nameOrAddress)>;

// The text before the first blank line ("\r\n\r\n"), or all of it.
std::string_view GetHeaderBlock(std::string_view text);
// The unfolded, trimmed value of the index-th occurrence (0 = first) of a header; empty when
// absent. Names match case-insensitively and only at a line start ("Reply-To" never matches
// "In-Reply-To").
std::string GetHeaderField(std::string_view headers, std::string_view name, int index = 0);

// From, FromName, FromAddress and FromIconState from the From text; the icon state is 8 when
// `inAddressBook` knows the address.
void SplitFromAddress(CEmailMessage& message, const AddressBookLookup& inAddressBook = nullptr);
// To, Cc, Subject, From (and its split), ReplyTo, SentDate and perhaps HasAttachment.
// `today` fills a date when the text has none.
void ParseHeaders(CEmailMessage& message, std::string_view text,
                  const AddressBookLookup& inAddressBook = nullptr, const DateTime& today = DateTime::Now());
// The text of the SentDate the headers give, normalised (see NormalizeDate).
std::string SentDateText(std::string_view text, const DateTime& today = DateTime::Now());
// PlainText, HtmlText, AttachmentType, HasAttachment and, with CollectAttachments set, the
// attachment lists.
void ParseBody(CEmailMessage& message, std::string_view text);
// When From is empty or holds no "@", takes From again from the text's "From" header.
void RefreshFromHeader(CEmailMessage& message, std::string_view text);

// Every address of an address list, lower-cased (items without "@" are left out).
void ParseAddressList(std::string_view text, std::vector<std::string>& list);
// ">" at the start and after every line break (CR LF counts as one).
void QuoteText(std::string& text);

// A name as a plain file name inside a folder: no directory part, no "..", no control
// characters; empty when nothing usable is left.
std::string SafeFileName(std::string_view name);
// Writes every collected attachment into `folder` and nowhere else ("file%d.dat" when its
// name is empty or unusable). Returns how many were written; `error` says why one was not.
int SaveAttachments(const CEmailMessage& message, const std::string& folder, std::string* error = nullptr);

}  // namespace ph::mime
