#pragma once
// The guard channel's named pipe on Windows: private to this user and the system, one instance,
// local clients only, overlapped I/O whose every wait has a time-out and ends early on `cancel`.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/win/handles.h"
#include "session/guard_channel.h"

namespace nyra {

// Protected DACL: full access for LocalSystem and for the owner, nobody else.
inline constexpr wchar_t kGuardPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;OW)";

enum class PipeDirection { Read, Write };

// Moves exactly `length` bytes with overlapped ReadFile/WriteFile on `pipe`. Each chunk gets its
// own manual-reset event and waits at most `timeoutMs`; a chunk that times out (or is interrupted
// by `cancelEvent`, when given) is cancelled and its result collected before the transfer fails.
// A chunk that completes with zero bytes, or any error, fails it too.
bool pipeTransfer(HANDLE pipe, void* buffer, std::size_t length, PipeDirection direction, DWORD timeoutMs,
                  HANDLE cancelEvent = nullptr) noexcept;

class GuardPipe final : public GuardTransport {
public:
    // Creates the pipe and starts the overlapped wait for its client. Throws "Canal privado
    // indisponivel." (the descriptor), "Nao foi possivel criar o canal do jogo." (the pipe, also
    // when the name is taken) or "Canal do jogo indisponivel." (the connect).
    explicit GuardPipe(const std::u16string& name);
    // Cancels what is still pending and waits until the system is done with it.
    ~GuardPipe() override;
    GuardPipe(const GuardPipe&) = delete;  // the system holds the address of the pending connect
    GuardPipe& operator=(const GuardPipe&) = delete;

    bool waitForClient(std::uint32_t timeoutMs) override;
    std::optional<std::uint32_t> clientProcessId() override;
    bool read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    bool write(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs) override;

    // From any thread: every wait of the server ends at once and fails, its I/O is cancelled and
    // the client disconnected. Later transfers fail without waiting.
    void cancel() noexcept;

private:
    win::UniqueHandle pipe_;
    win::UniqueHandle connectEvent_;
    win::UniqueHandle cancelEvent_;
    OVERLAPPED connect_{};
    bool connectPending_ = false;  // the system still owns `connect_`
};

}  // namespace nyra
