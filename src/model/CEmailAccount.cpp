#include "model/CEmailAccount.h"

#include <algorithm>

#include "common/Trace.h"
#include "import/LocalStores.h"
#include "model/IMailContext.h"
#include "retrieval/MessageDownload.h"
#include "retrieval/Pop3Mail.h"
#include "retrieval/ThreadCheckMail.h"
#include "webmail/CGmailMail.h"
#include "webmail/HttpMail.h"
#include "webmail/OtherServices.h"
#include "webmail/YahooMail.h"

namespace ph {
namespace {

constexpr const char* kPHAddress = "member@postharbour.mail";

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

CEmailAccount::CEmailAccount(int id, Settings s, IMailContext* context, int sortOrder, bool sortReversed)
    : m_id(id), m_sortOrder(sortOrder), m_sortReversed(sortReversed), m_context(context) {
    ChangeSettings(s);
}

void CEmailAccount::MakeAccess(const Settings& s) {
    IMailContext* context = m_context;
    m_shownAddress.clear();
    auto at = [&](const char* domain) { return s.userName + "@" + domain; };
    switch (s.type) {
        case kTypeYahoo:
            m_access = std::make_unique<YahooMail>(s.userName, s.password, this, context);
            m_shownAddress = at("yahoo.com");
            break;
        case kTypeHttp:
            m_access = std::make_unique<HttpMail>(s.userName, s.password, this, context);
            m_shownAddress = at("hotmail.com");
            break;
        case kTypePop3: {
            Pop3Mail::Servers servers{s.emailName, s.incomingServer, s.outgoingServers,
                                      s.incomingPort, s.outgoingPort, s.useSSL};
            m_access = std::make_unique<Pop3Mail>(s.userName, s.password, std::move(servers), this, context);
            m_shownAddress = s.emailName;
            break;
        }
        case kTypeAol:
            m_access = std::make_unique<AolMail>(s.userName, s.password, this, context);
            m_shownAddress = at("aol.com");
            break;
        case kTypeGmail:
            m_access = std::make_unique<CGmailMail>(s.userName, s.password, this, context);
            m_shownAddress = at("gmail.com");
            break;
        case kTypeMapi:
            m_access = std::make_unique<CMapiMail>(s.userName, s.password, this, context);
            m_shownAddress = "LocalAccount";
            break;
        case kTypeOe:
            m_access = std::make_unique<OeMail>(s.userName, s.password, this, context);
            m_shownAddress = "OutlookExpress";
            break;
        case kTypePH:
            m_access = std::make_unique<PHMail>(s.userName, s.password, this, context);
            m_shownAddress = kPHAddress;
            break;
        case kTypeKm:
            m_access = std::make_unique<KmMail>(s.userName, s.password, this, context);
            m_shownAddress = s.userName;
            break;
        default:
            m_access = std::monostate{};  // no access object
            break;
    }
}

void CEmailAccount::ChangeSettings(const Settings& s) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    MessageList messages = std::move(GetMessages());
    m_userName = s.userName;
    m_emailName = s.emailName;
    m_password = s.password;
    m_pop3Server = s.incomingServer;
    m_smtpServers = s.outgoingServers;
    m_pop3Port = s.incomingPort;
    m_smtpPort = s.outgoingPort;
    m_useSSL = s.useSSL;
    m_type = s.type;
    MakeAccess(s);
    if (MailAccessState* state = State()) state->m_messages = std::move(messages);
}

CEmailAccount::Settings CEmailAccount::CurrentSettings() const {
    Settings s;
    s.userName = m_userName;
    s.password = m_password;
    s.emailName = m_emailName;
    s.incomingServer = m_pop3Server;
    s.outgoingServers = m_smtpServers;
    s.incomingPort = m_pop3Port;
    s.outgoingPort = m_smtpPort;
    s.useSSL = m_useSSL;
    s.type = m_type;
    return s;
}

CEmailAccount::~CEmailAccount() = default;

MailAccessState* CEmailAccount::State() const {
    return std::visit(Overloaded{[](const std::monostate&) -> MailAccessState* { return nullptr; },
                                 [](const auto& access) -> MailAccessState* { return access.get(); }},
                      m_access);
}

std::string CEmailAccount::GetTypeName() const {
    std::string name = std::visit(
        Overloaded{[](const std::monostate&) { return std::string(); },
                   [](const std::unique_ptr<YahooMail>&) { return std::string("Yahoo"); },
                   [](const std::unique_ptr<HttpMail>&) { return std::string("Hotmail"); },
                   [](const std::unique_ptr<CGmailMail>&) { return std::string("Gmail"); },
                   [this](const std::unique_ptr<Pop3Mail>&) {
                       return m_pop3Server.rfind("mail.", 0) == 0 ? m_pop3Server.substr(5) : m_pop3Server;
                   },
                   [](const std::unique_ptr<KmMail>&) { return std::string("Kinmeet"); },
                   [](const std::unique_ptr<AolMail>&) { return std::string("AOL"); },
                   [](const std::unique_ptr<PHMail>&) { return std::string("Postharbour"); },
                   [](const std::unique_ptr<OeMail>&) { return std::string("OutlookExpress"); },
                   [](const std::unique_ptr<CMapiMail>&) { return std::string("LocalAccount"); }},
        m_access);
    if (m_isDefault) name += " (default)";
    return name;
}

int CEmailAccount::GetMsgCount() const {
    const MailAccessState* s = State();
    return s ? s->m_msgCount.load() : 0;
}

int CEmailAccount::GetItemsDone() const {
    const MailAccessState* s = State();
    return s ? s->m_itemsDone.load() : 0;
}

int CEmailAccount::GetItemsTotal() const {
    const MailAccessState* s = State();
    return s ? s->m_itemsTotal.load() : 0;
}

void CEmailAccount::ResetItemsDone() {
    if (MailAccessState* s = State()) s->m_itemsDone = 0;
}

long long CEmailAccount::GetBytesReceived() const {
    // Only the kinds that transfer messages themselves count bytes.
    return std::visit(Overloaded{[](const std::unique_ptr<YahooMail>& a) { return a->m_bytesReceived; },
                                 [](const std::unique_ptr<HttpMail>& a) { return a->m_bytesReceived; },
                                 [](const std::unique_ptr<CGmailMail>& a) { return a->m_bytesReceived; },
                                 [](const std::unique_ptr<Pop3Mail>& a) { return a->BytesReceived(); },
                                 [](const auto&) { return 0LL; }},
                      m_access);
}

MessageList& CEmailAccount::GetMessages() {
    static MessageList none;  // never filled: AddMessage refuses accounts without access
    MailAccessState* s = State();
    return s ? s->m_messages : none;
}

CEmailMessage* CEmailAccount::AddMessage(const std::string& uniqueId) {
    MailAccessState* s = State();
    if (!s) return nullptr;
    auto message = std::make_unique<CEmailMessage>(this);
    message->MsgUniqueID = uniqueId;
    if (uniqueId.size() >= 5 || m_type == kTypePH) message->m_serverId = uniqueId;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    s->m_messages.push_back(std::move(message));
    return s->m_messages.back().get();
}

int CEmailAccount::CountHidden() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    const MessageList& messages = GetMessages();
    m_hiddenCount = static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                                   [](const auto& m) { return m->IsHidden; }));
    return m_hiddenCount;
}

