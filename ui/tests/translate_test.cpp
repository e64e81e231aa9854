#include "ui/translate.h"

#include "shown_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace nyra {
namespace {

struct Case {
    const char* portuguese;
    const char* english;
};

// A sample of the exact pairs, including the ones with non-ASCII characters and marks.
const Case kExactPairs[] = {
    {"CONTINUE SUA JORNADA", "CONTINUE YOUR JOURNEY"},
    {"Sua jornada começa aqui.", "Your journey begins here."},
    {"ACESSO À CONTA", "ACCOUNT LOGIN"},
    {"OPÇÕES", "SETTINGS"},
    {"VERIFICAÇÃO CONCLUÍDA", "VERIFICATION COMPLETE"},
    {"ÚLTIMAS NOTÍCIAS", "LATEST NEWS"},
    {"CONECTANDO", "CONNECTING"},
    {"CONECTANDO AO SERVIDOR", "CONNECTING TO SERVER"},
    {"Baixando catalogo novo ou reparando o catalogo local...", "Downloading or repairing the game catalog..."},
    {"VER TODAS  \u203A", "VIEW ALL  \u203A"},
    {"\u2605 FIXADO", "\u2605 PINNED"},
    {"\u2605 DESTAQUE", "\u2605 FEATURED"},
    {"Idioma aplicado ao launcher e ao próximo início do jogo.",
     "Language applied to the launcher and the next game launch."},
    {"Configurações", "Settings"},
    {"SALVAR E VOLTAR", "SAVE AND BACK"},
    {"COMUNIDADE", "COMMUNITY"},
    {"Portal aberto no navegador.", "Portal opened in your browser."},
    {"Nao foi possivel abrir o navegador. Acesse o portal manualmente.",
     "The browser could not be opened. Please visit the portal yourself."},
    {"Informe seu usuario e senha do Nyra Saga Brasil.", "Enter your Nyra Saga Brasil username and password."},
    {"ESCOLHER OUTRA PASTA\u2026", "CHOOSE ANOTHER FOLDER\u2026"},
};

// Texts built at run time: prefixes, first occurrences and what must stay untouched.
const Case kRules[] = {
    {"JOGO: 1.2.3", "GAME: 1.2.3"},
    {"JOGO: Baixando ", "GAME: Baixando "},  // the game prefix ends the rules
    {"EVENTO  ·  28 de fev. de 2026", "EVENT  ·  28 de fev. de 2026"},
    {"ATUALIZAÇÃO  ·  01 de mar. de 2026", "UPDATE  ·  01 de mar. de 2026"},
    {"MANUTENÇÃO", "MAINTENANCE"},
    {"COMUNIDADEX", "COMMUNITYX"},
    {" EVENTO", " EVENTO"},  // only at position 0
    {"Conferindo pacote nyra-003.pck", "Checking package nyra-003.pck"},
    {"Pacote sem alteracoes registradas: nyra-001.pck", "Package unchanged: nyra-001.pck"},
    {"Validando o pacote recebido: nyra-002.pck", "Verifying downloaded package: nyra-002.pck"},
    {"Conferindo componente: engine.dll", "Checking component: engine.dll"},
    {"Componente conferido: engine.dll", "Component verified: engine.dll"},
    {"Baixando nyra-004.pck: 12 MB de 80 MB", "Downloading nyra-004.pck: 12 MB of 80 MB"},
    {"Conectando ao servidor. Tentando novamente (2 de 4)...", "Connecting to server. Retrying (2 of 4)..."},
    {"3 pacote(s) ausente(s) ou corrompido(s). Reparando automaticamente...",
     "3 package(s) missing or damaged. Repairing automatically..."},
    {"1 MB de 2 MB de 3", "1 MB of 2 MB de 3"},  // first occurrence only
    {"1 aviso novo no portal.", "1 new notification on the portal."},
    {"12 avisos novos no portal.", "12 new notifications on the portal."},
    {"Reparando nyra-003.pck | 12 / 480 MB", "Repairing nyra-003.pck | 12 / 480 MB"},
    {"Aproveitando dados ja baixados: nyra-001.pck", "Reusing data already downloaded: nyra-001.pck"},
    {"Dados aproveitados nao conferem. Baixando de novo: nyra-002.pck",
     "Reused data did not match. Downloading again: nyra-002.pck"},
    {"212 GB livres", "212 GB free"},
    {"jogador_01", "jogador_01"},
    {"Resposta do servidor invalida.", "Invalid server response."},
    {"Usuario ou senha invalidos.", "Usuario ou senha invalidos."},
    {"", ""},
    {"conectando", "conectando"},  // case matters
};

TEST(TranslateForDisplay, PortugueseLeavesEveryTextAlone) {
    for (const auto& c : kExactPairs) EXPECT_EQ(TranslateForDisplay(c.portuguese, false), c.portuguese);
    for (const auto& c : kRules) EXPECT_EQ(TranslateForDisplay(c.portuguese, false), c.portuguese);
}

TEST(TranslateForDisplay, ExactPairs) {
    for (const auto& c : kExactPairs) EXPECT_EQ(TranslateForDisplay(c.portuguese, true), c.english) << c.portuguese;
}

TEST(TranslateForDisplay, PrefixAndOccurrenceRules) {
    for (const auto& c : kRules) EXPECT_EQ(TranslateForDisplay(c.portuguese, true), c.english) << c.portuguese;
}

TEST(TranslateForDisplay, CategoryThenStatusPrefixBothApply) {
    // One category word and one status prefix can both stand at position 0 of the working copy.
    EXPECT_EQ(TranslateForDisplay("EVENTOConferindo pacote x", true), "EVENTConferindo pacote x");
    EXPECT_EQ(TranslateForDisplay("Baixando 5 MB de 9 MB (1 de 4)...", true), "Downloading 5 MB of 9 MB (1 of 4)...");
}

// What English reads must not keep Portuguese pieces: accented letters are the surest sign.
bool looksPortuguese(std::string_view text) {
    for (const std::string_view piece : {"ç", "ã", "õ", "á", "é", "í", "ó", "ú", "â", "ê", "ô", "à", "Ç", "Ã", "Õ", "Á",
                                         "É", "Í", "Ó", "Ú", "Â", "Ê", "Ô", "À", " de ", " do ", " da ", " os ", " no ",
                                         " na ", " para ", " sua ", " seu ", " com ", " ou ", "ando ", "endo "}) {
        if (text.find(piece) != std::string_view::npos) return true;
    }
    return false;
}

TEST(TranslateForDisplay, EveryTextTheScreensShowHasAnEnglishForm) {
    std::vector<std::string> shown;
    for (auto list : {test::statusTexts(), test::splashTexts(), test::noticeTexts(), test::statusTitles(),
                      test::signedInLines()}) {
        shown.insert(shown.end(), list.begin(), list.end());
    }
    UiState s;
    for (const bool online : {false, true}) {
        for (const bool signedIn : {false, true}) {
            s.serverOnline = online;
            s.signedIn = signedIn;
            shown.emplace_back(ui::playButtonLabel(s));
            shown.emplace_back(ui::serverChipText(s));
        }
    }
    s.busy = true;
    for (const int kind : {kBusyConnecting, kBusyChecking, kBusyDownloading, kBusyPreparing, kBusyFinished}) {
        s.busyKind = kind;
        shown.emplace_back(ui::playButtonLabel(s));
    }
    shown.emplace_back(ui::kSignedInFooterText);
    for (const char* key : {"atualizacao", "evento", "manutencao", "comunidade"}) {
        shown.emplace_back(ui::categoryStyle(key).label);
    }
    const NewsItem builtIn = ui::builtInNewsItem();
    shown.push_back(builtIn.title);
    shown.push_back(builtIn.summary);

    for (const std::string& text : shown) {
        const std::string english = TranslateForDisplay(text, true);
        EXPECT_NE(english, text) << text;
        EXPECT_FALSE(looksPortuguese(english)) << text << " -> " << english;
    }
}

TEST(TranslateForDisplay, Utf16TextsFollowTheSameRules) {
    EXPECT_EQ(TranslateForDisplay(std::u16string_view(u"OPÇÕES"), true), u"SETTINGS");
    EXPECT_EQ(TranslateForDisplay(std::u16string_view(u"JOGO: 7"), true), u"GAME: 7");
    EXPECT_EQ(TranslateForDisplay(std::u16string_view(u"OPÇÕES"), false), u"OPÇÕES");
    const std::u16string broken{u'A', char16_t(0xD800)};
    EXPECT_EQ(TranslateForDisplay(std::u16string_view(broken), true), broken);
}

}  // namespace
}  // namespace nyra
