#include "XvfbDisplay.hpp"

#include <chrono>
#include <stdexcept>

namespace murel::test {

XvfbDisplay::XvfbDisplay(int width, int height) : width_(width), height_(height) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    ChildOptions options;
    options.errorFile = "/dev/null";  // its warnings would only mix into the display number
    try {
        // -displayfd 1: the display number and a line feed on stdout once it accepts connections.
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp",
                                     "-noreset"},
            std::move(options));
    } catch (const std::exception&) {
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
    std::string number;
    process_->waitOutput(
        [&](const std::string& output) {
            const auto end = output.find('\n');
            if (end == std::string::npos) return false;
            number = output.substr(0, end);
            return true;
        },
        std::chrono::seconds(30));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        process_->stop(std::chrono::seconds(5));
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
    name_ = ":" + number;
}

XvfbDisplay::~XvfbDisplay() {
    if (process_) process_->stop(std::chrono::seconds(5));
}

}  // namespace murel::test
