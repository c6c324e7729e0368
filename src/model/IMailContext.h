#pragma once
// What accounts and their access objects need of the document that owns them, without
// knowing the document.
namespace ph {

class CEmailMessage;

class IMailContext {
public:
    virtual ~IMailContext() = default;
    // Deletes the message's "Emails" row (the message object stays).
    virtual bool DeleteMessageRecord(CEmailMessage& message) = 0;
    // Whether the user asked to stop all checks; read by workers between steps.
    virtual bool AbortCheckmail() const = 0;
};

}  // namespace ph
