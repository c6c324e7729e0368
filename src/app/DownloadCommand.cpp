// The download side of the frame: the download commands with their attachments, the tick that
// takes finished download workers over, the viewer's text fetch, and the body the rules fetch
// from a server.
#include <mutex>

#include "app/CChildFrame.h"
#include "common/Format.h"
#include "doc/CPostharbourDoc.h"
#include "message/MimeParser.h"

namespace ph {
namespace {

constexpr const char* kBusyText = "Not finished previous delete or check mail yet!";

// Another job has the account's access object or its messages: a check (running, or finished
// and not yet taken over by the tick), a server delete, or a download.
bool JobRunning(const CEmailAccount& account) {
    return account.m_worker || account.m_checkingMail || account.m_checkFinished ||
           account.m_deleting || account.m_deleteFinished || account.m_downloading ||
           account.m_downloadFinished;
}

bool HasTexts(const CEmailMessage& m) {
    return !m.Body.empty() || !m.PlainText.empty() || !m.HtmlText.empty();
}

// The stored texts, unless memory has them already. The raw header counts: the check stores
// it, and no cached mark tells of it.
void LoadStoredTexts(CPostharbourDoc& doc, CEmailMessage& m) {
    if (!m.m_textsInMemory && m.Slot() >= 0) doc.FetchMessageTexts(m);
}

}  // namespace

CChildFrame::DownloadStart CChildFrame::DownloadMessage(CEmailMessage& message, bool full,
                                                        AttachmentMode mode,
                                                        const std::string& saveFolder) {
    // Without a folder (the user cancelled the picker) there is nowhere the files may go.
    if (mode == AttachmentMode::Save && saveFolder.empty()) return DownloadStart::Refused;
    CEmailAccount* account = message.Account();
    if (account && JobRunning(*account)) {
        m_ui.MessageBox(kBusyText, "BUSY", IUserInterface::Buttons::Ok);
        return DownloadStart::Refused;
    }
    if (message.Body.empty()) LoadStoredTexts(m_doc, message);
    if (!account || (!message.IsOnServer && message.Body.empty())) {
        m_ui.MessageBox("Message is no longer on server and attachments were not downloaded!",
                        "SORRY", IUserInterface::Buttons::Ok);
        return DownloadStart::Refused;
    }
    if (mode != AttachmentMode::None && !message.Body.empty()) {
        // The body holds the attachments; they are read from it without touching the message.
        CEmailMessage parsed(account);
        parsed.CollectAttachments = true;
        mime::ParseBody(parsed, message.Body);
        m_lastDownload = {true, 0, {}};
        if (mode == AttachmentMode::Save)
            m_lastDownload.attachmentsWritten =
                mime::SaveAttachments(parsed, saveFolder, &m_lastDownload.writeError);
        else
            ShowAttachments(parsed);
        return DownloadStart::DoneAtOnce;
    }

    CDownloadMsgThread::Options options;
    options.full = full || mode != AttachmentMode::None;
    options.attachments = mode;
    // Showing happens on the tick that takes the worker over: its failures are message boxes,
    // which belong to this thread.
    if (mode == AttachmentMode::Save) options.saveFolder = saveFolder;
    account->m_downloadFinished = false;
    account->m_downloading = true;
    m_downloads.push_back({std::make_unique<CDownloadMsgThread>(
                               *account, std::vector<CEmailMessage*>{&message}, std::move(options)),
                           &message, mode});
    m_ui.SetStatusText("0 KB");
    return DownloadStart::Started;
}

void CChildFrame::HandleFinishedDownloads() {
    bool finished = false;
    for (RunningDownload& download : m_downloads) {
        if (download.worker->Finished()) {
            FinishDownload(download);
            finished = true;
        } else {
            const long long received = download.worker->Account().GetBytesReceived();
            m_ui.SetStatusText(Format("%d KB", static_cast<int>(received / 1024)));
        }
    }
    if (!finished) return;
    std::erase_if(m_downloads, [](const RunningDownload& d) { return !d.worker; });
    m_ui.RefreshViews();
}

void CChildFrame::FinishDownload(RunningDownload& download) {
    download.worker->Join();
    CEmailAccount& account = download.worker->Account();
    CEmailMessage& message = *download.message;
    m_lastDownload = {download.worker->Arrived() > 0, download.worker->AttachmentsSaved(),
                      download.worker->SaveError()};
    if (m_lastDownload.arrived) {
        // A whole message arrives as one text: the raw header the viewer shows is its head.
        if (message.Header.empty() && !message.Body.empty())
            message.Header = std::string(mime::GetHeaderBlock(message.Body)) + "\r\n";
        if (message.Slot() >= 0) m_doc.UpdateMessage(message);
    } else if (message.Slot() >= 0) {
        // The worker emptied the texts before it failed; the store still has the old ones.
        message.m_textsInMemory = false;
        m_doc.FetchMessageTexts(message);
    }
    if (download.mode == AttachmentMode::Show) {
        if (m_lastDownload.arrived)
            ShowAttachments(message);
        else
            m_ui.MessageBox("Could not get attached files", "ERROR", IUserInterface::Buttons::Ok);
    }
    // The whole body is kept (and stored); the decoded copies need not stay in memory.
    message.ClearAttachments();
    message.CollectAttachments = false;
    download.worker.reset();
    account.m_downloading = false;
    account.m_downloadFinished = false;
}

void CChildFrame::ShowAttachments(const CEmailMessage& parsed) {
    if (parsed.AttachmentData.empty()) {
        m_ui.MessageBox("Could not find attached files", "ERROR", IUserInterface::Buttons::Ok);
        return;
    }
    const bool viewer = m_openAttachments && !m_viewerFolder.empty();
    m_lastDownload.attachmentsWritten =
        viewer ? mime::SaveAttachments(parsed, m_viewerFolder, &m_lastDownload.writeError) : 0;
    if (m_lastDownload.attachmentsWritten != static_cast<int>(parsed.AttachmentData.size())) {
        m_ui.MessageBox("Could not get attached files", "ERROR", IUserInterface::Buttons::Ok);
        return;
    }
    m_openAttachments(m_viewerFolder);
}

void CChildFrame::SetAttachmentViewer(std::string folder,
                                      std::function<void(const std::string&)> open) {
    m_viewerFolder = std::move(folder);
    m_openAttachments = std::move(open);
}

CChildFrame::TextsResult CChildFrame::FetchViewerTexts(CEmailMessage& message) {
    if (HasTexts(message)) return TextsResult::Cached;
    LoadStoredTexts(m_doc, message);
    if (HasTexts(message)) return TextsResult::Cached;
    CEmailAccount* account = message.Account();
    if (account && JobRunning(*account)) {
        m_ui.MessageBox(kBusyText, "BUSY", IUserInterface::Buttons::Ok);
        return TextsResult::Busy;
    }
    if (!account || !message.IsOnServer) return TextsResult::NotOnServer;
    if (!account->DownloadMsg(message)) return TextsResult::NotFetched;
    if (message.Slot() >= 0) m_doc.UpdateMessage(message);
    m_ui.RefreshViews();
    return TextsResult::Fetched;
}

bool CChildFrame::FetchBodyFromServer(CEmailMessage& message) {
    CEmailAccount* account = message.Account();
    // Only a message a listing found has a body on a server.
    if (!account || !message.IsOnServer || message.MsgUniqueID.empty()) return false;
    // A download worker uses the access object without the lock; a check or a server delete
    // holds the lock while it works, and the interface must not wait for either.
    if (account->m_downloading) return false;
    std::unique_lock<std::recursive_mutex> hold(account->Mutex(), std::try_to_lock);
    return hold.owns_lock() && account->DownloadMsg(message);
}

}  // namespace ph
