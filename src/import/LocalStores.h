#pragma once
// Accounts over local message stores: Outlook Express folder files (OeMail, read by the
// import code) and the platform's message store (CMapiMail, not available here).
#include "model/MailAccess.h"

namespace ph {

class OeMail : public MailAccessState {
public:
    using MailAccessState::MailAccessState;
};

class CMapiMail : public MailAccessState {
public:
    using MailAccessState::MailAccessState;
};

}  // namespace ph
