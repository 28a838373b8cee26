// SPDX-License-Identifier: MIT
// The address claim without a bus: who holds what, which address to claim,
// and the claimer's frames as claims, requests and time come in.
#include "arbitration.h"

#include <gtest/gtest.h>
#include <set>

using namespace vehcan::claim;
using Kind = Send::Kind;
using EventKind = ClaimEvent::Kind;

namespace {

constexpr uint64_t kOurs = 0x800081000001E240ULL;   // arbitrary capable
constexpr uint64_t kFixed = 0x200081000001E240ULL;  // not arbitrary capable
constexpr uint64_t kLower = 0x100200009A41E240ULL;  // wins against both
constexpr uint64_t kHigher = 0xA00081000001E240ULL; // loses against both
constexpr uint64_t kAnother = 0x100200009A41E241ULL;

const TimePoint t0{};
constexpr auto ms = [](int n) { return std::chrono::milliseconds(n); };

// A claimer that has asked for the claims and heard those given.
Claimer listening(uint64_t name, uint8_t preferred) {
    Claimer c(name, preferred);
    c.start(t0);
    return c;
}

// A claimer holding its preferred address on a quiet bus.
Claimer holding(uint64_t name, uint8_t preferred) {
    Claimer c = listening(name, preferred);
    c.tick(t0 + kContentionWait);
    c.tick(t0 + 2 * kContentionWait);
    return c;
}

bool sends_from(const Step &s, uint8_t address) {
    for (const Send &send : s.sends) {
        if (send.source == address) {
            return true;
        }
    }
    return false;
}

} // namespace

// ---- the rule -------------------------------------------------------------------------------

TEST(ClaimArbitration, TheLowerNameWins) {
    EXPECT_TRUE(wins(kLower, kOurs));
    EXPECT_FALSE(wins(kOurs, kLower));
    EXPECT_FALSE(wins(kOurs, kOurs));
    EXPECT_TRUE(wins(kFixed, kOurs)); // bit 63 alone decides
}

// ---- the book --------------------------------------------------------------------------------

TEST(ClaimAddressBook, ANameHoldsOneAddressAtATime) {
    AddressBook book;
    book.claimed(0x80, kLower);
    book.claimed(0x81, kLower);
    EXPECT_FALSE(book.holder(0x80));
    EXPECT_EQ(book.holder(0x81), kLower);
    book.cannot_claim(kLower);
    EXPECT_FALSE(book.holder(0x81));
    EXPECT_TRUE(book.holders().empty());
}

TEST(ClaimAddressBook, OfTwoClaimsForOneAddressTheLowerNameKeepsIt) {
    AddressBook book;
    book.claimed(0xF9, kLower);
    book.claimed(0xF9, kHigher);
    EXPECT_EQ(book.holder(0xF9), kLower);
    AddressBook other;
    other.claimed(0xF9, kHigher);
    other.claimed(0xF9, kLower);
    EXPECT_EQ(other.holder(0xF9), kLower);
}

TEST(ClaimAddressBook, ClaimsFromTheNullAndGlobalAddressesHoldNothing) {
    AddressBook book;
    book.claimed(0xFE, kLower);
    book.claimed(0xFF, kHigher);
    EXPECT_TRUE(book.holders().empty());
}

// ---- the choice of an address ---------------------------------------------------------------

TEST(ClaimChoice, ThePreferredAddressUnlessALowerNameHoldsIt) {
    AddressBook book;
    EXPECT_EQ(choose_address(0xF9, kOurs, book, {}), 0xF9);
    book.claimed(0xF9, kHigher);
    EXPECT_EQ(choose_address(0xF9, kOurs, book, {}), 0xF9);
    book.claimed(0xF9, kLower);
    EXPECT_EQ(choose_address(0xF9, kOurs, book, {}), 128);
}

TEST(ClaimChoice, TheLowestFreeArbitraryAddressNotLostBefore) {
    AddressBook book;
    book.claimed(0xF9, kLower);
    book.claimed(128, kAnother);
    book.claimed(130, kHigher); // held, even if by a higher NAME: not free
    EXPECT_EQ(choose_address(0xF9, kOurs, book, {}), 129);
    EXPECT_EQ(choose_address(0xF9, kOurs, book, {129}), 131);
    // A preferred address lost before is not claimed again.
    AddressBook empty;
    EXPECT_EQ(choose_address(0xF9, kOurs, empty, {0xF9, 128}), 129);
}

