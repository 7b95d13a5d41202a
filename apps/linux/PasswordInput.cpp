#include "PasswordInput.hpp"

#include <cerrno>

#include <termios.h>
#include <unistd.h>

#include "platform/Wipe.hpp"

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

// Reads up to and including the next '\n', or to end of file. The result never reallocates: its
// capacity covers the limit plus the line end.
std::string readLine(int input) {
    std::string line;
    line.reserve(kMaxPasswordBytes + 2);
    bool tooLong = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(input, &c, 1);
        if (n < 0) {
            const int error = errno;
            wipe(line);
            if (error == EINTR) throw PasswordInterrupted();
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

std::string readPassword(int input, int promptFd, std::string_view prompt) {
    if (::isatty(input) != 1) return readLine(input);
    // Echo goes off before the prompt appears, so nothing typed in answer to it is ever shown.
    EchoOff echoOff(input);
    writeAll(promptFd, prompt);
    return readLine(input);
}

}  // namespace murel
