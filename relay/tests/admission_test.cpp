// The owner-table rule that admits a game connection: the game's own row only, and the
// development fallback for platforms that report no owners at all.
#include "relay/admission.h"

#include <gtest/gtest.h>

#include <vector>

namespace nyra {
namespace {

constexpr std::uint32_t kGame = 4242;
constexpr std::uint16_t kClient = 51000;
constexpr std::uint16_t kListener = 40001;
constexpr std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};

TcpOwnerRow gameEnd(std::uint32_t owner) { return {owner, kLoopback, kClient, kLoopback, kListener}; }
// The listener's side of the same connection: the ports the other way round.
TcpOwnerRow relayEnd(std::uint32_t owner) { return {owner, kLoopback, kListener, kLoopback, kClient}; }

TEST(ConnectionOwner, OnlyTheGamesEndOfThisConnectionAdmits) {
    const std::uint32_t launcher = 77;
    const struct {
        const char* what;
        std::vector<TcpOwnerRow> rows;
        std::uint32_t game;
        bool owned;
    } cases[] = {
        {"the game's row", {relayEnd(launcher), gameEnd(kGame)}, kGame, true},
        {"another process's row", {relayEnd(launcher), gameEnd(9999)}, kGame, false},
        {"only the listener's side", {relayEnd(kGame)}, kGame, false},
        {"other client port", {{kGame, kLoopback, kClient + 1, kLoopback, kListener}}, kGame, false},
        {"other listener port", {{kGame, kLoopback, kClient, kLoopback, kListener + 1}}, kGame, false},
        {"local address not loopback", {{kGame, {10, 0, 0, 5}, kClient, kLoopback, kListener}}, kGame, false},
        {"remote address not loopback", {{kGame, kLoopback, kClient, {127, 0, 0, 2}, kListener}}, kGame, false},
        {"game not started (pid 0)", {gameEnd(0)}, 0, false},
        {"owner 0 without the fallback", {gameEnd(0), relayEnd(0)}, kGame, false},
        {"empty table", {}, kGame, false},
    };
    for (const auto& c : cases) {
        const OwnerDecision decision = decideConnectionOwner(c.rows, c.game, kClient, kListener, false);
        EXPECT_EQ(decision.owned, c.owned) << c.what;
        EXPECT_FALSE(decision.unreportedOwnerFallback) << c.what;
    }
}

TEST(ConnectionOwner, UnreportedOwnersMatchByAddressesAndPortsOnlyWhenNoRowHasAnOwner) {
    const struct {
        const char* what;
        std::vector<TcpOwnerRow> rows;
        std::uint32_t game;
        bool owned;
        bool fallback;
    } cases[] = {
        {"no row reports an owner", {relayEnd(0), gameEnd(0)}, kGame, true, true},
        {"one row reports an owner", {relayEnd(77), gameEnd(0)}, kGame, false, false},
        {"the game's row found directly", {relayEnd(77), gameEnd(kGame)}, kGame, true, false},
        {"no owners, other ports", {{0, kLoopback, kClient, kLoopback, kListener + 1}}, kGame, false, false},
        {"no owners, not loopback", {{0, {10, 0, 0, 5}, kClient, kLoopback, kListener}}, kGame, false, false},
        {"no owners, game not started", {gameEnd(0)}, 0, false, false},
        {"empty table", {}, kGame, false, false},
    };
    for (const auto& c : cases) {
        const OwnerDecision decision = decideConnectionOwner(c.rows, c.game, kClient, kListener, true);
        EXPECT_EQ(decision.owned, c.owned) << c.what;
        EXPECT_EQ(decision.unreportedOwnerFallback, c.fallback) << c.what;
    }
}

}  // namespace
}  // namespace nyra
