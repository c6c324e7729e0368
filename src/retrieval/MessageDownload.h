#pragma once
// Fetching the text, or the whole, of a message a check listed by its headers only, through
// the account's own POP3 object, in a download worker.
//
// The worker runs without the account's lock (the download commands refuse an account that is
// checking or deleting, so nothing else uses the POP3 object): the message is fetched into a
// scratch copy and only what arrived is put into the message under the lock, so that views
// reading the message under the lock never see it half written. The one exception is the
// fallback listing, which changes the account's list and so runs under the lock. Nothing here
// touches the store: the caller writes the message back.
//
// Both return whether any text arrived (Body, HtmlText or PlainText); false also when the
// login failed or the message is no longer on the server, and the message's texts then stay
// as they were. A message that arrived is no longer new (the account's new-message counter
// goes down) and counts as read locally. The account's check outcome (its message count) is
// the same afterwards as before.
namespace ph {

class CEmailMessage;
class Pop3Mail;

// The message's text parts, read until they are in (GetMsgText): Header, Body (up to where the
// reading stopped), PlainText, HtmlText and possibly AttachmentType; the headers are parsed
// again from Header. The connection is always ended.
bool DownloadMsg(Pop3Mail& pop, CEmailMessage& message);
// The whole message into Body (GetMsg), parsed into its texts and, with
// `collectAttachments`, its attachments (earlier ones are dropped first).
bool DownloadFullMsg(Pop3Mail& pop, CEmailMessage& message, bool collectAttachments);

}  // namespace ph
