#pragma once
// Matching many messages (rules on arriving mail, the search): each message and each of its
// texts is a block of its own on the heap, and matching is quick, so over a long list most of
// the time goes to waiting for memory. These ask the processor to start loading what matching
// will read before it is read, so that the waits overlap each other and the work.
#include <cstddef>

#include "model/CEmailMessage.h"

namespace ph {

// The members of the message object that matching reads. Their addresses need no load of the
// object, so this can run well ahead.
void PrefetchMatchedFields(const CEmailMessage& message);
// The texts those members point to: the header texts and the start of each body (a long body
// is read in order, which the processor follows by itself). The object must be loaded by now
// or this waits for it.
void PrefetchMatchedTexts(const CEmailMessage& message);

// Calls `visit(message)` for each message of `messages` (a list of pointers) in order, loading
// the objects of the messages a few places ahead and the texts of nearer ones.
template <class MessagePointers, class Visit>
void ForEachPrefetched(const MessagePointers& messages, Visit&& visit) {
    // Far enough ahead that a load finishes while the messages before it are matched, near
    // enough that what it loaded is still in the cache when its turn comes.
    constexpr size_t kFieldsAhead = 8, kTextsAhead = 4;
    const size_t count = messages.size();
    for (size_t i = 0; i < count; ++i) {
        if (i + kFieldsAhead < count) PrefetchMatchedFields(*messages[i + kFieldsAhead]);
        if (i + kTextsAhead < count) PrefetchMatchedTexts(*messages[i + kTextsAhead]);
        visit(*messages[i]);
    }
}

}  // namespace ph
