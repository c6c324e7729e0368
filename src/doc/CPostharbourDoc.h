#pragma once
// The program's single document: it owns the open store for the whole run, builds the whole
// model from it when it opens, and writes every change back at once through one small table
// job per change (each job commits). Nothing is saved as a whole at exit.
//
// Only the user-interface thread calls the document; worker threads change accounts and
// messages in memory under each account's lock and leave the writing to it.
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "common/IUserInterface.h"
#include "model/CAccountGroupNode.h"
#include "model/CEmailAccount.h"
#include "model/CEmailFolderNode.h"
#include "model/IMailContext.h"
#include "model/StoredItems.h"
#include "rules/CMailRule.h"
#include "store/CStorageNode.h"
#include "store/Records.h"

namespace ph {

class Profile;

class CPostharbourDoc : public IMailContext, public IRuleContext {
public:
    // `ui` and `profile` outlive the document.
    CPostharbourDoc(IUserInterface& ui, Profile& profile);
    ~CPostharbourDoc() override;
    CPostharbourDoc(const CPostharbourDoc&) = delete;
    CPostharbourDoc& operator=(const CPostharbourDoc&) = delete;

    enum class OpenMode {
        // The program's own start: a missing store is created, and a file that is not a store
        // is kept aside (renamed) and replaced by a new one.
        CreateOrRecover,
        // Tools that name a store: only an existing, readable store is opened.
        ExistingOnly,
    };
    // Opens the store at `path` and loads the model. A file in use elsewhere is left alone and
    // the open fails (see OpenError).
    bool OpenStore(const std::string& path, OpenMode mode = OpenMode::CreateOrRecover);
    void CloseStore();
    bool IsOpen() const { return m_root.IsOpen(); }
    const std::string& StorePath() const { return m_storePath; }
    const std::string& OpenError() const { return m_openError; }
    CStorageNode& Root() { return m_root; }
    IUserInterface& UI() { return m_ui; }
    Profile& GetProfile() { return m_profile; }
    // Loads the model again from the store (after an import changed it underneath).
    bool Reload();

    // ---- Look-ups (null / empty when there is none)
    CEmailAccount* FindAccount(int id) const;
    CEmailAccount* FindAccountByAddress(const std::string& emailName) const;
    CEmailFolderNode* FindFolder(int id) const;
    CAccountGroupNode* FindGroup(int id) const;
    AddressBookEntry* FindAddressBookEntry(int id) const;
    CEmailMessage* FindMessage(const std::string& storeId) const;
    // Every folder holding the message in its first list, with its path ("%s/%s" down from
    // the account's address, or from "" in the document's own tree): accounts in order, then
    // the document's tree.
    std::vector<std::pair<CEmailFolderNode*, std::string>> FoldersOfMessage(const CEmailMessage& m) const;

    // ---- Accounts
    // Adds an account and its record; the record id becomes the account's id. Accounts are
    // told apart by address when the table is saved: an address in use is refused (null).
    CEmailAccount* AddAccount(const CEmailAccount::Settings& settings);
    bool UpdateAccount(CEmailAccount& account);
    // New settings for an account (its access object made again) and its record rewritten;
    // false, with nothing changed, when another account has the new address.
    bool ChangeAccountSettings(CEmailAccount& account, const CEmailAccount::Settings& settings);
    // Removes the account with its messages, its records and its server folders.
    bool DeleteAccount(CEmailAccount& account);
    // Rewrites the "Accounts" table from the accounts, matching records by EmailName.
    bool SaveAccounts();
    // Marks the default account (none for null) and rewrites the records whose mark changed.
    bool SetDefaultAccount(CEmailAccount* account);

    // ---- Messages
    // Stores a new message (fields, blob and sizes); its slot becomes its store id.
    bool StoreNewMessage(CEmailMessage& message);
    // Rewrites the whole record with the blob of all four texts (fetching the stored texts
    // first when only the store has them).
    bool UpdateMessage(CEmailMessage& message);
    // Rewrites only the record's fields: one record write, blob and other tables untouched.
    bool SaveMessageFlags(CEmailMessage& message);
    // Copies the stored texts into the message.
    bool FetchMessageTexts(CEmailMessage& message);
    bool DeleteMessageRecord(CEmailMessage& message) override;
    bool AbortCheckmail() const override { return m_abortCheckmail; }
    // Removes a message for good: its record and filings, every list of the document and of
    // its account, and the message itself (the account's lock is taken).
    bool RemoveMessage(CEmailMessage& message);
    // Creates a message of the account with the fields given, stores it and lists it.
    CEmailMessage* AddStoredMessage(CEmailAccount& account, const EmailRecord& fields);

