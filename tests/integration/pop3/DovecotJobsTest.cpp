// Server deletes and downloads against the suite's private dovecot, plain and over TLS: the
// maildir itself tells what was deleted and what a download should have brought.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "DovecotMaildir.h"
#include "Pop3Jobs.h"
#include "model/CEmailAccount.h"
#include "retrieval/CDeleteAccountMsgsThread.h"
#include "retrieval/CDownloadMsgThread.h"
#include "retrieval/MessageDownload.h"
#include "retrieval/Pop3Mail.h"
#include "support/Files.h"

namespace ph {
namespace {

// A message file as RETR carries it: CRLF line ends, lines that begin with "." doubled, and
// without the line end that the terminating dot line takes.
std::string OnTheWire(const std::string& file) {
    std::string wire;
    size_t start = 0;
    while (start < file.size()) {
        const size_t end = std::min(file.find('\n', start), file.size());
        if (file[start] == '.') wire += '.';
        wire.append(file, start, end - start).append("\r\n");
        start = end + 1;
    }
    return wire.substr(0, wire.size() - 2);
}

// The name and decoded size of a message file's base64 attachment, as fill-maildir writes it,
// when the parser takes it for one.
struct Attachment {
    std::string name;
    size_t size = 0;
};
std::vector<Attachment> AttachmentsOf(const std::string& file) {
    const std::string key = "Content-Disposition: attachment; filename=\"";
    const size_t at = file.find(key);
    // A text type is read as text, whatever its disposition says.
    if (at == std::string::npos ||
        file.compare(file.rfind("Content-Type: ", at), 19, "Content-Type: text/") == 0)
        return {};
    Attachment a;
    a.name = file.substr(at + key.size(), file.find('"', at + key.size()) - at - key.size());
    const size_t data = file.find("\n\n", at) + 2;
    size_t symbols = 0, padding = 0;
    for (size_t i = data; i < file.size() && file.compare(i, 3, "\n--") != 0; ++i) {
        if (file[i] == '=')
            ++padding;
        else if (file[i] != '\n')
            ++symbols;
    }
    a.size = (symbols + padding) / 4 * 3 - padding;
    return {a};
}

using DovecotJobs = test::OnDovecot;

TEST_P(DovecotJobs, DeletesExactlyWhatItFinds) {
    struct Queued {
        const char* id;  // null: the id of the listed message `listed`
        int listed;      // 1-based
        bool withFields;
    };
    const struct {
        const char* name;
        std::vector<Queued> queued;
        std::vector<int> gone;  // listed numbers no longer in the maildir afterwards
    } cases[] = {
        {"by unique id", {{nullptr, 2, false}, {nullptr, 5, false}}, {2, 5}},
        {"by header fields", {{"renamed", 3, true}}, {3}},
        {"neither", {{"renamed", 4, false}}, {}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> ids = test::FillMaildir("alice", 6);
        ASSERT_EQ(ids.size(), 6u) << c.name;
        auto account = Account("alice", "alice-secret");
        const MessageList listed = test::ListServer(*account->AccessAs<Pop3Mail>());
        ASSERT_EQ(test::Ids(listed), ids) << c.name;
        for (const Queued& q : c.queued) {
            const CEmailMessage& source = *listed[q.listed - 1];
            test::AddMarked(*account, q.id ? q.id : source.MsgUniqueID,
                            q.withFields ? &source : nullptr);
        }
        std::atomic<int> deleted{0};

        auto worker = DeleteMsgsFromServer(*account, deleted);
        ASSERT_NE(worker, nullptr) << c.name;
        test::WaitLikeTheFrame(*worker, *account);

        std::vector<std::string> remaining;
        for (size_t i = 0; i < ids.size(); ++i)
            if (std::find(c.gone.begin(), c.gone.end(), static_cast<int>(i) + 1) == c.gone.end())
                remaining.push_back(ids[i]);
        std::vector<std::string> inMaildir;
        for (const auto& [id, path] : test::MaildirFiles("alice")) inMaildir.push_back(id);
        EXPECT_EQ(inMaildir, remaining) << c.name;  // fill-maildir's names sort in server order
        EXPECT_EQ(test::Ids(test::ListServer(*account->AccessAs<Pop3Mail>())), remaining) << c.name;
        EXPECT_EQ(deleted, static_cast<int>(c.gone.size())) << c.name;
        EXPECT_TRUE(account->m_deleteFinished) << c.name;
    }
}

TEST_P(DovecotJobs, WholeDownloadsCarryTheMessageAndItsAttachments) {
    const std::vector<std::string> ids = test::FillMaildir("alice", 14);
    ASSERT_EQ(ids.size(), 14u);
    auto account = Account("alice", "alice-secret");
    std::vector<CEmailMessage*> messages;
    for (const std::string& id : ids) messages.push_back(account->AddMessage(id));
    std::map<const CEmailMessage*, std::vector<Attachment>> shown;
    CDownloadMsgThread::Options options;
    options.full = true;
    options.attachments = CDownloadMsgThread::AttachmentMode::Show;
    options.show = [&shown](CEmailMessage& message) {
        for (size_t i = 0; i < message.AttachmentNames.size(); ++i)
            shown[&message].push_back(
                {message.AttachmentNames[i], message.AttachmentData[i].size()});
    };

    CDownloadMsgThread worker(*account, messages, options);
    test::WaitLikeTheFrame(worker, *account);

    const auto files = test::MaildirFiles("alice");
    int withAttachments = 0;
    for (const CEmailMessage* message : messages) {
        const std::string file = test::ReadFile(files.at(message->MsgUniqueID));
        EXPECT_EQ(message->Body, OnTheWire(file)) << message->MsgUniqueID;
        EXPECT_FALSE(message->PlainText.empty() && message->HtmlText.empty())
            << message->MsgUniqueID;
        const std::vector<Attachment> expected = AttachmentsOf(file);
        const std::vector<Attachment>& got = shown[message];
        ASSERT_EQ(got.size(), expected.size()) << message->MsgUniqueID;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].name, expected[i].name) << message->MsgUniqueID;
            EXPECT_EQ(got[i].size, expected[i].size) << message->MsgUniqueID;
        }
        withAttachments += !expected.empty();
    }
    EXPECT_EQ(worker.Arrived(), 14);
    // The fill's mix has attachments in about one message in seven: make sure some came.
    EXPECT_GT(withAttachments, 0);
}

TEST_P(DovecotJobs, TextDownloadsEndTheConnectionAndGoneMessagesBringNothing) {
    const std::vector<std::string> ids = test::FillMaildir("alice", 4);
    ASSERT_EQ(ids.size(), 4u);
    auto account = Account("alice", "alice-secret");
    Pop3Mail& pop = *account->AccessAs<Pop3Mail>();
    std::filesystem::remove(test::MaildirFiles("alice").at(ids[3]));
    for (size_t i = 0; i < ids.size(); ++i) {
        CEmailMessage& message = *account->AddMessage(ids[i]);
        const bool there = i < 3;
        EXPECT_EQ(DownloadMsg(pop, message), there) << i;
        EXPECT_EQ(message.PlainText.empty() && message.HtmlText.empty(), !there) << i;
        EXPECT_EQ(message.Subject.empty(), !there) << i;
        EXPECT_FALSE(pop.Connection().IsConnected()) << i;
    }
    EXPECT_EQ(account->GetMessages().size(), ids.size());
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, DovecotJobs, testing::Values(false, true), test::PlainOrTls);

}  // namespace
}  // namespace ph
