// A guard stand-in in a process of its own, for the Windows-side tests of the guard channel:
// connects to the pipe named on its command line, sends the secret given there (the right one:
// only the process id gives it away), then holds the connection until the launcher ends it.
// With "--hold-pipe NAME EVENT" it creates that pipe first signals EVENT and holds it until it is ended.
// Exit codes: 0 connected, 2 wrong arguments, 3 no connection (or no pipe made). Whether the secret got through is
// not reported: the launcher may refuse the process and cut the connection before it does.
#include <windows.h>

#include <string>
#include <string_view>

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wstring_view(argv[1]) == L"--hold-pipe") {
        // A squatter: makes a pipe of that name first, open to further instances, says so through
        // the named event and keeps the pipe until it is ended.
        const HANDLE pipe = ::CreateNamedPipeW(argv[2], PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                               PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return 3;
        const HANDLE made = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
        if (made == nullptr || !::SetEvent(made)) return 3;
        ::Sleep(INFINITE);
        return 0;
    }
    if (argc != 3) return 2;
    const std::wstring wideSecret = argv[2];
    if (wideSecret.size() != 64) return 2;
    const std::string secret(wideSecret.begin(), wideSecret.end());  // lowercase hex: ASCII

    const HANDLE pipe = ::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    if (::WriteFile(pipe, secret.data(), 64, &written, nullptr)) {
        char received = 0;
        DWORD got = 0;
        ::ReadFile(pipe, &received, 1, &got, nullptr);  // returns when the launcher disconnects
    }
    ::CloseHandle(pipe);
    return 0;
}
