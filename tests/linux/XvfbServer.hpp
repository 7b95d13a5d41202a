#pragma once
// One private Xvfb per test fixture: it picks a free display number itself (-displayfd) and is
// stopped and reaped with the object; it also dies with the test process.

#include <string>

#include <sys/types.h>

namespace murel::test {

class XvfbServer {
public:
    // Starts Xvfb with one width x height x 24 screen and waits (up to 20 s) until it reports its
    // display. Throws std::runtime_error otherwise.
    explicit XvfbServer(int width = 1280, int height = 720);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N"
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace murel::test
