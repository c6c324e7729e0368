#include "retrieval/Pop3Mail.h"

#include <algorithm>
#include <unordered_set>

#include "common/Bytes.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "model/CEmailAccount.h"
#include "model/IMailContext.h"
#include "message/MimeParser.h"
#include "message/TextSearch.h"
#include "retrieval/Pop3Text.h"

namespace ph {
namespace {

// Reply buffers: one-line replies, the STAT reply, and the growth steps of listings and of
// whole messages.
constexpr size_t kLineCapacity = 1000;
constexpr size_t kLineGrowth = 4096;
constexpr size_t kStatCapacity = 100;
constexpr size_t kListingBytesPerMessage = 14;
constexpr size_t kListingSlack = 100;
constexpr size_t kMessageGrowth = 32000;
// The part of a one-line reply kept as the last response.
constexpr size_t kLastResponseMax = 999;

constexpr std::string_view kMultiLineEnd = "\n.\n";
constexpr std::string_view kLineEnd = "\n";

// Whether a CAPA reply lists `name`: a line after the first whose first word it is, any case.
bool ListsCapability(std::string_view reply, std::string_view name) {
    std::string_view rest = pop3::AfterFirstLine(reply);
    while (!rest.empty()) {
        const size_t end = std::min(rest.find_first_of("\r\n"), rest.size());
        const std::string_view line = rest.substr(0, end);
        if (std::min(line.find_first_of(" \t"), line.size()) == name.size() && mime::StartsWithNoCase(line, 0, name))
            return true;
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return false;
}

std::string TopCommand(int number) {
    return Format("TOP %d 0\r\n", number);
}

}  // namespace

Pop3Mail::Pop3Mail(std::string user, std::string password, Servers servers, CEmailAccount* account,
                   IMailContext* context, TlsOptions tls)
    : MailAccessState(std::move(user), std::move(password), account, context),
      m_servers(std::move(servers)),
      m_conn(m_servers.useSSL, &m_msgCount, std::move(tls)) {
    m_conn.SetSilenceAllowanceMs(m_timeouts.silence);
}

void Pop3Mail::SetTimeouts(const Timeouts& timeouts) {
    m_timeouts = timeouts;
    m_conn.SetSilenceAllowanceMs(timeouts.silence);
}

void Pop3Mail::SetPipelineWindow(int messages) {
    m_pipelineWindow = std::max(1, messages);
}

void Pop3Mail::ClearCaches() {
    m_haveListing = m_haveStatus = m_haveUids = false;
    ResetPipeline();
}

void Pop3Mail::ResetPipeline() {
    // Replies still awaited die with their connection; what is left of the listing must not
    // count on the next connection pipelining as well.
    if (m_unread > 0) m_pipelineOff = true;
    m_capaAsked = m_serverPipelines = false;
    m_sentAhead.clear();
    m_unread = 0;
    m_readFailure = ReadFailure::None;
}

bool Pop3Mail::SendCommand(std::string_view command, const char* sendFailure) {
    if (!m_conn.IsConnected()) return false;
    if (!m_sentAhead.empty()) {
        // Its window sent it; nothing else may go out before the window's replies are in.
        if (m_sentAhead.front() == command) {
            m_sentAhead.pop_front();
            return true;
        }
        Trace("POP3 command out of step with its pipeline: %s", std::string(command).c_str());
        return false;
    }
    if (m_conn.Send(command)) return true;
    Trace("%s", sendFailure);
    return false;
}

bool Pop3Mail::ReadReply(std::string& text, size_t capacity, std::string_view terminator, size_t growth) {
    // A refusal among replies sent ahead must end at its own line, not take the next replies.
    const bool sentAhead = m_unread > 0;
    if (sentAhead) --m_unread;
    const bool ok = m_conn.ReadResponse(text, capacity, terminator, growth, sentAhead);
    switch (m_conn.LastReplyEnd()) {
        case CMailConnection::ReplyEnd::Positive: m_readFailure = ReadFailure::None; break;
        case CMailConnection::ReplyEnd::Negative:
            m_readFailure = mime::StartsWithNoCase(text, 0, "-ERR") ? ReadFailure::Negative : ReadFailure::Garbled;
            break;
        case CMailConnection::ReplyEnd::TimedOut: m_readFailure = ReadFailure::TimedOut; break;
        case CMailConnection::ReplyEnd::Lost: m_readFailure = ReadFailure::Lost; break;
    }
    return ok;
}

bool Pop3Mail::ReadOneLine() {
    std::string reply;
    const bool ok = ReadReply(reply, kLineCapacity, kLineEnd, kLineGrowth);
    if (ok) m_conn.SetLastResponse(std::string_view(reply).substr(0, kLastResponseMax));
    return ok;
}

bool Pop3Mail::ReadMultiLine(std::string& text, size_t capacity, size_t growth) {
    return ReadReply(text, capacity, kMultiLineEnd, growth);
}

bool Pop3Mail::Login() {
    m_msgCount = kCountNoConnection;
    m_haveListing = false;
    ResetPipeline();
    m_loginStep = LoginStep::Connect;
    m_conn.SetReplyTimeoutMs(m_timeouts.beforeLogin);
    if (!m_conn.CreateSocket()) {
        Trace("Failed to create client socket\n");
        m_conn.Close();
        return false;
    }
    if (!m_conn.Connect(m_servers.incoming, m_servers.incomingPort)) {
        Trace("Could not connect to the POP3 mailbox\n");
        m_conn.Close();
        return false;
    }
    // From here a failure still ends with QUIT: the server greeted or at least accepted us.
    m_loginStep = LoginStep::Greeting;
    auto fail = [this](const char* text) {
        if (text) Trace("%s", text);
        Disconnect();
        return false;
    };
    if (!ReadOneLine()) return fail("Failed while connected to read a command response from the POP3 server\n");
    m_msgCount = kCountBadPassword;
    m_loginStep = LoginStep::User;
    if (!SendCommand(Format("USER %s\r\n", m_user.c_str()), "Failed to send the USER command to the POP3 server\n"))
        return fail(nullptr);
    if (!ReadOneLine()) return fail("Failed while connected to read a USER command response from the POP3 server\n");
    m_loginStep = LoginStep::Pass;
    if (!SendCommand(Format("PASS %s\r\n", m_password.c_str()), "Failed to send the PASS command to the POP3 server\n"))
        return fail(nullptr);
    if (!ReadOneLine()) return fail("Failed while connected to read a PASS command response from the POP3 server\n");
    m_conn.SetReplyTimeoutMs(m_timeouts.afterLogin);
    m_loginStep = LoginStep::Done;
    return true;
}

bool Pop3Mail::Disconnect() {
    if (!m_conn.IsConnected()) {
        Trace("Pop3Mail, Already disconnected\n");
        m_conn.Close();
        return false;
    }
    if (!m_conn.Send("QUIT\r\n")) Trace("Failed to send the QUIT command to the POP3 server\n");
    const bool ok = ReadOneLine();
    ClearCaches();
    m_conn.Close();
    return ok;
}

bool Pop3Mail::Stat(int& count, int& size) {
    if (!SendCommand("STAT\r\n", "Failed to send the STAT command to the POP3 server\n")) return false;
    std::string reply;
    if (!ReadReply(reply, kStatCapacity, kLineEnd, kLineGrowth)) {
        Trace("Error retrieving the STAT response from the POP3 server");
        return false;
    }
    if (reply.compare(0, 3, "+OK") != 0) {
        Trace("POP3 server did not respond correctly to the STAT response\n");
        return false;
    }
    int parsedCount = 0;
    if (!pop3::ParseStat(reply, parsedCount, size)) return false;
    count = parsedCount;
    m_msgCount = parsedCount;
    m_totalSize = size;
    m_haveStatus = true;
    return true;
}

bool Pop3Mail::List() {
    if (!m_haveStatus) {
        int count, size;
        if (!Stat(count, size)) return false;
    }
    if (!SendCommand("LIST\r\n", "Failed to send the LIST command to the POP3 server\n")) return false;
    std::string reply;
    const size_t capacity = kListingBytesPerMessage * static_cast<size_t>(std::max(0, m_msgCount.load())) + kListingSlack;
    if (!ReadMultiLine(reply, capacity, kLineGrowth)) {
        Trace(m_conn.LastSocketError() == kSockErrNegativeReply
                  ? "POP3 server did not respond correctly to the LIST response\n"
                  : "Error retrieving the LIST response from the POP3 server");
        return false;
    }
    m_sizes = pop3::ParseListing(reply);
    m_haveListing = true;
    return true;
}

bool Pop3Mail::Uidl() {
    int count, size;
    if (!Stat(count, size)) return false;
    if (!m_haveListing && !List()) return false;
    if (!SendCommand("UIDL\r\n", "Failed to send the UIDL command to the POP3 server\n")) return false;
    std::string reply;
    const size_t capacity = kListingBytesPerMessage * static_cast<size_t>(std::max(0, count)) + kListingSlack;
    if (!ReadMultiLine(reply, capacity, kLineGrowth)) {
        Trace(m_conn.LastSocketError() == kSockErrNegativeReply
                  ? "POP3 server did not respond correctly to the UIDL response\n"
                  : "Error retrieving the UIDL response from the POP3 server");
        return false;
    }
    m_uids = pop3::ParseUidListing(reply, count);
    m_haveUids = true;
    return true;
}

bool Pop3Mail::Noop() {
    return SendCommand("NOOP\r\n", "Failed to send the NOOP command to the POP3 server\n") && ReadOneLine();
}

bool Pop3Mail::Dele(const std::string& number) {
    return SendCommand(Format("DELE %s\r\n", number.c_str()), "Failed to send the DELE command to the POP3 server\n") &&
           ReadOneLine();
}

bool Pop3Mail::GetMsgSize(int number, uint32_t& size) {
    if (!m_conn.IsConnected() || number < 1) return false;
    if (!m_haveListing && !List()) return false;
    if (static_cast<size_t>(number) > m_sizes.size()) return false;
    size = m_sizes[static_cast<size_t>(number) - 1];
    return true;
}

bool Pop3Mail::GetMsgUidl(int number, std::string& id) {
    if (!m_conn.IsConnected() || number < 1) return false;
    if (!m_haveUids && !Uidl()) return false;
    if (static_cast<size_t>(number) > m_uids.size()) return false;
    id = m_uids[static_cast<size_t>(number) - 1];
    return true;
}

bool Pop3Mail::GetHeaders(int number, CEmailMessage& message) {
    uint32_t size;
    if (!GetMsgSize(number, size)) return false;
    if (!SendCommand(TopCommand(number), "Failed to send the TOP command to the POP3 server\n"))
        return false;
    std::string reply;
    if (!ReadMultiLine(reply, size + kListingSlack, kMessageGrowth)) {
        Trace(m_conn.LastSocketError() == kSockErrNegativeReply
                  ? "POP3 server did not respond correctly to the RETR response\n"
                  : "Error retrieving the TOP response");
        return false;
    }
    // Some servers stop answering after TOP; a quick NOOP tells, and a new connection with a
    // fresh listing lets the check go on. The usual reply time-out is restored either way:
    // one second is too short for a whole TOP on a slow line.
    m_conn.SetReplyTimeoutMs(m_timeouts.probe);
    if (!Noop()) {
        m_conn.Close();
        if (Login()) {
            m_conn.SetReplyTimeoutMs(m_timeouts.probe);
            Noop();
            Uidl();
        }
    }
    m_conn.SetReplyTimeoutMs(m_timeouts.afterLogin);
    // Servers that end lines oddly still give headers the parser can read.
    message.Header = pop3::WithCrlfLineEnds(pop3::AfterFirstLine(reply));
    mime::ParseHeaders(message, message.Header);
    return true;
}

bool Pop3Mail::FindMsgNumber(CEmailMessage& message) {
    if (!m_conn.IsConnected()) return false;
    if (!m_haveListing && !List()) return false;
    if (message.MsgUniqueID.empty()) return false;
    const int count = static_cast<int>(m_sizes.size());
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 1; i <= count; ++i) {
            if (pass == 0 && m_sizes[static_cast<size_t>(i) - 1] != static_cast<uint32_t>(message.MsgSize)) continue;
            std::string id;
            if (GetMsgUidl(i, id) && id == message.MsgUniqueID) {
                message.MsgNumber = Format("%d", i);
                return true;
            }
        }
    }
    return false;
}

