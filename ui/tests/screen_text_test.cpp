#include "ui/input.h"
#include "ui/screen_text.h"

#include <gtest/gtest.h>

namespace nyra::ui {
namespace {

TEST(ScreenText, ButtonAndTitleByBusyKind) {
    const struct {
        int kind;
        const char* button;
        const char* title;
    } cases[] = {{0, "CONECTANDO", "CONECTANDO AO SERVIDOR"}, {1, "VERIFICANDO", "VERIFICANDO ARQUIVOS"},
                 {2, "BAIXANDO", "BAIXANDO ARQUIVOS"},        {3, "PREPARANDO", "PREPARANDO O JOGO"},
                 {4, "AGUARDE", "VERIFICAÇÃO CONCLUÍDA"},     {9, "AGUARDE", "VERIFICAÇÃO CONCLUÍDA"},
                 {-1, "AGUARDE", "VERIFICAÇÃO CONCLUÍDA"}};
    for (const auto& c : cases) {
        UiState s;
        s.busy = true;
        s.busyKind = c.kind;
        EXPECT_EQ(playButtonLabel(s), c.button) << c.kind;
        EXPECT_EQ(statusPanelTitle(s), c.title) << c.kind;
    }
}

TEST(ScreenText, IdleStates) {
    UiState s;
    EXPECT_EQ(playButtonLabel(s), "RECONECTAR");
    s.serverOnline = true;
    EXPECT_EQ(playButtonLabel(s), "ENTRAR E JOGAR");
    s.signedIn = true;
    EXPECT_EQ(playButtonLabel(s), "JOGAR AGORA");
    EXPECT_EQ(statusPanelTitle(s), "STATUS DO JOGO");
    s.progress = 100;
    EXPECT_EQ(statusPanelTitle(s), "PRONTO PARA JOGAR");
    EXPECT_TRUE(readyToPlay(s));
    EXPECT_EQ(serverChipText(s), "Servidor online");
}

TEST(ScreenText, SignedInLineAndDetail) {
    UiState s;
    EXPECT_EQ(signedInLine(s, 0), "Sua aventura está pronta.");
    EXPECT_EQ(signedInLine(s, 1), "1 aviso novo no portal.");
    EXPECT_EQ(signedInLine(s, 3), "3 avisos novos no portal.");
    s.busy = true;
    EXPECT_EQ(signedInLine(s, 3), "Preparando os arquivos...");

    s.statusText = "Consultando...";
    showNotice(s, "Portal aberto no navegador.", 100);
    EXPECT_EQ(statusDetail(s, 6599), "Portal aberto no navegador.");
    EXPECT_EQ(statusDetail(s, 6600), "Consultando...");
}

TEST(ScreenText, SettingsValues) {
    EXPECT_EQ(resolutionValueText(1920, 1080), "1920 \u00D7 1080   \u203A");
    EXPECT_EQ(displayModeText(true, false), "Tela cheia");
    EXPECT_EQ(displayModeText(false, true), "Windowed");
    EXPECT_EQ(graphicsValueText(5, false), "Aprimorado   \u203A");
    EXPECT_EQ(graphicsValueText(-2, true), "Standard   \u203A");
    EXPECT_EQ(gameLanguageValueText(false), "Português (Brasil)   \u203A");
}

}  // namespace
}  // namespace nyra::ui
