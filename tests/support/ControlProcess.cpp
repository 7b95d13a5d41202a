#include "ControlProcess.hpp"

#include <atomic>
#include <regex>
#include <stdexcept>

#include <unistd.h>

#ifndef MUREL_CONTROL_BINARY
#error "MUREL_CONTROL_BINARY must name the murel-control executable"
#endif

namespace murel::test {

namespace fs = std::filesystem;

ControlProcess::ControlProcess(std::vector<std::string> extraArgs) : extraArgs_(std::move(extraArgs)) {
    static std::atomic<int> counter{0};
    data_ = fs::temp_directory_path() /
            ("murel-test-control-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(data_);
    fs::create_directories(data_);
    try {
        start(0);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(data_, ignored);
        throw;
    }
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

std::string ControlProcess::log() const {
    return process_ ? earlierLog_ + process_->output() : earlierLog_;
}

void ControlProcess::start(std::uint16_t port) {
    std::vector<std::string> args = {MUREL_CONTROL_BINARY, "--listen", "127.0.0.1:" + std::to_string(port),
                                     "--data", data_.string(), "--test-fast-hashes"};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    process_ = std::make_unique<ChildProcess>(std::move(args));
    static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+)\s)");
    std::uint16_t announced = 0;
    process_->waitOutput(
        [&](const std::string& output) {
            std::smatch match;
            if (!std::regex_search(output, match, listening)) return false;
            announced = static_cast<std::uint16_t>(std::stoi(match[1].str()));
            return true;
        },
        std::chrono::seconds(30));
    if (announced == 0 || (port != 0 && announced != port)) {
        stop();
        throw std::runtime_error("murel-control did not start:\n" + earlierLog_);
    }
    port_ = announced;
}

void ControlProcess::stop() {
    if (!process_) return;
    process_->stop(std::chrono::seconds(15));
    earlierLog_ += process_->output();
    process_.reset();
}

}  // namespace murel::test
