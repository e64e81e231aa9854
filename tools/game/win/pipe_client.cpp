#include "tools/game/win/pipe_client.h"

#include <algorithm>

namespace nyra::standin {
namespace {

constexpr DWORD kLargestChunk = 65536;
constexpr DWORD kRetryMs = 100;

}  // namespace

std::string systemFailure(const std::string& what, DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const win::UniqueLocalMemory owner(text);
    std::string narrow;
    for (DWORD i = 0; i < length; ++i) {
        // System texts are ASCII in the locales this runs under; anything else becomes '?'.
        narrow += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    while (!narrow.empty() && (narrow.back() == '\n' || narrow.back() == '\r' || narrow.back() == ' ' ||
                               narrow.back() == '.')) {
        narrow.pop_back();
    }
    return what + ": " + (narrow.empty() ? std::string("system error") : narrow) + " (error " +
           std::to_string(error) + ")";
}

PipeClient PipeClient::connect(const std::wstring& name, HANDLE stop, DWORD waitMs) {
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    while (true) {
        win::UniqueHandle pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                             nullptr));
        if (pipe) return PipeClient(std::move(pipe), stop);
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) {
            throw std::runtime_error(systemFailure("connecting to the launcher's pipe", error));
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            throw std::runtime_error(systemFailure("connecting to the launcher's pipe (gave up after " +
                                                       std::to_string(waitMs) + " ms)",
                                                   error));
        }
        if (::WaitForSingleObject(stop, static_cast<DWORD>(std::min<ULONGLONG>(kRetryMs, deadline - now))) ==
            WAIT_OBJECT_0) {
            throw GuardStopped();
        }
    }
}

void PipeClient::write(std::span<const std::uint8_t> bytes, DWORD timeoutMs, const std::string& what) {
    // WriteFile never changes the buffer; the cast only fits the one transfer routine.
    transfer(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), true, timeoutMs, what);
}

void PipeClient::read(std::span<std::uint8_t> bytes, DWORD timeoutMs, const std::string& what) {
    transfer(bytes.data(), bytes.size(), false, timeoutMs, what);
}

void PipeClient::transfer(std::uint8_t* data, std::size_t size, bool writing, DWORD timeoutMs,
                          const std::string& what) {
    if (!pipe_) throw std::runtime_error(what + ": the pipe is closed");
    const win::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) throw std::runtime_error(systemFailure(what, ::GetLastError()));
    std::size_t moved = 0;
    while (moved < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - moved, kLargestChunk));
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        ::ResetEvent(event.get());
        const BOOL started = writing ? ::WriteFile(pipe_.get(), data + moved, chunk, nullptr, &overlapped)
                                     : ::ReadFile(pipe_.get(), data + moved, chunk, nullptr, &overlapped);
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            throw std::runtime_error(systemFailure(what, ::GetLastError()));
        }
        DWORD done = 0;
        if (!started) {
            const HANDLE waits[2] = {event.get(), stop_};
            const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
            if (waited != WAIT_OBJECT_0) {
                // The transfer must be over before its OVERLAPPED goes out of scope.
                ::CancelIoEx(pipe_.get(), &overlapped);
                ::GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
                if (waited == WAIT_OBJECT_0 + 1) throw GuardStopped();
                throw std::runtime_error(what + ": no progress within " + std::to_string(timeoutMs) + " ms after " +
                                         std::to_string(moved) + " of " + std::to_string(size) + " bytes");
            }
        }
        if (!::GetOverlappedResult(pipe_.get(), &overlapped, &done, FALSE)) {
            throw std::runtime_error(systemFailure(what, ::GetLastError()));
        }
        if (done == 0) throw std::runtime_error(what + ": the transfer moved no bytes");
        moved += done;
    }
}

}  // namespace nyra::standin