TEST(ClaimChoice, NothingWhenNoAddressIsLeft) {
    AddressBook book;
    book.claimed(0xF9, kLower);
    EXPECT_FALSE(choose_address(0xF9, kFixed, book, {})); // not arbitrary capable
    std::set<uint8_t> lost;
    for (unsigned a = 128; a <= 247; ++a) {
        lost.insert(static_cast<uint8_t>(a));
    }
    EXPECT_FALSE(choose_address(0xF9, kOurs, book, lost));
    lost.erase(247);
    EXPECT_EQ(choose_address(0xF9, kOurs, book, lost), 247);
}

// ---- the claimer --------------------------------------------------------------------------------

TEST(Claimer, OnAQuietBusItAsksClaimsWaitsAndHolds) {
    Claimer c(kOurs, 0xF9);
    const Step first = c.start(t0);
    EXPECT_EQ(first.sends, (std::vector<Send>{{Kind::request_for_claim, 0xFE}}));
    EXPECT_EQ(c.state(), Claimer::State::listening);
    EXPECT_EQ(c.deadline(), t0 + ms(250));
    EXPECT_TRUE(c.tick(t0 + ms(249)).sends.empty());
    const Step claim = c.tick(t0 + ms(250));
    EXPECT_EQ(claim.sends, (std::vector<Send>{{Kind::claim, 0xF9}}));
    EXPECT_EQ(c.state(), Claimer::State::claiming);
    EXPECT_FALSE(c.settled());
    EXPECT_TRUE(c.tick(t0 + ms(499)).events.empty());
    const Step held = c.tick(t0 + ms(500));
    EXPECT_TRUE(held.sends.empty());
    EXPECT_EQ(held.events, (std::vector<ClaimEvent>{{EventKind::claimed, 0xF9, 0xFE, 0}}));
    EXPECT_EQ(c.state(), Claimer::State::held);
    EXPECT_EQ(c.address(), 0xF9);
    EXPECT_FALSE(c.deadline());
}

TEST(Claimer, APreferredAddressHeldByALowerNameIsNeverClaimed) {
    Claimer c = listening(kOurs, 0xF9);
    EXPECT_TRUE(c.claim_heard(0xF9, kLower, t0 + ms(10)).sends.empty());
    const Step s = c.tick(t0 + ms(250));
    EXPECT_EQ(s.sends, (std::vector<Send>{{Kind::claim, 128}}));
    EXPECT_EQ(s.events, (std::vector<ClaimEvent>{{EventKind::moved, 128, 0xF9, kLower}}));
    c.tick(t0 + ms(500));
    EXPECT_EQ(c.state(), Claimer::State::held);
    EXPECT_EQ(c.address(), 128);
}

TEST(Claimer, WithoutArbitraryCapabilityAHeldAddressMeansCannotClaimAndNothingElse) {
    Claimer c = listening(kFixed, 0xF9);
    c.claim_heard(0xF9, kLower, t0 + ms(10));
    const Step s = c.tick(t0 + ms(250));
    EXPECT_EQ(s.sends, (std::vector<Send>{{Kind::cannot_claim, 0xFE}}));
    EXPECT_EQ(s.events, (std::vector<ClaimEvent>{{EventKind::cannot_claim, 0xFE, 0xF9, kLower}}));
    EXPECT_EQ(c.state(), Claimer::State::lost);
    EXPECT_TRUE(c.settled());
    EXPECT_EQ(c.address(), 0xFE);
    EXPECT_TRUE(c.tick(t0 + ms(5000)).sends.empty());
    // Only requests for the claim are answered: with Cannot Claim.
    EXPECT_EQ(c.request_heard(0xFF).sends, (std::vector<Send>{{Kind::cannot_claim, 0xFE}}));
    EXPECT_TRUE(c.request_heard(0xF9).sends.empty());
}

TEST(Claimer, AHeldAddressTakenByALowerNameMovesToAFreeOne) {
    Claimer c = holding(kOurs, 0xF9);
    c.claim_heard(128, kAnother, t0 + ms(600)); // 128 is someone else's
    const Step s = c.claim_heard(0xF9, kLower, t0 + ms(1000));
    EXPECT_EQ(s.sends, (std::vector<Send>{{Kind::claim, 129}}));
    EXPECT_EQ(s.events, (std::vector<ClaimEvent>{{EventKind::moved, 129, 0xF9, kLower}}));
    EXPECT_EQ(c.state(), Claimer::State::claiming);
    EXPECT_EQ(c.deadline(), t0 + ms(1250));
    c.tick(t0 + ms(1250));
    EXPECT_EQ(c.state(), Claimer::State::held);
    EXPECT_EQ(c.address(), 129);
    // Losing 129 too: not back to 0xF9, which the lower NAME holds.
    const Step again = c.claim_heard(129, kLower, t0 + ms(2000));
    EXPECT_EQ(again.sends, (std::vector<Send>{{Kind::claim, 130}}));
}

