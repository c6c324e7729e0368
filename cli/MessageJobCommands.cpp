// phctl show, delete and download: the frame's viewer fetch, delete command and download command
// on stored messages, with the frame's timer ticking in the foreground until the work is done.
#include "MessageJobCommands.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "Arguments.h"
#include "Display.h"
#include "app/CChildFrame.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "net/Connectivity.h"

namespace ph::cli {
namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(250);

// The frame of one command. Its timer is ticked only to carry this command's work on: the
// start-up check belongs to the desktop program and phctl watch, so it counts as done here.
class JobFrame {
  public:
    explicit JobFrame(CPostharbourDoc& doc) : m_frame(doc, m_clock, m_connectivity) {
        doc.m_checksStarted = std::max(doc.m_checksStarted, 1);
    }
    CChildFrame* operator->() { return &m_frame; }
    // Ticks every quarter second until `done` holds.
    template <class Done>
    void TickUntil(Done done) {
        while (!done()) {
            std::this_thread::sleep_for(kTickPeriod);
            m_frame.OnTimer();
        }
    }

  private:
    SystemClock m_clock;
    SystemConnectivity m_connectivity;
    CChildFrame m_frame;
};

// A stored text shown line by line, each line made safe for a terminal.
void PrintText(std::ostream& out, std::string_view text) {
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out << EscapeForLine(line) << "\n";
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

struct ShowArgs {
    std::string id;
    bool headers = false;
    bool html = false;
};

int Show(Session& session, const ShowArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CEmailMessage* message = ResolveMessage(doc, a.id, why);
    if (!message) return Fail(why);
    JobFrame frame(doc);
    const CChildFrame::TextsResult result = frame->FetchViewerTexts(*message);
    const std::string& text = a.headers ? message->Header
                              : a.html  ? message->HtmlText
                                        : message->PlainText;
    PrintText(std::cout, text);
    if (!text.empty()) return 0;
    using Result = CChildFrame::TextsResult;
    switch (result) {
        case Result::Busy:
            return Fail("message " + a.id + " belongs to an account that is busy");
        case Result::NotOnServer:
            return Fail("message " + a.id +
                        " is no longer on its server and its text was never downloaded");
        case Result::NotFetched:
            return Fail("the text of message " + a.id + " could not be fetched from its server");
        case Result::Cached:
        case Result::Fetched:
            break;
    }
    std::cerr << "phctl: message " << a.id << " has no "
              << (a.headers ? "header"
                  : a.html  ? "HTML text"
                            : "plain text")
              << (a.headers || a.html ? "" : "; --html shows its HTML text") << "\n";
    return 0;
}

struct DeleteArgs {
    std::vector<std::string> ids;
    std::string folder;
    bool folderOnly = false;
};

// Waits for the server deletes the command started, showing how far they got, and returns how
// many messages went. The frame resets that count on the tick that takes a finished delete
// over, so it is read before the frame is ticked.
int AwaitServerDeletes(CPostharbourDoc& doc, int toDelete) {
    auto running = [&doc] {
        return std::any_of(doc.m_accounts.begin(), doc.m_accounts.end(),
                           [](const auto& a) { return a->m_deleting && !a->m_deleteFinished; });
    };
    int shown = -1;
    for (;;) {
        const bool stillRunning = running();
        const int deleted = doc.m_deletedCount;
        if (deleted != shown && toDelete > 0) {
            std::cerr << Format("Deleting %d of %d, %d%% done", deleted, toDelete,
                                deleted * 100 / toDelete)
                      << "\n";
            shown = deleted;
        }
        if (!stillRunning) return deleted;
        std::this_thread::sleep_for(kTickPeriod);
    }
}

int Delete(Session& session, const DeleteArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    std::vector<CEmailMessage*> messages;
    for (const std::string& id : a.ids) {
        CEmailMessage* message = ResolveMessage(doc, id, why);
        if (!message) return Fail(why);
        if (std::find(messages.begin(), messages.end(), message) == messages.end())
            messages.push_back(message);
    }
    CChildFrame::ShownList shown;
    if (!a.folder.empty()) {
        shown.kind = CChildFrame::ShownList::Kind::Folder;
        shown.folder = ResolveFolder(doc, a.folder, why);
        if (!shown.folder) return Fail(why);
        for (const CEmailMessage* message : messages)
            if (!shown.folder->Holds(message))
                return Fail("message " + message->m_storeId + " is not in the folder " +
                            EscapeForLine(a.folder));
    }
    session.UI().PresetAnswer(
        "Delete these emails from this folder only?",
        a.folderOnly ? IUserInterface::Answer::Yes : IUserInterface::Answer::No);

    JobFrame frame(doc);
    frame->DeleteEmails(shown, messages);
    const auto taken = std::count_if(messages.begin(), messages.end(), [&](const CEmailMessage* m) {
        return a.folderOnly ? !shown.folder->Holds(m) : m->MarkedForDelete;
    });
    if (taken == 0)
        return Fail("nothing was deleted: the deletion was not confirmed (--yes confirms it)");
    if (a.folderOnly) {
        std::cout << "removed " << taken << " messages from the folder " << EscapeForLine(a.folder)
                  << "\n";
        return 0;
    }
    // The messages may be gone once the frame has taken the deletes over.
    messages.clear();
    const int toDelete = doc.m_toDeleteCount;
    const int deleted = AwaitServerDeletes(doc, toDelete);
    frame.TickUntil([&doc] {
        return std::none_of(doc.m_accounts.begin(), doc.m_accounts.end(), [](const auto& account) {
            return account->m_deleting || account->m_deleteFinished;
        });
    });
    std::cout << "deleted " << taken << " messages, " << deleted << " of them on their server\n";
    if (deleted < toDelete)
        return Fail(Format(
            "%d of the messages could not be deleted on their server; they were removed here only",
            toDelete - deleted));
    return 0;
}

struct DownloadArgs {
    std::string id;
    bool full = false;
    std::string saveDir;
};

int Download(Session& session, const DownloadArgs& a) {
    CPostharbourDoc& doc = session.Doc();
    std::string why;
    CEmailMessage* message = ResolveMessage(doc, a.id, why);
    if (!message) return Fail(why);
    using Mode = CChildFrame::AttachmentMode;
    const Mode mode = a.saveDir.empty() ? Mode::None : Mode::Save;
    if (mode == Mode::Save) {
        std::error_code ec;
        std::filesystem::create_directories(a.saveDir, ec);
        if (ec || !std::filesystem::is_directory(a.saveDir, ec))
            return Fail("cannot create the folder " + EscapeForLine(a.saveDir));
    }

    JobFrame frame(doc);
    const CChildFrame::DownloadStart start =
        frame->DownloadMessage(*message, a.full, mode, a.saveDir);
    if (start == CChildFrame::DownloadStart::Refused)
        return Fail("message " + a.id + " was not downloaded");
    if (start == CChildFrame::DownloadStart::Started) {
        CEmailAccount& account = *message->Account();
        frame.TickUntil([&account] { return !account.m_downloading; });
    }
    const CChildFrame::DownloadOutcome& outcome = frame->LastDownload();
    if (!outcome.arrived) return Fail("message " + a.id + " could not be fetched from its server");
    std::cout << (start == CChildFrame::DownloadStart::Started ? "downloaded message " : "message ")
              << a.id
              << (start == CChildFrame::DownloadStart::Started ? "" : " was downloaded before")
              << "\n";
    if (mode != Mode::Save) return 0;
    std::cout << "saved " << outcome.attachmentsWritten << " attachments into "
              << EscapeForLine(a.saveDir) << "\n";
    return outcome.writeError.empty() ? 0 : Fail(EscapeForLine(outcome.writeError));
}

}  // namespace

void AddMessageJobCommands(CLI::App& app, CommandContext& context) {
    const GlobalOptions& global = context.global;
    int& exitCode = context.exitCode;

    auto showArgs = std::make_shared<ShowArgs>();
    CLI::App& show = *app.add_subcommand("show",
                                         "Show a stored message's plain text, fetching its text "
                                         "from the server when it is not stored");
    show.add_option("ID", showArgs->id, "Message store id (as phctl list prints it)")->required();
    CLI::Option* headers =
        show.add_flag("--headers", showArgs->headers, "Show the raw header instead");
    show.add_flag("--html", showArgs->html, "Show the HTML text instead")->excludes(headers);
    show.callback([showArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Show(s, *showArgs); });
    });

    auto deleteArgs = std::make_shared<DeleteArgs>();
    CLI::App& del = *app.add_subcommand(
        "delete", "Delete stored messages: on their server too, unless taken out of a folder only");
    del.add_option("ID", deleteArgs->ids, "Message store ids")->required();
    CLI::Option* folder = del.add_option("--folder", deleteArgs->folder,
                                         "The messages as listed in this folder (id or path)");
    del.add_flag("--folder-only", deleteArgs->folderOnly, "Only take them out of the folder")
        ->needs(folder);
    del.callback([deleteArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Delete(s, *deleteArgs); });
    });

    auto downloadArgs = std::make_shared<DownloadArgs>();
    CLI::App& download = *app.add_subcommand(
        "download", "Download a stored message from its server again: its text, or all of it");
    download.add_option("ID", downloadArgs->id, "Message store id")->required();
    download.add_flag("--full", downloadArgs->full, "The whole message with its attachments");
    download.add_option(
        "--save-attachments", downloadArgs->saveDir,
        "Write its attachments into this folder (created when missing); the whole message is "
        "fetched unless its body is stored already");
    download.callback([downloadArgs, &global, &exitCode] {
        exitCode = WithDocument(global, [&](Session& s) { return Download(s, *downloadArgs); });
    });
}

}  // namespace ph::cli
