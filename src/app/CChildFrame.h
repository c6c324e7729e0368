#pragma once
// The child frame without its widgets: the check command, the 1000 ms tick (check on start,
// countdown, completion pass, delete progress, automatic check), the status window rows and
// the delete command. The front ends show what it decides; it talks to the user only through
// the document's IUserInterface and reads time only through an IClock.
//
// Everything here runs in the user-interface thread. Workers change accounts and messages in
// memory and raise flags; the tick is the only writer of the store.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/IUserInterface.h"
#include "retrieval/CDownloadMsgThread.h"

namespace ph {

class CPostharbourDoc;
class CEmailAccount;
class CEmailMessage;
class CEmailFolderNode;
struct OutgoingMessage;
class CCheckMailThread;
class CDeleteAccountMsgsThread;
class IClock;
class IConnectivity;

class CChildFrame {
public:
    // What the account tree has focused and selected, for a check that names no accounts.
    struct TreeChoice {
        enum class Focus { None, AccountsManager, Misc, AllActiveMail, Folder, Account };
        Focus focus = Focus::None;
        CEmailAccount* account = nullptr;              // Focus::Account
        std::vector<CEmailAccount*> selectedInTree;    // tree order, when several items are selected
        std::vector<CEmailAccount*> selectedInList;    // the account list's selection
    };

    // The three arguments outlive the frame.
    CChildFrame(CPostharbourDoc& doc, IClock& clock, IConnectivity& connectivity);
    // Stops every worker (the abort flag) and waits for them.
    ~CChildFrame();
    CChildFrame(const CChildFrame&) = delete;
    CChildFrame& operator=(const CChildFrame&) = delete;

    void SetTreeChoice(TreeChoice choice) { m_tree = std::move(choice); }

    // "Check All Mail Accounts" and its relatives. `accounts`: an explicit list (its active
    // accounts are checked). `countAsDone` is given to Yahoo accounts as their done flag.
    void CheckMail(bool allAccounts, bool interactive, const std::vector<CEmailAccount*>* accounts = nullptr,
                   bool countAsDone = false);
    // The abort command: every check stops between steps.
    void AbortCheck();
    // One tick of the frame's timer.
    void OnTimer();

    // The rows of the status window, one per account of the current interactive check.
    std::vector<CheckStatusRow> StatusRows() const;
    // Whether some account is checking, waiting for the completion pass, or deleting.
    bool AnyAccountBusy() const;
    // The notification-area summary as it stands: the icon and its tooltip.
    std::pair<IUserInterface::TrayIcon, std::string> TraySummary() const;

    // What the message list shows, for the delete command.
    struct ShownList {
        enum class Kind { Account, AllMail, Folder, Outbox, SentItems, InactiveMail, SearchResults };
        Kind kind = Kind::Account;
        CEmailFolderNode* folder = nullptr;  // Kind::Folder
    };
    // "&Delete Emails" on the selected rows (in row order): messages, or for the outbox and
    // the sent items, outgoing items.
    void DeleteEmails(const ShownList& shown, const std::vector<CEmailMessage*>& messages,
                      const std::vector<OutgoingMessage*>& outgoing = {});

    // ---- Downloads and the viewer's texts (DownloadCommand.cpp)
    using AttachmentMode = CDownloadMsgThread::AttachmentMode;
    enum class DownloadStart {
        Refused,     // busy or nothing to download (the user was told why), or Save without a folder
        DoneAtOnce,  // the body was at hand: the attachments were shown or saved already
        Started,     // a download worker runs; the tick finishes it
    };
    // The download commands on one message ("View Attachments", "Save Attachments", "Download
    // Message"). `full`: the whole message rather than its text (the attachment modes always
    // fetch it whole). `saveFolder`: the folder the user chose for Save.
    DownloadStart DownloadMessage(CEmailMessage& message, bool full, AttachmentMode mode,
                                  const std::string& saveFolder = {});
    // How the last download command ended, once it has (at once, or on the tick that took
    // its worker over).
    struct DownloadOutcome {
        bool arrived = false;         // texts came from the server, or the body was at hand
        int attachmentsWritten = 0;   // into the save folder, or the viewer's
        std::string writeError;       // why an attachment was not written; empty when all were
    };
    const DownloadOutcome& LastDownload() const { return m_lastDownload; }

