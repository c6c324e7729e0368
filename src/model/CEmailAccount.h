#pragma once
// One mail account: its settings (a row of "Accounts"), the state of its jobs, its message
// lists, and the mail-access object of its kind, which it owns. This class is the one place
// that knows every access class: each query dispatches on the kind, in the fixed order
// Yahoo, Http, Gmail, Pop3, Km, Aol, PH, Oe, Mapi, with a default when the kind has no such
// member (or there is no access object at all, type 100).
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "message/SmtpSend.h"
#include "model/MailAccess.h"
#include "model/StoredItems.h"
#include "store/Records.h"

namespace ph {

class YahooMail;
class HttpMail;
class CGmailMail;
class Pop3Mail;
class KmMail;
class AolMail;
class PHMail;
class OeMail;
class CMapiMail;
class CEmailFolderNode;
class CCheckMailThread;

enum AccountType : int {
    kTypeYahoo = 0,
    kTypeHttp = 1,
    kTypePop3 = 2,
    kTypeAol = 3,
    kTypeGmail = 4,
    kTypeMapi = 96,
    kTypeOe = 97,
    kTypePH = 98,
    kTypeKm = 99,
    kTypeNone = 100,
};
// The stored type of the default account is its type plus this.
constexpr int kDefaultAccountTypeOffset = 1000;

// The message list columns: status, cached, to, from, subject, date, attachment, size.
constexpr std::array<int, 8> kDefaultEmailGridWidths = {40, 20, 130, 125, 150, 75, 75, 50};

class CEmailAccount {
public:
    struct Settings {
        std::string userName;
        std::string password;
        std::string emailName;  // the address as entered
        std::string incomingServer;
        std::array<std::string, 3> outgoingServers;
        int incomingPort = 110;
        int outgoingPort = 25;
        bool useSSL = false;
        int type = kTypePop3;
    };

    // `context` (the document) outlives the account. The sort settings come from the
    // profile ("order", "orderRev").
    CEmailAccount(int id, Settings settings, IMailContext* context, int sortOrder = -1,
                  bool sortReversed = false);
    ~CEmailAccount();
    CEmailAccount(const CEmailAccount&) = delete;
    CEmailAccount& operator=(const CEmailAccount&) = delete;

    // "Yahoo", "Hotmail", the POP3 server (less a leading "mail."), ...; " (default)" added
    // for the default account.
    std::string GetTypeName() const;
    // The address as shown: the entered address, or the user name at the service's domain.
    const std::string& ShownAddress() const { return m_shownAddress; }
    bool HasAccess() const { return m_access.index() != 0; }

    // New settings: the access object is made again for them; the messages stay (moved over
    // when the kind changes and the new kind has a message list).
    void ChangeSettings(const Settings& settings);
    Settings CurrentSettings() const;

    // Dispatched to the access object (defaults: 0, 0, 0, 0).
    int GetMsgCount() const;
    int GetItemsDone() const;
    int GetItemsTotal() const;
    void ResetItemsDone();
    long long GetBytesReceived() const;
    // The access object's messages; an empty list for an account without one. Walks and
    // changes take the account's lock.
    MessageList& GetMessages();

    // Creates a message of this account with the given unique id and appends it to the list;
    // null for an account without an access object.
    CEmailMessage* AddMessage(const std::string& uniqueId);
    int CountHidden();
    bool HasMessage(const std::string& storeId);
    // Deletes the store record of every stored message and empties the list.
    void ClearMessages();

    enum class StartCheckResult {
        AskedAgainBusyChecking,  // already checking: another check is asked for (beep)
        AskedAgainBusyOtherJob,  // deleting or downloading: another check is asked for
        RunInInterfaceThread,    // types 1, 3, 4: marked checking, run the check right here
        RunInWorker,             // marked checking; join (or start) a check thread
    };
    // The state rules of starting a check. `hotmailWindowOpen`: whether the Hotmail web
    // window exists (a checking mark of a type 1 account without it is stale).
    StartCheckResult StartCheck(bool hotmailWindowOpen);

    // One try of this account's check, in a worker holding the lock (or, for the kinds that
    // check in a window of their own, in the interface thread). The outcome is GetMsgCount.
    void ThreadCheckMail();
    // The message's text fetched through the access object in the caller's thread, while no
    // other job of the account runs (POP3: DownloadMsg, MessageDownload.h). Whether any text
    // arrived; false for a kind without such a download.
    bool DownloadMsg(CEmailMessage& message);
    // The whole message, parsed; its attachments collected when asked for.
    bool DownloadFullMsg(CEmailMessage& message, bool collectAttachments);
    // Sends one message the account's own way (POP3: through its outgoing servers), in the
    // caller's thread. NoConnection for a kind that has no way to send yet.
    SendResult SendMail(const OutgoingMail& mail);
    // Whether its access object runs the check in a window of its own (the Aol, Http and Gmail
    // kinds), which then finishes the account itself.
    bool ChecksInOtherWindow() const;
    IMailContext* Context() const { return m_context; }

