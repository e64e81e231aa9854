#include "state/saved_session.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "core/json_limits.h"
#include "core/text.h"

namespace nyra {
namespace {

// Zeroes the string values held by a parsed or composed document before it is released.
void wipeStrings(nlohmann::ordered_json& document) noexcept {
    if (document.is_string()) {
        wipe(document.get_ref<std::string&>());
    } else if (document.is_structured()) {
        for (auto& member : document) wipeStrings(member);
    }
}

struct DocumentWiper {
    nlohmann::ordered_json& document;
    ~DocumentWiper() { wipeStrings(document); }
};

struct TextWiper {
    std::string& text;
    ~TextWiper() { wipe(text); }
};

}  // namespace

std::string savedSessionOrigin() {
    std::string origin = "https://";
    origin += deployment().backendHost;
    return origin;
}

std::string composeSavedSession(std::string_view sessionCookie) {
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    const DocumentWiper wiper{document};
    document["origin"] = savedSessionOrigin();
    document["session"] = std::string(sessionCookie);
    return document.dump();
}

std::string parseSavedSession(std::string& text) {
    const TextWiper textWiper{text};
    if (text.size() >= kSavedSessionLimit) throw std::runtime_error("Sessao invalida.");
    // Nesting bounded: wipeStrings below walks the document recursively.
    nlohmann::ordered_json document = readJsonText<nlohmann::ordered_json>(text);
    const DocumentWiper documentWiper{document};
    wipe(text);
    if (document.is_discarded()) throw std::runtime_error("Sessao invalida.");

    const auto origin = document.is_object() ? document.find("origin") : document.end();
    if (origin == document.end() || !origin->is_string() ||
        origin->get_ref<const std::string&>() != savedSessionOrigin()) {
        throw std::runtime_error("Endereco da sessao alterado.");
    }
    const auto session = document.find("session");
    if (session == document.end() || !session->is_string()) throw std::runtime_error("Sessao invalida.");
    return session->get<std::string>();
}

}  // namespace nyra
