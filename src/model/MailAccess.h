#pragma once
// What every mail-access object holds: its account's messages, the outcome of the last check
// and the progress of the current job. The access classes share nothing else; the account
// reaches each one's own members through its single dispatch (CEmailAccount).
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "model/CEmailMessage.h"

namespace ph {

class CEmailAccount;
class IMailContext;

using MessageList = std::vector<std::unique_ptr<CEmailMessage>>;

// Check outcomes read through GetMsgCount besides a message count.
constexpr int kCountBadPassword = -1;  // "BAD USER OR PASSWORD"
constexpr int kCountNoResult = -2;
constexpr int kCountNoConnection = -3;  // "FAILED TO CONNECT"

struct MailAccessState {
    // `account` owns the access object; `context` is the owning document. Both outlive it.
    MailAccessState(std::string user, std::string password, CEmailAccount* account,
                    IMailContext* context)
        : m_user(std::move(user)), m_password(std::move(password)), m_account(account), m_context(context) {}

    std::string m_user;
    std::string m_password;
    CEmailAccount* m_account;
    IMailContext* m_context;
    MessageList m_messages;  // guarded by the account's lock
    // Written by the worker, read by the interface thread for the status window.
    std::atomic<int> m_msgCount{kCountNoResult};
    std::atomic<int> m_itemsDone{0};
    std::atomic<int> m_itemsTotal{0};
};

}  // namespace ph