void Pop3Mail::IndexMessages() {
    m_byUid.clear();
    m_byUid.reserve(m_messages.size());
    // emplace keeps the first message with an id, as a search in list order would find.
    for (const auto& message : m_messages)
        if (!message->MsgUniqueID.empty()) m_byUid.emplace(message->MsgUniqueID, message.get());
}

Pop3Mail::Fetched Pop3Mail::FetchNewMessage(int number, const std::string& id,
                                            std::unique_ptr<CEmailMessage>& message) {
    message = std::make_unique<CEmailMessage>(m_account);
    message->To = m_servers.address;
    message->MsgNumber = Format("%d", number);
    message->MsgUniqueID = id;
    // It is in this listing, like every known message found again.
    message->SeenOnServer = true;
    uint32_t listedSize = 0;
    GetMsgSize(number, listedSize);
    message->MsgSize = static_cast<int32_t>(listedSize);
    const bool pipelined = !m_sentAhead.empty();
    if (pipelined && m_sentAhead.front() != TopCommand(number)) return Fetched::OutOfStep;
    // A message whose headers could not be fetched is kept with empty ones; in a window a TOP
    // that failed leaves the replies after it unmatched.
    if (!GetHeaders(number, *message) && pipelined) return Fetched::OutOfStep;
    // After a failed probe GetHeaders went on on a new connection, where nothing is sent ahead.
    const bool noopSentAhead = !m_sentAhead.empty();
    if (Noop()) return Fetched::Alive;
    // A reply to NOOP that is not even a status line belongs to some other command: a server
    // that left replies out (NOOPs after TOP, say) while claiming to pipeline.
    return noopSentAhead && m_readFailure == ReadFailure::Garbled ? Fetched::OutOfStep : Fetched::Dead;
}

