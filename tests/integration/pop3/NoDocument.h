#pragma once
// The document as the POP3 tests need it: no store, and an abort flag the test sets.
#include "model/IMailContext.h"

namespace ph::test {

struct NoDocument : IMailContext {
    bool DeleteMessageRecord(CEmailMessage&) override { return true; }
    bool AbortCheckmail() const override {
        return abort || (abortAtReading > 0 && ++readings >= abortAtReading);
    }
    bool abort = false;
    int abortAtReading = 0;  // the reading of the flag that first says yes
    mutable int readings = 0;
};

}  // namespace ph::test
