#pragma once
// One message in memory: the fields of its "Emails" row, the texts the parser fills, the
// attachments it collected, and the marks a check or a delete leaves on it. Owned by its
// account's access object (through the account's message list); everything else holds plain
// pointers to it.
#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace ph {

class CEmailAccount;

class CEmailMessage {
public:
    // `account` owns the message and outlives it.
    explicit CEmailMessage(CEmailAccount* account) : m_account(account) {}
    CEmailMessage(const CEmailMessage&) = delete;
    CEmailMessage& operator=(const CEmailMessage&) = delete;

    CEmailAccount* Account() const { return m_account; }
    // Frees every collected attachment (the three lists stay in step).
    void ClearAttachments();
    // Its "Emails" slot as a number; -1 while it is not stored.
    int Slot() const;

    // Store identity: the "Emails" slot as decimal text, empty until stored.
    std::string m_storeId;

    // The stored fields.
    std::string MsgUniqueID;
    std::string Subject, From, Sender, ToName, Folder, AttachmentType, ReplyTo;
    DateTime SentDate;
    bool IsReadLocally = false;
    bool IsRead = false;
    bool IsOnServer = false;
    bool IsHidden = false;
    bool IsNotInRoot = false;
    bool HasAttachment = false;
    int32_t MsgSize = 0;

    // The cached texts: raw header and body, and the decoded plain and HTML text.
    std::string Header, Body, PlainText, HtmlText;

    // Header fields the parser fills that are not stored.
    std::string To, Cc, FromName, FromAddress;
    int FromIconState = 0;  // 8 when the sender is in the address book

    // Attachments, collected only when asked for; the three lists stay in step.
    bool CollectAttachments = false;
    std::vector<std::string> AttachmentData;
    std::vector<std::string> AttachmentNames;
    std::vector<std::string> AttachmentExtra;

    // Run-time marks.
    bool m_keptInStore = false;
    bool m_bodyCached = false;
    bool m_textCached = false;
    // The four texts in memory are the stored ones (fetched, or set since): a rewrite of the
    // record may include them without losing what only the store held.
    bool m_textsInMemory = false;
    int m_filingCount = 0;  // how many "FolderContents" rows file this message
    bool WasOnServer = false;
    bool SeenOnServer = false;
    bool IsNew = false;
    bool NewMailMark = true;  // set when the object is built
    bool MarkedForDelete = false;
    bool m_queuedForDelete = false;
    std::string MsgNumber;  // number on the server in the current connection ("%d")
    // The folder it is to be moved to; equal to Folder when no move is pending. The move
    // command may set kVerifyFolder to have the message kept where it is but written again.
    std::string m_requestedFolder;
    static constexpr const char* kVerifyFolder = "$$VERIFY$$";
    // Forces the next write of its record.
    bool m_changed = false;

    // The stored marks as one word (read marks, on server, hidden, not in root, attachment).
    uint32_t FlagWord() const;
    // Its record now holds what the message holds.
    void MarkWritten() {
        m_storedFlags = FlagWord();
        m_changed = false;
    }
    // Whether a mark other than IsOnServer, or IsOnServer itself, differs from the record.
    bool FlagsChangedSinceWritten() const { return (FlagWord() & ~kOnServerBit) != (m_storedFlags & ~kOnServerBit); }
    bool OnServerChangedSinceWritten() const { return (FlagWord() & kOnServerBit) != (m_storedFlags & kOnServerBit); }
    std::string m_serverId;

private:
    static constexpr uint32_t kOnServerBit = 1u << 2;
    uint32_t m_storedFlags = 0;
    CEmailAccount* m_account;
};

}  // namespace ph
