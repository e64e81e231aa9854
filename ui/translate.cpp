#include "ui/translate.h"

#include "core/text.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace nyra {
namespace {

using Pair = std::pair<std::string_view, std::string_view>;

// Exact replacements: the whole text must match the Portuguese side.
constexpr Pair kExact[] = {
    {"CONTINUE SUA JORNADA", "CONTINUE YOUR JOURNEY"},
    {"De volta ao mundo", "Back to the world"},
    {"de Nyra Saga", "of Nyra Saga"},
    {"Sua jornada começa aqui.", "Your journey begins here."},
    {"Servidor online", "Server online"},
    {"Sem conexão", "Not connected"},
    {"ACESSO À CONTA", "ACCOUNT LOGIN"},
    {"Usuário", "Username"},
    {"Seu usuário", "Your username"},
    {"Senha", "Password"},
    {"Sua senha", "Your password"},
    {"OCULTAR", "HIDE"},
    {"MOSTRAR", "SHOW"},
    {"CRIAR CONTA", "REGISTER"},
    {"ESQUECI SENHA", "RESET PASSWORD"},
    {"Bem-vindo de volta,", "Welcome back,"},
    {"Preparando os arquivos...", "Preparing files..."},
    {"Sua aventura está pronta.", "Your adventure awaits."},
    {"SAIR DA CONTA", "SIGN OUT"},
    {"Clique em Jogar para entrar no mundo de Nyra Saga.", "Click Play to enter the world of Nyra Saga."},
    {"RECONECTAR", "RECONNECT"},
    {"JOGAR AGORA", "PLAY NOW"},
    {"ENTRAR E JOGAR", "LOG IN AND PLAY"},
    {"VERIFICAR", "VERIFY"},
    {"OPÇÕES", "SETTINGS"},
    {"CONECTANDO AO SERVIDOR", "CONNECTING TO SERVER"},
    {"VERIFICANDO ARQUIVOS", "VERIFYING FILES"},
    {"BAIXANDO ARQUIVOS", "DOWNLOADING FILES"},
    {"PREPARANDO O JOGO", "PREPARING THE GAME"},
    {"VERIFICAÇÃO CONCLUÍDA", "VERIFICATION COMPLETE"},
    {"PRONTO PARA JOGAR", "READY TO PLAY"},
    {"STATUS DO JOGO", "GAME STATUS"},
    {"CONECTANDO", "CONNECTING"},
    {"VERIFICANDO", "VERIFYING"},
    {"BAIXANDO", "DOWNLOADING"},
    {"PREPARANDO", "PREPARING"},
    {"AGUARDE", "PLEASE WAIT"},
    {"ATUALIZAÇÃO", "UPDATE"},
    {"EVENTO", "EVENT"},
    {"MANUTENÇÃO", "MAINTENANCE"},
    {"COMUNIDADE", "COMMUNITY"},
    {"NOTÍCIAS", "NEWS"},
    {"VER TODAS", "VIEW ALL"},
    {"LER MAIS", "READ MORE"},
    {"ÚLTIMAS NOTÍCIAS", "LATEST NEWS"},
    {"Mais notícias no portal e no Discord da comunidade.", "More news on the portal and community Discord."},
    {"Conectando ao Nyra Saga Brasil...", "Connecting to Nyra Saga Brasil..."},
    {"Consultando...", "Checking..."},
    {"Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.",
     "Welcome back! Click Play to enter the world of Nyra Saga."},
    {"Seu portal para o mundo de Nyra Saga esta pronto.", "Your portal to the world of Nyra Saga is ready."},
    {"Verificacao concluida. Pronto para jogar.", "Verification complete. Ready to play."},
    {"Voce saiu da conta. Entre com outra conta quando quiser.",
     "You have signed out. You can log in with another account."},
    {"Conexao restabelecida. Sua aventura espera por voce.", "Connection restored. Your adventure awaits."},
    {"Validando sua conta...", "Validating your account..."},
    {"Arquivos conferidos. Abrindo o jogo...", "Files verified. Starting the game..."},
    {"Arquivos corretos e atualizados. Nenhum download necessario.",
     "Files are correct and up to date. No download needed."},
    {"Arquivos recebidos e validados. Tudo pronto para jogar.", "Files received and verified. Ready to play."},
    {"Sua aventura continua. Clique em Jogar para voltar.", "Your adventure continues. Click Play to return."},
    {"Baixando catalogo novo ou reparando o catalogo local...", "Downloading or repairing the game catalog..."},
    {"Pacotes sem alteracoes registradas. Conferindo os componentes protegidos...",
     "Packages are unchanged. Checking protected components..."},
    {"Pacotes integros. Conferindo os componentes do jogo...", "Packages verified. Checking game components..."},
    {"Pacotes corretos: nenhum download de pacote necessario. Preparando o jogo...",
     "Packages verified. No downloads needed. Preparing the game..."},
    {"Downloads validados. Preparando o jogo...", "Downloads verified. Preparing the game..."},
    {"Verificacao concluida. Nenhum download necessario.", "Verification complete. No download needed."},
    {"Verificacao concluida. Arquivos recebidos e validados.", "Verification complete. Files received and verified."},
    {"Conferindo a versao atual no servidor...", "Checking the current server version..."},
    {"Nova atualizacao encontrada. Sincronizando com o servidor...",
     "New update found. Synchronizing with the server..."},
    {"Confirmando a versao antes de abrir o jogo...", "Confirming the version before starting the game..."},
    {"Entre com sua conta para preparar sua aventura.", "Log in to prepare your adventure."},
    {"Tudo pronto. Os arquivos da aventura foram conferidos.", "Ready. Your game files have been verified."},
    {"VER TODAS  \u203A", "VIEW ALL  \u203A"},
    {"\u2605 FIXADO", "\u2605 PINNED"},
    {"Bem-vindo ao Nyra Saga Brasil", "Welcome to Nyra Saga Brasil"},
    {"\u2605 DESTAQUE", "\u2605 FEATURED"},
    {"As novidades da equipe aparecem aqui assim que forem publicadas no portal.",
     "Updates from the team will appear here when published on the portal."},
    {"Entrando no Nyra Saga...", "Entering Nyra Saga..."},
    {"Autenticando...", "Authenticating..."},
    {"Idioma aplicado ao launcher e ao próximo início do jogo.",
     "Language applied to the launcher and the next game launch."},
    {"Configurações", "Settings"},
    {"RESOLUÇÃO", "RESOLUTION"},
    {"MODO DE EXIBIÇÃO", "DISPLAY MODE"},
    {"GRÁFICOS", "GRAPHICS"},
    {"Padrão", "Standard"},
    {"Aprimorado", "Enhanced"},
    {"Tela cheia", "Fullscreen"},
    {"Janela", "Windowed"},
    {"SALVAR E VOLTAR", "SAVE AND BACK"},
    // The notices of the portal links and the browser, the sign-in prompt, the language notice's
    // failure and the install panel: shown on the same screens, so they speak the same language.
    {"Portal aberto no navegador.", "Portal opened in your browser."},
    {"Notícias abertas no navegador.", "News opened in your browser."},
    {"Notícia aberta no navegador.", "News story opened in your browser."},
    {"Crie sua conta no navegador. Depois volte para entrar no launcher.",
     "Create your account in the browser, then come back to log in."},
    {"Recuperacao de senha aberta no navegador.", "Password recovery opened in your browser."},
    {"Nao foi possivel abrir o navegador. Acesse o portal manualmente.",
     "The browser could not be opened. Please visit the portal yourself."},
    {"Nao foi possivel salvar o idioma.", "The language could not be saved."},
    // The one text shown for any answer or record the JSON library refused, whatever it said.
    {"Resposta do servidor invalida.", "Invalid server response."},
    {"Informe seu usuario e senha do Nyra Saga Brasil.", "Enter your Nyra Saga Brasil username and password."},
    {"Escolha onde instalar o jogo.", "Choose where to install the game."},
    {"Instalar o Nyra", "Install Nyra"},
    {"Escolha onde o jogo será instalado. Ele ocupa cerca de 10 GB.",
     "Choose where the game will be installed. It takes about 10 GB."},
    {"ESCOLHER OUTRA PASTA\u2026", "CHOOSE ANOTHER FOLDER\u2026"},
    {"Um atalho \"Nyra Saga Brasil\" será criado na Área de Trabalho.",
     "A \"Nyra Saga Brasil\" shortcut will be created on the desktop."},
    {"Escolha um disco com espaço livre.", "Choose a drive with free space."},
    {"Nenhum disco com 12 GB livres. Libere espaço ou escolha outra pasta.",
     "No drive has 12 GB free. Free up space or choose another folder."},
    {"INSTALAR AQUI", "INSTALL HERE"},
    {"INSTALANDO...", "INSTALLING..."},
};

// Every slot of the table is filled (a short initializer list would leave empty pairs behind).
constexpr bool allFilled() {
    for (const auto& [portuguese, english] : kExact) {
        if (portuguese.empty() || english.empty()) return false;
    }
    return true;
}
static_assert(allFilled());

constexpr Pair kGamePrefix{"JOGO: ", "GAME: "};

// News category labels at the start of a text ("EVENTO  ·  28 de fev. de 2026"), in this order.
constexpr std::array<Pair, 4> kCategoryPrefixes{{
    {"COMUNIDADE", "COMMUNITY"},
    {"ATUALIZAÇÃO", "UPDATE"},
    {"EVENTO", "EVENT"},
    {"MANUTENÇÃO", "MAINTENANCE"},
}};

// Status lines that name a package, a component or a count after a fixed beginning.
constexpr std::array<Pair, 10> kStatusPrefixes{{
    {"Conferindo pacote ", "Checking package "},
    {"Pacote sem alteracoes registradas: ", "Package unchanged: "},
    {"Validando o pacote recebido: ", "Verifying downloaded package: "},
    {"Conferindo componente: ", "Checking component: "},
    {"Componente conferido: ", "Component verified: "},
    {"Baixando ", "Downloading "},
    {"Conectando ao servidor. Tentando novamente (", "Connecting to server. Retrying ("},
    {"Reparando ", "Repairing "},
    {"Aproveitando dados ja baixados: ", "Reusing data already downloaded: "},
    {"Dados aproveitados nao conferem. Baixando de novo: ", "Reused data did not match. Downloading again: "},
}};

// Fixed pieces after a number ("3 pacote(s) ...", "(2 de 4)...", "12 MB de 80 MB", "212 GB livres").
constexpr std::array<Pair, 4> kFirstOccurrences{{
    {" pacote(s) ausente(s) ou corrompido(s). Reparando automaticamente...",
     " package(s) missing or damaged. Repairing automatically..."},
    {" de 4)...", " of 4)..."},
    {" MB de ", " MB of "},
    {" GB livres", " GB free"},
}};

constexpr std::array<Pair, 2> kNotificationCounts{{
    {" aviso novo no portal.", " new notification on the portal."},
    {" avisos novos no portal.", " new notifications on the portal."},
}};

template <std::size_t N>
void replaceFirstPrefix(std::string& text, const std::array<Pair, N>& prefixes) {
    for (const auto& [portuguese, english] : prefixes) {
        if (text.starts_with(portuguese)) {
            text.replace(0, portuguese.size(), english);
            return;
        }
    }
}

template <std::size_t N>
void replaceFirstOccurrences(std::string& text, const std::array<Pair, N>& pairs) {
    for (const auto& [portuguese, english] : pairs) {
        if (const auto at = text.find(portuguese); at != std::string::npos) {
            text.replace(at, portuguese.size(), english);
        }
    }
}

}  // namespace

std::string TranslateForDisplay(std::string_view text, bool english) {
    if (!english) return std::string(text);
    for (const auto& [portuguese, translated] : kExact) {
        if (text == portuguese) return std::string(translated);
    }
    if (text.starts_with(kGamePrefix.first)) {
        return std::string(kGamePrefix.second).append(text.substr(kGamePrefix.first.size()));
    }
    std::string copy(text);
    replaceFirstPrefix(copy, kCategoryPrefixes);
    replaceFirstPrefix(copy, kStatusPrefixes);
    replaceFirstOccurrences(copy, kFirstOccurrences);
    replaceFirstOccurrences(copy, kNotificationCounts);
    return copy;
}

std::u16string TranslateForDisplay(std::u16string_view text, bool english) {
    if (!english) return std::u16string(text);
    try {
        return utf8ToUtf16(TranslateForDisplay(utf16ToUtf8(text), true));
    } catch (const std::runtime_error&) {
        return std::u16string(text);
    }
}

}  // namespace nyra