bool CEmailAccount::HasMessage(const std::string& storeId) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    const MessageList& messages = GetMessages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const auto& m) { return m->m_storeId == storeId; });
}

void CEmailAccount::ClearMessages() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    MessageList& messages = GetMessages();
    for (auto& message : messages) {
        if (message->m_keptInStore && m_context) m_context->DeleteMessageRecord(*message);
        message->m_keptInStore = false;
    }
    messages.clear();
    m_hiddenMessages.clear();
}

std::string CEmailAccount::StatusText() const {
    std::lock_guard<std::mutex> hold(m_textLock);
    return m_statusText;
}

void CEmailAccount::SetStatusText(std::string text) {
    std::lock_guard<std::mutex> hold(m_textLock);
    m_statusText = std::move(text);
}

std::string CEmailAccount::SizeText() const {
    std::lock_guard<std::mutex> hold(m_textLock);
    return m_sizeText;
}

void CEmailAccount::SetSizeText(std::string text) {
    std::lock_guard<std::mutex> hold(m_textLock);
    m_sizeText = std::move(text);
}

std::string CEmailAccount::LastChecked() const {
    std::lock_guard<std::mutex> hold(m_textLock);
    return m_lastChecked;
}

void CEmailAccount::SetLastChecked(std::string text) {
    std::lock_guard<std::mutex> hold(m_textLock);
    m_lastChecked = std::move(text);
}

void CEmailAccount::ThreadCheckMail() {
    if (Pop3Mail* pop = AccessAs<Pop3Mail>()) {
        CheckPop3Account(*this, *pop);
        return;
    }
    // The web-mail and local-store kinds have no check of their own yet: the try fails as a
    // listing that gave no result, and the account is finished so it never stays busy.
    Trace("no check for this kind of account\n");
    if (MailAccessState* state = State()) state->m_msgCount = kCountNoResult;
    m_checkingMail = false;
    m_checkFinished = true;
}

bool CEmailAccount::DownloadMsg(CEmailMessage& message) {
    if (Pop3Mail* pop = AccessAs<Pop3Mail>()) return ph::DownloadMsg(*pop, message);
    return false;
}

bool CEmailAccount::DownloadFullMsg(CEmailMessage& message, bool collectAttachments) {
    if (Pop3Mail* pop = AccessAs<Pop3Mail>()) return ph::DownloadFullMsg(*pop, message, collectAttachments);
    return false;
}

