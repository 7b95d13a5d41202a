#include "PasswordInput.hpp"

#include <cerrno>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "protocol/Wipe.hpp"

namespace murel {
namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a prompt that cannot be shown does not stop the read
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Waits until `input` can be read. A signal that arrives just before a blocking read would leave
// the read waiting, so the wait wakes up now and then to look at the flag.
void awaitInput(int input, const volatile std::sig_atomic_t* interrupted) {
    for (;;) {
        if (interrupted != nullptr && *interrupted != 0) throw PasswordInterrupted();
        pollfd entry{input, POLLIN, 0};
        const int ready = ::poll(&entry, 1, interrupted != nullptr ? 100 : -1);
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) throw PasswordInputError("Cannot read the password");
    }
}

// Reads up to and including the next '\n', or to end of file. The result never reallocates: its
// capacity covers the limit plus the line end.
std::string readLine(int input, const volatile std::sig_atomic_t* interrupted) {
    std::string line;
    line.reserve(kMaxPasswordBytes + 2);
    bool tooLong = false;
    for (;;) {
        char c = 0;
        try {
            awaitInput(input, interrupted);
        } catch (...) {
            wipe(line);
            throw;
        }
        const ssize_t n = ::read(input, &c, 1);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR || error == EAGAIN) continue;  // the flag is looked at before waiting again
            wipe(line);
            throw PasswordInputError("Cannot read the password");
        }
        if (n == 0 || c == '\n') break;
        if (line.size() < kMaxPasswordBytes + 1) {
            line.push_back(c);
        } else {
            tooLong = true;  // keep consuming the line so nothing of it is read as a later answer
        }
        c = 0;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tooLong || line.size() > kMaxPasswordBytes) {
        wipe(line);
        throw PasswordInputError("Password is longer than 1024 bytes");
    }
    if (line.find('\0') != std::string::npos) {
        wipe(line);
        throw PasswordInputError("Password holds a NUL byte");
    }
    if (line.empty()) throw PasswordInputError("No password given");
    return line;
}

// Restores the terminal's settings when the read ends, however it ends.
class EchoOff {
public:
    EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) throw PasswordInputError("Cannot read the terminal settings");
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL | ICANON;
        if (::tcsetattr(fd_, TCSANOW, &quiet) != 0) throw PasswordInputError("Cannot switch terminal echo off");
    }
    ~EchoOff() {
        while (::tcsetattr(fd_, TCSANOW, &saved_) != 0 && errno == EINTR) {
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
};

}  // namespace

std::string readPassword(int input, int promptFd, std::string_view prompt,
                         const volatile std::sig_atomic_t* interrupted) {
    if (::isatty(input) != 1) return readLine(input, interrupted);
    // Echo goes off before the prompt appears, so nothing typed in answer to it is ever shown.
    EchoOff echoOff(input);
    writeAll(promptFd, prompt);
    return readLine(input, interrupted);
}

}  // namespace murel
