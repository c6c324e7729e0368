#pragma once
// A message file parsed the way a retrieved message is, and every field the parser fills, for
// a person (lines) or a script (JSON). Kept apart from the commands so that the fuzz target
// runs exactly this path over hostile input.
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>

#include "common/DateTime.h"
#include "message/MimeParser.h"
#include "model/CEmailMessage.h"

namespace ph::cli {

struct ParsedMessage {
    CEmailMessage message{nullptr};
    // SentDate as the parser normalised it; the message keeps the date the store would keep.
    std::string sentDateText;
};

// Header = the header block, Body = the whole text, then the headers and the body parsed with
// the attachments collected. `today` dates a message whose text has no date.
void ParseAsRetrieved(std::string_view text, ParsedMessage& parsed,
                      const mime::AddressBookLookup& inAddressBook = nullptr,
                      const DateTime& today = DateTime::Now());

// The file name attachment `index` is saved under inside the chosen folder.
std::string AttachmentFileName(const CEmailMessage& message, size_t index);

nlohmann::ordered_json MessageJson(const ParsedMessage& parsed);
void PrintMessage(std::ostream& out, const ParsedMessage& parsed);

}  // namespace ph::cli
