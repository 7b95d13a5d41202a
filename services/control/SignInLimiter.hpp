#pragma once
// Counts failed sign-ins per key (an e-mail or a client address) in a sliding window and refuses
// further attempts for a key that reached its limit. Bounded memory. Not thread-safe.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace murel {

class SignInLimiter {
public:
    SignInLimiter(std::size_t maxFailures, std::int64_t windowSeconds, std::size_t maxKeys = 65536);

    bool blocked(const std::string& key, std::int64_t now);
    void recordFailure(const std::string& key, std::int64_t now);
    void reset(const std::string& key);
    std::size_t keyCount() const { return failures_.size(); }

private:
    void prune(std::deque<std::int64_t>& times, std::int64_t now) const;
    void makeRoom(std::int64_t now);

    std::size_t maxFailures_;
    std::int64_t windowSeconds_;
    std::size_t maxKeys_;
    std::unordered_map<std::string, std::deque<std::int64_t>> failures_;
};

}  // namespace murel