bool Pop3Mail::ServerPipelines() {
    if (m_capaAsked) return m_serverPipelines;
    m_capaAsked = true;
    if (!SendCommand("CAPA\r\n", "Failed to send the CAPA command to the POP3 server\n")) return false;
    // A refusal is one line and an answer many: only the stream reader tells them apart.
    ++m_unread;
    std::string reply;
    m_serverPipelines = ReadReply(reply, kLineCapacity, kMultiLineEnd, kLineGrowth) &&
                        ListsCapability(reply, "PIPELINING");
    return m_serverPipelines;
}

void Pop3Mail::SendWindow(int first, int count) {
    if (m_pipelineOff || !m_haveListing || !m_haveUids || !ServerPipelines()) return;
    // The window holds the numbers the listing loop will fetch, in its order: ids that are
    // empty or known (or taken by an earlier number of the window) are skipped as it skips
    // them, and it stops where a size is missing, which GetHeaders would not send TOP for.
    std::unordered_set<std::string_view> planned;
    std::string batch;
    int messages = 0;
    for (int j = first; j <= count && static_cast<size_t>(j) <= m_uids.size() && messages < m_pipelineWindow; ++j) {
        if (static_cast<size_t>(j) > m_sizes.size()) break;
        const std::string& id = m_uids[static_cast<size_t>(j) - 1];
        if (id.empty() || m_byUid.count(id) || !planned.insert(id).second) continue;
        for (std::string command : {TopCommand(j), std::string("NOOP\r\n"), std::string("NOOP\r\n")}) {
            batch += command;
            m_sentAhead.push_back(std::move(command));
        }
        ++messages;
    }
    if (m_sentAhead.empty()) return;
    if (!m_conn.Send(batch)) {
        // Nothing counts as sent: the serial code sends again and meets the failure its way.
        m_sentAhead.clear();
        m_pipelineOff = true;
        return;
    }
    m_unread += m_sentAhead.size();
}