    enum class TextsResult { Cached, Fetched, Busy, NotOnServer, NotFetched };
    // The viewer's texts of a message: the stored ones, or, when none are stored, its text
    // fetched from its server now (in this thread) and stored. Busy: another job of its
    // account is running (the user was told).
    TextsResult FetchViewerTexts(CEmailMessage& message);

    // Where "View Attachments" writes the files, and the front end's way of opening them (it
    // is given that folder). Without it, showing fails as a folder that cannot be written.
    void SetAttachmentViewer(std::string folder, std::function<void(const std::string&)> open);

private:
    // The download side's steps.
    struct RunningDownload {
        std::unique_ptr<CDownloadMsgThread> worker;
        CEmailMessage* message;
        AttachmentMode mode;
    };
    // The tick: running downloads show their progress, finished ones are written to the store.
    void HandleFinishedDownloads();
    void FinishDownload(RunningDownload& download);
    // "View Attachments" on a message whose attachments were collected: written into the
    // viewer's folder, which the front end then opens.
    void ShowAttachments(const CEmailMessage& parsed);
    // The rules' "@body" operand for a body only the server has: fetched through the
    // message's account, unless another job of that account holds its access object.
    static bool FetchBodyFromServer(CEmailMessage& message);

    std::vector<RunningDownload> m_downloads;
    DownloadOutcome m_lastDownload;
    std::string m_viewerFolder;
    std::function<void(const std::string&)> m_openAttachments;

    // CheckMail's steps.
    std::vector<CEmailAccount*> ChooseAccounts(bool allAccounts, const std::vector<CEmailAccount*>* accounts) const;
    bool GoOnline(bool interactive);
    bool StorePasswordGiven();
    // StartCheck with the frame's part of it: refusals, the interface-thread kinds, workers.
    void StartCheck(CEmailAccount& account, CCheckMailThread* worker);
    CCheckMailThread& SharedWorker(std::unique_ptr<CCheckMailThread>& slot);
    // The account's outbox messages not being sent yet go along with its check.
    void HandOutboxToCheck(CEmailAccount& account);
    void RebuildOnServerList();

    // The tick's steps.
    void CheckOnStart();
    void ShowCountdown();
    void CompletionPass();
    // `aborted`: the checks were aborted, so marks that changed go back to what they were.
    void SaveAccountMessages(CEmailAccount& account, bool aborted);
    void StoreNewArrival(CEmailMessage& message);
    void MoveOrRewrite(CEmailMessage& message);
    // What the account's check sent moves to the sent items; the rest waits for the next one.
    void TakeOverOutboxSends(CEmailAccount& account);
    // The delete command's server side: every account with messages marked for delete that
    // are not queued yet, or queued to go locally only, gets its server delete.
    void StartServerDeletes();
    void HandleFinishedDeletes();
    void ShowDeleteProgress();
    void AutomaticCheck();
    void ReapWorkers();
    void UpdateStatusWindow();
    // The notification-area icon and tooltip after a check or a delete.
    void ShowTraySummary();
    // "%d NEW EMAILS" with the growth of the on-server list since the last check started.
    std::string GrowthTooltip() const;

    CPostharbourDoc& m_doc;
    IUserInterface& m_ui;
    IClock& m_clock;
    IConnectivity& m_connectivity;
    TreeChoice m_tree;

    uint32_t m_lastCheckStart;
    bool m_firstTick = true;
    // Check threads and server delete threads, reaped by the tick once they have ended.
    std::vector<std::unique_ptr<CCheckMailThread>> m_checkWorkers;
    std::vector<std::unique_ptr<CDeleteAccountMsgsThread>> m_deleteWorkers;
    // The status window of the current interactive check.
    std::vector<CEmailAccount*> m_statusAccounts;
    std::vector<CheckStatusRow> m_shownRows;
    bool m_statusOpen = false;
    bool m_statusMayClose = false;
};

}  // namespace ph
