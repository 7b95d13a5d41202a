#pragma once
// Another client of the test's X display: one override-redirect window over the whole screen that
// has the keyboard focus and reports what arrives, as the input behaviour suite counts it. Kept
// apart from the tests so that X11's macros never meet the test framework's names.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SinkBehaviour.hpp"

struct _XDisplay;

namespace murel::test {

class XReader {
public:
    XReader(const std::string& displayName, int width, int height);
    ~XReader();

    XReader(const XReader&) = delete;
    XReader& operator=(const XReader&) = delete;

    // Reads what is there, waiting at most `wait` for the first event.
    void read(std::vector<Arrived>& into, std::chrono::milliseconds wait);

    // The keycodes the keymap gives at least one symbol, ascending.
    std::vector<std::uint8_t> keycodesWithSymbols();

private:
    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;
};

}  // namespace murel::test
