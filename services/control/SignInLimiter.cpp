#include "SignInLimiter.hpp"

namespace murel {

SignInLimiter::SignInLimiter(std::size_t maxFailures, std::int64_t windowSeconds, std::size_t maxKeys)
    : maxFailures_(maxFailures), windowSeconds_(windowSeconds), maxKeys_(maxKeys) {}

void SignInLimiter::prune(std::deque<std::int64_t>& times, std::int64_t now) const {
    while (!times.empty() && times.front() + windowSeconds_ <= now) times.pop_front();
}

bool SignInLimiter::blocked(const std::string& key, std::int64_t now) {
    const auto it = failures_.find(key);
    if (it == failures_.end()) return false;
    prune(it->second, now);
    if (it->second.empty()) {
        failures_.erase(it);
        return false;
    }
    return it->second.size() >= maxFailures_;
}

void SignInLimiter::makeRoom(std::int64_t now) {
    for (auto it = failures_.begin(); it != failures_.end();) {
        prune(it->second, now);
        it = it->second.empty() ? failures_.erase(it) : std::next(it);
    }
    // Still full: forget the key whose newest failure is oldest.
    if (failures_.size() >= maxKeys_ && !failures_.empty()) {
        auto oldest = failures_.begin();
        for (auto it = failures_.begin(); it != failures_.end(); ++it) {
            if (it->second.back() < oldest->second.back()) oldest = it;
        }
        failures_.erase(oldest);
    }
}

void SignInLimiter::recordFailure(const std::string& key, std::int64_t now) {
    auto it = failures_.find(key);
    if (it == failures_.end()) {
        if (failures_.size() >= maxKeys_) makeRoom(now);
        it = failures_.emplace(key, std::deque<std::int64_t>{}).first;
    }
    prune(it->second, now);
    it->second.push_back(now);
    while (it->second.size() > maxFailures_) it->second.pop_front();
}

void SignInLimiter::reset(const std::string& key) { failures_.erase(key); }

}  // namespace murel