    // ---- Folders
    CEmailFolderNode* AddFolder(const std::string& name, int type, int parentId);
    bool UpdateFolder(CEmailFolderNode& folder);
    // Removes the folder, the folders inside it and their filings.
    bool DeleteFolder(CEmailFolderNode& folder);
    // Files the message in the folder (a "FolderContents" row); `flags` picks the list. A
    // message not yet stored (rules run on new mail before it is stored) is filed in memory,
    // and its row is written when StoreNewMessage gives it its id.
    bool FileMessage(CEmailMessage& message, CEmailFolderNode& folder, int flags = 0);
    bool FileSentItem(OutgoingMessage& item, CEmailFolderNode& folder, int flags = 0);
    // Removes the filing `index` of list `list` of the folder.
    bool Unfile(CEmailFolderNode& folder, int list, size_t index);
    // Takes the message out of the folder's first list, if it is filed there.
    bool UnfileMessage(CEmailFolderNode& folder, const CEmailMessage& message);
    // Adds a "Folders" row for every folder below `tops` (parent before children) whose
    // skip flag is clear; each folder takes its new id. Returns how many were written.
    int SaveFolders(const std::vector<CEmailFolderNode*>& tops);

    // ---- Address book and groups
    AddressBookEntry* AddAddressBookEntry(const std::string& name, const std::string& email);
    bool UpdateAddressBookEntry(AddressBookEntry& entry);
    // Also leaves every group it was in.
    bool DeleteAddressBookEntry(AddressBookEntry& entry);
    CAccountGroupNode* AddGroup(const std::string& name, int type, int parentId);
    bool UpdateGroup(CAccountGroupNode& group);
    bool DeleteGroup(CAccountGroupNode& group);
    bool AddGroupMember(CAccountGroupNode& group, AddressBookEntry& entry);
    bool RemoveGroupMember(CAccountGroupNode& group, size_t index);
    bool IsInAddressBook(const std::string& address) const;

    // ---- Canned inserts, outgoing messages
    CannedInsert* AddCannedInsert(const std::string& title, const std::string& text);
    bool UpdateCannedInsert(CannedInsert& insert);
    bool DeleteCannedInsert(CannedInsert& insert);

    // ---- Rules
    // Appends the rule to the list and stores it; its record id becomes its id.
    CMailRule* AddRule(std::unique_ptr<CMailRule> rule);
    bool UpdateRule(CMailRule& rule);
    bool DeleteRule(CMailRule& rule);
    // Carries out the local actions of one rule if it matches (filing, hiding, marking read)
    // and returns the rest as kRuleFlag... bits. Changed stored messages are written.
    int ApplyRule(const CMailRule& rule, CEmailMessage& message, CEmailAccount* account);
    // Every rule in list order until one with Stop matches; the flags combined.
    int ApplyRules(CEmailMessage& message, CEmailAccount* account);
    // ApplyRules for each message in order, all of the one account (null for the document's
    // own), giving each message's flags in that order. Same results as one call per message;
    // for many messages it is faster, as the next ones are loaded while one is matched.
    std::vector<int> ApplyRulesToEach(std::span<CEmailMessage* const> messages, CEmailAccount* account);
    // The rules dialog's "apply": the chosen rules, in list order, on every message that is on
    // its server and not marked for delete; then tells the user.
    void ApplySelectedRules(const std::vector<CMailRule*>& rules);
    // A rule made by a quick-rule command: appended, stored and applied at once to every
    // message on its server and not marked for delete.
    CMailRule* AddQuickRule(std::unique_ptr<CMailRule> rule);
    // Files the message into the last folder with that id, unless it is already there.
    bool AddToFolder(CEmailMessage& message, int folderId);

    // IRuleContext
    const CAccountGroupNode* FindGroupByName(std::string_view name) const override;
    std::string FolderNameOf(int folderId) const override;
    bool FetchBody(CEmailMessage& message) override;
    // Fetches a body that only the server has; set by the retrieval layer. Without it a rule
    // sees such a body as empty.
    std::function<bool(CEmailMessage&)> m_serverBodyFetcher;
    OutgoingMessage* AddOutgoing(const OutgoingRecord& record, bool toOutbox);
    bool UpdateOutgoing(OutgoingMessage& item);
    bool DeleteOutgoing(OutgoingMessage& item);
    // An outbox message went out: it joins the sent items, dated now, and its outbox row goes
    // (when it is still there). The new sent item, or null when it could not be stored, in
    // which case the outbox row stays.
    OutgoingMessage* MarkOutboxSent(int outboxId, OutgoingRecord record);

    // ---- Preferences
    bool SavePreferences();

