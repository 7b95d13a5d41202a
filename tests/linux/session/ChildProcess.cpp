#include "ChildProcess.hpp"

#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace murel::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment,
                           std::string input) {
    // Everything the child needs is made before fork: afterwards it only redirects and execs.
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto eq = text.find('=');
        if (eq != std::string::npos) environment.emplace(text.substr(0, eq), text.substr(eq + 1));
    }
    std::vector<std::string> envText;
    for (const auto& [key, value] : environment) envText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);

    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("pipe");
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        for (int fd : {out[0], out[1], in[0], in[1]}) ::close(fd);
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    // Small inputs (a password line) fit the pipe; the end of input follows at once.
    if (!input.empty()) {
        [[maybe_unused]] const auto written = ::write(in[1], input.data(), input.size());
    }
    ::close(in[1]);
    reader_ = std::thread([this, fd = out[0]] { read(fd); });
}

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(30));
    }
    if (reader_.joinable()) reader_.join();
}

void ChildProcess::read(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> guard(lock_);
        if (n <= 0) {
            closed_ = true;
            changed_.notify_all();
            break;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> guard(lock_);
    return output_;
}

std::optional<std::size_t> ChildProcess::waitFor(const std::string& text, std::chrono::milliseconds timeout,
                                                 std::size_t from) const {
    std::unique_lock<std::mutex> guard(lock_);
    std::optional<std::size_t> found;
    changed_.wait_for(guard, timeout, [&] {
        const auto at = output_.find(text, std::min(from, output_.size()));
        if (at != std::string::npos) found = at;
        return found.has_value() || closed_;
    });
    if (!found) {
        const auto at = output_.find(text, std::min(from, output_.size()));
        if (at != std::string::npos) found = at;
    }
    return found;
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout,
                                                     std::size_t from) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t searchFrom = from;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto at = waitFor(prefix, std::max(left, std::chrono::milliseconds(0)), searchFrom);
        if (!at) return std::nullopt;
        const std::string text = output();
        const bool lineStart = *at == 0 || text[*at - 1] == '\n' || text[*at - 1] == '\r';
        const auto end = text.find('\n', *at);
        if (lineStart && end != std::string::npos) return text.substr(*at, end - *at);
        if (!lineStart) {
            searchFrom = *at + 1;
            continue;
        }
        // The line is not complete yet.
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ChildProcess::signal(int number) {
    if (running()) ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_;
        }
        if (done < 0) return status_;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ChildProcess::running() { return !waitExit(std::chrono::milliseconds(0)).has_value() && pid_ > 0; }

Finished runToEnd(std::vector<std::string> argv, std::map<std::string, std::string> environment, std::string input,
                  std::chrono::milliseconds timeout) {
    ChildProcess child(std::move(argv), std::move(environment), std::move(input));
    Finished finished;
    const auto status = child.waitExit(timeout);
    if (!status) {
        child.signal(SIGKILL);
        child.waitExit(std::chrono::seconds(30));
    }
    child.waitFor("\x01never", std::chrono::seconds(5));  // until the output is closed
    finished.status = status.value_or(-1);
    finished.output = child.output();
    return finished;
}

}  // namespace murel::test
