#include "home/install_panel.h"
#include "home/folder_rules.h"

#include <gtest/gtest.h>

namespace nyra::home {
namespace {

InstallEntry entry(std::string path, bool usable, std::string reason = {}) {
    InstallEntry e;
    e.path = std::move(path);
    e.usable = usable;
    e.reason = usable ? "" : std::move(reason);
    e.label = e.path;
    return e;
}

TEST(InstallPanel, OpensWithTheFirstUsableEntrySelectedOrSaysNoneQualifies) {
    UiState state;
    openInstallPanel(state, {entry("E:\\Jogos\\NyraBrasil", false, kReasonNoSpace), entry("D:\\Jogos\\NyraBrasil", true)});
    EXPECT_TRUE(state.installPanelOpen);
    EXPECT_TRUE(state.busy);
    EXPECT_EQ(state.statusText, "Escolha onde instalar o jogo.");
    EXPECT_EQ(state.selectedEntry, 1);
    EXPECT_EQ(state.installMessage, "");

    openInstallPanel(state, {entry("E:\\Jogos\\NyraBrasil", false, kReasonNoSpace)});
    EXPECT_EQ(state.selectedEntry, -1);
    EXPECT_EQ(state.installMessage, "Nenhum disco com 12 GB livres. Libere espaço ou escolha outra pasta.");
    EXPECT_FALSE(beginInstall(state).has_value());  // nothing usable: the button does nothing
}

TEST(InstallPanel, HitsRowsButtonsAndNothingWhileInstalling) {
    UiState state;
    openInstallPanel(state, {entry("A", true), entry("B", true), entry("C", true), entry("D", true)});
    const struct {
        double x, y;
        PanelTarget target;
        int row;
    } cases[] = {
        {468, 250, PanelTarget::Row, 0},    {812, 296, PanelTarget::Row, 0},   {640, 298, PanelTarget::None, -1},
        {640, 304, PanelTarget::Row, 1},    {640, 412, PanelTarget::Row, 3},   {467, 260, PanelTarget::None, -1},
        {813, 260, PanelTarget::None, -1},  {640, 480, PanelTarget::ChooseFolder, -1},
        {640, 600, PanelTarget::Install, -1}, {640, 200, PanelTarget::None, -1},
    };
    for (const auto& c : cases) {
        const PanelHit hit = hitInstallPanel(state, {c.x, c.y});
        EXPECT_EQ(hit.target, c.target) << c.x << "," << c.y;
        EXPECT_EQ(hit.row, c.row) << c.x << "," << c.y;
    }
    // Only rows that hold an entry are hit.
    state.installEntries.resize(2);
    EXPECT_EQ(hitInstallPanel(state, {640, 360}).target, PanelTarget::None);

    ASSERT_TRUE(beginInstall(state).has_value());
    EXPECT_EQ(hitInstallPanel(state, {640, 600}).target, PanelTarget::None);
    EXPECT_EQ(hitInstallPanel(state, {640, 260}).target, PanelTarget::None);
}

TEST(InstallPanel, RowClicksSelectUsableEntriesAndExplainTheOthers) {
    UiState state;
    openInstallPanel(state, {entry("D:\\Jogos\\NyraBrasil", true), entry("E:\\Jogos\\NyraBrasil", false, kReasonNoSpace),
                             entry("C:\\Jogos\\NyraBrasil", true)});
    clickRow(state, 1);
    EXPECT_EQ(state.selectedEntry, 0);
    EXPECT_EQ(state.installMessage, kReasonNoSpace);
    clickRow(state, 2);
    EXPECT_EQ(state.selectedEntry, 2);
    EXPECT_EQ(state.installMessage, "");
}

TEST(InstallPanel, PickedFolderGoesFirstReplacingTheSamePathAndKeepsFour) {
    UiState state;
    openInstallPanel(state, {entry("D:\\Jogos\\NyraBrasil", true), entry("C:\\Jogos\\NyraBrasil", true),
                             entry("E:\\Jogos\\NyraBrasil", true), entry("F:\\Jogos\\NyraBrasil", true)});
    addPickedEntry(state, entry("c:\\jogos\\nyrabrasil", true));
    ASSERT_EQ(state.installEntries.size(), 4u);
    EXPECT_EQ(state.installEntries[0].path, "c:\\jogos\\nyrabrasil");
    EXPECT_EQ(state.installEntries[1].path, "D:\\Jogos\\NyraBrasil");
    EXPECT_EQ(state.installEntries[3].path, "F:\\Jogos\\NyraBrasil");
    EXPECT_EQ(state.selectedEntry, 0);

    // An unusable pick shows its reason and the selection falls back to the first usable entry.
    state.installMessage = "old";
    addPickedEntry(state, entry("C:\\Users\\ana\\Desktop\\Jogo", false, kReasonDesktop));
    ASSERT_EQ(state.installEntries.size(), 4u);
    EXPECT_EQ(state.installEntries[0].path, "C:\\Users\\ana\\Desktop\\Jogo");
    EXPECT_EQ(state.installEntries[3].path, "E:\\Jogos\\NyraBrasil");  // F fell off the end
    EXPECT_EQ(state.selectedEntry, 1);
    EXPECT_EQ(state.installMessage, kReasonDesktop);
}

TEST(InstallPanel, InstallStartsOnceFailsBackToThePanelOrSettlesInPlace) {
    UiState state;
    openInstallPanel(state, {entry("D:\\Jogos\\NyraBrasil", true)});
    const auto path = beginInstall(state);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, "D:\\Jogos\\NyraBrasil");
    EXPECT_TRUE(state.installing);
    EXPECT_EQ(state.installMessage, "Instalando em D:\\Jogos\\NyraBrasil...");
    EXPECT_FALSE(beginInstall(state).has_value());  // a second Enter while installing
    clickRow(state, 0);
    EXPECT_EQ(state.installMessage, "Instalando em D:\\Jogos\\NyraBrasil...");

    installFailed(state, "Nao foi possivel usar essa pasta. Escolha outro lugar.");
    EXPECT_FALSE(state.installing);
    EXPECT_TRUE(state.installPanelOpen);
    EXPECT_EQ(state.installMessage, "Nao foi possivel usar essa pasta. Escolha outro lugar.");

    ASSERT_TRUE(beginInstall(state).has_value());
    installSettledInPlace(state);
    EXPECT_FALSE(state.installPanelOpen);
    EXPECT_FALSE(state.installing);
    EXPECT_EQ(state.installMessage, "");
}

}  // namespace
}  // namespace nyra::home
