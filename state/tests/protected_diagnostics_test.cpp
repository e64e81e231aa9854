// Envelope, container and binding rules of the protected diagnostics, with a stand-in protector
// that, like the platform service, only opens a blob with the binding it was made with.
#include "core/json_limits.h"
#include "core/tests/failure_text.h"
#include "core/tests/hostile_nesting.h"
#include "state/protected_diagnostics.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace nyra {
namespace {

using test::failureOf;

using nlohmann::json;

constexpr std::string_view kOrigin = "https://api.example.test";

class BindingProtector final : public DiagnosticProtector {
public:
    std::string protect(std::string_view plain, std::string_view binding) override {
        if (failProtect) throw std::runtime_error("Nao foi possivel cifrar o diagnostico neste Windows.");
        lastPlain = std::string(plain);
        std::string blob = std::to_string(binding.size()) + ":" + std::string(binding) + std::string(plain);
        for (char& c : blob) c = static_cast<char>(c ^ 0x5a);
        return blob;
    }
    std::string unprotect(std::string_view blob, std::string_view binding) override {
        std::string clear(blob);
        for (char& c : clear) c = static_cast<char>(c ^ 0x5a);
        const std::string prefix = std::to_string(binding.size()) + ":" + std::string(binding);
        if (clear.compare(0, prefix.size(), prefix) != 0) {
            throw std::runtime_error("Diagnostico alterado ou pertencente a outra conta do Windows.");
        }
        return replacement ? *replacement : clear.substr(prefix.size());
    }

