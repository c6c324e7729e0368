#pragma once
#include <string>

#include "model/MailAccess.h"

namespace ph {

// Web-mail access; its pages and requests come with the web-mail code.
class CGmailMail : public MailAccessState {
public:
    using MailAccessState::MailAccessState;
    long long m_bytesReceived = 0;
};

}  // namespace ph
