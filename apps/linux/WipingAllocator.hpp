#pragma once
// An allocator that zeros memory before giving it back, for containers that may hold secrets
// and reallocate out of our sight (header fields, socket read buffers).

#include <cstddef>
#include <memory>

#include "protocol/Wipe.hpp"

namespace murel {

template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }

    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const noexcept { return false; }
};

}  // namespace murel
