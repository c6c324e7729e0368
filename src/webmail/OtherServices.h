#pragma once
// Access kinds whose services are not reached by this program: they keep their messages and
// state so that accounts of these kinds load, list and save like any other.
#include "model/MailAccess.h"

namespace ph {

class AolMail : public MailAccessState {
public:
    using MailAccessState::MailAccessState;
};

class PHMail : public MailAccessState {
public:
    using MailAccessState::MailAccessState;
};

class KmMail : public MailAccessState {
public:
    using MailAccessState::MailAccessState;
};

}  // namespace ph
