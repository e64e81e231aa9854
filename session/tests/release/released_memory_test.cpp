// Secrets of a game start never reach released memory. This executable replaces the global
// operator delete so that every heap block is looked at as it is handed back (never after), and
// counts the blocks that still hold a secret's text while a test watches for it.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <new>
#include <string_view>

#include "core/text.h"
#include "net/http.h"
#include "session/launch_rules.h"

namespace {

std::atomic<bool> watching{false};
std::string_view watchedText;
std::atomic<int> blocksHoldingIt{0};

void inspect(void* block) noexcept {
    if (block == nullptr || !watching.load()) return;
    const std::string_view bytes(static_cast<const char*>(block), malloc_usable_size(block));
    if (bytes.find(watchedText) != std::string_view::npos) ++blocksHoldingIt;
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    inspect(block);
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    inspect(block);
    std::free(block);
}

namespace nyra {
namespace {

using nlohmann::json;

// Static storage: the tests' own copies of the secrets are never released.
constexpr char kTicket[] = "LoginTicketLoginTicketLoginTicket-_0123456";
constexpr char kNewsTicket[] = "NewsTicketNewsTicketNewsTicketNews-_012345";

// Counts the released blocks that held `secret` while `work` ran.
template <typename Work>
int releasedBlocksHolding(std::string_view secret, Work&& work) {
    watchedText = secret;
    blocksHoldingIt = 0;
    watching = true;
    work();
    watching = false;
    return blocksHoldingIt.load();
}

TEST(ReleasedMemory, TheWatchSeesAnUnwipedCopy) {
    EXPECT_EQ(releasedBlocksHolding(kTicket, [] { std::string copy(kTicket); }), 1);
    EXPECT_EQ(releasedBlocksHolding(kTicket, [] {
                  std::string copy(kTicket);
                  wipe(copy);
              }),
              0);
}

TEST(ReleasedMemory, TheGameLoginIsSerialisedWithoutLeavingItsTicketsBehind) {
    json login{{"network", {{"6543", 50001}, {"5712", 50002}, {"10166", 50003}}},
               {"news_url", newsPageAddress("https://news.example", kNewsTicket)},
               {"ticket", kTicket},
               {"username", std::string(300, 'u')},  // the text grows on well past the tickets
               {"vip_token", std::string(200, 'v')}};
    for (const char* secret : {kTicket, kNewsTicket}) {
        SCOPED_TRACE(secret);
        json copy = login;
        EXPECT_EQ(releasedBlocksHolding(secret, [&] {
                      SecretBytes bytes = sessionBytesOf(copy);
                      const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                      EXPECT_NE(text.find(secret), std::string_view::npos);
                      EXPECT_EQ(copy.at("ticket"), "");
                      wipe(copy);
                  }),
                  0);
    }
    wipe(login);
}

TEST(ReleasedMemory, TheNewsAddressIsBuiltWithoutTemporaryCopiesOfTheTicket) {
    EXPECT_EQ(releasedBlocksHolding(kNewsTicket, [] {
                  std::string address = newsPageAddress("https://news.nyra-brasil.example", kNewsTicket);
                  EXPECT_TRUE(address.starts_with("https://news.nyra-brasil.example/game-news/?ticket="));
                  EXPECT_TRUE(address.ends_with(kNewsTicket));
                  wipe(address);
              }),
              0);
}

// One answer, its body wiped by the transport once handed over (as the WinHTTP transport does).
class OneAnswer final : public BackendTransport {
public:
    explicit OneAnswer(std::vector<std::uint8_t> body) : body_(std::move(body)) {}
    ~OneAnswer() override { wipe(body_); }
    void reopen() override {}
    std::unique_ptr<TransportResponse> send(const TransportRequest&) override {
        return std::make_unique<Response>(body_);
    }

private:
    class Response final : public TransportResponse {
    public:
        explicit Response(const std::vector<std::uint8_t>& body) : body_(body) {}
        std::vector<std::string> setCookies() override { return {}; }
        int status() override { return 200; }
        std::vector<std::uint8_t> readBody(std::uint64_t) override { return body_; }
        std::optional<std::string> contentType() override { return "application/cbor"; }

    private:
        const std::vector<std::uint8_t>& body_;
    };
    std::vector<std::uint8_t> body_;
};

struct StillClock final : Clock {
    std::uint64_t tickMs() override { return 1000; }
    void sleepMs(std::uint32_t) override {}
};

TEST(ReleasedMemory, CallsCarryingSecretsLeaveThemNowhere) {
    // The answer carries the login ticket; the request and the answer the session token.
    StillClock clock;
    for (const char* secret : {kTicket, kNewsTicket}) {
        SCOPED_TRACE(secret);
        Http http(std::make_unique<OneAnswer>(json::to_cbor(json{{"ticket", kTicket}, {"token", kNewsTicket}})), clock,
                  "localhost");
        json request{{"package_id", "p"}, {"token", kNewsTicket}};
        EXPECT_EQ(releasedBlocksHolding(secret, [&] {
                      json answer = http.call("/api/launcher/news-ticket", request);
                      wipe(request);
                      // Compared in place: the test makes no copies of its own.
                      EXPECT_TRUE(answer.at("ticket").get_ref<const std::string&>() == std::string_view(kTicket));
                      wipe(answer);
                  }),
                  0);
    }
}

}  // namespace
}  // namespace nyra
