#include "tools/service/tests/harness.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "tools/common/crypto.h"
#include "tools/common/files.h"

namespace nyra::service::testing {

namespace fs = std::filesystem;
using nlohmann::json;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "nyra-service-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string caFile() { return std::string(NYRA_SOURCE_DIR) + "/tools/dev-keys/dev-ca.pem"; }

namespace {

std::string randomText(tools::DeterministicRandom& random, std::size_t size) {
    const auto bytes = random.next(size);
    return std::string(bytes.begin(), bytes.end());
}

void write(const fs::path& path, const std::string& bytes) { tools::writeFileAtomic(path, std::string_view(bytes)); }

std::string bundle(const std::string& text) {
    // "NYRATRB1", one entry "data/db/T_Text.ini"
    const std::string name = "data/db/T_Text.ini";
    std::string out = "NYRATRB1";
    out += std::string("\x01\x00\x00\x00", 4);
    out += static_cast<char>(name.size());
    out += '\0';
    out += name;
    const auto size = static_cast<std::uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((size >> (8 * i)) & 0xff);
    }
    return out + text;
}

std::string sha(const std::string& bytes) { return tools::sha256Hex(tools::asBytes(bytes)); }

}  // namespace

FixtureSet writeFixtureSet(const fs::path& folder, const std::string& seed) {
    tools::DeterministicRandom random(seed, "fixture-set");
    FixtureSet set;
    set.folder = folder;
    set.packageId = "nyra-br-" + seed;
    set.index = "NYRAIDX1" + randomText(random, 12 + 16 + 500);
    set.pack = randomText(random, 300000);
    set.packSha256 = sha(set.pack);
    set.smallPack = randomText(random, 4097);
    set.launcher = "MZ" + randomText(random, 70000);
    set.launcherSha256 = sha(set.launcher);
    set.translationsEn = bundle("[Text]\nHello=Hello\n");
    set.translationsPt = bundle("[Text]\nHello=Ola\n");
    set.packageKey = tools::base64Encode(random.next(32));
    set.cdnObjectPath = "/base/" + set.packSha256 + "/0000.bin";

    write(folder / "nyra.nidx", set.index);
    write(folder / "packs" / "nyra-000.pck", set.pack);
    write(folder / "packs" / "nyra-001.pck", set.smallPack);
    write(folder / "cdn" / "base" / set.packSha256 / "0000.bin", set.pack);
    write(folder / "translations" / "en.bin", set.translationsEn);
    write(folder / "translations" / "pt-BR.bin", set.translationsPt);
    write(folder / "launcher" / "Launcher.exe", set.launcher);

    set.policy = {
        {"package_id", set.packageId},
        {"index_sha256", sha(set.index)},
        {"signature", tools::base64Encode(random.next(384))},
        {"policy", {{"files", {{"Launcher.exe", set.launcherSha256}, {"game.bin", sha("game")}}}}},
        {"base_cdn",
         {{"format", 1},
          {"origin", "https://localhost"},
          {"chunk_bytes", 67108864},
          {"packs",
           {{{"path", "nyra-000.pck"},
             {"sha256", set.packSha256},
             {"size", set.pack.size()},
             {"chunks",
              {{{"offset", 0},
                {"size", set.pack.size()},
                {"sha256", set.packSha256},
                {"object", "base/" + set.packSha256 + "/0000.bin"}}}}}}}}},
        {"launcher_update",
         {{"sha256", set.launcherSha256},
          {"version", "5.5.27"},
          {"size", set.launcher.size()},
          {"signature", tools::base64Encode(random.next(384))}}},
        {"launcher_version", "5.5.27"},
    };
    const json description{
        {"format", 1},
        {"package_id", set.packageId},
        {"policy", set.policy},
        {"package_key", set.packageKey},
        {"index", "nyra.nidx"},
        {"packs", {{"nyra-000.pck", "packs/nyra-000.pck"}, {"nyra-001.pck", "packs/nyra-001.pck"}}},
        {"cdn_root", "cdn"},
        {"translations",
         {{"en", {{"file", "translations/en.bin"}, {"tag", sha(set.translationsEn)}}},
          {"pt-BR", {{"file", "translations/pt-BR.bin"}, {"tag", sha(set.translationsPt)}}}}},
        {"launcher",
         {{"file", "launcher/Launcher.exe"},
          {"version", "5.5.27.0"},
          {"sha256", set.launcherSha256},
          {"size", set.launcher.size()}}},
    };
    write(folder / "set.json", description.dump(2));
    return set;
}