void Pop3Mail::SettleWindow() {
    if (m_unread == 0) return;
    // After a time-out or a lost connection the replies may never come or come late.
    bool inStep = m_readFailure == ReadFailure::None || m_readFailure == ReadFailure::Negative;
    while (inStep && !m_sentAhead.empty()) {
        const bool multiLine = m_sentAhead.front().starts_with("TOP ");
        m_sentAhead.pop_front();
        std::string dropped;
        ReadReply(dropped, kLineCapacity, multiLine ? kMultiLineEnd : kLineEnd, multiLine ? kMessageGrowth : kLineGrowth);
        inStep = m_readFailure == ReadFailure::None || m_readFailure == ReadFailure::Negative;
    }
    if (!inStep || m_unread > 0) {
        ClearCaches();
        m_conn.Close();
    }
}

void Pop3Mail::Resynchronise() {
    m_conn.Close();
    if (Login()) Uidl();
    m_pipelineOff = true;
}

bool Pop3Mail::GetAllHeaders() {
    int count = 0, size = 0;
    // A mailbox that cannot even be counted is a failed listing: answering "nothing there"
    // would make every known message look deleted from the server.
    if (!Stat(count, size)) return false;
    m_itemsTotal = size;
    m_itemsDone = 0;
    const bool aborted = m_context && m_context->AbortCheckmail();
    if (!m_haveUids && !aborted && !Uidl()) {
        Trace("failed to get UIDL\n");
        return false;
    }
    if (count < 1) return true;
    IndexMessages();
    m_pipelineOff = false;
    // Numbers past the ids listed have none: a hostile count ends where the listing does.
    for (int i = 1; i <= count && static_cast<size_t>(i) <= m_uids.size(); ++i) {
        if (m_context && m_context->AbortCheckmail()) {
            SettleWindow();
            return true;
        }
        m_itemsDone = i - 1;
        std::string id;
        GetMsgUidl(i, id);
        if (id.empty()) {
            Trace("got msg with no UIDL\n");
            continue;
        }
        if (auto known = m_byUid.find(id); known != m_byUid.end()) {
            known->second->MsgNumber = Format("%d", i);
            known->second->SeenOnServer = true;
            continue;
        }
        if (m_sentAhead.empty()) SendWindow(i, count);
        std::unique_ptr<CEmailMessage> message;
        Fetched fetched = FetchNewMessage(i, id, message);
        if (fetched == Fetched::OutOfStep) {
            // Which reply went missing cannot be told; this message is fetched again the
            // serial way on a new connection, which meets whatever the server does its way.
            Resynchronise();
            fetched = FetchNewMessage(i, id, message);
        }
        if (m_account && m_account->AccessAs<Pop3Mail>() == this) ++m_account->m_newMsgCount;
        m_byUid.emplace(id, message.get());
        m_messages.push_back(std::move(message));
        if (fetched != Fetched::Alive) {
            SettleWindow();
            return false;
        }
    }
    return true;
}

