#pragma once
// The status texts the jobs show in the game status panel (Portuguese; the screens translate
// them). Failures show their own messages instead.
#include <string>

namespace nyra::flow_texts {

inline constexpr const char* kWelcomeBack = "Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.";
inline constexpr const char* kPortalReady = "Seu portal para o mundo de Nyra Saga esta pronto.";
inline constexpr const char* kReconnected = "Conexao restabelecida. Sua aventura espera por voce.";
inline constexpr const char* kValidating = "Validando sua conta...";
inline constexpr const char* kOpeningGame = "Arquivos conferidos. Abrindo o jogo...";
inline constexpr const char* kAfterGame = "Sua aventura continua. Clique em Jogar para voltar.";
inline constexpr const char* kReceived = "Arquivos recebidos e validados. Tudo pronto para jogar.";
inline constexpr const char* kUpToDate = "Arquivos corretos e atualizados. Nenhum download necessario.";
inline constexpr const char* kSignedOut = "Voce saiu da conta. Entre com outra conta quando quiser.";
inline constexpr const char* kCredentials = "Informe seu usuario e senha do Nyra Saga Brasil.";
inline constexpr const char* kUnexpected = "Falha inesperada no launcher. Tente novamente.";

// Every status text above that is not a failure, in no particular order.
inline constexpr const char* kStatusTexts[] = {kWelcomeBack, kPortalReady, kReconnected, kValidating, kOpeningGame,
                                               kAfterGame,   kReceived,    kUpToDate,    kSignedOut,  kCredentials};

// "Conectando ao servidor. Tentando novamente (2 de 4)...": the wait before policy attempt `next`.
inline std::string connectRetryText(int next, int attempts) {
    return "Conectando ao servidor. Tentando novamente (" + std::to_string(next) + " de " + std::to_string(attempts) +
           ")...";
}

}  // namespace nyra::flow_texts
