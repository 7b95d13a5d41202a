#pragma once
// A token bucket per key (a client address): `perSecond` units come back each second up to
// `burst`. Bounded memory. Not thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace murel {

class RateLimiter {
public:
    RateLimiter(std::size_t perSecond, std::size_t burst, std::size_t maxKeys = 65536);

    // Takes one unit from the key's bucket; false, taking nothing, when it is empty.
    bool take(const std::string& key, std::int64_t nowSeconds);
    std::size_t keyCount() const { return buckets_.size(); }

private:
    struct Bucket {
        std::size_t tokens = 0;
        std::int64_t updated = 0;
    };
    void refill(Bucket& bucket, std::int64_t now) const;
    void makeRoom(std::int64_t now);

    std::size_t perSecond_;
    std::size_t burst_;
    std::size_t maxKeys_;
    std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace murel
