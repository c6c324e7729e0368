#pragma once
// Telling a server message by what its headers show, for when its unique id no longer finds
// it (a server that renumbered its ids, say): the delete and the download fall back on this.
#include "model/CEmailMessage.h"

namespace ph {

// Same Subject, From, SentDate and size: the fields a listing gives every message.
inline bool SameListedFields(const CEmailMessage& a, const CEmailMessage& b) {
    return a.MsgSize == b.MsgSize && a.SentDate == b.SentDate && a.Subject == b.Subject &&
           a.From == b.From;
}

}  // namespace ph
