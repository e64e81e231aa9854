#pragma once
// The guard's end of the launcher's private pipe: overlapped transfers with a time-out per chunk
// that also end at once when the guard is told to stop.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/win/handles.h"

namespace nyra::standin {

// The guard was told to stop while it waited; not a failure of the channel.
struct GuardStopped : std::runtime_error {
    GuardStopped() : std::runtime_error("stopped") {}
};

class PipeClient {
public:
    // Opens the pipe for reading and writing, retrying while it is busy or not there yet for at
    // most `waitMs`. The server may only identify this process, never impersonate it. Throws
    // std::runtime_error (or GuardStopped when `stop` is signalled meanwhile).
    static PipeClient connect(const std::wstring& name, HANDLE stop, DWORD waitMs);

    PipeClient() = default;
    explicit operator bool() const noexcept { return pipe_.valid(); }

    // Exactly `bytes` moved, each chunk within `timeoutMs`; `what` names the step in errors.
    void write(std::span<const std::uint8_t> bytes, DWORD timeoutMs, const std::string& what);
    void read(std::span<std::uint8_t> bytes, DWORD timeoutMs, const std::string& what);
    void close() noexcept { pipe_.reset(); }

private:
    PipeClient(win::UniqueHandle pipe, HANDLE stop) noexcept : pipe_(std::move(pipe)), stop_(stop) {}
    void transfer(std::uint8_t* data, std::size_t size, bool writing, DWORD timeoutMs, const std::string& what);

    win::UniqueHandle pipe_;
    HANDLE stop_ = nullptr;
};

// "<what>: <system text> (error N)" for a Windows error code.
std::string systemFailure(const std::string& what, DWORD error);

}  // namespace nyra::standin
