#include "net/MailConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>

#include "common/Bytes.h"
#include "common/Trace.h"
#include "net/Resolve.h"
#include "net/TerminatorSearch.h"

namespace ph {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait for data; a wait returns at once when data comes.
constexpr int kPollSliceMs = 250;
// Receives into a reply go through a scratch buffer of this size at most (a TLS record holds
// 16 KiB of plaintext, so larger would rarely fill).
constexpr size_t kReceiveChunk = 64 * 1024;
// A line of a streamed reply is read in receives this small so that little is held back
// from the next line.
constexpr size_t kStreamReceive = 128;
constexpr size_t kStreamPendingMax = 511;
constexpr size_t kStreamLineMax = 256;
constexpr size_t kStreamCrLookahead = 300;
// What of a partial reply goes to the trace after a time-out.
constexpr size_t kTracedReplyMax = 999;

bool IsPositive(std::string_view reply) {
    return reply.size() >= 3 && EqualsNoCase(reply.substr(0, 3), "+OK");
}

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string ErrnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

}  // namespace

CMailConnection::CMailConnection(bool useTls, std::atomic<int>* msgCountOrState, TlsOptions tls)
    : m_useTls(useTls), m_state(msgCountOrState), m_tls(std::move(tls)) {}

CMailConnection::~CMailConnection() {
    Close();
}

void CMailConnection::FailWithErrno(int err) {
    m_lastSocketError = err;
    m_lastErrorText = ErrnoText(err);
}

void CMailConnection::FailWithTls() {
    m_lastSocketError = static_cast<int>(m_tls.LastError());
    m_lastErrorText = m_tls.LastErrorText();
}

bool CMailConnection::CreateSocket() {
    if (m_useTls) {
        if (m_tls.Create()) return true;
        FailWithTls();
        return false;
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0) return true;
    FailWithErrno(errno);
    return false;
}

bool CMailConnection::IsOpen() const {
    return m_useTls ? m_tls.IsOpen() : m_fd >= 0;
}

int CMailConnection::Fd() const {
    return m_useTls ? m_tls.Fd() : m_fd;
}

bool CMailConnection::Connect(const std::string& host, int port) {
    // The name first: a host that does not resolve costs no socket and no TLS context.
    sockaddr_in address;
    if (!ResolveIPv4(host, port, address)) {
        m_lastSocketError = kSockErrHostNotFound;
        m_lastErrorText = "host name could not be resolved";
        return false;
    }
    if (!IsOpen() && !CreateSocket()) return false;
    if (m_useTls) {
        if (!m_tls.Connect(address, host)) {
            FailWithTls();
            return false;
        }
    } else if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        FailWithErrno(errno);
        return false;
    }
    m_connected = true;
    return true;
}

bool CMailConnection::Send(std::string_view bytes) {
    if (m_useTls) {
        // CSslSocket counts in int; a larger send goes in pieces.
        while (!bytes.empty()) {
            const int piece = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
            if (m_tls.Send(bytes.data(), piece) != piece) {
                FailWithTls();
                return false;
            }
            bytes.remove_prefix(static_cast<size_t>(piece));
        }
        return true;
    }
    ssize_t sent;
    do sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent >= 0) return true;
    FailWithErrno(errno);
    return false;
}

