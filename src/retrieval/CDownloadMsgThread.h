#pragma once
// A worker that downloads one message, or a list of them in order, of one account: the text
// only, or the whole message, and then, when asked, shows or saves its attachments. It ends by
// setting the account's download-finished flag, which the frame's timer reads.
//
// The messages are downloaded without the account's lock (see MessageDownload.h); the caller
// starts the worker only while the account is neither checking nor deleting.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ph {

class CEmailAccount;
class CEmailMessage;

// Where a list download tells the document how far it got. Either may be null.
struct DownloadListProgress {
    std::atomic<int>* index = nullptr;  // 1-based; one past the last when done
    std::atomic<CEmailMessage*>* message = nullptr;
};

class CDownloadMsgThread {
public:
    enum class AttachmentMode { None = 0, Show = 1, Save = 2 };

    struct Options {
        bool full = false;  // the whole message, not only its text
        AttachmentMode attachments = AttachmentMode::None;
        // Show: the frame's viewer. Called in the worker, once per message, with the message
        // whose attachments were collected (possibly none).
        std::function<void(CEmailMessage&)> show;
        // Save: the folder the user chose; the files go there and nowhere else.
        std::string saveFolder;
    };

    // Starts at once. The account, its `messages` and the progress targets outlive this object.
    CDownloadMsgThread(CEmailAccount& account, std::vector<CEmailMessage*> messages,
                       Options options, DownloadListProgress progress = {});
    ~CDownloadMsgThread();
    CDownloadMsgThread(const CDownloadMsgThread&) = delete;
    CDownloadMsgThread& operator=(const CDownloadMsgThread&) = delete;

    CEmailAccount& Account() const { return m_account; }
    // The run is over: the account's download-finished flag is set and the results below hold.
    bool Finished() const { return m_finished; }
    void Join();

    // After the run: how many messages brought texts, and for Save how many attachment files
    // were written and why one was not (empty when all were).
    int Arrived() const { return m_arrived; }
    int AttachmentsSaved() const { return m_saved; }
    const std::string& SaveError() const { return m_saveError; }

private:
    void Run();
    void DownloadOne(CEmailMessage& message);

    CEmailAccount& m_account;
    const std::vector<CEmailMessage*> m_messages;
    const Options m_options;
    const DownloadListProgress m_progress;
    // Written by the worker before it raises m_finished.
    int m_arrived = 0;
    int m_saved = 0;
    std::string m_saveError;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;  // last: it starts once everything above is in place
};

}  // namespace ph