    // ---- Export, import, compaction, the old layout
    // Copies every table into a new store at `path` (ids renumbered, references rewritten).
    // Refuses the open store's own path ("Cannot export to current open file").
    bool Export(const std::string& path);
    // Merges the kinds of records the import options select from the store at `path` into
    // the open store, then reloads the model. Refuses the open store's own path. With
    // `choices`, those are used for this import (no dialog, the profile unchanged).
    bool Import(const std::string& path, const ImportOptions* choices = nullptr);
    // Copies the store into a fresh file and puts it in the open one's place.
    bool Compact();
    // True while "Emails" (or "FolderContents") still holds rows of the old layout.
    bool HasOldLayout();
    // Moves old-layout rows into the fixed-record tables, filings following their messages.
    bool ConvertOldLayout();

    // The model. The document owns accounts, folders, groups, entries and items; the lists
    // of messages hold references to messages owned by the accounts.
    std::vector<std::unique_ptr<CEmailAccount>> m_accounts;
    std::string m_defaultAddress;
    std::vector<CEmailMessage*> m_allMessages;
    std::vector<CEmailMessage*> m_hiddenMessages;
    std::vector<std::unique_ptr<OutgoingMessage>> m_sentItems;
    std::vector<std::unique_ptr<OutgoingMessage>> m_outbox;
    std::vector<std::unique_ptr<CEmailFolderNode>> m_allFolders;
    std::vector<CEmailFolderNode*> m_topFolders;
    std::array<CEmailFolderNode*, 4> m_specialFolders{};
    std::vector<std::unique_ptr<CAccountGroupNode>> m_allGroups;
    std::vector<CAccountGroupNode*> m_topGroups;
    std::vector<std::unique_ptr<AddressBookEntry>> m_addressBook;
    std::vector<std::unique_ptr<CMailRule>> m_rules;
    // The criteria of the search command (never in the "Rules" table while it serves as
    // such) and the messages the last search found.
    std::unique_ptr<CMailRule> m_searchRule = std::make_unique<CMailRule>();
    std::vector<CEmailMessage*> m_searchResults;
    std::vector<std::unique_ptr<CannedInsert>> m_cannedInserts;
    PreferencesRecord m_prefs;
    // Set by the user's abort command: every check stops as soon as it can.
    std::atomic<bool> m_abortCheckmail{false};

    // ---- Check, delete and download bookkeeping (interface thread unless atomic)
    // How many messages are on their server and not marked for delete (counted again by each
    // check command and completion pass), and that count when the last check started.
    size_t m_onServerCount = 0;
    size_t m_onServerAtCheckStart = 0;
    int m_checksStarted = 0;
    int m_autoNewCount = 0;  // stored by automatic checks since the last interactive one
    bool m_lastCheckAutomatic = false;
    bool m_storePasswordEntered = false;
    // The completion pass's saving progress.
    int m_savingIndex = 0;
    int m_savingTotal = 0;
    // Server deletes: how many are to go, how many went (the delete workers count).
    std::atomic<int> m_toDeleteCount{0};
    std::atomic<int> m_deletedCount{0};
    // A download of a list of messages: its 1-based index, total and message in hand.
    std::atomic<bool> m_listDownloadRunning{false};
    std::atomic<int> m_downloadIndex{0};
    std::atomic<int> m_downloadTotal{0};
    std::atomic<CEmailMessage*> m_downloadMessage{nullptr};
    // Messages are loaded from this range (the default means all of them).
    DateTime m_rangeFrom = DateTime::FromParts(1985, 1, 1);
    DateTime m_rangeTo = DateTime::FromParts(2020, 1, 1);

private:
    void ClearModel();
    bool CreateNewStore(const std::string& path);
    bool UpgradeFixedTables();
    void LoadAll();
    void LoadPreferences();
    void LoadAddressBookAndGroups();
    void LoadAccounts();
    void LoadMessages();
    void LoadFolders();
    void LoadOutgoing();
    void LoadFolderContents();
    void LoadRules();
    void LoadCannedInserts();
    bool WriteFolderRecord(CEmailFolderNode& folder, bool isNew);
    bool AddFolderContentsRow(const std::string& msgId, int folderId, bool isInboxMsg, int flags,
                              int& slot);
    bool DeleteFolderContentsRow(int slot);
    // Writes the rows of filings made while the message was not yet stored.
    bool WritePendingFilings(CEmailMessage& message);
    // Hides a message filed away by a rule: it leaves its account's list.
    void HideMessage(CEmailMessage& message);
    bool AddressInUse(const std::string& emailName, const CEmailAccount* except) const;

    IUserInterface& m_ui;
    Profile& m_profile;
    std::unordered_map<std::string, CEmailMessage*> m_messagesById;  // every stored message
    CStorageNode m_root;
    std::string m_storePath;
    std::string m_openError;
};

// The fields of a message's "Emails" row, and back; the texts go along.
EmailRecord RecordFromMessage(const CEmailMessage& message);
void MessageFromRecord(const EmailRecord& record, CEmailMessage& message);

}  // namespace ph
