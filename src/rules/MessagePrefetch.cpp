#include "rules/MessagePrefetch.h"

#include <algorithm>
#include <string>

namespace ph {
namespace {

// A body's first lines: enough for the processor's own prefetching to take over.
constexpr size_t kBodyBytesAhead = 2048;
constexpr size_t kLine = 64;

}  // namespace

void PrefetchMatchedFields(const CEmailMessage& m) {
    // Each member on its own: where they share a cache line, the repeated requests cost next
    // to nothing, and the list stays right however the members are laid out.
    const void* const members[] = {
        &m.From,           &m.Subject,         &m.To,       &m.Cc,       &m.FromAddress,
        &m.AttachmentType, &m.PlainText,       &m.HtmlText, &m.MsgSize,  &m.HasAttachment,
        &m.IsOnServer,     &m.MarkedForDelete, &m.IsRead,   &m.IsHidden, &m.m_filingCount};
    for (const void* member : members) __builtin_prefetch(member);
}

void PrefetchMatchedTexts(const CEmailMessage& m) {
    for (const std::string* text : {&m.From, &m.Subject, &m.To, &m.Cc, &m.FromAddress})
        __builtin_prefetch(text->data());
    for (const std::string* body : {&m.PlainText, &m.HtmlText}) {
        const size_t end = std::min(body->size(), kBodyBytesAhead);
        for (size_t at = 0; at < end; at += kLine) __builtin_prefetch(body->data() + at);
    }
}

}  // namespace ph