    bool failProtect = false;
    std::optional<std::string> replacement;  // what unprotect yields instead of the real plain text
    std::string lastPlain;
};

TEST(DiagnosticNames, KindsFilesAndBindingTexts) {
    EXPECT_EQ(currentDiagnosticFileName(DiagnosticKind::Launch), "last-launch.dat");
    EXPECT_EQ(currentDiagnosticFileName(DiagnosticKind::Verification), "last-verification.dat");
    EXPECT_EQ(legacyDiagnosticFileName(DiagnosticKind::Launch), "last-launch.json");
    EXPECT_EQ(legacyDiagnosticFileName(DiagnosticKind::Verification), "last-verification.json");
    EXPECT_EQ(diagnosticKindOfCurrentFile("last-verification.dat"), DiagnosticKind::Verification);
    EXPECT_EQ(diagnosticKindOfCurrentFile("last-launch.dat"), DiagnosticKind::Launch);
    EXPECT_EQ(diagnosticKindOfCurrentFile("LAST-LAUNCH.DAT"), std::nullopt);
    EXPECT_EQ(diagnosticKindOfCurrentFile("last-launch.json"), std::nullopt);

    EXPECT_EQ(diagnosticBinding(DiagnosticKind::Launch, kOrigin), "Nyra/local-diagnostics/v1/launch/https://api.example.test");
    EXPECT_EQ(diagnosticBinding(DiagnosticKind::Verification, kOrigin),
              "Nyra/local-diagnostics/v1/verification/https://api.example.test");
    EXPECT_EQ(diagnosticOrigin().rfind("https://", 0), 0u);
    EXPECT_GT(diagnosticOrigin().size(), 8u);
}

TEST(DiagnosticEnvelope, CompactUnescapedMembersInOrder) {
    const json record = {{"ok", true}, {"texto", "Sessão"}, {"n", 3}};
    EXPECT_EQ(composeDiagnosticEnvelope(DiagnosticKind::Verification, kOrigin, record),
              R"({"format":1,"kind":"verification","origin":"https://api.example.test","record":{"n":3,"ok":true,"texto":"Sessão"}})");
}

TEST(DiagnosticEnvelope, SizeLimitIsInclusiveAtOneMebibyte) {
    // {"format":1,"kind":"launch","origin":"<origin>","record":"<text>"}
    const std::size_t frame =
        composeDiagnosticEnvelope(DiagnosticKind::Launch, kOrigin, json("")).size();
    const json fits(std::string(kDiagnosticEnvelopeLimit - frame, 'a'));
    EXPECT_EQ(composeDiagnosticEnvelope(DiagnosticKind::Launch, kOrigin, fits).size(), kDiagnosticEnvelopeLimit);
    const json tooLarge(std::string(kDiagnosticEnvelopeLimit - frame + 1, 'a'));
    BindingProtector protector;
    EXPECT_EQ(failureOf([&] { sealDiagnostic(protector, DiagnosticKind::Launch, kOrigin, tooLarge); }),
              "Diagnostico muito grande.");
    EXPECT_TRUE(protector.lastPlain.empty()) << "refused before protection";
}

TEST(DiagnosticEnvelope, ContextChecks) {
    const struct {
        std::string plain;
        const char* failure;
    } cases[] = {
        {R"({"format":1,"kind":"launch","origin":"https://api.example.test","record":[1]})", nullptr},
        {R"({"format":2,"kind":"launch","origin":"https://api.example.test","record":[1]})", "Contexto de diagnostico protegido invalido."},
        {R"({"format":1.0,"kind":"launch","origin":"https://api.example.test","record":[1]})", "Contexto de diagnostico protegido invalido."},
        {R"({"format":"1","kind":"launch","origin":"https://api.example.test","record":[1]})", "Contexto de diagnostico protegido invalido."},
        {R"({"format":1,"kind":"verification","origin":"https://api.example.test","record":[1]})", "Contexto de diagnostico protegido invalido."},
        {R"({"format":1,"kind":"launch","origin":"https://other.example.test","record":[1]})", "Contexto de diagnostico protegido invalido."},
        {R"({"format":1,"kind":"launch","origin":"https://api.example.test"})", "Contexto de diagnostico protegido invalido."},
        {R"({"format":1,"kind":"launch","origin":"https://api.example.test","record":[1],"extra":0})", "Contexto de diagnostico protegido invalido."},
        {R"([1,"launch"])", "Contexto de diagnostico protegido invalido."},
        {R"({"format":1,)", "Contexto de diagnostico protegido invalido."},
        {std::string(kDiagnosticEnvelopeLimit + 1, ' '), "Diagnostico protegido muito grande."},
    };
    for (const auto& c : cases) {
        const std::string outcome =
            failureOf([&] { EXPECT_EQ(parseDiagnosticEnvelope(c.plain, DiagnosticKind::Launch, kOrigin), json::array({1})); });
        EXPECT_EQ(outcome, c.failure ? c.failure : "<no failure>") << c.plain.substr(0, 120);
    }
}

TEST(DiagnosticEnvelope, RecordsNestedTooDeepAreOutOfContext) {
    const auto plain = [](std::size_t recordDepth) {
        return R"({"format":1,"kind":"launch","origin":"https://api.example.test","record":)" +
               test::nestedJson(recordDepth) + "}";
    };
    test::onWindowsSizedStack([&] {
        // A record may use the whole limit: the envelope's own level comes on top. It seals, opens
        // and compares equal on a Windows-sized stack.
        const json record = parseDiagnosticEnvelope(plain(kDocumentNestingLimit), DiagnosticKind::Launch, kOrigin);
        EXPECT_EQ(record, json::parse(test::nestedJson(kDocumentNestingLimit)));
        BindingProtector protector;
        EXPECT_EQ(failureOf([&] { sealConfirmedDiagnostic(protector, DiagnosticKind::Launch, kOrigin, record); }),
                  "<no failure>");
        for (const std::size_t depth : {kDocumentNestingLimit + 1, test::kHostileDepth}) {
            EXPECT_EQ(failureOf([&] { parseDiagnosticEnvelope(plain(depth), DiagnosticKind::Launch, kOrigin); }),
                      "Contexto de diagnostico protegido invalido.")
                << depth;
        }
    });
}

TEST(DiagnosticContainer, SealsMagicPlusBlobAndOpensOnlyForTheSameKind) {
    BindingProtector protector;
    const json record = {{"exit_code", 0}, {"duration_ms", 123456}};
    const std::string container = sealDiagnostic(protector, DiagnosticKind::Launch, kOrigin, record);
    ASSERT_EQ(container.substr(0, 8), "NYRADG01");
    const std::string sealedPlain = protector.lastPlain;
    EXPECT_EQ(container.substr(8), protector.protect(sealedPlain, diagnosticBinding(DiagnosticKind::Launch, kOrigin)));
    EXPECT_EQ(openDiagnostic(protector, DiagnosticKind::Launch, kOrigin, container), record);
    EXPECT_EQ(failureOf([&] { openDiagnostic(protector, DiagnosticKind::Verification, kOrigin, container); }),
              "Diagnostico alterado ou pertencente a outra conta do Windows.");
    EXPECT_EQ(failureOf([&] { openDiagnostic(protector, DiagnosticKind::Launch, "https://other.test", container); }),
              "Diagnostico alterado ou pertencente a outra conta do Windows.");
}

TEST(DiagnosticContainer, SizeAndMagicChecks) {
    BindingProtector protector;
    const std::string valid = sealDiagnostic(protector, DiagnosticKind::Launch, kOrigin, json(1));
    const struct {
        std::string container;
        const char* failure;
    } cases[] = {
        {"NYRADG01", "Formato de diagnostico protegido invalido."},  // passes the file reader, not this
        {"", "Formato de diagnostico protegido invalido."},
        {"NYRADG02" + valid.substr(8), "Formato de diagnostico protegido invalido."},
        {"nyradg01" + valid.substr(8), "Formato de diagnostico protegido invalido."},
        {std::string("NYRADG01") + std::string(kDiagnosticContainerLimit - 7, 'x'), "Formato de diagnostico protegido invalido."},
        // The largest container reaches the protector (which refuses the junk blob).
        {std::string("NYRADG01") + std::string(kDiagnosticContainerLimit - 8, 'x'),
         "Diagnostico alterado ou pertencente a outra conta do Windows."},
        {"NYRADG01x", "Diagnostico alterado ou pertencente a outra conta do Windows."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { openDiagnostic(protector, DiagnosticKind::Launch, kOrigin, c.container); }), c.failure)
            << c.container.size();
    }
}

TEST(DiagnosticContainer, ConfirmationCatchesRecordsThatDoNotReadBack) {
    BindingProtector protector;
    const json record = {{"files", 12}, {"ratio", 0.1}, {"name", "pt-BR ç"}};
    EXPECT_EQ(openDiagnostic(protector, DiagnosticKind::Verification, kOrigin,
                             sealConfirmedDiagnostic(protector, DiagnosticKind::Verification, kOrigin, record)),
              record);

    // A NaN is written as null and would never read back as the record given.
    const json notANumber = {{"ratio", std::numeric_limits<double>::quiet_NaN()}};
    EXPECT_EQ(failureOf([&] { sealConfirmedDiagnostic(protector, DiagnosticKind::Launch, kOrigin, notANumber); }),
              "Nao foi possivel conferir o diagnostico cifrado.");

    // A protection that returns something else on the way back is caught too.
    protector.replacement = R"({"format":1,"kind":"launch","origin":"https://api.example.test","record":2})";
    EXPECT_EQ(failureOf([&] { sealConfirmedDiagnostic(protector, DiagnosticKind::Launch, kOrigin, json(1)); }),
              "Nao foi possivel conferir o diagnostico cifrado.");

    protector.failProtect = true;
    EXPECT_EQ(failureOf([&] { sealConfirmedDiagnostic(protector, DiagnosticKind::Launch, kOrigin, json(1)); }),
              "Nao foi possivel cifrar o diagnostico neste Windows.");
}

// Reparse points cannot be made under Wine 8; the rule the reader applies to what the handle
// reports is checked here with every kind of file.
TEST(DiagnosticFiles, RedirectedAndMisSizedFilesAreRefusedBeforeReading) {
    using Role = DiagnosticFileRole;
    const struct {
        DiagnosticFileFacts facts;
        Role role;
        const char* failure;
    } cases[] = {
        {{false, false, 1, 9}, Role::Current, nullptr},
        {{false, false, 1, 1}, Role::Current, nullptr},  // the container check refuses it later
        {{false, false, 1, kDiagnosticContainerLimit}, Role::Current, nullptr},
        {{false, false, 1, kDiagnosticContainerLimit + 1}, Role::Current, "Diagnostico com tamanho invalido."},
        {{false, false, 1, 0}, Role::Current, "Diagnostico com tamanho invalido."},
        {{true, false, 1, 100}, Role::Current, "Diagnostico redirecionado."},
        {{false, true, 1, 100}, Role::Current, "Diagnostico redirecionado."},
        {{false, false, 2, 100}, Role::Current, "Diagnostico redirecionado."},
        {{false, false, 0, 100}, Role::Current, "Diagnostico redirecionado."},
        {{true, false, 1, 0}, Role::Current, "Diagnostico redirecionado."},
        {{false, false, 1, kLegacyDiagnosticLimit}, Role::Legacy, nullptr},
        {{false, false, 1, kLegacyDiagnosticLimit + 1}, Role::Legacy, "Diagnostico antigo muito grande."},
        {{false, false, 1, 0}, Role::Legacy, "Diagnostico com tamanho invalido."},
        {{true, false, 1, 100}, Role::Legacy, "Diagnostico antigo redirecionado."},
        {{false, false, 3, 100}, Role::Legacy, "Diagnostico antigo redirecionado."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { checkDiagnosticFile(c.facts, c.role); }), c.failure ? c.failure : "<no failure>")
            << c.facts.reparsePoint << c.facts.directory << " links " << c.facts.links << " size " << c.facts.size;
    }
}

TEST(DiagnosticEnvelope, TextThatIsNotUtf8IsRefusedBeforeProtection) {
    BindingProtector protector;
    const json record = std::string("\xff\xfe");
    EXPECT_THROW(sealDiagnostic(protector, DiagnosticKind::Launch, kOrigin, record), json::type_error);
    EXPECT_TRUE(protector.lastPlain.empty());
}

}  // namespace
}  // namespace nyra
