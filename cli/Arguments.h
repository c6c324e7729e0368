#pragma once
// Reading command-line arguments into what the document takes: record ids, numbers, switches,
// secrets, and the names by which a person refers to accounts, folders, groups and entries.
#include <optional>
#include <string>
#include <string_view>

#include "doc/CPostharbourDoc.h"

namespace ph::cli {

// A record id: decimal digits only, above 0.
std::optional<int> ParseId(std::string_view text);
// A whole 32-bit integer with an optional sign, nothing else around it.
std::optional<int> ParseInt(std::string_view text);
// on/off, true/false, 1/0 (any case).
std::optional<bool> ParseSwitch(std::string_view text);

// A secret from the environment variable `variable`, or from the first line of stdin (read
// without echo on a terminal). Secrets never come from argv, where every user can see them.
// Nothing, with `why` set, when the variable is unset or stdin is empty.
std::optional<std::string> SecretFromEnvironment(const std::string& variable, std::string& why);
std::optional<std::string> SecretFromStdin(std::string_view prompt, std::string& why);

// What `key` names; null with `why` set when it names nothing, or more than one thing.
// An account by id, stored address or shown address.
CEmailAccount* ResolveAccount(const CPostharbourDoc& doc, std::string_view key, std::string& why);
// A folder by id or by its path as shown ("/Inbox/2024", "bob@example.com/Spam").
CEmailFolderNode* ResolveFolder(const CPostharbourDoc& doc, std::string_view key, std::string& why);
// A group by id or name.
CAccountGroupNode* ResolveGroup(const CPostharbourDoc& doc, std::string_view key, std::string& why);
// An address book entry by id or e-mail address (any case).
AddressBookEntry* ResolveEntry(const CPostharbourDoc& doc, std::string_view key, std::string& why);
// A stored message by its store id, as phctl list and search print it.
CEmailMessage* ResolveMessage(const CPostharbourDoc& doc, std::string_view key, std::string& why);

// The whole file as bytes; false with `why` when it cannot be read (missing, a folder, ...).
bool ReadWholeFile(const std::string& path, std::string& data, std::string& why);

}  // namespace ph::cli
