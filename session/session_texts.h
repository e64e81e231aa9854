#pragma once
// The player's messages of a game session, exactly as shown in the status line.
namespace nyra::texts {

// Launch
inline constexpr const char* kConfirmingVersion = "Confirmando a versao antes de abrir o jogo...";
inline constexpr const char* kNewUpdateOnServer =
    "Existe uma nova atualizacao no servidor. Clique em Jogar para atualizar; o jogo nao foi aberto.";
inline constexpr const char* kCloseOtherPrograms = "Feche outros programas que estejam alterando os arquivos do jogo.";
inline constexpr const char* kNoSecureRoute = "O servidor nao confirmou a rota segura do jogo.";
inline constexpr const char* kClientLimitReached = "Limite de clientes simultaneos atingido nesta maquina.";
inline constexpr const char* kCannotStartClient = "Nao foi possivel iniciar o cliente protegido.";
inline constexpr const char* kBadGameSession = "Sessao de jogo invalida.";
inline constexpr const char* kBadServerAnswer = "Resposta do servidor invalida.";
inline constexpr const char* kCannotCheckGameSessions = "Nao foi possivel conferir as sessoes do jogo.";

// Supervision
inline constexpr const char* kRelayBroken =
    "A conexao protegida do jogo foi interrompida. Abra uma nova sessao pelo launcher.";
inline constexpr const char* kEndedByLauncher = "Jogo encerrado pelo launcher.";
inline constexpr const char* kAutomationDetected =
    "A protecao detectou uma ferramenta de automacao ou trapaca em execucao.";
inline constexpr const char* kModificationDetected =
    "A protecao detectou uma alteracao no jogo. A proxima abertura ira conferir e reparar os arquivos.";
inline constexpr const char* kChannelInterruptedBefore = "O canal de protecao do jogo foi interrompido (codigo ";
inline constexpr const char* kChannelInterruptedAfter = "). Tente novamente; se persistir, contate o suporte.";
inline constexpr const char* kMemoryToolRecognised = "Ferramenta de alteracao de memoria reconhecida. Feche a ferramenta para jogar.";
inline constexpr const char* kBadHeartbeatAnswer = "Resposta de protecao invalida.";
inline constexpr const char* kServerLostTooLong =
    "A conexao com o servidor ficou fora por mais de 1 minuto. Abra o jogo novamente pelo launcher.";
inline constexpr const char* kComponentChangedBefore = "O codigo de um componente protegido foi alterado (";
inline constexpr const char* kComponentChangedAfter = "). O jogo foi encerrado.";
inline constexpr const char* kMemoryToolDetected =
    "Ferramenta de alteracao de memoria detectada. Feche a ferramenta e reabra o jogo.";
inline constexpr const char* kClientRefusedStart =
    "O cliente protegido recusou a inicializacao. Tente novamente; se persistir, contate o suporte.";
inline constexpr const char* kClientEndedBeforeGuard =
    "O cliente encerrou antes de confirmar a protecao. Tente novamente; se persistir, contate o suporte.";
inline constexpr const char* kUnknownStartFailure = "Falha desconhecida de inicializacao.";

}  // namespace nyra::texts