ServiceHarness::ServiceHarness() {
    set_ = writeFixtureSet(temp_.path() / "set-a", "a");
    ServiceOptions options = developmentDefaults(NYRA_SOURCE_DIR);
    options.listen = "127.0.0.1:0";
    options.control = "127.0.0.1:0";
    options.database = temp_.path() / "state" / "service.db";
    options.set = set_.folder;
    options.accounts = {{kUser, kPassword}};
    options.passwordIterations = 1000;  // the production count is exercised by the benchmark
    auto offset = offset_;
    options.clock = [offset] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count() +
               offset->load();
    };
    service_ = std::make_unique<Service>(std::move(options));
    service_->start();
}

ServiceHarness::~ServiceHarness() { service_->stop(); }

std::unique_ptr<HttpClient> ServiceHarness::connect() const {
    return HttpClient::connect("127.0.0.1", service_->port(), TlsClientOptions{caFile(), "localhost"});
}

std::unique_ptr<HttpClient> ServiceHarness::connectControl() const {
    const auto [host, port] = parseHttpUrl(*service_->controlAddress());
    return HttpClient::connect(host, port, std::nullopt);
}

json ServiceHarness::control(const std::string& method, const std::string& path, const json& body,
                             unsigned status) const {
    auto client = connectControl();
    const auto answer = client->request(method, path, {{"Content-Type", "application/json"}},
                                        body.is_null() ? std::string() : body.dump());
    EXPECT_EQ(answer.status, status) << method << " " << path << ": " << answer.body;
    return json::parse(answer.body);
}

std::string envelope(unsigned op, const json& args) {
    const auto bytes = json::to_cbor(json{{"args", args}, {"op", op}});
    return std::string(bytes.begin(), bytes.end());
}

BackendClient::BackendClient(const ServiceHarness& harness) : client_(harness.connect()) {}

ClientResponse BackendClient::raw(const std::string& body, const HeaderList& headers) {
    auto response = client_->request("POST", "/client/v1", headers, body);
    for (const auto& cookie : response.headersNamed("Set-Cookie")) {
        const std::string pair = cookie.substr(0, cookie.find(';'));
        const auto equals = pair.find('=');
        const std::string name = pair.substr(0, equals);
        const std::string value = pair.substr(equals + 1);
        if (name == "__Host-nyra_session") {
            session = value;
        } else if (name == "__Host-nyra_csrf") {
            csrf = value;
        }
    }
    return response;
}

ClientResponse BackendClient::call(unsigned op, const json& args, const HeaderList& extra) {
    HeaderList headers{{"Accept", "application/cbor, application/octet-stream"},
                       {"Content-Type", "application/cbor"},
                       {"Origin", origin}};
    if (!csrf.empty() || !session.empty()) {
        std::string cookie;
        if (!csrf.empty()) {
            cookie += "__Host-nyra_csrf=" + csrf + "; ";
        }
        if (!session.empty()) {
            cookie += "__Host-nyra_session=" + session;
        }
        headers.emplace_back("Cookie", cookie);
    }
    if (!csrf.empty()) {
        headers.emplace_back("X-CSRF-Token", csrf);
    }
    if (op == 5 || op == 6 || op == 26) {
        headers.emplace_back("X-Nyra-Update-Token", downloadToken);
    }
    headers.insert(headers.end(), extra.begin(), extra.end());
    return raw(envelope(op, args), headers);
}

json BackendClient::answer(unsigned op, const json& args, unsigned status, const HeaderList& extra) {
    const auto response = call(op, args, extra);
    EXPECT_EQ(response.status, status) << "op " << op << ": " << response.body;
    const std::string* type = response.header("Content-Type");
    EXPECT_TRUE(type != nullptr && *type == "application/cbor") << "op " << op;
    return json::from_cbor(response.body, true, true, json::cbor_tag_handler_t::error);
}

void BackendClient::signIn() {
    answer(0);
    answer(1, {{"username", kUser}, {"password", kPassword}, {"remember", true}});
    ASSERT_EQ(session.size(), 43u);
}

}  // namespace nyra::service::testing
