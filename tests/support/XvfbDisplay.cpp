#include "XvfbDisplay.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace murel::test {

XvfbDisplay::XvfbDisplay(int width, int height) : width_(width), height_(height) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe for Xvfb failed");
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        throw std::runtime_error("fork for Xvfb failed");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        // The write end must survive exec; dup2 onto a fresh number clears close-on-exec.
        const int writeFd = dup2(pipeFds[1], 3) == 3 ? 3 : -1;
        if (writeFd < 0) _exit(127);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);

    // Xvfb writes the display number and a line feed once it accepts connections.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool done = false;
    while (!done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        const ssize_t got = read(pipeFds[0], &c, 1);
        if (got <= 0) break;
        if (c == '\n') {
            done = !number.empty();
            break;
        }
        number += c;
    }
    close(pipeFds[0]);
    if (!done) {
        stop();
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
    name_ = ":" + number;
}

XvfbDisplay::~XvfbDisplay() { stop(); }

void XvfbDisplay::stop() noexcept {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 5000; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace murel::test
