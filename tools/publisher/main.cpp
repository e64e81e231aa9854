// nyra-publish: publishes a package set folder from game files, a launcher build and translation
// tables. See tools/publisher/README.md.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "tools/publisher/publisher.h"

namespace {

const char* kUsage =
    "usage: nyra-publish --settings FILE --game DIR --launcher FILE --out DIR\n"
    "                    [--translations DIR] [--seed TEXT | --random] [--signing-key PEM] [--replace]\n"
    "  --settings      settings JSON (package id, pack groups, compression, protected files, ...)\n"
    "  --game          folder of game files (must hold game.bin and NyraGuard.dll)\n"
    "  --launcher      the built Launcher.exe\n"
    "  --translations  folder with one subfolder per language (en, pt-BR) of data/db/T_*.ini tables\n"
    "  --out           the set folder to create (must not exist, be empty, or --replace an older set)\n"
    "  --seed          derive every key, nonce and signature salt from this text (reproducible sets)\n"
    "  --random        ignore the settings' seed and use fresh OS randomness\n"
    "  --signing-key   PEM RSA-3072 private key (overrides the settings)\n";

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    fs::path settingsFile, out, signingKey;
    nyra::publisher::Inputs inputs;
    std::string seed;
    bool haveSeed = false, randomSeed = false, replace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "nyra-publish: %s needs a value\n%s", arg.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--settings") settingsFile = value();
        else if (arg == "--game") inputs.gameFolder = value();
        else if (arg == "--launcher") inputs.launcher = value();
        else if (arg == "--translations") inputs.translations = value();
        else if (arg == "--out") out = value();
        else if (arg == "--seed") { seed = value(); haveSeed = true; }
        else if (arg == "--random") randomSeed = true;
        else if (arg == "--signing-key") signingKey = value();
        else if (arg == "--replace") replace = true;
        else if (arg == "--help" || arg == "-h") { std::fputs(kUsage, stdout); return 0; }
        else {
            std::fprintf(stderr, "nyra-publish: unknown argument %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (settingsFile.empty() || inputs.gameFolder.empty() || inputs.launcher.empty() || out.empty() ||
        (haveSeed && randomSeed)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        nyra::publisher::Settings settings = nyra::publisher::loadSettings(settingsFile);
        if (haveSeed) settings.seed = seed;
        if (randomSeed) settings.seed.reset();
        if (!signingKey.empty()) settings.signingKey = signingKey;
        nyra::publisher::PublishOptions options;
        options.replace = replace;
        options.log = [](const std::string& line) { std::cerr << "nyra-publish: " << line << '\n'; };
        const auto manifest = nyra::publisher::publish(settings, inputs, out, options);
        std::cout << fs::absolute(out).string() << '\n'
                  << "package_id " << manifest.at("package_id").get<std::string>() << '\n'
                  << "index_sha256 " << manifest.at("index_sha256").get<std::string>() << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nyra-publish: %s\n", e.what());
        return 1;
    }
}
