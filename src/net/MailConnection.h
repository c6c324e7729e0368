#pragma once
// The connection a mail-access object holds (POP3 now, SMTP as well): one TCP stream, plain or
// inside TLS as chosen when the object is built, the reply reader with its time-outs, the
// streaming line reader, and what the last exchange left behind for the caller to report.
//
// The object belongs to one thread at a time (the check, delete, download or send thread that
// holds its account's lock). Only BytesReceived may be read from other threads, for progress.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/CSslSocket.h"

namespace ph {

// What LastSocketError() holds after a failure of the kinds the callers tell apart. Other
// failures of a socket call leave its errno there.
constexpr int kSockErrHostNotFound = 10022;
constexpr int kSockErrTimedOut = 10060;
constexpr int kSockErrNegativeReply = 10043;

// Written into the owner's message count or state when a reply times out or the socket cannot
// be polled: the check then shows as a failure to connect.
constexpr int kStateNoConnection = -3;

class CMailConnection {
public:
    static constexpr unsigned kDefaultReplyTimeoutMs = 5000;
    static constexpr unsigned kDefaultSilenceAllowanceMs = 60000;

    // `msgCountOrState` is the owner's check outcome (may be null); it must outlive this object.
    // `tls` is used only when `useTls` is set.
    CMailConnection(bool useTls, std::atomic<int>* msgCountOrState, TlsOptions tls = {});
    ~CMailConnection();
    CMailConnection(const CMailConnection&) = delete;
    CMailConnection& operator=(const CMailConnection&) = delete;

    bool UsesTls() const { return m_useTls; }

    // A new IPv4 stream socket (plain) or CSslSocket::Create (TLS). False when it cannot be made.
    bool CreateSocket();
    bool IsOpen() const;
    // Resolves the host, creates the socket when it is not open, then connects; with TLS also
    // runs the handshake and verifies the server. A dotted address is used as it stands; a
    // name is resolved and its first IPv4 address used, and when it does not resolve the
    // socket error becomes kSockErrHostNotFound. Sets the connected flag on success.
    bool Connect(const std::string& host, int port);
    // One send; false when it reports an error (a short plain send is not retried).
    bool Send(std::string_view bytes);
    // One receive: the byte count, 0 when the peer closed, negative on error (TLS: 0 also on
    // error, see CSslSocket::Receive).
    long Receive(char* buffer, size_t capacity);
    // Waits at most `waitMs` (0: just looks) for data to receive, returning as soon as some is
    // there. False only when the socket cannot be polled; `readable` says whether data waits
    // (or the peer closed, which the next Receive then reports).
    bool PollReadable(bool& readable, int waitMs = 0);
    // Closes the socket (TLS: closing alert first) if it is open, and clears the connected flag.
    void Close();

    // Reads one reply into `text` (replacing its content) until `terminator` is found, cutting
    // the text at the start of the match. `capacity` is the initial size of the reply buffer
    // (one byte of it stays unused, as the terminating zero of a C text would) and `growth` the
    // step by which it grows whenever it fills. In `terminator` a "\n" matches CRLF, LFCR, a
    // lone LF or a lone CR; at the very end of the text the first character of such a pair
    // suffices.
    //
    // The first byte must come within ReplyTimeoutMs(); after that the reply may fall silent
    // for SilenceAllowanceMs() at a time. True when the reply ended by the terminator is
    // positive (its first three characters are "+OK" in any case). False when not connected;
    // on a time-out or a socket that cannot be polled (the owner's state becomes
    // kStateNoConnection, and kSockErrTimedOut on a time-out); when the peer closed or a
    // receive failed; or for a reply that is not positive (kSockErrNegativeReply). On every
    // false after a read, LastFailureText() holds what had arrived.
    //
    // Bytes that arrive after the terminator belong to the next reply and are kept for it
    // (replies to pipelined commands come several to a receive). With `endAtRefusal`, a reply
    // whose status line is not positive ends with that line even when `terminator` asks for a
    // multi-line reply: a refusal is one line, and waiting on would take the replies after it.
    bool ReadResponse(std::string& text, size_t capacity, std::string_view terminator,
                      size_t growth, bool endAtRefusal = false);

    // How the last ReadResponse ended.
    enum class ReplyEnd { Positive, Negative, TimedOut, Lost };
    ReplyEnd LastReplyEnd() const { return m_lastReplyEnd; }

    // Reads the next line of a streamed multi-line reply. `pending` carries received but not
    // yet consumed bytes from call to call (the caller starts it empty and leaves it alone; it
    // never exceeds 511 bytes). `line` receives the line without its end; `ok` becomes false
    // when a line runs past 256 characters without an end. Returns true when the line is the
    // single-dot terminator line or when the connection gave out (poll failure, peer closed,
    // receive error), false for an ordinary line. Waits for data without a time-out.
    bool ReadStreamLine(std::string& pending, std::string& line, bool& ok);

    // Set as soon as the TCP connection is made (before any greeting is read).
    bool IsConnected() const { return m_connected; }

    unsigned ReplyTimeoutMs() const { return m_replyTimeoutMs; }
    void SetReplyTimeoutMs(unsigned ms) { m_replyTimeoutMs = ms; }
    // Silence allowed within a reply once its first byte has come.
    unsigned SilenceAllowanceMs() const { return m_silenceAllowanceMs; }
    void SetSilenceAllowanceMs(unsigned ms) { m_silenceAllowanceMs = ms; }

    // Running count of bytes received on the connection; the owner zeroes it before a check.
    uint64_t BytesReceived() const { return m_bytesReceived.load(std::memory_order_relaxed); }
    void ResetBytesReceived() { m_bytesReceived.store(0, std::memory_order_relaxed); }

    // The last complete one-line reply, kept by the protocol layer.
    const std::string& LastResponse() const { return m_lastResponse; }
    void SetLastResponse(std::string_view text) { m_lastResponse.assign(text); }
    const std::string& LastFailureText() const { return m_lastFailureText; }

    int LastSocketError() const { return m_lastSocketError; }
    void SetLastSocketError(int code) { m_lastSocketError = code; }
    // Why the last connect, send, receive or reply read failed, in words ("hostname mismatch",
    // "Connection refused", "timed out", ...); empty when nothing failed yet.
    const std::string& LastErrorText() const { return m_lastErrorText; }

    // The descriptor to poll (-1 when closed) and the TLS socket, for callers that report its
    // details.
    int Fd() const;
    const CSslSocket& TlsSocket() const { return m_tls; }

private:
    void FailWithErrno(int err);
    void FailWithTls();
    void LoseConnection(const std::string& text, const char* traceText);
    bool WaitStreamData();

    const bool m_useTls;
    std::atomic<int>* const m_state;
    CSslSocket m_tls;
    int m_fd = -1;
    bool m_connected = false;
    unsigned m_replyTimeoutMs = kDefaultReplyTimeoutMs;
    unsigned m_silenceAllowanceMs = kDefaultSilenceAllowanceMs;
    std::atomic<uint64_t> m_bytesReceived{0};
    std::string m_lastResponse;
    std::string m_lastFailureText;
    std::string m_lastErrorText;
    int m_lastSocketError = 0;
    // The second half of a line end ('\n' after CR, '\r' after LF) that may still come for
    // the reply read last; 0 when that reply's line end was whole.
    char m_strayLineEnd = 0;
    std::vector<char> m_scratch;  // receive buffer of ReadResponse, kept between replies
    std::string m_pending;        // received after the last reply's terminator
    ReplyEnd m_lastReplyEnd = ReplyEnd::Lost;
};

}  // namespace ph
