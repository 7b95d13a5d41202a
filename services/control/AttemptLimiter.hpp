#pragma once
// Counts attempts per key (an e-mail or a client address) in a sliding window and refuses further
// ones for a key that reached its limit: failed sign-ins, registrations. Bounded memory. Not
// thread-safe.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace murel {

class AttemptLimiter {
public:
    AttemptLimiter(std::size_t maxAttempts, std::int64_t windowSeconds, std::size_t maxKeys = 65536);

    bool blocked(const std::string& key, std::int64_t now);
    void record(const std::string& key, std::int64_t now);
    void reset(const std::string& key);
    // Seconds until a blocked key may try again (at least 1); 0 when it is not blocked.
    std::int64_t retryAfter(const std::string& key, std::int64_t now);
    std::size_t keyCount() const { return attempts_.size(); }

private:
    void prune(std::deque<std::int64_t>& times, std::int64_t now) const;
    void makeRoom(std::int64_t now);

    std::size_t maxAttempts_;
    std::int64_t windowSeconds_;
    std::size_t maxKeys_;
    std::unordered_map<std::string, std::deque<std::int64_t>> attempts_;
};

}  // namespace murel
