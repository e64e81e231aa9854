#include "update/updater_arguments.h"

#include <gtest/gtest.h>

namespace nyra::update {
namespace {

std::string failureOf(std::u16string_view line) {
    try {
        parseUpdaterArguments(line);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no failure>";
}

TEST(UpdaterArguments, TokensFollowTheirRules) {
    const char* parameters = "Parametros do atualizador invalidos.";
    const char* synchronisation = "Sincronizacao do atualizador invalida.";
    const struct {
        std::u16string_view line;
        std::string error;
    } cases[] = {
        {u"--apply-launcher-update 4 8 12", "<no failure>"},
        {u"  --apply-launcher-update\t4294967295   4294967295 4294967295 ", "<no failure>"},
        {u"", parameters},
        {u"--apply-launcher-update", parameters},
        {u"--apply-launcher-updates 4 8 12", parameters},
        {u"--APPLY-LAUNCHER-UPDATE 4 8 12", parameters},
        {u"--apply-launcher-update \"C:\\x\\Launcher.exe.update\"", parameters},
        {u"--apply-launcher-update 0 8 12", parameters},
        {u"--apply-launcher-update 4 0 12", parameters},
        {u"--apply-launcher-update 4 4294967296 12", parameters},
        {u"--apply-launcher-update -4 8 12", parameters},
        {u"--apply-launcher-update +4 8 12", parameters},
        {u"--apply-launcher-update 4 0x8 12", parameters},
        {u"--apply-launcher-update 4 99999999999999999999 12", parameters},
        {u"--apply-launcher-update 4 8", synchronisation},
        {u"--apply-launcher-update 4 8 0", synchronisation},
        {u"--apply-launcher-update 4 8 4294967296", synchronisation},
        {u"--apply-launcher-update 4 8 12 16", synchronisation},
        {u"--apply-launcher-update 4 8 1\u0662", synchronisation},  // an Arabic-Indic digit is no digit here
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf(c.line), c.error) << std::string(c.line.begin(), c.line.end());
    }
}

TEST(UpdaterArguments, TheTextItWritesReadsBack) {
    const UpdaterArguments written{4242, 0x1F4, 4294967295u};
    const auto text = updaterArgumentText(written);
    EXPECT_EQ(text, u"--apply-launcher-update 4242 500 4294967295");
    const auto read = parseUpdaterArguments(text);
    EXPECT_EQ(read.processId, written.processId);
    EXPECT_EQ(read.processHandle, written.processHandle);
    EXPECT_EQ(read.eventHandle, written.eventHandle);
}

}  // namespace
}  // namespace nyra::update
