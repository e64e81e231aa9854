// The backend's CBOR answers, through the real client (nyra::Http over a transport that answers
// every request with the fuzz bytes) and then through the rules of the operation that asked.
//
// Input: one selector byte, then the answer body. Selector bits:
//   0x0F  which operation (see `run`)
//   0x80  the body starts with one length byte and that many bytes of a Set-Cookie header
//   0x40  the response carries no content type
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "content/package.h"
#include "content/cdn.h"
#include "core/json_limits.h"
#include "core/ui_state.h"
#include "fuzz/fuzz_support.h"
#include "net/http.h"
#include "net/operations.h"
#include "session/launch_rules.h"
#include "state/translations.h"
#include "ui/news.h"
#include "update/launcher_description.h"

namespace {

using nlohmann::json;
using nyra::fuzz::accepts;
using nyra::fuzz::check;

const std::string kToken = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";

struct Answer {
    std::vector<std::string> cookies;
    std::optional<std::string> contentType;
    std::vector<std::uint8_t> body;
};

class FixedResponse final : public nyra::TransportResponse {
public:
    explicit FixedResponse(const Answer& answer) : answer_(answer) {}
    std::vector<std::string> setCookies() override { return answer_.cookies; }
    int status() override { return 200; }
    std::vector<std::uint8_t> readBody(std::uint64_t limit) override {
        if (answer_.body.size() > limit) throw std::runtime_error("Resposta do servidor muito grande.");
        return answer_.body;
    }
    std::optional<std::string> contentType() override { return answer_.contentType; }

private:
    const Answer& answer_;
};

// Every request gets the same answer; the request itself must be one the client may send.
class FixedTransport final : public nyra::BackendTransport {
public:
    explicit FixedTransport(const Answer& answer) : answer_(answer) {}
    void reopen() override {}
    std::unique_ptr<nyra::TransportResponse> send(const nyra::TransportRequest& request) override {
        check(request.body != nullptr && !request.body->empty(), "a request without an envelope");
        return std::make_unique<FixedResponse>(answer_);
    }

private:
    const Answer& answer_;
};

struct StillClock final : nyra::Clock {
    std::uint64_t tickMs() override { return 1000; }
    void sleepMs(std::uint32_t) override {}
};

// The strict reader against the library's own strict CBOR reader: the same documents accepted
// (unless too deep for the launcher), and the same compact text.
void compareWithLibrary(const std::vector<std::uint8_t>& body) {
    std::optional<std::string> ours;
    accepts([&] {
        const nyra::SecretString text = nyra::api::decodeCborAnswer(body);
        ours.emplace(text.begin(), text.end());
    });
    if (nyra::cborNestingExcess(body)) {
        check(!ours, "a CBOR answer nested beyond the limit was accepted");
        return;
    }
    std::optional<std::string> theirs;
    try {
        theirs = json::from_cbor(body, /*strict=*/true, /*allow_exceptions=*/true, json::cbor_tag_handler_t::error)
                     .dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
    }
    check(ours.has_value() == theirs.has_value(), "the strict reader and the library disagree on acceptance");
    if (ours) {
        check(*ours == *theirs, "the strict reader's text differs from the library's");
        nyra::fuzz::checkNestingBound(json::parse(*ours));
    }
}

void run(unsigned operation, nyra::Http& http) {
    switch (operation) {
        case 1:
            accepts([&] {
                const json user = http.resumeSession(kToken);
                if (user.is_string()) (void)nyra::fitsUsernameField(user.get_ref<const std::string&>());
            });
            break;
        case 2:
            accepts([&] { http.login("player", "secret", std::string(64, 'a'), "{}", true); });
            break;
        case 3:
            accepts([&] {
                json answer = http.call("/api/launcher/package-key", {{"package_id", "p"}});
                check(!http.downloadToken().empty(), "a package-key answer accepted without a download token");
                (void)nyra::takePackageKey(answer);
            });
            break;
        case 4:
            accepts([&] {
                const json answer = http.call("/api/launcher/package-policy");
                const nyra::PackagePolicy policy = nyra::parsePackagePolicy(answer);
                (void)nyra::packageKeyRequest(policy, policy.launcherSha256);
                nyra::validateCdnIdentity(policy.baseCdn);
            });
            accepts([&] {
                const auto anySignature = [](std::span<const std::uint8_t>, std::span<const std::uint8_t>) { return true; };
                (void)nyra::update::publishedLauncherUpdate(http.call("/api/launcher/package-policy"), anySignature);
            });
            break;
        case 5:
            accepts([&] {
                const json answer = http.call("/api/launcher/start", json::object());
                const std::int64_t limit = nyra::multiClientLimit(answer);
                (void)nyra::multiClientSlotNames(std::string(64, 'f'), limit);
                for (const char* language : {"pt-BR", "en"}) (void)nyra::expectedTranslationTag(answer, language);
            });
            break;
        case 6:
            accepts([&] { (void)nyra::ui::unreadCount(http.call("/api/notifications")); });
            break;
        case 7:
            accepts([&] {
                const std::string token = nyra::vipTokenForGame(http.call("/api/me/vip/client-token", json::object()));
                check(token.size() < 257, "a VIP token of 257 characters or more passed");
            });
            break;
        case 8:
            accepts([&] {
                const auto token = nyra::voiceTokenForGame(http.call("/api/me/voice/client-token", json::object()));
                check(!token || token->size() == 43, "a voice token of the wrong length passed");
            });
            break;
        case 9:
            accepts([&] { http.logout(); });
            break;
        default:
            accepts([&] { (void)http.call("/api/launcher/heartbeat", {{"sequence", 1}}); });
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t selector = data[0];
    std::size_t at = 1;
    Answer answer;
    if ((selector & 0x80) != 0) {
        if (size < 2) return 0;
        const std::size_t length = std::min<std::size_t>(data[1], size - 2);
        answer.cookies.emplace_back(nyra::fuzz::textOf(data + 2, length));
        at = 2 + length;
    }
    if ((selector & 0x40) == 0) answer.contentType = "application/cbor";
    answer.body.assign(data + at, data + size);

    const unsigned operation = selector & 0x0F;
    if (operation == 0) {
        compareWithLibrary(answer.body);
        for (const auto& header : answer.cookies) {
            if (const auto cookie = nyra::api::parseSetCookie(header)) {
                check(cookie->value.empty() || nyra::api::isOpaqueToken(cookie->value), "a cookie value kept unchecked");
            }
        }
        return 0;
    }
    StillClock clock;
    nyra::Http http(std::make_unique<FixedTransport>(answer), clock, "localhost");
    run(operation, http);
    check(http.sessionCookie().empty() || nyra::api::isOpaqueToken(http.sessionCookie()), "a session cookie kept unchecked");
    check(http.csrf().empty() || nyra::api::isOpaqueToken(http.csrf()), "a CSRF token kept unchecked");
    return 0;
}
