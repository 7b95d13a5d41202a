#include "protocol/Wipe.hpp"

#include <atomic>

namespace murel {

void wipe(void* data, std::size_t size) noexcept {
    if (data == nullptr || size == 0) return;
    // Volatile stores are observable behaviour, so they cannot be removed as dead stores; the
    // fence keeps them from being sunk past a following free.
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void wipe(std::string& text) noexcept {
    wipe(text.data(), text.size());
    text.clear();
}

}  // namespace murel
