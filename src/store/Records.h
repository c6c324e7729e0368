#pragma once
// The records of the store's twelve tables, each with its fields in exchange order (the
// order in which they stand in a stored record). Field names are the stored names.
#include <cstdint>
#include <string>

#include "common/DateTime.h"
#include "store/FieldExchange.h"

namespace ph {

struct AccountRecord {
    std::string EmailName, Username, Password, Pop3Server, SmtpServer, SmtpServer2, SmtpServer3;
    int32_t Pop3Port = 110;
    int32_t SmtpPort = 25;
    bool useSSL = false;
    int32_t AccountType = 0;  // the default account stores its type plus 1000
    int32_t OrderNum = 0;
    bool allowCheckmail = false;
    bool forceDisabled = false;
    bool ignoreFolders = false;
    int32_t DlIfLessThan = 0;
    int32_t EmailGrid_StatusW = 0, EmailGrid_CachedW = 0, EmailGrid_ToW = 0, EmailGrid_FromW = 0,
            EmailGrid_SubjectW = 0, EmailGrid_DateW = 0, EmailGrid_AttachmentW = 0,
            EmailGrid_MsgSizeW = 0;

    void Exchange(CFieldExchange& fx);
};

struct EmailRecord {
    std::string SentDate2;  // "%Y%m%d" of SentDate, rewritten on every update
    std::string MsgUniqueID;
    int32_t AcctID = 0;
    std::string Subject, From, Sender, ToName, Folder;
    DateTime SentDate;
    bool IsReadLocally = false, IsRead = false, IsOnServer = false, IsHidden = false,
         IsNotInRoot = false;
    int32_t MsgSize = 0;
    bool HasAttachment = false;
    std::string AttachmentType, ReplyTo;
    int32_t BodySize = 0, HeaderSize = 0, HtmlTextSize = 0, PlainTextSize = 0;
    // The cached texts, kept in the row's blob.
    std::string PlainText, HtmlText, Header, Body;

    // The fixed record: SentDate2, the message fields, the four text sizes.
    void ExchangeFields(CFieldExchange& fx);
    // The message fields alone, MsgUniqueID to ReplyTo.
    void ExchangeMessageFields(CFieldExchange& fx);
    void ExchangeTexts(CFieldExchange& fx);
    // A row of the old layout: a dollar-tag record named "%Y%m%d_%06d", texts inline.
    void ExchangeOldLayout(CFieldExchange& fx) {
        ExchangeMessageFields(fx);
        ExchangeTexts(fx);
    }
    bool HasCachedTexts() const {
        return BodySize >= 1 || HeaderSize >= 1 || HtmlTextSize >= 1 || PlainTextSize >= 1;
    }
};

struct FolderContentsRecord {
    std::string MsgID;  // slot of the message in "Emails", as text
    int32_t FolderID = 0;
    bool IsInboxMsg = false;
    int32_t Flags = 0;

    void Exchange(CFieldExchange& fx);
};

struct FolderRecord {
    static constexpr size_t kMaxName = 200;
    std::string FolderName;
    int32_t FolderType = 0;
    int32_t ParentID = 0;

    void Exchange(CFieldExchange& fx);
};

struct GroupRecord {
    std::string GroupName;
    int32_t GroupType = 0;
    int32_t ParentID = 0;

    void Exchange(CFieldExchange& fx);
};

struct GroupContentsRecord {
    int32_t AcctID = 0;  // id of an "AddressBook" record
    int32_t GroupID = 0;

    void Exchange(CFieldExchange& fx);
};

struct AddressBookRecord {
    std::string Name, Email;

    void Exchange(CFieldExchange& fx);
};

struct EZinsertRecord {
    std::string Title, Text;

    void Exchange(CFieldExchange& fx);
};

// "Outbox" (with Hidden) and "SentItems" (without) rows; the message text and the attachment
// list are streams of their own beside the fields.
struct OutgoingRecord {
    int32_t AcctID = 0;
    std::string Subject, To, Cc, Bcc;
    DateTime SentDate;
    int32_t MsgSize = 0;
    bool HasAttachment = false;
    bool Hidden = false;  // outbox only
    std::string AttachmentType;
    std::string MsgText, Attachments;

    void Exchange(CFieldExchange& fx, bool withHidden);
};

struct RuleRecord {
    struct Condition {
        std::string text;
        int32_t combo = 0;
        int32_t combo2 = 0;
    };
    std::string Name;
    Condition From, Subject, Message, To, Cc, ToCc;
    std::string ConditionPriority, ConditionAccount, ConditionSize, ConditionAttachment,
        ConditionSecure, ConditionAll;
    int32_t ActionMoveFolderid = 0, ActionCopyFolderid = 0;
    std::string ActionDelete, ActionForward, ActionHighlight, ActionFlag, ActionMarkRead,
        ActionMarkWatch, ActionReply, ActionStop, ActionDontDl, ActionDeleteServer;

    void Exchange(CFieldExchange& fx);
};

struct PreferencesRecord {
    std::string DbPswd;
    int32_t LogoffTimeout = 0;
    bool AutoCheck = false;
    // Minutes between automatic checks. Older stores kept it in a second "LogoffTimeout"
    // element (which the element form folds into the first), so a store without an interval
    // of its own takes that value.
    int32_t AutoCheckInterval = 5;
    bool CheckOnStart = false, DialOnCheck = false, FlashIcon = false, OpenWindowOnStart = false,
         PutInStartup = false, PutInTray = false, ShowReallyDelEmail = false,
         ShowReallyDelAcct = false, ShowStatusOnCheck = false, HideEmailsNotOnServer = false,
         IncludeOrigInReply = false, PreventPopups = false;
    int32_t AcctGrid_AcctW = 0, AcctGrid_EmailsW = 0, AcctGrid_Emails2W = 0, AcctGrid_Emails3W = 0,
            AcctGrid_Emails4W = 0, AcctGrid_CheckedW = 0, AcctGrid_StatusW = 0;
    int32_t EmailGrid_StatusW = 0, EmailGrid_CachedW = 0, EmailGrid_ToW = 0, EmailGrid_FromW = 0,
            EmailGrid_SubjectW = 0, EmailGrid_DateW = 0, EmailGrid_AttachmentW = 0,
            EmailGrid_MsgSizeW = 0;
    int32_t dwTimeout = 0, dwTimeout2 = 0;

    void Exchange(CFieldExchange& fx);
};

}  // namespace ph
