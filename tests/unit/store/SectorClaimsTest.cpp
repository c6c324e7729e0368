// A sector may belong to one chain only: the claims refuse a chain that meets a sector held
// by another chain or visits one twice, and leave nothing of a refused chain behind.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "store/cfb/SectorClaims.h"

namespace ph::cfb {
namespace {

std::vector<uint32_t> Range(uint32_t first, uint32_t end) {
    std::vector<uint32_t> out;
    for (uint32_t s = first; s < end; ++s) out.push_back(s);
    return out;
}

std::vector<uint32_t> Join(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::set<uint32_t> HeldSectors(const SectorClaims& claims) {
    std::set<uint32_t> out;
    for (uint32_t s = 0; s < claims.Count(); ++s)
        if (claims.IsHeld(s)) out.insert(s);
    return out;
}

TEST(SectorClaims, ChainIsHeldWholeOrNotAtAll) {
    struct Case {
        const char* name;
        std::vector<uint32_t> heldBefore;  // one chain, taken first
        std::vector<uint32_t> chain;
        bool taken;
    } cases[] = {
        {"free sectors in two runs", {}, {3, 4, 5, 100, 101}, true},
        {"out of order, one sector per run", {}, {9, 2, 7, 0}, true},
        {"a run over three words", {}, Range(40, 190), true},
        {"meets a sector of another chain in its second run",
         {50, 51},
         {10, 11, 12, 51, 52},
         false},
        {"meets the last bit of a word held by another chain", {63}, Range(60, 70), false},
        {"meets the first bit of a word held by another chain", {128}, Range(100, 129), false},
        {"next to another chain without touching it", Range(60, 64), Range(64, 130), true},
        {"visits a sector twice, in a later run", {}, {5, 6, 7, 20, 21, 6}, false},
        {"loops back to its start after several words", {}, Join(Range(0, 199), {0}), false},
        {"repeats its own run whole", {}, Join(Range(30, 40), Range(30, 40)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SectorClaims claims;
        claims.Resize(256);
        ASSERT_TRUE(claims.HoldChain(c.heldBefore.data(), c.heldBefore.size()));
        const std::set<uint32_t> before = HeldSectors(claims);
        EXPECT_EQ(claims.HoldChain(c.chain.data(), c.chain.size()), c.taken);
        std::set<uint32_t> expected = before;
        if (c.taken) expected.insert(c.chain.begin(), c.chain.end());
        EXPECT_EQ(HeldSectors(claims), expected);
    }
}

TEST(SectorClaims, ReleasedAndCutOffSectorsCanBeTakenAgain) {
    SectorClaims claims;
    claims.Resize(200);
    const std::vector<uint32_t> chain = Range(120, 131);
    ASSERT_TRUE(claims.HoldChain(chain.data(), chain.size()));
    claims.Release(125);
    const uint32_t released[] = {125};
    EXPECT_TRUE(claims.HoldChain(released, 1));
    // Cut in the middle of a word, then grown back: the sectors beyond the cut are free.
    claims.Resize(126);
    claims.Resize(200);
    EXPECT_EQ(HeldSectors(claims), (std::set<uint32_t>{120, 121, 122, 123, 124, 125}));
    EXPECT_TRUE(claims.HoldChain(chain.data() + 6, chain.size() - 6));
}

}  // namespace
}  // namespace ph::cfb
