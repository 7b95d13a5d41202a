#include "ChildProcess.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace murel::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment,
                           std::string input)
    : ChildProcess(std::move(argv), [&] {
          ChildOptions options;
          options.environment = std::move(environment);
          options.input = std::move(input);
          return options;
      }()) {}

ChildProcess::ChildProcess(std::vector<std::string> argv, ChildOptions options) : ownGroup_(options.ownGroup) {
    if (argv.empty()) throw std::invalid_argument("ChildProcess needs a program");
    // Everything the child needs is made before fork: afterwards it only redirects and execs.
    auto& environment = options.environment;
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

    int error = -1;
    if (!options.errorFile.empty()) {
        error = ::open(options.errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (error < 0) throw std::runtime_error("cannot open " + options.errorFile.string());
    }
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        if (error >= 0) ::close(error);
        throw std::runtime_error("pipe");
    }
    if (::pipe2(in, O_CLOEXEC) != 0) {
        for (int fd : {out[0], out[1], error})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("pipe");
    }
    const pid_t parent = ::getpid();
    const bool ownGroup = ownGroup_;
    pid_ = ::fork();
    if (pid_ < 0) {
        for (int fd : {out[0], out[1], in[0], in[1], error})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        if (ownGroup) ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(error >= 0 ? error : out[1], 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    // Also from here, so the group exists before the child has run.
    if (ownGroup_) ::setpgid(pid_, pid_);
    ::close(out[1]);
    ::close(in[0]);
    if (error >= 0) ::close(error);
    input_ = in[1];
    // Small inputs (a password line) fit the pipe.
    if (!options.input.empty()) write(options.input);
    if (!options.keepInputOpen) closeInput();
    reader_ = std::thread([this, fd = out[0], onLine = std::move(options.onLine), onEnd = std::move(options.onEnd)] {
        read(fd, onLine, onEnd);
    });
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill(SIGKILL);
        waitExit(std::chrono::seconds(30));
    }
    closeInput();
    if (reader_.joinable()) reader_.join();
}

bool ChildProcess::write(std::string_view text) {
    std::lock_guard<std::mutex> guard(inputLock_);
    if (input_ < 0) return false;
    // A child that stopped reading must fail the write, not raise SIGPIPE in the test.
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool ok = true;
    while (!text.empty()) {
        const ssize_t n = ::write(input_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            if (errno == EPIPE) {
                const timespec none{0, 0};
                ::sigtimedwait(&pipeSignal, nullptr, &none);
            }
            break;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

void ChildProcess::closeInput() {
    std::lock_guard<std::mutex> guard(inputLock_);
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void ChildProcess::read(int fd, std::function<void(std::string)> onLine, std::function<void()> onEnd) {
    char buffer[65536];
    std::string partial;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0 && onLine) {
            partial.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n', start)) {
                onLine(partial.substr(start, end - start));
                start = end + 1;
            }
            partial.erase(0, start);
            continue;
        }
        if (n <= 0) {
            if (onLine && !partial.empty()) onLine(std::move(partial));
            if (onEnd) onEnd();
        }
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

bool ChildProcess::waitOutput(const std::function<bool(const std::string&)>& done,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(lock_);
    bool held = false;
    changed_.wait_for(guard, timeout, [&] {
        held = done(output_);
        return held || closed_;
    });
    return held;
}

std::optional<std::size_t> ChildProcess::waitFor(const std::string& text, std::chrono::milliseconds timeout,
                                                 std::size_t from) const {
    std::optional<std::size_t> found;
    waitOutput(
        [&](const std::string& output) {
            const auto at = output.find(text, std::min(from, output.size()));
            if (at != std::string::npos) found = at;
            return found.has_value();
        },
        timeout);
    return found;
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout,
                                                     std::size_t from) const {
    std::optional<std::string> line;
    waitOutput(
        [&](const std::string& output) {
            for (auto at = output.find(prefix, std::min(from, output.size())); at != std::string::npos;
                 at = output.find(prefix, at + 1)) {
                const bool lineStart = at == 0 || output[at - 1] == '\n' || output[at - 1] == '\r';
                const auto end = output.find('\n', at);
                // A line that is not complete yet is taken once its end arrives.
                if (!lineStart) continue;
                if (end == std::string::npos) return false;
                line = output.substr(at, end - at);
                return true;
            }
            return false;
        },
        timeout);
    return line;
}

bool ChildProcess::waitOutputClosed(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return closed_; });
}

void ChildProcess::kill(int number) {
    if (pid_ <= 0) return;
    ::kill(ownGroup_ ? -pid_ : pid_, number);
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
        // Reaping has no event to wait on short of SIGCHLD handling, which a test must not take over.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (running()) {
        ::kill(pid_, SIGTERM);
        if (!waitExit(grace)) {
            kill(SIGKILL);
            waitExit(std::chrono::seconds(30));
        }
    }
    if (ownGroup_) kill(SIGKILL);  // whatever the child left in its group
    closeInput();
    waitOutputClosed(std::chrono::seconds(5));
    return status_.value_or(-1);
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
    child.waitOutputClosed(std::chrono::seconds(5));
    finished.status = status.value_or(-1);
    finished.output = child.output();
    return finished;
}

}  // namespace murel::test
