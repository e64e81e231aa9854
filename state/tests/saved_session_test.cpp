// The saved session document: composition and the checks applied when it is read back.
#include "state/saved_session.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "core/deployment.h"
#include "core/json_limits.h"
#include "core/tests/failure_text.h"
#include "core/tests/hostile_nesting.h"

namespace nyra {
namespace {

std::string origin() { return "https://" + std::string(deployment().backendHost); }

std::string documentHead() { return R"({"origin":")" + origin() + R"(","session":")"; }
constexpr std::string_view kDocumentTail = R"("})";

// The session value that makes a document exactly `size` bytes long.
std::string sessionForSize(std::size_t size) {
    return std::string(size - documentHead().size() - kDocumentTail.size(), 'x');
}

std::string documentOfSize(std::size_t size) {
    return documentHead() + sessionForSize(size) + std::string(kDocumentTail);
}

TEST(SavedSessionDocument, ComposesOriginThenSessionWithoutWhitespace) {
    EXPECT_EQ(composeSavedSession("tok-EN_123"), R"({"origin":")" + origin() + R"(","session":"tok-EN_123"})");
    // Characters that need escaping survive the round trip.
    std::string document = composeSavedSession("a\"b\\c");
    EXPECT_EQ(parseSavedSession(document), "a\"b\\c");
}

TEST(SavedSessionDocument, DocumentsNestedTooDeepAreInvalidSessions) {
    const auto document = [](std::size_t depth) {
        return R"({"origin":")" + origin() + R"(","session":"x","note":)" + test::nestedJson(depth - 1) + "}";
    };
    test::onWindowsSizedStack([&] {
        std::string atLimit = document(kDocumentNestingLimit);
        EXPECT_EQ(parseSavedSession(atLimit), "x");
        // The deepest that fits the size limit, and one level above the nesting limit.
        for (const std::size_t depth : {kSavedSessionLimit / 2 - 60, kDocumentNestingLimit + 1}) {
            std::string text = document(depth);
            ASSERT_LT(text.size(), kSavedSessionLimit);
            EXPECT_EQ(test::failureOf([&] { parseSavedSession(text); }), "Sessao invalida.") << depth;
            EXPECT_EQ(text.find_first_not_of('\0'), std::string::npos);  // wiped all the same
        }
    });
}

TEST(SavedSessionDocument, ParsesOnlyDocumentsOfThisOriginAndSize) {
    enum class Outcome { Value, Message };
    const struct {
        const char* name;
        std::string text;
        Outcome outcome;
        std::string expected;  // the value or the message
    } cases[] = {
        {"valid", R"({"origin":")" + origin() + R"(","session":"abc"})", Outcome::Value, "abc"},
        {"members in the other order", R"({"session":"abc","origin":")" + origin() + R"("})", Outcome::Value,
         "abc"},
        {"8191 bytes", documentOfSize(8191), Outcome::Value, sessionForSize(8191)},
        {"8192 bytes", documentOfSize(8192), Outcome::Message, "Sessao invalida."},
        {"9000 bytes of garbage", std::string(9000, '{'), Outcome::Message, "Sessao invalida."},
        {"other host", R"({"origin":"https://api.other.example","session":"abc"})", Outcome::Message,
         "Endereco da sessao alterado."},
        {"plain http", R"({"origin":"http://)" + std::string(deployment().backendHost) + R"(","session":"abc"})",
         Outcome::Message, "Endereco da sessao alterado."},
        {"no origin", R"({"session":"abc"})", Outcome::Message, "Endereco da sessao alterado."},
        {"origin not a string", R"({"origin":1,"session":"abc"})", Outcome::Message,
         "Endereco da sessao alterado."},
        {"an array", R"([")" + origin() + R"(","abc"])", Outcome::Message, "Endereco da sessao alterado."},
        {"session a number", R"({"origin":")" + origin() + R"(","session":42})", Outcome::Message, "Sessao invalida."},
        {"session null", R"({"origin":")" + origin() + R"(","session":null})", Outcome::Message, "Sessao invalida."},
        {"no session", R"({"origin":")" + origin() + R"("})", Outcome::Message, "Sessao invalida."},
        {"not JSON", "session=abc", Outcome::Message, "Sessao invalida."},
        {"empty", "", Outcome::Message, "Sessao invalida."},
        {"a NUL and more after the document",
         R"({"origin":")" + origin() + R"(","session":"abc"})" + std::string("\0{}", 3), Outcome::Message,
         "Sessao invalida."},
        {"a second document", R"({"origin":")" + origin() + R"(","session":"abc"} {})", Outcome::Message,
         "Sessao invalida."},
        {"whitespace after the document", R"({"origin":")" + origin() + R"(","session":"abc"})" "\r\n ",
         Outcome::Value, "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        switch (c.outcome) {
            case Outcome::Value:
                EXPECT_EQ(parseSavedSession(text), c.expected);
                break;
            case Outcome::Message:
                try {
                    parseSavedSession(text);
                    ADD_FAILURE() << "accepted";
                } catch (const std::runtime_error& error) {
                    EXPECT_STREQ(error.what(), c.expected.c_str());
                }
                break;
        }
        EXPECT_TRUE(text.empty()) << "the unprotected text was not wiped";
    }
}

}  // namespace
}  // namespace nyra
