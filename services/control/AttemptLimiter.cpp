#include "AttemptLimiter.hpp"

#include <algorithm>

namespace murel {

AttemptLimiter::AttemptLimiter(std::size_t maxAttempts, std::int64_t windowSeconds, std::size_t maxKeys)
    : maxAttempts_(std::max<std::size_t>(maxAttempts, 1)), windowSeconds_(windowSeconds), maxKeys_(maxKeys) {}

void AttemptLimiter::prune(std::deque<std::int64_t>& times, std::int64_t now) const {
    while (!times.empty() && times.front() + windowSeconds_ <= now) times.pop_front();
}

bool AttemptLimiter::blocked(const std::string& key, std::int64_t now) {
    const auto it = attempts_.find(key);
    if (it == attempts_.end()) return false;
    prune(it->second, now);
    if (it->second.empty()) {
        attempts_.erase(it);
        return false;
    }
    return it->second.size() >= maxAttempts_;
}

std::int64_t AttemptLimiter::retryAfter(const std::string& key, std::int64_t now) {
    if (!blocked(key, now)) return 0;
    const auto& times = attempts_.at(key);
    // Allowed again once enough of the oldest attempts have left the window.
    const std::int64_t leaves = times[times.size() - maxAttempts_] + windowSeconds_;
    return std::max<std::int64_t>(1, leaves - now);
}

void AttemptLimiter::makeRoom(std::int64_t now) {
    for (auto it = attempts_.begin(); it != attempts_.end();) {
        prune(it->second, now);
        it = it->second.empty() ? attempts_.erase(it) : std::next(it);
    }
    // Still full: forget the key whose newest attempt is oldest.
    if (attempts_.size() >= maxKeys_ && !attempts_.empty()) {
        auto oldest = attempts_.begin();
        for (auto it = attempts_.begin(); it != attempts_.end(); ++it) {
            if (it->second.back() < oldest->second.back()) oldest = it;
        }
        attempts_.erase(oldest);
    }
}

void AttemptLimiter::record(const std::string& key, std::int64_t now) {
    auto it = attempts_.find(key);
    if (it == attempts_.end()) {
        if (attempts_.size() >= maxKeys_) makeRoom(now);
        it = attempts_.emplace(key, std::deque<std::int64_t>{}).first;
    }
    prune(it->second, now);
    it->second.push_back(now);
    while (it->second.size() > maxAttempts_) it->second.pop_front();
}

void AttemptLimiter::reset(const std::string& key) { attempts_.erase(key); }

}  // namespace murel
