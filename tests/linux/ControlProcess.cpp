#include "ControlProcess.hpp"

#include <csignal>
#include <regex>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestServer.hpp"

namespace murel::test {

namespace fs = std::filesystem;

ControlProcess::ControlProcess(std::vector<std::string> extraArgs) : extraArgs_(std::move(extraArgs)) {
    static std::atomic<int> counter{0};
    data_ = fs::path(::testing::TempDir()) /
            ("murel-linux-control-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(data_);
    fs::create_directories(data_);
    start(0);
}

ControlProcess::~ControlProcess() {
    stop();
    std::error_code ignored;
    fs::remove_all(data_, ignored);
}

void ControlProcess::restart() {
    stop();
    start(port_);
}

std::string ControlProcess::log() {
    std::lock_guard<std::mutex> guard(lock_);
    return log_;
}

void ControlProcess::start(std::uint16_t port) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // Everything the child needs is prepared before fork: it only redirects and execs.
    std::vector<std::string> args = {MUREL_CONTROL_BINARY, "--listen", "127.0.0.1:" + std::to_string(port),
                                     "--data", data_.string(), "--test-fast-hashes"};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    {
        std::lock_guard<std::mutex> guard(lock_);
        announced_ = 0;
    }
    exited_ = false;
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::execv(MUREL_CONTROL_BINARY, argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    output_ = pipeFds[0];
    reader_ = std::thread([this, fd = output_] { drain(fd); });
    const bool up = waitFor(
        [this] {
            std::lock_guard<std::mutex> guard(lock_);
            return announced_ != 0 || exited_.load();
        },
        std::chrono::seconds(30));
    std::uint16_t announced = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        announced = announced_;
    }
    if (!up || announced == 0 || (port != 0 && announced != port)) {
        const std::string output = log();
        stop();
        throw std::runtime_error("murel-control did not start:\n" + output);
    }
    port_ = announced;
}

void ControlProcess::drain(int fd) {
    char buffer[4096];
    static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
    // Only output of this run counts: an earlier run's announcement is already in the log.
    std::size_t scanned = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        scanned = log_.size();
    }
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        std::lock_guard<std::mutex> guard(lock_);
        log_.append(buffer, static_cast<std::size_t>(n));
        std::smatch match;
        const std::string fresh = log_.substr(scanned);
        if (announced_ == 0 && std::regex_search(fresh, match, listening)) {
            announced_ = static_cast<std::uint16_t>(std::stoi(match[1].str()));
            scanned = log_.size();
        }
    }
    exited_ = true;
}

void ControlProcess::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!waitFor([this] { return exited_.load(); }, std::chrono::seconds(15))) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (output_ >= 0) ::close(output_);
    output_ = -1;
}

}  // namespace murel::test
