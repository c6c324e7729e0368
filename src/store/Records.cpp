#include "store/Records.h"

namespace ph {

void AccountRecord::Exchange(CFieldExchange& fx) {
    fx.Text("EmailName", EmailName);
    fx.Text("Username", Username);
    fx.Text("Password", Password);
    fx.Text("Pop3Server", Pop3Server);
    fx.Text("SmtpServer", SmtpServer);
    fx.Text("SmtpServer2", SmtpServer2);
    fx.Text("SmtpServer3", SmtpServer3);
    fx.Int("Pop3Port", Pop3Port);
    fx.Int("SmtpPort", SmtpPort);
    fx.Bool("useSSL", useSSL);
    fx.Int("AccountType", AccountType);
    fx.Int("OrderNum", OrderNum);
    fx.Bool("allowCheckmail", allowCheckmail);
    fx.Bool("forceDisabled", forceDisabled);
    fx.Bool("ignoreFolders", ignoreFolders);
    fx.Int("DlIfLessThan", DlIfLessThan);
    fx.Int("EmailGrid_StatusW", EmailGrid_StatusW);
    fx.Int("EmailGrid_CachedW", EmailGrid_CachedW);
    fx.Int("EmailGrid_ToW", EmailGrid_ToW);
    fx.Int("EmailGrid_FromW", EmailGrid_FromW);
    fx.Int("EmailGrid_SubjectW", EmailGrid_SubjectW);
    fx.Int("EmailGrid_DateW", EmailGrid_DateW);
    fx.Int("EmailGrid_AttachmentW", EmailGrid_AttachmentW);
    fx.Int("EmailGrid_MsgSizeW", EmailGrid_MsgSizeW);
    if (!fx.IsWriting()) {
        // Ports stored as 0 (or not at all, by older versions) mean the protocol defaults.
        if (Pop3Port == 0) Pop3Port = 110;
        if (SmtpPort == 0) SmtpPort = 25;
    }
}

void EmailRecord::ExchangeFields(CFieldExchange& fx) {
    fx.Text("SentDate2", SentDate2);
    ExchangeMessageFields(fx);
    fx.Int("BodySize", BodySize);
    fx.Int("HeaderSize", HeaderSize);
    fx.Int("HtmlTextSize", HtmlTextSize);
    fx.Int("PlainTextSize", PlainTextSize);
}

void EmailRecord::ExchangeMessageFields(CFieldExchange& fx) {
    fx.Text("MsgUniqueID", MsgUniqueID);
    fx.Int("AcctID", AcctID);
    fx.Text("Subject", Subject);
    fx.Text("From", From);
    fx.Text("Sender", Sender);
    fx.Text("ToName", ToName);
    fx.Text("Folder", Folder);
    fx.Date("SentDate", SentDate);
    fx.Bool("IsReadLocally", IsReadLocally);
    fx.Bool("IsRead", IsRead);
    fx.Bool("IsOnServer", IsOnServer);
    fx.Bool("IsHidden", IsHidden);
    fx.Bool("IsNotInRoot", IsNotInRoot);
    fx.Int("MsgSize", MsgSize);
    fx.Bool("HasAttachment", HasAttachment);
    fx.Text("AttachmentType", AttachmentType);
    fx.Text("ReplyTo", ReplyTo);
}

void EmailRecord::ExchangeTexts(CFieldExchange& fx) {
    fx.Text("PlainText", PlainText);
    fx.Text("HtmlText", HtmlText);
    fx.Text("Header", Header);
    fx.Text("Body", Body);
}

void FolderContentsRecord::Exchange(CFieldExchange& fx) {
    fx.Text("MsgID", MsgID);
    fx.Int("FolderID", FolderID);
    fx.Bool("IsInboxMsg", IsInboxMsg);
    fx.Int("Flags", Flags);
}

void FolderRecord::Exchange(CFieldExchange& fx) {
    if (fx.IsWriting() && FolderName.size() > kMaxName) {
        std::string stored = FolderName.substr(0, kMaxName);
        fx.Text("FolderName", stored);
    } else {
        fx.Text("FolderName", FolderName);
    }
    fx.Int("FolderType", FolderType);
    fx.Int("ParentID", ParentID);
}

void GroupRecord::Exchange(CFieldExchange& fx) {
    fx.Text("GroupName", GroupName);
    fx.Int("GroupType", GroupType);
    fx.Int("ParentID", ParentID);
}

void GroupContentsRecord::Exchange(CFieldExchange& fx) {
    fx.Int("AcctID", AcctID);
    fx.Int("GroupID", GroupID);
}

void AddressBookRecord::Exchange(CFieldExchange& fx) {
    fx.Text("Name", Name);
    fx.Text("Email", Email);
}

void EZinsertRecord::Exchange(CFieldExchange& fx) {
    fx.Text("Title", Title);
    fx.Text("Text", Text);
}

void OutgoingRecord::Exchange(CFieldExchange& fx, bool withHidden) {
    fx.Int("AcctID", AcctID);
    fx.Text("Subject", Subject);
    fx.Text("To", To);
    fx.Text("Cc", Cc);
    fx.Text("Bcc", Bcc);
    fx.Date("SentDate", SentDate);
    fx.Int("MsgSize", MsgSize);
    fx.Bool("HasAttachment", HasAttachment);
    if (withHidden) fx.Bool("Hidden", Hidden);
    fx.Text("AttachmentType", AttachmentType);
}

void RuleRecord::Exchange(CFieldExchange& fx) {
    fx.Text("Name", Name);
    struct {
        const char* text;
        const char* combo;
        const char* combo2;
        Condition& condition;
    } conditions[] = {
        {"ConditionFrom", "ConditionFromCombo", "ConditionFromCombo2", From},
        {"ConditionSubject", "ConditionSubjectCombo", "ConditionSubjectCombo2", Subject},
        {"ConditionMessage", "ConditionMessageCombo", "ConditionMessageCombo2", Message},
        {"ConditionTo", "ConditionToCombo", "ConditionToCombo2", To},
        {"ConditionCc", "ConditionCcCombo", "ConditionCcCombo2", Cc},
        {"ConditionToCc", "ConditionToCcCombo", "ConditionToCcCombo2", ToCc},
    };
    for (auto& c : conditions) {
        fx.Text(c.text, c.condition.text);
        fx.Int(c.combo, c.condition.combo);
        fx.Int(c.combo2, c.condition.combo2);
    }
    fx.Text("ConditionPriority", ConditionPriority);
    fx.Text("ConditionAccount", ConditionAccount);
    fx.Text("ConditionSize", ConditionSize);
    fx.Text("ConditionAttachment", ConditionAttachment);
    fx.Text("ConditionSecure", ConditionSecure);
    fx.Text("ConditionAll", ConditionAll);
    fx.Int("ActionMoveFolderid", ActionMoveFolderid);
    fx.Int("ActionCopyFolderid", ActionCopyFolderid);
    fx.Text("ActionDelete", ActionDelete);
    fx.Text("ActionForward", ActionForward);
    fx.Text("ActionHighlight", ActionHighlight);
    fx.Text("ActionFlag", ActionFlag);
    fx.Text("ActionMarkRead", ActionMarkRead);
    fx.Text("ActionMarkWatch", ActionMarkWatch);
    fx.Text("ActionReply", ActionReply);
    fx.Text("ActionStop", ActionStop);
    fx.Text("ActionDontDl", ActionDontDl);
    fx.Text("ActionDeleteServer", ActionDeleteServer);
}

void PreferencesRecord::Exchange(CFieldExchange& fx) {
    fx.Text("DbPswd", DbPswd);
    fx.Int("LogoffTimeout", LogoffTimeout);
    fx.Bool("AutoCheck", AutoCheck);
    fx.Int("AutoCheckInterval", AutoCheckInterval);
    if (!fx.IsWriting() && AutoCheckInterval <= 0) AutoCheckInterval = LogoffTimeout > 0 ? LogoffTimeout : 5;
    fx.Bool("CheckOnStart", CheckOnStart);
    fx.Bool("DialOnCheck", DialOnCheck);
    fx.Bool("FlashIcon", FlashIcon);
    fx.Bool("OpenWindowOnStart", OpenWindowOnStart);
    fx.Bool("PutInStartup", PutInStartup);
    fx.Bool("PutInTray", PutInTray);
    fx.Bool("ShowReallyDelEmail", ShowReallyDelEmail);
    fx.Bool("ShowReallyDelAcct", ShowReallyDelAcct);
    fx.Bool("ShowStatusOnCheck", ShowStatusOnCheck);
    fx.Bool("HideEmailsNotOnServer", HideEmailsNotOnServer);
    fx.Bool("IncludeOrigInReply", IncludeOrigInReply);
    fx.Bool("PreventPopups", PreventPopups);
    fx.Int("AcctGrid_AcctW", AcctGrid_AcctW);
    fx.Int("AcctGrid_EmailsW", AcctGrid_EmailsW);
    fx.Int("AcctGrid_Emails2W", AcctGrid_Emails2W);
    fx.Int("AcctGrid_Emails3W", AcctGrid_Emails3W);
    fx.Int("AcctGrid_Emails4W", AcctGrid_Emails4W);
    fx.Int("AcctGrid_CheckedW", AcctGrid_CheckedW);
    fx.Int("AcctGrid_StatusW", AcctGrid_StatusW);
    fx.Int("EmailGrid_StatusW", EmailGrid_StatusW);
    fx.Int("EmailGrid_CachedW", EmailGrid_CachedW);
    fx.Int("EmailGrid_ToW", EmailGrid_ToW);
    fx.Int("EmailGrid_FromW", EmailGrid_FromW);
    fx.Int("EmailGrid_SubjectW", EmailGrid_SubjectW);
    fx.Int("EmailGrid_DateW", EmailGrid_DateW);
    fx.Int("EmailGrid_AttachmentW", EmailGrid_AttachmentW);
    fx.Int("EmailGrid_MsgSizeW", EmailGrid_MsgSizeW);
    fx.Int("dwTimeout", dwTimeout);
    fx.Int("dwTimeout2", dwTimeout2);
}

}  // namespace ph