TEST(Claimer, AClaimLostWhileWaitingForContentionMovesToo) {
    Claimer c = listening(kOurs, 0xF9);
    c.tick(t0 + ms(250)); // claimed 0xF9
    const Step s = c.claim_heard(0xF9, kLower, t0 + ms(300));
    EXPECT_EQ(s.sends, (std::vector<Send>{{Kind::claim, 128}}));
    EXPECT_FALSE(sends_from(c.tick(t0 + ms(500)), 0xF9));
    EXPECT_EQ(c.state(), Claimer::State::claiming); // 128's own wait runs to 550 ms
    c.tick(t0 + ms(550));
    EXPECT_EQ(c.address(), 128);
}

TEST(Claimer, WithoutArbitraryCapabilityLosingTheHeldAddressEndsInCannotClaim) {
    Claimer c = holding(kFixed, 0xF9);
    const Step s = c.claim_heard(0xF9, kLower, t0 + ms(900));
    EXPECT_EQ(s.sends, (std::vector<Send>{{Kind::cannot_claim, 0xFE}}));
    EXPECT_EQ(s.events, (std::vector<ClaimEvent>{{EventKind::cannot_claim, 0xFE, 0xF9, kLower}}));
    EXPECT_EQ(c.state(), Claimer::State::lost);
}

TEST(Claimer, AHigherNameClaimingOurAddressIsAnsweredWithOurClaim) {
    Claimer c = holding(kOurs, 0xF9);
    const Step s = c.claim_heard(0xF9, kHigher, t0 + ms(900));
    EXPECT_EQ(s.sends, (std::vector<Send>{{Kind::claim, 0xF9}}));
    EXPECT_EQ(s.events, (std::vector<ClaimEvent>{{EventKind::defended, 0xF9, 0xFE, kHigher}}));
    EXPECT_EQ(c.state(), Claimer::State::held);
    EXPECT_EQ(c.address(), 0xF9);
}

TEST(Claimer, ClaimsOfOtherAddressesAndOfOurOwnNameChangeNothing) {
    Claimer c = holding(kOurs, 0xF9);
    EXPECT_TRUE(c.claim_heard(0x00, kLower, t0 + ms(900)).sends.empty());
    EXPECT_TRUE(c.claim_heard(0xF9, kOurs, t0 + ms(900)).sends.empty());
    EXPECT_EQ(c.state(), Claimer::State::held);
    EXPECT_EQ(c.book().holder(0x00), kLower);
    EXPECT_FALSE(c.book().holder(0xF9)); // our own NAME is not in the book
}

TEST(Claimer, RequestsToAllOrToUsAreAnsweredWithTheClaim) {
    Claimer c = holding(kOurs, 0xF9);
    EXPECT_EQ(c.request_heard(0xFF).sends, (std::vector<Send>{{Kind::claim, 0xF9}}));
    EXPECT_EQ(c.request_heard(0xF9).sends, (std::vector<Send>{{Kind::claim, 0xF9}}));
    EXPECT_TRUE(c.request_heard(0x00).sends.empty());
    // Before its first claim a node has nothing to answer with.
    Claimer early = listening(kOurs, 0xF9);
    EXPECT_TRUE(early.request_heard(0xFF).sends.empty());
}

TEST(Claimer, ACannotClaimHeardFreesTheAddressItsNameHeld) {
    Claimer c = listening(kOurs, 0xF9);
    c.claim_heard(0xF9, kLower, t0 + ms(10));
    c.claim_heard(0xFE, kLower, t0 + ms(20));
    EXPECT_EQ(c.tick(t0 + ms(250)).sends, (std::vector<Send>{{Kind::claim, 0xF9}}));
}

// ---- what the program says ------------------------------------------------------------------

TEST(ClaimEvents, EachEventInOneLine) {
    EXPECT_EQ(describe({EventKind::claimed, 0xF9, 0xFE, 0}), "claimed 0xF9");
    EXPECT_EQ(describe({EventKind::moved, 0x80, 0xF9, kLower}),
              "0xF9 taken by NAME 100200009A41E240 (lower): claiming 0x80");
    EXPECT_EQ(describe({EventKind::defended, 0xF9, 0xFE, kHigher}),
              "0xF9 also claimed by NAME A00081000001E240 (higher): claimed again");
    EXPECT_EQ(describe({EventKind::cannot_claim, 0xFE, 0xF9, kLower}),
              "0xF9 taken by NAME 100200009A41E240 (lower) and no other address may be taken: "
              "Cannot Claim sent, transmitting nothing more");
    EXPECT_EQ(describe({EventKind::cannot_claim, 0xFE, 0xFE, 0}),
              "no free address: Cannot Claim sent, transmitting nothing more");
}