long CMailConnection::Receive(char* buffer, size_t capacity) {
    long received;
    if (capacity == 0) return 0;
    if (m_useTls) {
        received = m_tls.Receive(buffer, static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
        if (received == 0 && m_tls.LastErrorKind() != TlsErrorKind::None) {
            FailWithTls();
            return 0;
        }
    } else {
        ssize_t n;
        do n = ::recv(m_fd, buffer, capacity, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            FailWithErrno(errno);
            return -1;
        }
        received = static_cast<long>(n);
    }
    if (received == 0) m_lastErrorText = "the server closed the connection";
    m_bytesReceived.fetch_add(static_cast<uint64_t>(received), std::memory_order_relaxed);
    return received;
}

bool CMailConnection::PollReadable(bool& readable, int waitMs) {
    readable = false;
    if (m_useTls) {
        // Unlike a plain socket, readable bytes need not be plaintext yet; CSslSocket waits
        // for a whole record so that the reply time-outs hold under TLS as well.
        if (m_tls.WaitReadable(waitMs, readable)) return true;
        FailWithTls();
        return false;
    }
    if (m_fd < 0) return false;
    pollfd entry{m_fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, waitMs);
    if (ready < 0) {
        if (errno == EINTR) return true;
        FailWithErrno(errno);
        return false;
    }
    readable = ready > 0;  // also a hang-up or error, which the next receive reports
    return true;
}

void CMailConnection::Close() {
    if (m_useTls) {
        if (m_tls.IsOpen()) m_tls.Close();
    } else if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_connected = false;
    m_strayLineEnd = 0;
    m_pending.clear();
}

void CMailConnection::LoseConnection(const std::string& text, const char* traceText) {
    if (m_state) m_state->store(kStateNoConnection);
    Trace("%s", traceText);
    m_lastFailureText = text;
}

bool CMailConnection::ReadResponse(std::string& text, size_t capacity,
                                   std::string_view terminator, size_t growth, bool endAtRefusal) {
    text.clear();
    m_lastReplyEnd = ReplyEnd::Lost;
    if (!m_connected) return false;
    TerminatorSearch search(terminator), statusLine("\n");
    bool statusSeen = !endAtRefusal;
    // Where the reply ends in `text`, and where its terminator ends; npos until found.
    size_t end = std::string::npos, afterEnd = 0;
    auto findEnd = [&]() {
        if (!statusSeen) {
            const size_t lineEnd = statusLine.Find(text);
            if (lineEnd == std::string::npos) return false;
            statusSeen = true;
            if (!IsPositive(text)) {
                end = lineEnd;
                afterEnd = statusLine.MatchEnd(text, lineEnd);
                return true;
            }
        }
        end = search.Find(text);
        if (end == std::string::npos) return false;
        afterEnd = search.MatchEnd(text, end);
        return true;
    };

    m_scratch.resize(kReceiveChunk);
    text.swap(m_pending);
    bool atStart = true;
    auto lastData = Clock::now();
    long long allowedSilence = text.empty() ? m_replyTimeoutMs : m_silenceAllowanceMs;
    for (;;) {
        if (atStart && !text.empty()) {
            // The other half of the line end that closed the previous reply belongs to it.
            if (m_strayLineEnd && text.front() == m_strayLineEnd) text.erase(0, 1);
            m_strayLineEnd = 0;
            atStart = false;
        }
        if (!atStart && findEnd()) break;

        // One byte of the capacity stays unused, where a C text keeps its terminating zero.
        if (text.size() + 1 >= capacity) capacity += growth;
        const size_t room = capacity > text.size() + 1 ? capacity - text.size() - 1 : 0;

        const long long silent = MillisecondsSince(lastData);
        if (silent > allowedSilence) {
            LoseConnection(text, "timed out in pop3");
            Trace("%s", std::string(Truncated(text, kTracedReplyMax)).c_str());
            m_lastSocketError = kSockErrTimedOut;
            m_lastErrorText = "timed out waiting for the server";
            m_lastReplyEnd = ReplyEnd::TimedOut;
            return false;
        }
        bool readable = false;
        const int wait = static_cast<int>(std::min<long long>(kPollSliceMs, allowedSilence - silent + 1));
        if (!PollReadable(readable, wait)) {
            LoseConnection(text, "socket not readable in pop3");
            return false;
        }
        if (!readable) continue;

        if (room == 0) {  // only with no growth step: the reply cannot be taken in
            m_lastFailureText = text;
            m_lastErrorText = "the reply does not fit its buffer";
            return false;
        }
        const long received = Receive(m_scratch.data(), std::min(room, kReceiveChunk));
        if (received <= 0) {
            m_lastFailureText = text;
            return false;
        }
        text.append(m_scratch.data(), static_cast<size_t>(received));
        lastData = Clock::now();
        allowedSilence = m_silenceAllowanceMs;
    }
    m_pending.assign(text, afterEnd, std::string::npos);
    // A reply may be complete at a CR (or LF) whose partner has not come yet; when it comes it
    // must not open the next reply.
    const char last = text[afterEnd - 1];
    if (m_pending.empty() && (last == '\r' || last == '\n') &&
        (afterEnd < 2 || text[afterEnd - 2] != (last == '\r' ? '\n' : '\r')))
        m_strayLineEnd = last == '\r' ? '\n' : '\r';
    text.resize(end);
    if (IsPositive(text)) {
        m_lastReplyEnd = ReplyEnd::Positive;
        return true;
    }
    m_lastReplyEnd = ReplyEnd::Negative;
    m_lastSocketError = kSockErrNegativeReply;
    m_lastFailureText = text;
    m_lastErrorText = "the server's reply was not positive";
    return false;
}

bool CMailConnection::WaitStreamData() {
    bool readable = false;
    while (!readable)
        if (!PollReadable(readable, kPollSliceMs)) return false;
    return true;
}

bool CMailConnection::ReadStreamLine(std::string& pending, std::string& line, bool& ok) {
    ok = true;
    line.clear();
    for (;;) {
        if (!pending.empty()) {
            const size_t end = std::min(pending.find_first_of("\r\n"), pending.size());
            // A CR at the very end may be the first half of a CRLF whose LF has not come yet;
            // only the single-dot line is taken as complete at its CR.
            const bool awaitLf = end + 1 == pending.size() && pending[end] == '\r' &&
                                 end < kStreamCrLookahead && pending != ".\r";
            if (!awaitLf) {
                const size_t pendingLength = pending.size();
                line.append(pending, 0, end);
                // One CR and one LF, in either order: some servers end lines with LF CR.
                size_t next = end;
                if (next < pending.size() && pending[next] == '\r') ++next;
                if (next < pending.size() && pending[next] == '\n') ++next;
                if (next == end + 1 && pending[end] == '\n' && next < pending.size() && pending[next] == '\r') ++next;
                const bool complete = next > end;
                pending.erase(0, next);
                if (complete) return line == ".";
                if (line.size() > kStreamLineMax || pendingLength > kStreamLineMax) {
                    ok = false;
                    return false;
                }
            }
        }
        if (!WaitStreamData()) return true;
        char chunk[kStreamReceive];
        const size_t room =
            pending.size() < kStreamPendingMax ? kStreamPendingMax - pending.size() : 0;
        const long received = Receive(chunk, std::min(room, kStreamReceive));
        if (received <= 0) return true;
        pending.append(chunk, static_cast<size_t>(received));
    }
}

}  // namespace ph
