#pragma once
// Mail access over POP3 (plain or TLS): log in, list the mailbox, fetch the headers of
// messages not seen before, match the listing against the account's messages by unique id,
// fetch whole messages (or only until their texts are in), delete, and quit. Everything runs
// in the caller's thread (a check, delete or download worker holding the account's lock).
//
// The message count doubles as the outcome the check shows: -3 no connection (also after any
// time-out), -1 greeted but USER or PASS refused, -2 after a failed listing, else the count.
//
// A listing that has new messages to fetch asks the server's capabilities (CAPA, RFC 2449)
// once a connection. A server that announces PIPELINING gets the commands of a window of new
// messages (TOP, the probe NOOP, the NOOP) in one send, and their replies are read in order
// through the very code that sends and reads them one by one otherwise, so the messages and
// every outcome are those of the serial exchange. Replies that stop matching their commands
// (a server that leaves some out) end pipelining for the listing: the message in hand is
// fetched again the serial way on a new connection.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/MailAccess.h"
#include "net/MailConnection.h"

namespace ph {

class Pop3Mail : public MailAccessState {
public:
    struct Servers {
        std::string address;  // the account's own address
        std::string incoming;
        std::array<std::string, 3> outgoing;
        int incomingPort = 110;
        int outgoingPort = 25;
        bool useSSL = false;
    };
    // How long replies may take. The defaults are the program's; tests shorten them.
    struct Timeouts {
        unsigned beforeLogin = 5000;   // first byte of a reply until logged in
        unsigned afterLogin = 15000;   // ... once logged in
        unsigned probe = 1000;         // the NOOP that tests the connection after TOP
        unsigned silence = CMailConnection::kDefaultSilenceAllowanceMs;  // within a reply
    };

    Pop3Mail(std::string user, std::string password, Servers servers, CEmailAccount* account,
             IMailContext* context, TlsOptions tls = {});

    bool Login();
    // QUIT and close. False (after closing) when not connected or QUIT is refused.
    bool Disconnect();
    bool Stat(int& count, int& size);
    bool List();
    bool Uidl();
    bool Noop();
    bool Dele(const std::string& number);
    // The listed size of message `number` (1-based); LIST first when not cached.
    bool GetMsgSize(int number, uint32_t& size);
    // The unique id of message `number`; UIDL first when not cached.
    bool GetMsgUidl(int number, std::string& id);
    // TOP of the headers into the message's Header, parsed.
    bool GetHeaders(int number, CEmailMessage& message);
    // Sets MsgNumber to the message's number in this connection, found by unique id
    // (numbers whose size matches are tried first).
    bool FindMsgNumber(CEmailMessage& message);
    // The listing of a check: known messages are marked seen with their new numbers, new
    // ones are built with their headers and appended to the messages.
    bool GetAllHeaders();
    // RETR of the whole message into Body.
    bool GetMsg(const std::string& number, CEmailMessage& message);
    // RETR read line by line until the texts are in (stops at an attachment after the HTML
    // text); always ends the connection, without QUIT.
    bool GetMsgText(const std::string& number, CEmailMessage& message);

    // How far the last Login got: the step that failed, or Done.
    enum class LoginStep { Connect, Greeting, User, Pass, Done };
    LoginStep LastLoginStep() const { return m_loginStep; }

    void SetTimeouts(const Timeouts& timeouts);
    const Timeouts& GetTimeouts() const { return m_timeouts; }
    // How many new messages' commands go out together to a server that pipelines (at least 1).
    void SetPipelineWindow(int messages);
    CMailConnection& Connection() { return m_conn; }
    const CMailConnection& Connection() const { return m_conn; }
    long long BytesReceived() const { return static_cast<long long>(m_conn.BytesReceived()); }

    Servers m_servers;

private:
    // How a new message of a listing went: the connection lives on, it failed (the listing
    // ends), or the replies of a window no longer match their commands.
    enum class Fetched { Alive, Dead, OutOfStep };
    // Why the last reply read from a window's stream failed.
    enum class ReadFailure { None, Negative, Garbled, TimedOut, Lost };

    // Sends a command; traces `sendFailure` when the send fails. A command sent ahead with its
    // window is only taken off the window here.
    bool SendCommand(std::string_view command, const char* sendFailure);
    // Reads one reply (one of a window's, while replies sent ahead are unread).
    bool ReadReply(std::string& text, size_t capacity, std::string_view terminator, size_t growth);
    // Reads a one-line reply and keeps it as the last response.
    bool ReadOneLine();
    // Reads a multi-line reply into `text`.
    bool ReadMultiLine(std::string& text, size_t capacity, size_t growth);
    void ClearCaches();
    // Builds the id index over the messages as they stand.
    void IndexMessages();

    // Builds new message `number` and fetches it: GetHeaders and the NOOP after it.
    Fetched FetchNewMessage(int number, const std::string& id, std::unique_ptr<CEmailMessage>& message);
    // Whether the server announced PIPELINING (CAPA, asked once a connection).
    bool ServerPipelines();
    // Sends the commands of the next window of new messages from `first` on, when pipelining.
    void SendWindow(int first, int count);
    // Leaves no reply of a window unread when a listing ends early: they are read and dropped
    // while the stream is in step, else the connection is closed.
    void SettleWindow();
    // After replies that no longer match their commands: a new connection and listing.
    void Resynchronise();
    void ResetPipeline();

    CMailConnection m_conn;
    Timeouts m_timeouts;
    // 256 messages' commands are under 7 KB: one send that never waits for the server to read
    // (it may be busy writing replies nobody reads yet), and the replies read and dropped after
    // an abort stay few; on loopback larger windows gain little.
    int m_pipelineWindow = 256;
    LoginStep m_loginStep = LoginStep::Connect;
    bool m_haveListing = false;
    bool m_haveStatus = false;
    bool m_haveUids = false;
    int m_totalSize = 0;
    std::vector<uint32_t> m_sizes;     // entry i-1: message number i
    std::vector<std::string> m_uids;   // entry i-1: message number i
    // Unique id -> the first message in list order with that id: matching a listing is
    // linear in the mailbox, not quadratic.
    std::unordered_map<std::string, CEmailMessage*> m_byUid;

    // Pipelining, per connection: what CAPA said, the commands sent ahead that the serial code
    // has not reached yet, and the replies not read yet.
    bool m_capaAsked = false;
    bool m_serverPipelines = false;
    std::deque<std::string> m_sentAhead;
    size_t m_unread = 0;
    ReadFailure m_readFailure = ReadFailure::None;
    // Per listing: a window was lost once, the rest of the listing goes serially.
    bool m_pipelineOff = false;
};

}  // namespace ph
