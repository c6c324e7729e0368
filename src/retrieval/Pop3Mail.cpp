#include "retrieval/Pop3Mail.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "common/Bytes.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "model/CEmailAccount.h"
#include "model/IMailContext.h"
#include "message/MimeParser.h"
#include "message/TextSearch.h"
#include "net/TerminatorSearch.h"
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

// The stream reader waits and receives in the steps of the connection's reader.
constexpr int kPollSliceMs = 250;
constexpr size_t kStreamChunk = 64 * 1024;
constexpr size_t kTracedReplyMax = 999;

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Where the match of `terminator` that starts at `at` ends, by the pairing rule of
// TerminatorSearch: CRLF and LFCR are one line end, CRCR and LFLF two.
size_t MatchEnd(std::string_view text, size_t at, std::string_view terminator) {
    size_t i = at;
    for (char wanted : terminator) {
        const char c = text[i++];
        if (wanted == '\n' && i < text.size() && IsLineEnd(text[i]) && text[i] != c) ++i;
    }
    return i;
}

bool IsPositive(std::string_view reply) {
    return mime::StartsWithNoCase(reply, 0, "+OK");
}

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
    m_stream.clear();
    m_streamPos = 0;
    m_lineEndMayFollow = false;
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
    // The connection's reader drops whatever follows a reply, and knows nothing of a line end
    // half-read from the stream: both matter only to the stream reader.
    if (m_unread > 0 || m_lineEndMayFollow) return ReadFromStream(text, terminator);
    return m_conn.ReadResponse(text, capacity, terminator, growth);
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

// The rules of CMailConnection::ReadResponse (the terminator and its line ends, the first byte
// within the reply time-out and then the silence allowance, -3 on a time-out or a socket that
// cannot be polled, 10043 for a reply that is not positive), except that the bytes after the
// terminator are kept for the next reply, as replies sent ahead come several to a receive.
// A multi-line reply whose first line is not positive ends there: a refusal is one line, and
// waiting for a terminator would take the replies after it.
bool Pop3Mail::ReadFromStream(std::string& text, std::string_view terminator) {
    text.clear();
    if (m_unread > 0) --m_unread;
    m_readFailure = ReadFailure::Lost;
    if (!m_conn.IsConnected()) return false;
    if (m_chunk.size() < kStreamChunk) m_chunk.resize(kStreamChunk);
    const bool multiLine = terminator.size() > 1;
    bool firstLineChecked = !multiLine;
    bool atStart = true;
    TerminatorSearch search(terminator), firstLine(kLineEnd);
    auto lastData = Clock::now();
    long long allowedSilence = m_streamPos < m_stream.size() ? m_conn.SilenceAllowanceMs() : m_conn.ReplyTimeoutMs();
    size_t end = std::string_view::npos, next = 0;
    std::string_view view;
    for (;;) {
        // A reply never begins with a line end: one there is the second half of the line end
        // that closed the reply before, come late.
        if (atStart && m_streamPos < m_stream.size()) {
            if (IsLineEnd(m_stream[m_streamPos])) ++m_streamPos;
            atStart = false;
        }
        view = std::string_view(m_stream).substr(m_streamPos);
        if (!firstLineChecked) {
            if (const size_t lineEnd = firstLine.Find(view); lineEnd != std::string_view::npos) {
                firstLineChecked = true;
                if (!IsPositive(view)) {
                    end = lineEnd;
                    next = MatchEnd(view, end, kLineEnd);
                    break;
                }
            }
        }
        if (firstLineChecked && !atStart && (end = search.Find(view)) != std::string_view::npos) {
            next = MatchEnd(view, end, terminator);
            break;
        }

        const long long silent = MillisecondsSince(lastData);
        if (silent > allowedSilence) {
            m_msgCount = kStateNoConnection;
            Trace("timed out in pop3");
            Trace("%s", std::string(view.substr(0, kTracedReplyMax)).c_str());
            m_conn.SetLastSocketError(kSockErrTimedOut);
            m_readFailure = ReadFailure::TimedOut;
            return false;
        }
        bool readable = false;
        const int wait = static_cast<int>(std::min<long long>(kPollSliceMs, allowedSilence - silent + 1));
        if (!m_conn.PollReadable(readable, wait)) {
            m_msgCount = kStateNoConnection;
            Trace("socket not readable in pop3");
            return false;
        }
        if (!readable) continue;
        const long received = m_conn.Receive(m_chunk.data(), m_chunk.size());
        if (received <= 0) return false;
        // Replies already read go once they are the larger part; the text being searched
        // keeps its start, as the search needs.
        if (m_streamPos > m_stream.size() / 2) {
            m_stream.erase(0, m_streamPos);
            m_streamPos = 0;
        }
        m_stream.append(m_chunk.data(), static_cast<size_t>(received));
        lastData = Clock::now();
        allowedSilence = m_conn.SilenceAllowanceMs();
    }
    text.assign(view.substr(0, end));
    const char last = view[next - 1];
    m_lineEndMayFollow = next == view.size() && IsLineEnd(last) &&
                         (next < 2 || view[next - 2] != (last == '\r' ? '\n' : '\r'));
    m_streamPos += next;
    // Past the last reply awaited, bytes are dropped as the connection's reader drops them.
    if (m_unread == 0) {
        m_stream.clear();
        m_streamPos = 0;
    }
    if (IsPositive(text)) {
        m_readFailure = ReadFailure::None;
        return true;
    }
    m_conn.SetLastSocketError(kSockErrNegativeReply);
    m_readFailure = mime::StartsWithNoCase(text, 0, "-ERR") ? ReadFailure::Negative : ReadFailure::Garbled;
    return false;
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
    m_serverPipelines = ReadFromStream(reply, kMultiLineEnd) && ListsCapability(reply, "PIPELINING");
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
        ReadFromStream(dropped, multiLine ? kMultiLineEnd : kLineEnd);
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
