#include "message/CSmtpConnection.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "common/Bytes.h"
#include "common/Crypto.h"
#include "common/Format.h"
#include "common/Trace.h"
#include "message/Decoders.h"
#include "message/MimeComposer.h"

namespace ph {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait for a reply's bytes; the wait ends at once when some arrive.
constexpr int kPollSliceMs = 250;
// A reply larger than this is not a reply: a hostile server could otherwise grow it for ever.
constexpr size_t kReplyMax = 64 * 1024;
constexpr size_t kLocalNameMax = 100;

// A reply is complete when its last line ends and is not a "ddd-" continuation line.
bool IsCompleteReply(std::string_view text) {
    if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") return false;
    const std::string_view body = text.substr(0, text.size() - 2);
    const size_t lineStart = body.rfind("\r\n");
    const std::string_view last = lineStart == std::string_view::npos ? body : body.substr(lineStart + 2);
    return !(last.size() >= 4 && last[3] == '-');
}

// The code of a reply line: its first three characters read as a decimal number (-1 when they
// are not three digits).
int LineCode(std::string_view line) {
    if (line.size() < 3) return -1;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') return -1;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

std::string HostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) return "localhost";
    return std::string(Truncated(name.data(), kLocalNameMax));
}

std::string Cased(std::string text, char (*fold)(char)) {
    std::transform(text.begin(), text.end(), text.begin(), fold);
    return text;
}

}  // namespace

CSmtpConnection::CSmtpConnection(std::string localName)
    : m_connection(/*useTls=*/false, nullptr), m_localName(std::move(localName)) {}

CSmtpConnection::~CSmtpConnection() { Quit(); }

bool CSmtpConnection::SendText(std::string_view text) {
    if (m_connection.Send(text)) return true;
    m_lastError = m_connection.LastSocketError();
    return false;
}

bool CSmtpConnection::ReadReply(int expectedCode) {
    std::string received;
    std::array<char, 4096> buffer;
    auto lastByte = Clock::now();
    while (!IsCompleteReply(received)) {
        bool readable = false;
        if (!m_connection.PollReadable(readable, kPollSliceMs)) {
            m_lastError = m_connection.LastSocketError();
            m_lastResponse = received;
            return false;
        }
        if (!readable) {
            if (Clock::now() - lastByte > std::chrono::milliseconds(m_replyTimeoutMs)) {
                m_lastError = kSockErrTimedOut;
                m_lastResponse = received;
                Trace("SMTP reply timed out after \"%s\"\n", received.c_str());
                return false;
            }
            continue;
        }
        const long count = m_connection.Receive(buffer.data(), buffer.size());
        if (count <= 0 || received.size() + static_cast<size_t>(count) > kReplyMax) {
            m_lastError = count < 0 ? m_connection.LastSocketError() : kSockErrNegativeReply;
            m_lastResponse = received;
            return false;
        }
        received.append(buffer.data(), static_cast<size_t>(count));
        lastByte = Clock::now();
    }

    std::string_view rest = received;
    int firstCode = -1;
    while (!rest.empty()) {
        const size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 2);
        const int code = LineCode(line);
        if (firstCode < 0) firstCode = code;
        if (code == expectedCode) {
            m_lastCode = code;
            m_lastResponse.assign(line);
            return true;
        }
    }
    m_lastCode = firstCode;
    m_lastResponse = received;
    m_lastError = kSockErrNegativeReply;
    return false;
}

bool CSmtpConnection::Command(const std::string& line, int expectedCode) {
    return SendText(line) && ReadReply(expectedCode);
}

bool CSmtpConnection::Connect(const std::string& server, int method, const std::string& user,
                              const std::string& password, int port) {
    if (!m_connection.Connect(server, port)) {
        m_lastError = m_connection.LastSocketError();
        Trace("SMTP connect to %s:%d failed: %s\n", server.c_str(), port, m_connection.LastErrorText().c_str());
        return false;
    }
    m_connected = true;
    if (!ReadReply(220)) return Abandon();
    if (m_localName == "auto") m_localName = HostName();

    if (method == kAuthHelo) return Command(Format("HELO %s\r\n", m_localName.c_str()), 250) || Abandon();
    if (!Command(Format("EHLO %s\r\n", m_localName.c_str()), 250)) return Abandon();
    bool loggedIn = true;
    if (method == kAuthLogin) loggedIn = LoginWithCaseVariants(user, password);
    else if (method == kAuthLoginPlain) loggedIn = Login("AUTH LOGIN PLAIN\r\n", user, password);
    return loggedIn || Abandon();
}

bool CSmtpConnection::LoginWithCaseVariants(const std::string& user, const std::string& password) {
    // Some servers keep the names in one case whatever the user typed; the same pair twice
    // would only be refused twice.
    const std::array<std::pair<std::string, std::string>, 3> variants = {{
        {user, password},
        {Cased(user, AsciiUpper), Cased(password, AsciiUpper)},
        {Cased(user, AsciiLower), Cased(password, AsciiLower)},
    }};
    for (size_t i = 0; i < variants.size(); ++i) {
        if (std::find(variants.begin(), variants.begin() + i, variants[i]) != variants.begin() + i) continue;
        if (Login("AUTH LOGIN\r\n", variants[i].first, variants[i].second)) return true;
        // A server that fell silent or went away will not answer the next pair either.
        if (m_lastError != kSockErrNegativeReply) return false;
    }
    return false;
}

bool CSmtpConnection::ExpectChallenge(std::string_view expected) {
    if (!ReadReply(334)) return false;
    std::string challenge = m_lastResponse.size() > 4 ? m_lastResponse.substr(4) : std::string();
    mime::DecodeBase64(challenge);
    if (challenge == expected) return true;
    m_lastError = kSockErrNegativeReply;
    return false;
}

bool CSmtpConnection::Login(std::string_view command, const std::string& user, const std::string& password) {
    return SendText(command) && ExpectChallenge("Username:") &&
           SendText(Base64Encode(user) + "\r\n") && ExpectChallenge("Password:") &&
           Command(Base64Encode(password) + "\r\n", 235);
}

bool CSmtpConnection::TransmitMessage(const std::string& sender, const std::vector<std::string>& recipients,
                                      const mime::CMimeMessage& message) {
    bool ok = Command(Format("MAIL FROM:<%s>\r\n", sender.c_str()), 250);
    for (size_t i = 0; ok && i < recipients.size(); ++i)
        ok = Command(Format("RCPT TO:<%s>\r\n", recipients[i].c_str()), 250);
    ok = ok && Command("DATA\r\n", 354);
    ok = ok && message.WriteMessage([this](std::string_view piece) { return SendText(piece); });
    ok = ok && Command("\r\n.\r\n", 250);
    if (!ok) {
        Trace("SMTP send refused: %s\n", m_lastResponse.c_str());
        m_lastError = kErrCommandRefused;
    }
    return ok;
}

bool CSmtpConnection::Quit() {
    bool ok = false;
    if (m_connected) {
        ok = Command("QUIT\r\n", 221);
        m_connected = false;
    }
    m_connection.Close();
    return ok;
}

bool CSmtpConnection::Abandon() {
    const int error = m_lastError;
    const std::string response = m_lastResponse;
    Quit();
    // What made the session fail is what the caller wants to know, not how QUIT went.
    m_lastError = error;
    m_lastResponse = response;
    return false;
}

}  // namespace ph
