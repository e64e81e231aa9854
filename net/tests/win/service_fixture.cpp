#include "net/tests/win/service_fixture.h"

#include "platform/win/handles.h"

#include <stdexcept>
#include <vector>

namespace nyra::test {
namespace {

std::string environment(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
    if (length == 0 || length >= 1024) return {};
    std::string text;
    for (DWORD i = 0; i < length; ++i) text.push_back(static_cast<char>(buffer[i]));
    return text;
}

}  // namespace

std::optional<ServiceControl> ServiceControl::fromEnvironment(const wchar_t* controlVariable) {
    const std::string address = environment(controlVariable);
    const std::string account = environment(L"NYRA_SERVICE_ACCOUNT");
    const auto colon = address.rfind(':');
    const auto separator = account.find(':');
    if (colon == std::string::npos || separator == std::string::npos) return std::nullopt;
    ServiceControl control;
    control.host_ = std::wstring(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(colon));
    control.port_ = static_cast<unsigned short>(std::stoul(address.substr(colon + 1)));
    control.user = account.substr(0, separator);
    control.password = account.substr(separator + 1);
    return control;
}

nlohmann::json ServiceControl::request(const char* method, const std::string& path, const nlohmann::json& body) const {
    win::UniqueInternetHandle session(::WinHttpOpen(L"NyraTests/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                    WINHTTP_NO_PROXY_BYPASS, 0));
    win::UniqueInternetHandle connection(session ? ::WinHttpConnect(session.get(), host_.c_str(), port_, 0) : nullptr);
    const std::wstring verb(method, method + std::char_traits<char>::length(method));
    const std::wstring object(path.begin(), path.end());
    win::UniqueInternetHandle request(connection ? ::WinHttpOpenRequest(connection.get(), verb.c_str(), object.c_str(),
                                                                        nullptr, WINHTTP_NO_REFERER,
                                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                                 : nullptr);
    if (!request) throw std::runtime_error("control endpoint unreachable");
    std::string text = body.is_null() ? std::string() : body.dump();
    const wchar_t* headers = L"Content-Type: application/json\r\n";
    if (!::WinHttpSendRequest(request.get(), headers, static_cast<DWORD>(-1), text.empty() ? nullptr : text.data(),
                              static_cast<DWORD>(text.size()), static_cast<DWORD>(text.size()), 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        throw std::runtime_error("control request failed: " + path);
    }
    std::string answer;
    for (;;) {
        char buffer[4096];
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), buffer, sizeof(buffer), &read) || read == 0) break;
        answer.append(buffer, read);
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status != 200) throw std::runtime_error("control request " + path + " answered " + std::to_string(status) + ": " + answer);
    return answer.empty() ? nlohmann::json() : nlohmann::json::parse(answer);
}

void ServiceControl::reset() const {
    request("DELETE", "/faults");
    certificate("default");
    request("POST", "/accept", {{"mode", "accept"}});
    request("DELETE", "/settings");
}

void ServiceTest::SetUp() {
    service = ServiceControl::fromEnvironment();
    if (!service) GTEST_SKIP() << "the stand-in service is not running (run through scripts/with-service)";
    service->reset();
}

void ServiceTest::TearDown() {
    if (service) service->reset();
}

}  // namespace nyra::test
