#pragma once
// Whether the machine is online before a check. The frame asks through this interface, so the
// offline rules are tested without pulling a cable.
namespace ph {

class IConnectivity {
public:
    virtual ~IConnectivity() = default;
    virtual bool IsOnline() const = 0;
    // Brings a dial-up connection up; false when that is not possible.
    virtual bool Dial() = 0;
};

// Online when an interface other than loopback is up and carries a route. Dialling is not
// something this platform offers, so it always fails.
class SystemConnectivity : public IConnectivity {
public:
    bool IsOnline() const override;
    bool Dial() override { return false; }
};

}  // namespace ph
