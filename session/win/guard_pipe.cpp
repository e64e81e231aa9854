#include "session/win/guard_pipe.h"

#include <algorithm>
#include <stdexcept>

#include "platform/win/user_security.h"

namespace nyra {
namespace {

constexpr DWORD kPipeBufferBytes = 4096;
constexpr DWORD kPipeDefaultTimeoutMs = 5000;

bool isSignalled(HANDLE event) noexcept { return event != nullptr && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The pipe just created is the only instance of a one-instance pipe. The first-instance flag alone
// is not enough everywhere (Wine ignores it and joins a pipe of that name as a further instance,
// with its maker's limits and descriptor), so the created pipe is asked what it belongs to.
bool isSoleInstance(HANDLE pipe) noexcept {
    DWORD maxInstances = 0;
    DWORD currentInstances = 0;
    return ::GetNamedPipeInfo(pipe, nullptr, nullptr, nullptr, &maxInstances) && maxInstances == 1 &&
           ::GetNamedPipeHandleStateW(pipe, nullptr, &currentInstances, nullptr, nullptr, nullptr, 0) &&
           currentInstances == 1;
}

}  // namespace

bool pipeTransfer(HANDLE pipe, void* buffer, std::size_t length, PipeDirection direction, DWORD timeoutMs,
                  HANDLE cancelEvent) noexcept {
    auto* cursor = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        if (isSignalled(cancelEvent)) return false;
        win::UniqueHandle chunkDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!chunkDone) return false;
        OVERLAPPED overlapped{};
        overlapped.hEvent = chunkDone.get();
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(length, MAXDWORD));
        const BOOL completed = direction == PipeDirection::Read
                                   ? ::ReadFile(pipe, cursor, chunk, nullptr, &overlapped)
                                   : ::WriteFile(pipe, cursor, chunk, nullptr, &overlapped);
        if (!completed) {
            if (::GetLastError() != ERROR_IO_PENDING) return false;
            const HANDLE waits[] = {chunkDone.get(), cancelEvent};
            const DWORD woken = ::WaitForMultipleObjects(cancelEvent != nullptr ? 2 : 1, waits, FALSE, timeoutMs);
            if (woken != WAIT_OBJECT_0) {
                // The system may still write into `overlapped` and the buffer until the cancelled
                // transfer has completed: wait for that before either goes away.
                ::CancelIoEx(pipe, &overlapped);
                DWORD ignored = 0;
                ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                return false;
            }
        }
        DWORD moved = 0;
        if (!::GetOverlappedResult(pipe, &overlapped, &moved, FALSE) || moved == 0) return false;
        cursor += moved;
        length -= moved;
    }
    return true;
}

GuardPipe::GuardPipe(const std::u16string& name) {
    win::UniqueHandle connectEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    win::UniqueHandle cancelEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connectEvent || !cancelEvent) throw std::runtime_error("Canal do jogo indisponivel.");

    win::UniqueHandle pipe;
    {
        const win::UniqueLocalMemory descriptor = win::securityDescriptorFromText(kGuardPipeSecurity);
        if (!descriptor) throw std::runtime_error("Canal privado indisponivel.");
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
        // One instance, and it must be the first: a pipe of that name made by anyone else is
        // never joined.
        pipe.reset(::CreateNamedPipeW(reinterpret_cast<const wchar_t*>(name.c_str()),
                                      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                      kPipeBufferBytes, kPipeBufferBytes, kPipeDefaultTimeoutMs, &attributes));
    }  // the pipe keeps its own copy of the descriptor
    if (!pipe || !isSoleInstance(pipe.get())) throw std::runtime_error("Nao foi possivel criar o canal do jogo.");

    // The pending connect holds the address of `connect_`; nothing after it throws while it pends.
    connect_.hEvent = connectEvent.get();
    if (!::ConnectNamedPipe(pipe.get(), &connect_)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            connectPending_ = true;
        } else if (error != ERROR_PIPE_CONNECTED) {  // connected between creation and the call: fine
            throw std::runtime_error("Canal do jogo indisponivel.");
        }
    }
    pipe_ = std::move(pipe);
    connectEvent_ = std::move(connectEvent);
    cancelEvent_ = std::move(cancelEvent);
}

GuardPipe::~GuardPipe() {
    if (connectPending_) {
        ::CancelIoEx(pipe_.get(), &connect_);
        DWORD ignored = 0;
        ::GetOverlappedResult(pipe_.get(), &connect_, &ignored, TRUE);
    }
}

bool GuardPipe::waitForClient(std::uint32_t timeoutMs) {
    if (!connectPending_) return !isSignalled(cancelEvent_.get());  // it connected at once
    const HANDLE waits[] = {connectEvent_.get(), cancelEvent_.get()};
    const DWORD woken = ::WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woken != WAIT_OBJECT_0) ::CancelIoEx(pipe_.get(), &connect_);
    DWORD ignored = 0;
    const BOOL connected = ::GetOverlappedResult(pipe_.get(), &connect_, &ignored, TRUE);
    connectPending_ = false;
    // A client that connected just as the time ran out still counts; a cancelled channel never.
    return connected && woken != WAIT_OBJECT_0 + 1;
}

std::optional<std::uint32_t> GuardPipe::clientProcessId() {
    ULONG processId = 0;
    if (!::GetNamedPipeClientProcessId(pipe_.get(), &processId)) return std::nullopt;
    return static_cast<std::uint32_t>(processId);
}

bool GuardPipe::read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    return pipeTransfer(pipe_.get(), buffer.data(), buffer.size(), PipeDirection::Read, timeoutMs,
                        cancelEvent_.get());
}

bool GuardPipe::write(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs) {
    // WriteFile never writes into its buffer; pipeTransfer takes one pointer type for both ways.
    return pipeTransfer(pipe_.get(), const_cast<std::uint8_t*>(bytes.data()), bytes.size(), PipeDirection::Write,
                        timeoutMs, cancelEvent_.get());
}

void GuardPipe::cancel() noexcept {
    ::SetEvent(cancelEvent_.get());
    ::CancelIoEx(pipe_.get(), nullptr);
    ::DisconnectNamedPipe(pipe_.get());
}

}  // namespace nyra
