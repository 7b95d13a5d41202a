#pragma once
// Overwrites secrets with zeros in a way the optimiser may not drop as a dead store.

#include <cstddef>
#include <string>

namespace murel {

void wipe(void* data, std::size_t size) noexcept;

// Zeros the characters of `text` and empties it (its capacity is kept, already zeroed).
void wipe(std::string& text) noexcept;

// Wipes a string when it leaves scope, on every path.
class WipeOnExit {
public:
    explicit WipeOnExit(std::string& text) noexcept : text_(text) {}
    ~WipeOnExit() { wipe(text_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::string& text_;
};

}  // namespace murel
