#pragma once
// A test with a document open on a fresh store of its own, in a folder named after the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "doc/CPostharbourDoc.h"
#include "model/Profile.h"
#include "support/Files.h"
#include "support/RecordingUI.h"

namespace ph::test {

class OpenDocument : public testing::Test {
protected:
    void SetUp() override {
        dir = TestDir("doc");
        profile = std::make_unique<Profile>((dir / "test.ini").string());
        doc = std::make_unique<CPostharbourDoc>(ui, *profile);
        ASSERT_TRUE(doc->OpenStore(StorePath())) << doc->OpenError();
    }
    void TearDown() override {
        doc.reset();
        std::filesystem::remove_all(dir);
    }
    std::string StorePath() const { return (dir / "Postharbour.stg").string(); }
    // Closes the store and loads everything again from it.
    void ReopenStore() {
        doc->CloseStore();
        ASSERT_TRUE(doc->OpenStore(StorePath())) << doc->OpenError();
    }

    std::filesystem::path dir;
    RecordingUI ui;
    std::unique_ptr<Profile> profile;
    std::unique_ptr<CPostharbourDoc> doc;
};

}  // namespace ph::test
