#pragma once
// Mail access over POP3 (plain or TLS), sending through the account's SMTP servers. The
// protocol itself comes with the retrieval code; this holds the account's settings and state.
#include <array>
#include <string>

#include "model/MailAccess.h"

namespace ph {

class Pop3Mail : public MailAccessState {
public:
    struct Servers {
        std::string address;
        std::string incoming;
        std::array<std::string, 3> outgoing;
        int incomingPort = 110;
        int outgoingPort = 25;
        bool useSSL = false;
    };
    Pop3Mail(std::string user, std::string password, Servers servers, CEmailAccount* account,
             IMailContext* context)
        : MailAccessState(std::move(user), std::move(password), account, context),
          m_servers(std::move(servers)) {}

    Servers m_servers;
    long long m_bytesReceived = 0;
};

}  // namespace ph
