#pragma once
// Owns one WinHTTP handle (session, connection, request or WebSocket) and closes it once.

#ifndef NOMINMAX
#define NOMINMAX  // keep std::min / std::max usable wherever this header goes
#endif
#include <windows.h>
#include <winhttp.h>

#include <utility>

namespace murel::win {

class WinHttpHandle {
public:
    WinHttpHandle() noexcept = default;
    explicit WinHttpHandle(HINTERNET handle) noexcept : handle_(handle) {}
    ~WinHttpHandle() { reset(); }

    WinHttpHandle(WinHttpHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    WinHttpHandle& operator=(WinHttpHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;

    HINTERNET get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // Closes the handle now; closing keeps the thread's last error as it was, so a failure code
    // read after the close still belongs to the call that failed.
    void reset() noexcept {
        if (handle_ == nullptr) return;
        const DWORD error = GetLastError();
        WinHttpCloseHandle(std::exchange(handle_, nullptr));
        SetLastError(error);
    }

private:
    HINTERNET handle_ = nullptr;
};

}  // namespace murel::win
