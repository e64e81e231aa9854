#include "state/protected_diagnostics.h"

#include <stdexcept>

#include "core/deployment.h"
#include "core/json_limits.h"
#include "core/text.h"

namespace nyra {
namespace {

struct TextWiper {
    std::string& text;
    ~TextWiper() { wipe(text); }
};

[[noreturn]] void contextInvalid() { throw std::runtime_error("Contexto de diagnostico protegido invalido."); }

}  // namespace

std::string_view diagnosticKindName(DiagnosticKind kind) noexcept {
    return kind == DiagnosticKind::Launch ? "launch" : "verification";
}

std::string_view currentDiagnosticFileName(DiagnosticKind kind) noexcept {
    return kind == DiagnosticKind::Launch ? "last-launch.dat" : "last-verification.dat";
}

std::string_view legacyDiagnosticFileName(DiagnosticKind kind) noexcept {
    return kind == DiagnosticKind::Launch ? "last-launch.json" : "last-verification.json";
}

std::optional<DiagnosticKind> diagnosticKindOfCurrentFile(std::string_view fileName) noexcept {
    for (const DiagnosticKind kind : {DiagnosticKind::Launch, DiagnosticKind::Verification}) {
        if (fileName == currentDiagnosticFileName(kind)) return kind;
    }
    return std::nullopt;
}

std::string diagnosticOrigin() { return "https://" + std::string(deployment().backendHost); }

std::string diagnosticBinding(DiagnosticKind kind, std::string_view origin) {
    std::string binding = "Nyra/local-diagnostics/v1/";
    binding += diagnosticKindName(kind);
    binding += '/';
    binding += origin;
    return binding;
}

void checkDiagnosticFile(const DiagnosticFileFacts& facts, DiagnosticFileRole role) {
    const bool legacy = role == DiagnosticFileRole::Legacy;
    if (facts.reparsePoint || facts.directory || facts.links != 1) {
        throw std::runtime_error(legacy ? "Diagnostico antigo redirecionado." : "Diagnostico redirecionado.");
    }
    const std::uint64_t limit = legacy ? kLegacyDiagnosticLimit : kDiagnosticContainerLimit;
    if (legacy && facts.size > limit) throw std::runtime_error("Diagnostico antigo muito grande.");
    if (facts.size == 0 || facts.size > limit) throw std::runtime_error("Diagnostico com tamanho invalido.");
}

std::string composeDiagnosticEnvelope(DiagnosticKind kind, std::string_view origin, const nlohmann::json& record) {
    // The members sort as they must appear: format, kind, origin, record.
    const nlohmann::json envelope = {
        {"format", 1}, {"kind", diagnosticKindName(kind)}, {"origin", origin}, {"record", record}};
    std::string text = envelope.dump();
    if (text.size() > kDiagnosticEnvelopeLimit) {
        wipe(text);
        throw std::runtime_error("Diagnostico muito grande.");
    }
    return text;
}

nlohmann::json parseDiagnosticEnvelope(std::string_view plain, DiagnosticKind kind, std::string_view origin) {
    if (plain.size() > kDiagnosticEnvelopeLimit) throw std::runtime_error("Diagnostico protegido muito grande.");
    // The record is compared and copied recursively; the envelope adds one level around it.
    nlohmann::json envelope = readJsonText(plain, kDocumentNestingLimit + 1);
    if (!envelope.is_object() || envelope.size() != 4) contextInvalid();
    const auto format = envelope.find("format");
    const auto kindMember = envelope.find("kind");
    const auto originMember = envelope.find("origin");
    const auto record = envelope.find("record");
    if (format == envelope.end() || kindMember == envelope.end() || originMember == envelope.end() ||
        record == envelope.end()) {
        contextInvalid();
    }
    if (!format->is_number_integer() || *format != 1) contextInvalid();
    if (!kindMember->is_string() || kindMember->get_ref<const std::string&>() != diagnosticKindName(kind)) {
        contextInvalid();
    }
    if (!originMember->is_string() || originMember->get_ref<const std::string&>() != origin) contextInvalid();
    return std::move(*record);
}

std::string sealDiagnostic(DiagnosticProtector& protector, DiagnosticKind kind, std::string_view origin,
                           const nlohmann::json& record) {
    std::string plain = composeDiagnosticEnvelope(kind, origin, record);
    const TextWiper plainWiper{plain};
    std::string blob = protector.protect(plain, diagnosticBinding(kind, origin));
    const TextWiper blobWiper{blob};
    std::string container;
    container.reserve(kDiagnosticMagic.size() + blob.size());
    container.append(kDiagnosticMagic);
    container.append(blob);
    return container;
}

nlohmann::json openDiagnostic(DiagnosticProtector& protector, DiagnosticKind kind, std::string_view origin,
                              std::string_view container) {
    if (container.size() < kDiagnosticContainerMinimum || container.size() > kDiagnosticContainerLimit ||
        container.substr(0, kDiagnosticMagic.size()) != kDiagnosticMagic) {
        throw std::runtime_error("Formato de diagnostico protegido invalido.");
    }
    std::string plain = protector.unprotect(container.substr(kDiagnosticMagic.size()), diagnosticBinding(kind, origin));
    const TextWiper plainWiper{plain};
    return parseDiagnosticEnvelope(plain, kind, origin);
}

std::string sealConfirmedDiagnostic(DiagnosticProtector& protector, DiagnosticKind kind, std::string_view origin,
                                    const nlohmann::json& record) {
    std::string container = sealDiagnostic(protector, kind, origin, record);
    bool same = false;
    try {
        same = openDiagnostic(protector, kind, origin, container) == record;
    } catch (const std::exception&) {
        same = false;  // a container that does not open again is as unconfirmed as a different record
    }
    if (!same) {
        wipe(container);
        throw std::runtime_error("Nao foi possivel conferir o diagnostico cifrado.");
    }
    return container;
}

}  // namespace nyra