    void Lock() { m_lock.lock(); }
    void Unlock() { m_lock.unlock(); }
    std::recursive_mutex& Mutex() { return m_lock; }

    // The access object of a given kind, or null.
    template <class T>
    T* AccessAs() const {
        auto* p = std::get_if<std::unique_ptr<T>>(&m_access);
        return p ? p->get() : nullptr;
    }

    // Persistent fields (the "Accounts" record).
    int m_id;
    std::string m_userName;
    std::string m_emailName;
    std::string m_password;
    std::string m_pop3Server;
    std::array<std::string, 3> m_smtpServers;
    int m_pop3Port = 110;
    int m_smtpPort = 25;
    bool m_useSSL = false;
    int m_type = kTypeNone;
    int m_orderNum = 0;
    bool m_allowCheckmail = true;
    bool m_forceDisabled = false;
    bool m_ignoreFolders = false;
    int m_dlIfLessThan = 0;
    std::array<int, 8> m_emailGridWidths = kDefaultEmailGridWidths;
    bool m_isDefault = false;

    // Job state: one job at a time. Each flag is written by one side and polled by the other
    // (the starting interface thread, the worker that finishes).
    std::atomic<bool> m_checkingMail{false};
    std::atomic<bool> m_deleting{false};
    std::atomic<bool> m_downloading{false};
    std::atomic<bool> m_checkAgain{false};
    std::atomic<bool> m_checkFinished{false};     // the worker is done; the tick takes over
    std::atomic<bool> m_deleteFinished{false};    // a server delete ended
    std::atomic<bool> m_downloadFinished{false};  // a download worker ended
    std::atomic<bool> m_saving{false};            // the completion pass is storing its mail
    std::atomic<bool> m_done{false};              // its turn in the current check is over
    // 0 at the start of a check, 1 after a failed try, 99 after a refused password on the
    // web-mail paths.
    std::atomic<int> m_tries{0};
    // Messages of the list at or after this index were added by the running check.
    std::atomic<size_t> m_knownCount{0};
    std::atomic<int> m_prevNewMsgCount{0};
    // The worker holding the account, when one does (interface thread only).
    CCheckMailThread* m_worker = nullptr;
    // Its messages on the server when last counted (interface thread only): what counts for it
    // while a worker has its list.
    size_t m_onServerCounted = 0;

    // The status window's texts, written by the worker while the interface reads them.
    std::string StatusText() const;
    void SetStatusText(std::string text);
    std::string SizeText() const;
    void SetSizeText(std::string text);
    // Local time of the last listing, "%H:%M:%S %a, %b %d, %Y".
    std::string LastChecked() const;
    void SetLastChecked(std::string text);

    // Lists (references; the messages are owned by the access object).
    std::vector<std::string> m_strings;
    std::vector<CEmailMessage*> m_hiddenMessages;
    std::vector<OutgoingMessage*> m_sentItems;
    std::vector<OutgoingMessage*> m_outboxItems;
    // Outbox messages handed to the account's check, until the completion pass takes them.
    std::vector<OutboxSend> m_outboxSends;
    std::vector<CEmailFolderNode*> m_folders;  // top-level folders of the account
    int m_hiddenCount = 0;
    // Messages added by checks and not yet viewed: raised by a listing in the worker.
    std::atomic<int> m_newMsgCount{0};

    int m_sortOrder;
    bool m_sortReversed;

private:
    using Access = std::variant<std::monostate, std::unique_ptr<YahooMail>, std::unique_ptr<HttpMail>,
                                std::unique_ptr<CGmailMail>, std::unique_ptr<Pop3Mail>,
                                std::unique_ptr<KmMail>, std::unique_ptr<AolMail>,
                                std::unique_ptr<PHMail>, std::unique_ptr<OeMail>,
                                std::unique_ptr<CMapiMail>>;
    MailAccessState* State() const;
    void MakeAccess(const Settings& settings);

    IMailContext* m_context;
    Access m_access;
    std::string m_shownAddress;
    mutable std::recursive_mutex m_lock;
    // Guards only the three status texts, so the interface never waits for a running check.
    mutable std::mutex m_textLock;
    std::string m_statusText;
    std::string m_sizeText;
    std::string m_lastChecked;
};

// The account a stored record describes, with the corrections made on load: a type of 1000
// or more marks the default account (its address goes to `defaultAddress`), type 98 is always
// enabled, a switched-off account cannot be checked, column widths outside 0 to 1000 fall back
// to the defaults.
std::unique_ptr<CEmailAccount> AccountFromRecord(int id, const AccountRecord& record,
                                                 IMailContext* context, std::string& defaultAddress,
                                                 int sortOrder = -1, bool sortReversed = false);
// The record of an account: the default account's type again plus 1000, type 98 always with
// allowCheckmail set.
AccountRecord RecordFromAccount(const CEmailAccount& account);

}  // namespace ph
