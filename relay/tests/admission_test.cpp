// The owner-table rule that admits a game connection: the game's own row of this very connection
// only (both addresses and ports), and the development fallback for platforms that report no
// owners at all.
#include "relay/admission.h"

#include <gtest/gtest.h>

#include <vector>

namespace nyra {
namespace {

constexpr std::uint32_t kGame = 4242;
constexpr std::uint16_t kClient = 51000;
constexpr std::uint16_t kListener = 40001;
constexpr Ipv4Address kLoopback = kLoopbackAddress;
constexpr Ipv4Address kOtherLoopback{127, 0, 0, 2};
constexpr LoopbackConnection kConnection{kLoopback, kClient, kLoopback, kListener};
// Another process bound 127.0.0.2 with the port the game uses and connected to the same listener.
constexpr LoopbackConnection kImpostor{kOtherLoopback, kClient, kLoopback, kListener};
using enum ConnectionOwner;

TcpOwnerRow gameEnd(std::uint32_t owner) { return {owner, kLoopback, kClient, kLoopback, kListener}; }
// The listener's side of the same connection: the ports the other way round.
TcpOwnerRow relayEnd(std::uint32_t owner) { return {owner, kLoopback, kListener, kLoopback, kClient}; }

TEST(ConnectionOwner, OnlyTheGamesEndOfThisConnectionAdmits) {
    const std::uint32_t launcher = 77;
    const TcpOwnerRow impostorEnd{9999, kOtherLoopback, kClient, kLoopback, kListener};
    const struct {
        const char* what;
        std::vector<TcpOwnerRow> rows;
        std::uint32_t game;
        LoopbackConnection connection;
        ConnectionOwner owner;
    } cases[] = {
        {"the game's row", {relayEnd(launcher), gameEnd(kGame)}, kGame, kConnection, Game},
        {"this connection held by another process", {relayEnd(launcher), gameEnd(9999)}, kGame, kConnection, Other},
        {"only the listener's side", {relayEnd(kGame)}, kGame, kConnection, NotListed},
        {"other client port", {{kGame, kLoopback, kClient + 1, kLoopback, kListener}}, kGame, kConnection, NotListed},
        {"other listener port", {{kGame, kLoopback, kClient, kLoopback, kListener + 1}}, kGame, kConnection, NotListed},
        {"local address not loopback", {{kGame, {10, 0, 0, 5}, kClient, kLoopback, kListener}}, kGame, kConnection,
         NotListed},
        {"remote address not loopback", {{kGame, kLoopback, kClient, kOtherLoopback, kListener}}, kGame, kConnection,
         NotListed},
        // The game's own connection uses the same port from 127.0.0.1: its row must not admit this one.
        {"impostor from 127.0.0.2 beside the game", {gameEnd(kGame), impostorEnd}, kGame, kImpostor, Other},
        {"impostor from 127.0.0.2, its row owned by the game", {{kGame, kOtherLoopback, kClient, kLoopback, kListener}},
         kGame, kImpostor, Other},
        {"listener end not loopback", {gameEnd(kGame)}, kGame, {kLoopback, kClient, kOtherLoopback, kListener}, Other},
        {"game not started (pid 0)", {gameEnd(0)}, 0, kConnection, NotListed},
        {"owner 0 without the fallback", {gameEnd(0), relayEnd(0)}, kGame, kConnection, NotListed},
        {"empty table", {}, kGame, kConnection, NotListed},
    };
    for (const auto& c : cases) {
        const OwnerDecision decision = decideConnectionOwner(c.rows, c.game, c.connection, false);
        EXPECT_EQ(decision.owner, c.owner) << c.what;
        EXPECT_FALSE(decision.unreportedOwnerFallback) << c.what;
    }
}

TEST(ConnectionOwner, UnreportedOwnersMatchByAddressesAndPortsOnlyWhenNoRowHasAnOwner) {
    const struct {
        const char* what;
        std::vector<TcpOwnerRow> rows;
        std::uint32_t game;
        LoopbackConnection connection;
        ConnectionOwner owner;
        bool fallback;
    } cases[] = {
        {"no row reports an owner", {relayEnd(0), gameEnd(0)}, kGame, kConnection, Game, true},
        {"one row reports an owner", {relayEnd(77), gameEnd(0)}, kGame, kConnection, NotListed, false},
        {"the game's row found directly", {relayEnd(77), gameEnd(kGame)}, kGame, kConnection, Game, false},
        {"no owners, other ports", {{0, kLoopback, kClient, kLoopback, kListener + 1}}, kGame, kConnection, NotListed,
         false},
        {"no owners, not loopback", {{0, {10, 0, 0, 5}, kClient, kLoopback, kListener}}, kGame, kConnection, NotListed,
         false},
        {"no owners, impostor from 127.0.0.2", {gameEnd(0), {0, kOtherLoopback, kClient, kLoopback, kListener}}, kGame,
         kImpostor, Other, false},
        {"no owners, game not started", {gameEnd(0)}, 0, kConnection, NotListed, false},
        {"empty table", {}, kGame, kConnection, NotListed, false},
    };
    for (const auto& c : cases) {
        const OwnerDecision decision = decideConnectionOwner(c.rows, c.game, c.connection, true);
        EXPECT_EQ(decision.owner, c.owner) << c.what;
        EXPECT_EQ(decision.unreportedOwnerFallback, c.fallback) << c.what;
    }
}

}  // namespace
}  // namespace nyra
