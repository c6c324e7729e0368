#include "model/CEmailMessage.h"

#include "common/Bytes.h"

namespace ph {

void CEmailMessage::ClearAttachments() {
    AttachmentData.clear();
    AttachmentNames.clear();
    AttachmentExtra.clear();
}

int CEmailMessage::Slot() const { return m_storeId.empty() ? -1 : LeadingInt(m_storeId); }

}  // namespace ph