SendResult CEmailAccount::SendMail(const OutgoingMail& mail) {
    if (Pop3Mail* pop = AccessAs<Pop3Mail>()) {
        const Pop3Mail::Servers& servers = pop->m_servers;
        SmtpAccount sender{servers.address, servers.outgoing, servers.outgoingPort, pop->m_user, pop->m_password};
        return SendThroughSmtp(sender, mail);
    }
    return SendResult::NoConnection;
}

bool CEmailAccount::ChecksInOtherWindow() const {
    return AccessAs<AolMail>() || AccessAs<HttpMail>() || AccessAs<CGmailMail>();
}

CEmailAccount::StartCheckResult CEmailAccount::StartCheck(bool hotmailWindowOpen) {
    if (m_type == kTypeHttp && m_checkingMail && !hotmailWindowOpen) m_checkingMail = false;
    if (m_checkingMail) {
        m_checkAgain = true;
        return StartCheckResult::AskedAgainBusyChecking;
    }
    // A finished check or delete the tick has not taken over yet counts as still running.
    if (m_deleting || m_downloading || m_checkFinished || m_deleteFinished) {
        m_checkAgain = true;
        return StartCheckResult::AskedAgainBusyOtherJob;
    }
    m_checkingMail = true;
    if (m_type == kTypeHttp || m_type == kTypeAol || m_type == kTypeGmail)
        return StartCheckResult::RunInInterfaceThread;
    return StartCheckResult::RunInWorker;
}

std::unique_ptr<CEmailAccount> AccountFromRecord(int id, const AccountRecord& r, IMailContext* context,
                                                 std::string& defaultAddress, int sortOrder,
                                                 bool sortReversed) {
    int type = r.AccountType;
    if (type >= kDefaultAccountTypeOffset) {
        type -= kDefaultAccountTypeOffset;
        defaultAddress = r.EmailName;
    }
    CEmailAccount::Settings s;
    s.userName = r.Username;
    s.password = r.Password;
    s.emailName = r.EmailName;
    s.incomingServer = r.Pop3Server;
    s.outgoingServers = {r.SmtpServer, r.SmtpServer2, r.SmtpServer3};
    s.incomingPort = r.Pop3Port;
    s.outgoingPort = r.SmtpPort;
    s.useSSL = r.useSSL;
    s.type = type;
    auto account = std::make_unique<CEmailAccount>(id, std::move(s), context, sortOrder, sortReversed);
    account->m_orderNum = r.OrderNum;
    account->m_allowCheckmail = r.allowCheckmail;
    account->m_forceDisabled = r.forceDisabled;
    if (type == kTypePH) {
        account->m_forceDisabled = false;
        account->m_allowCheckmail = true;
    }
    if (account->m_forceDisabled) account->m_allowCheckmail = false;
    if (!account->m_allowCheckmail)
        Trace("%s does not allow checkmail on load, fixing", account->m_emailName.c_str());
    const std::array<int, 8> stored = {r.EmailGrid_StatusW, r.EmailGrid_CachedW,  r.EmailGrid_ToW,
                                       r.EmailGrid_FromW,   r.EmailGrid_SubjectW, r.EmailGrid_DateW,
                                       r.EmailGrid_AttachmentW, r.EmailGrid_MsgSizeW};
    auto usable = [](int w) { return w >= 0 && w <= 1000; };
    for (size_t i = 0; i < stored.size(); ++i)
        account->m_emailGridWidths[i] = usable(stored[0]) && usable(stored[i]) ? stored[i] : kDefaultEmailGridWidths[i];
    account->m_ignoreFolders = r.ignoreFolders;
    account->m_dlIfLessThan = r.DlIfLessThan;
    return account;
}

AccountRecord RecordFromAccount(const CEmailAccount& a) {
    AccountRecord r;
    r.EmailName = a.m_emailName;
    r.Username = a.m_userName;
    r.Password = a.m_password;
    r.Pop3Server = a.m_pop3Server;
    r.SmtpServer = a.m_smtpServers[0];
    r.SmtpServer2 = a.m_smtpServers[1];
    r.SmtpServer3 = a.m_smtpServers[2];
    r.Pop3Port = a.m_pop3Port;
    r.SmtpPort = a.m_smtpPort;
    r.useSSL = a.m_useSSL;
    r.AccountType = a.m_type + (a.m_isDefault ? kDefaultAccountTypeOffset : 0);
    r.OrderNum = a.m_orderNum;
    r.allowCheckmail = a.m_type == kTypePH ? true : a.m_allowCheckmail;
    r.forceDisabled = a.m_forceDisabled;
    r.ignoreFolders = a.m_ignoreFolders;
    r.DlIfLessThan = a.m_dlIfLessThan;
    const auto& w = a.m_emailGridWidths;
    r.EmailGrid_StatusW = w[0];
    r.EmailGrid_CachedW = w[1];
    r.EmailGrid_ToW = w[2];
    r.EmailGrid_FromW = w[3];
    r.EmailGrid_SubjectW = w[4];
    r.EmailGrid_DateW = w[5];
    r.EmailGrid_AttachmentW = w[6];
    r.EmailGrid_MsgSizeW = w[7];
    return r;
}

}  // namespace ph
