#pragma once
// One SMTP session on a plain TCP connection: the greeting, HELO or EHLO with the LOGIN
// exchange, the envelope and the data of one message, and QUIT. It belongs to the thread that
// sends; destroying it ends the session (QUIT when connected) and closes the socket.
#include <string>
#include <string_view>
#include <vector>

#include "net/MailConnection.h"

namespace ph {

namespace mime {
class CMimeMessage;
}

class CSmtpConnection {
public:
    enum AuthMethod {
        kAuthHelo = 0,       // HELO, no login
        kAuthEhlo = 1,       // EHLO, no login
        kAuthLogin = 2,      // EHLO, then "AUTH LOGIN" (also tried upper- and lower-cased)
        kAuthLoginPlain = 3  // EHLO, then "AUTH LOGIN PLAIN"
    };
    static constexpr unsigned kDefaultReplyTimeoutMs = 2000;
    // What LastError() holds when a command of a message's transmission was refused.
    static constexpr int kErrCommandRefused = 22;

    // `localName` is the name given in HELO/EHLO; "auto" stands for the machine's host name.
    explicit CSmtpConnection(std::string localName = "auto");
    ~CSmtpConnection();
    CSmtpConnection(const CSmtpConnection&) = delete;
    CSmtpConnection& operator=(const CSmtpConnection&) = delete;

    // Connects, reads the greeting and introduces itself, logging in as `method` asks. On any
    // failure after the connection was made the session ends (QUIT) before returning false.
    bool Connect(const std::string& server, int method, const std::string& user,
                 const std::string& password, int port);
    // MAIL FROM, one RCPT TO per recipient in order (the first refusal ends the send), DATA,
    // the message as the composer writes it, and the end of the data.
    bool TransmitMessage(const std::string& sender, const std::vector<std::string>& recipients,
                         const mime::CMimeMessage& message);
    // QUIT when connected (its 221 reply is the result), then close in every case.
    bool Quit();

    // Reads one complete reply; true when one of its lines carries `expectedCode`. Fails with
    // kSockErrTimedOut after ReplyTimeoutMs() without a byte, with kSockErrNegativeReply when
    // no line has the code, or with the socket's error when the connection gave out.
    bool ReadReply(int expectedCode);

    bool IsConnected() const { return m_connected; }
    const std::string& LocalName() const { return m_localName; }
    int LastCode() const { return m_lastCode; }
    // The reply line that decided the last ReadReply, or what had arrived when it failed.
    const std::string& LastResponse() const { return m_lastResponse; }
    int LastError() const { return m_lastError; }
    unsigned ReplyTimeoutMs() const { return m_replyTimeoutMs; }
    void SetReplyTimeoutMs(unsigned ms) { m_replyTimeoutMs = ms; }

private:
    bool SendText(std::string_view text);
    bool Command(const std::string& line, int expectedCode);
    bool Login(std::string_view command, const std::string& user, const std::string& password);
    bool LoginWithCaseVariants(const std::string& user, const std::string& password);
    bool ExpectChallenge(std::string_view expected);
    // Ends a session that failed after connecting.
    bool Abandon();

    CMailConnection m_connection;
    std::string m_localName;
    bool m_connected = false;
    int m_lastCode = 0;
    int m_lastError = 0;
    std::string m_lastResponse;
    unsigned m_replyTimeoutMs = kDefaultReplyTimeoutMs;
};

}  // namespace ph
