#include "model/CEmailMessage.h"

#include "common/Bytes.h"

namespace ph {

void CEmailMessage::ClearAttachments() {
    AttachmentData.clear();
    AttachmentNames.clear();
    AttachmentExtra.clear();
}

int CEmailMessage::Slot() const { return m_storeId.empty() ? -1 : LeadingInt(m_storeId); }

uint32_t CEmailMessage::FlagWord() const {
    return (IsReadLocally ? 1u : 0u) | (IsRead ? 2u : 0u) | (IsOnServer ? kOnServerBit : 0u) |
           (IsHidden ? 8u : 0u) | (IsNotInRoot ? 16u : 0u) | (HasAttachment ? 32u : 0u);
}

}  // namespace ph
