#pragma once
// A private Xvfb server for one test process: started with -displayfd so it picks a free display
// number itself, stopped (and reaped) when the object goes, and killed by the kernel should the
// test process die first.

#include <memory>
#include <string>

#include "ChildProcess.hpp"

namespace murel::test {

class XvfbDisplay {
public:
    // Starts Xvfb with one screen of width x height at 24 bits and waits (up to 30 s) until it
    // accepts clients. Throws std::runtime_error when it does not start.
    XvfbDisplay(int width = 1024, int height = 768);
    ~XvfbDisplay();

    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // ":N", for XOpenDisplay or DISPLAY.
    const std::string& name() const { return name_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    std::unique_ptr<ChildProcess> process_;
    std::string name_;
    int width_;
    int height_;
};

}  // namespace murel::test
