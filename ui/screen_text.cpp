#include "ui/screen_text.h"

#include "ui/input.h"

namespace nyra::ui {

std::string_view playButtonLabel(const UiState& s) {
    if (s.busy) {
        switch (s.busyKind) {
        case kBusyConnecting: return "CONECTANDO";
        case kBusyChecking: return "VERIFICANDO";
        case kBusyDownloading: return "BAIXANDO";
        case kBusyPreparing: return "PREPARANDO";
        default: return "AGUARDE";
        }
    }
    if (!s.serverOnline) return "RECONECTAR";
    return s.signedIn ? "JOGAR AGORA" : "ENTRAR E JOGAR";
}

std::string_view statusPanelTitle(const UiState& s) {
    if (s.busy) {
        switch (s.busyKind) {
        case kBusyConnecting: return "CONECTANDO AO SERVIDOR";
        case kBusyChecking: return "VERIFICANDO ARQUIVOS";
        case kBusyDownloading: return "BAIXANDO ARQUIVOS";
        case kBusyPreparing: return "PREPARANDO O JOGO";
        default: return "VERIFICAÇÃO CONCLUÍDA";
        }
    }
    return readyToPlay(s) ? "PRONTO PARA JOGAR" : "STATUS DO JOGO";
}

bool readyToPlay(const UiState& s) { return !s.busy && s.progress == 100; }

const std::string& statusDetail(const UiState& s, std::uint64_t nowMs) {
    return noticeVisible(s, nowMs) ? s.noticeText : s.statusText;
}

std::string signedInLine(const UiState& s, std::size_t unread) {
    if (s.busy) return "Preparando os arquivos...";
    if (unread == 1) return "1 aviso novo no portal.";
    if (unread > 1) return std::to_string(unread) + " avisos novos no portal.";
    return "Sua aventura está pronta.";
}

std::string_view serverChipText(const UiState& s) { return s.serverOnline ? "Servidor online" : "Sem conexão"; }

std::string resolutionValueText(int width, int height) {
    return std::to_string(width) + " \u00D7 " + std::to_string(height) + "   \u203A";
}

std::string_view displayModeText(bool fullScreen, bool english) {
    if (english) return fullScreen ? "Fullscreen" : "Windowed";
    return fullScreen ? "Tela cheia" : "Janela";
}

std::string graphicsValueText(int mode, bool english) {
    const bool enhanced = shownGraphicsMode(mode) == 1;
    std::string text = english ? (enhanced ? "Enhanced" : "Standard") : (enhanced ? "Aprimorado" : "Padrão");
    return text + "   \u203A";
}

std::string_view gameLanguageValueText(bool languageEnglish) {
    return languageEnglish ? "English   \u203A" : "Português (Brasil)   \u203A";
}

}  // namespace nyra::ui
