#include "retrieval/CDownloadMsgThread.h"

#include <mutex>

#include "common/Trace.h"
#include "message/MimeParser.h"
#include "model/CEmailAccount.h"

namespace ph {

CDownloadMsgThread::CDownloadMsgThread(CEmailAccount& account, std::vector<CEmailMessage*> messages,
                                       Options options, DownloadListProgress progress)
    : m_account(account),
      m_messages(std::move(messages)),
      m_options(std::move(options)),
      m_progress(progress) {
    m_thread = std::thread(&CDownloadMsgThread::Run, this);
}

CDownloadMsgThread::~CDownloadMsgThread() {
    Join();
}

void CDownloadMsgThread::Join() {
    if (m_thread.joinable()) m_thread.join();
}

void CDownloadMsgThread::Run() {
    Trace("here in CDownloadMsgThread");
    int index = 0;
    for (CEmailMessage* message : m_messages) {
        ++index;
        if (m_progress.index) *m_progress.index = index;
        if (m_progress.message) *m_progress.message = message;
        try {
            DownloadOne(*message);
        } catch (...) {
            // Out of memory in the parser, say: the other messages still get their turn.
            Trace("exception in download thread\n");
        }
    }
    // One past the last: the list's progress window closes when the index passes the total.
    if (m_progress.index) *m_progress.index = index + 1;
    m_account.m_downloadFinished = true;
    Trace("about to exit CDownloadMsgThread\n");
    m_finished = true;
}

void CDownloadMsgThread::DownloadOne(CEmailMessage& message) {
    {
        std::lock_guard<std::recursive_mutex> hold(m_account.Mutex());
        message.Header.clear();
        message.Body.clear();
        message.PlainText.clear();
        message.HtmlText.clear();
        message.m_textCached = false;
    }
    // A kind without a download of its own leaves the texts empty.
    bool arrived = false;
    if (m_options.full) {
        Trace("about to call DownloadFullMsg\n");
        arrived = m_account.DownloadFullMsg(message, m_options.attachments != AttachmentMode::None);
    } else {
        Trace("about to call DownloadMsg\n");
        arrived = m_account.DownloadMsg(message);
    }
    if (arrived) ++m_arrived;
    if (m_options.attachments == AttachmentMode::Show) {
        Trace("about to call ViewMsgAttachments\n");
        if (m_options.show) m_options.show(message);
    } else if (m_options.attachments == AttachmentMode::Save) {
        Trace("about to call SaveMsgAttachments\n");
        std::string error;
        m_saved += mime::SaveAttachments(message, m_options.saveFolder, &error);
        if (!error.empty()) m_saveError = error;
    }
}

}  // namespace ph
