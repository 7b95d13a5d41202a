// Password input: nothing typed is echoed, the terminal comes back as it was on every path, and
// piped input yields exactly one line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "PasswordInput.hpp"

namespace murel {
namespace {

struct Pty {
    int master = -1;
    int slave = -1;
    Pty() {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        termios settings{};
        ::tcgetattr(slave, &settings);
        settings.c_lflag |= ECHO | ICANON;
        ::tcsetattr(slave, TCSANOW, &settings);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
    void type(const std::string& text) const { ASSERT_EQ(::write(master, text.data(), text.size()), ssize_t(text.size())); }
    // Everything the terminal has shown so far.
    std::string screen() const {
        std::string shown;
        char buffer[512];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            shown.append(buffer, static_cast<std::size_t>(n));
        }
        return shown;
    }
    bool echoOn() const {
        termios settings{};
        ::tcgetattr(slave, &settings);
        return (settings.c_lflag & ECHO) != 0;
    }
};

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    }
    ~Pipe() {
        closeWrite();
        ::close(fds[0]);
    }
    void write(const std::string& text) { ASSERT_EQ(::write(fds[1], text.data(), text.size()), ssize_t(text.size())); }
    void closeWrite() {
        if (fds[1] >= 0) ::close(fds[1]);
        fds[1] = -1;
    }
};

std::string failure(int fd) {
    try {
        readPassword(fd, -1, "");
    } catch (const PasswordInputError& e) {
        return e.what();
    }
    return "read";
}

// Runs readPassword on the terminal and types `line` once the prompt shows (input typed earlier
// would be echoed by the terminal before the program could switch echo off). Returns the result or
// the failure text; `shown` receives what the terminal displayed.
std::string answerPrompt(const Pty& pty, const std::string& prompt, const std::string& line, std::string& shown) {
    std::string result;
    std::thread reader([&] {
        try {
            result = readPassword(pty.slave, pty.slave, prompt);
        } catch (const std::exception& e) {
            result = std::string("error: ") + e.what();
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (shown.find(prompt) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        shown += pty.screen();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pty.type(line);
    reader.join();
    shown += pty.screen();
    return result;
}

TEST(PasswordInput, TerminalShowsPromptButNeverThePassword) {
    Pty pty;
    std::string shown;
    EXPECT_EQ(answerPrompt(pty, "Password: ", "correct horse\r", shown), "correct horse");
    EXPECT_NE(shown.find("Password: "), std::string::npos);
    EXPECT_EQ(shown.find("correct"), std::string::npos) << "echoed: " << shown;
    EXPECT_NE(shown.find('\n'), std::string::npos) << "the line end is still echoed";
    EXPECT_TRUE(pty.echoOn()) << "echo restored";

    // An empty line is refused, and the terminal still comes back with echo.
    shown.clear();
    EXPECT_EQ(answerPrompt(pty, "Again: ", "\n", shown), "error: No password given");
    EXPECT_TRUE(pty.echoOn());
}

volatile std::sig_atomic_t stopFlag = 0;
void onSignal(int) { stopFlag = 1; }

TEST(PasswordInput, StopSignalEndsThePromptAndRestoresEcho) {
    Pty pty;
    struct sigaction action {}, previous{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the prompt must not depend on the signal interrupting a call
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    stopFlag = 0;

    std::atomic<bool> finished{false};
    std::atomic<bool> interrupted{false};
    std::thread reader([&] {
        try {
            readPassword(pty.slave, pty.slave, "Password: ", &stopFlag);
        } catch (const PasswordInterrupted&) {
            interrupted = true;
        } catch (...) {
        }
        finished = true;
    });
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (shown.find("Password: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        shown += pty.screen();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool echoOffWhileWaiting = !pty.echoOn();
    pthread_kill(reader.native_handle(), SIGUSR1);
    while (!finished && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!finished) pty.type("x\n");  // release the reader so the test can fail instead of hanging
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(echoOffWhileWaiting);
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(pty.echoOn());

    // A flag raised before the read starts (the signal came between the prompt and the read)
    // still ends it, with nothing typed.
    EXPECT_THROW(readPassword(pty.slave, pty.slave, "Password: ", &stopFlag), PasswordInterrupted);
    EXPECT_TRUE(pty.echoOn());
    stopFlag = 0;
}

TEST(PasswordInput, PipedInputIsOneLine) {
    {
        Pipe pipe;
        pipe.write("s3cret\r\nnext line\n");
        EXPECT_EQ(readPassword(pipe.fds[0], -1, "ignored"), "s3cret");
        EXPECT_EQ(readPassword(pipe.fds[0], -1, "ignored"), "next line") << "nothing after the first line was eaten";
    }
    {
        Pipe pipe;
        pipe.write("no newline");
        pipe.closeWrite();
        EXPECT_EQ(readPassword(pipe.fds[0], -1, ""), "no newline");
        EXPECT_EQ(failure(pipe.fds[0]), "No password given") << "end of file";
    }
    {
        Pipe pipe;
        pipe.write(std::string(kMaxPasswordBytes, 'p') + "\n" + std::string(kMaxPasswordBytes + 1, 'q') + "\nafter\n");
        EXPECT_EQ(readPassword(pipe.fds[0], -1, "").size(), kMaxPasswordBytes);
        EXPECT_EQ(failure(pipe.fds[0]), "Password is longer than 1024 bytes");
        EXPECT_EQ(readPassword(pipe.fds[0], -1, ""), "after") << "the long line was consumed whole";
    }
    {
        Pipe pipe;
        pipe.write(std::string("a\0b\n", 4));
        EXPECT_EQ(failure(pipe.fds[0]), "Password holds a NUL byte");
    }
}

}  // namespace
}  // namespace murel
