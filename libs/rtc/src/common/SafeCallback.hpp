#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace rtc::impl {

// A replaceable callback that is always invoked outside its lock, so the callback itself may
// replace or clear it, or call back into its owner.
template <typename... Args> class SafeCallback {
public:
    using Function = std::function<void(Args...)>;

    void set(Function function) {
        auto shared = function ? std::make_shared<const Function>(std::move(function)) : nullptr;
        std::lock_guard lock(mMutex);
        mFunction.swap(shared);
    }

    void reset() { set(nullptr); }

    explicit operator bool() const {
        std::lock_guard lock(mMutex);
        return static_cast<bool>(mFunction);
    }

    // Returns false when no callback was set.
    bool operator()(Args... args) const {
        std::shared_ptr<const Function> function;
        {
            std::lock_guard lock(mMutex);
            function = mFunction;
        }
        if (!function)
            return false;
        (*function)(std::forward<Args>(args)...);
        return true;
    }

private:
    mutable std::mutex mMutex;
    std::shared_ptr<const Function> mFunction;
};

} // namespace rtc::impl