bool Pop3Mail::GetMsg(const std::string& number, CEmailMessage& message) {
    uint32_t size;
    if (!GetMsgSize(LeadingInt(number), size)) return false;
    if (!SendCommand(Format("RETR %s\r\n", number.c_str()), "Failed to send the RETR command to the POP3 server\n"))
        return false;
    message.Body.clear();
    std::string reply;
    if (!ReadMultiLine(reply, size + kListingSlack, kMessageGrowth)) {
        Trace(m_conn.LastSocketError() == kSockErrNegativeReply
                  ? "POP3 server did not respond correctly to the RETR response\n"
                  : "Error retrieving the RETR response");
        return false;
    }
    message.Body = pop3::WithCrlfLineEnds(pop3::AfterFirstLine(reply));
    return true;
}

bool Pop3Mail::GetMsgText(const std::string& number, CEmailMessage& message) {
    uint32_t size;
    if (!GetMsgSize(LeadingInt(number), size)) return false;
    if (!SendCommand(Format("RETR %s\r\n", number.c_str()), "Failed to send the RETR command to the POP3 server\n"))
        return false;
    message.Header.clear();
    message.Body.clear();
    pop3::StreamedMessage reader(message);
    std::string pending, line;
    bool complete = true;
    // The status line comes first; a refusal ends the download before anything is routed.
    bool ended = m_conn.ReadStreamLine(pending, line, complete);
    bool ok = !ended && mime::StartsWithNoCase(line, 0, "+OK");
    while (ok && !ended) {
        ended = m_conn.ReadStreamLine(pending, line, complete);
        if (ended) break;
        if (!reader.Add(line, complete)) break;
    }
    if (ok) reader.Finish();
    // The rest of the message is not wanted: the connection is dropped rather than drained.
    ClearCaches();
    m_conn.Close();
    return ok;
}

}  // namespace ph
