#pragma once
// One try of an account's check in a worker (the account's lock held by the caller): the
// steps every access kind shares, and the POP3 path that runs between them.
namespace ph {

class CEmailAccount;
class Pop3Mail;

// Start of a listing: each message remembers whether it was on the server and is not seen yet.
void BeginListing(CEmailAccount& account);
// Messages the listing added (at or after the known count) whose new-mail mark is set are new.
void MarkAddedMessagesNew(CEmailAccount& account);
// After a complete listing: on the server is what the listing saw; the outcome is the number of
// those not marked for delete. Returns it.
int SettleOnServer(CEmailAccount& account);
// Sends the outbox messages handed to the check, stopping at once on an abort. Each that went
// out is marked sent; the others stay in the outbox for the next check.
void SendOutbox(CEmailAccount& account);
// The end of a try: a failed outcome without an abort leaves the account checking for its
// worker to settle; otherwise the account is finished for the completion pass.
void EndTry(CEmailAccount& account);

// The POP3 path: log in, list, settle what is on the server, send the outbox, the end of
// the try.
void CheckPop3Account(CEmailAccount& account, Pop3Mail& pop);

}  // namespace ph
