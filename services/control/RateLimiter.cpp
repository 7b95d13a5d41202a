#include "RateLimiter.hpp"

#include <algorithm>

namespace murel {

RateLimiter::RateLimiter(std::size_t perSecond, std::size_t burst, std::size_t maxKeys)
    : perSecond_(perSecond), burst_(std::max(burst, std::size_t{1})), maxKeys_(maxKeys) {}

void RateLimiter::refill(Bucket& bucket, std::int64_t now) const {
    if (now <= bucket.updated) return;
    const auto seconds = static_cast<std::uint64_t>(now - bucket.updated);
    // Saturating: a long-idle key simply has a full bucket.
    const std::uint64_t room = burst_ - bucket.tokens;
    std::uint64_t added = 0;
    if (perSecond_ > 0) added = seconds >= room ? room : std::min<std::uint64_t>(room, seconds * perSecond_);
    bucket.tokens += static_cast<std::size_t>(added);
    bucket.updated = now;
}

void RateLimiter::makeRoom(std::int64_t now) {
    // A full bucket is the same as no entry.
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        refill(it->second, now);
        it = it->second.tokens >= burst_ ? buckets_.erase(it) : std::next(it);
    }
    if (buckets_.size() >= maxKeys_ && !buckets_.empty()) {
        auto oldest = buckets_.begin();
        for (auto it = buckets_.begin(); it != buckets_.end(); ++it) {
            if (it->second.updated < oldest->second.updated) oldest = it;
        }
        buckets_.erase(oldest);
    }
}

bool RateLimiter::take(const std::string& key, std::int64_t now) {
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxKeys_) makeRoom(now);
        it = buckets_.emplace(key, Bucket{burst_, now}).first;
    }
    refill(it->second, now);
    if (it->second.tokens == 0) return false;
    --it->second.tokens;
    return true;
}

}  // namespace murel
