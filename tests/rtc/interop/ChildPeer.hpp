#pragma once
// A reference peer (aiortc_peer.py, chromium_peer.py beside this file) run as a child process and
// spoken to in JSON lines over its stdin/stdout.
//
// A reader thread takes every line as it comes: signals ({"type":"offer"|"answer"|"candidate"})
// go straight to the signal handler, so the far side's descriptions and candidates are applied
// while the test waits on something else; every other line is kept for waitFor(). The child runs
// in its own process group, dies with the test process, and is killed (group and all) when this
// object goes away. Its stderr goes to a file whose tail is shown when something fails.

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.hpp"

namespace murel::interop {

using json = nlohmann::json;
using namespace std::chrono_literals;

// Generous: Chromium starts slowly on a loaded two-core machine; every wait ends at its event.
inline constexpr std::chrono::seconds kPeerTimeout{60};

inline std::filesystem::path scriptDir() {
    if (const char* dir = std::getenv("MUREL_INTEROP_DIR")) return dir;
#ifdef MUREL_INTEROP_SCRIPTS
    // __FILE__ may be relative to the build folder (ccache's base_dir rewrites it), so the build
    // says where the scripts are.
    return MUREL_INTEROP_SCRIPTS;
#else
    return std::filesystem::path(__FILE__).parent_path();
#endif
}

// Debian's interpreter: that is where python3-aiortc, python3-av and python3-websockets live.
inline const char* kPython = "/usr/bin/python3";
inline const char* kChromium = "/usr/bin/chromium";

inline bool aiortcAvailable() {
    return ::access(kPython, X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import aiortc, av' >/dev/null 2>&1") == 0;
}
inline bool chromiumAvailable() { return ::access(kChromium, X_OK) == 0; }

class ChildPeer {
public:
    using Clock = std::chrono::steady_clock;

    // kind: "aiortc" or "chromium"; config: the peer's start-up options (ICE servers, policy, ...).
    static std::unique_ptr<ChildPeer> start(const std::string& kind, const json& config = json::object()) {
        std::string script = (scriptDir() / (kind + "_peer.py")).string();
        return std::make_unique<ChildPeer>(kind, std::vector<std::string>{kPython, script, config.dump()});
    }

    ChildPeer(std::string name, std::vector<std::string> argv) : name_(std::move(name)) {
        static std::atomic<int> counter{0};
        stderrPath_ = std::filesystem::temp_directory_path() /
                      ("murel-interop-" + name_ + "-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter++) + ".log");
        test::ChildOptions options;
        options.keepInputOpen = true;
        options.errorFile = stderrPath_;
        options.ownGroup = true;
        options.onLine = [this](std::string line) {
            if (line.empty()) return;
            json parsed = json::parse(line, nullptr, false);
            if (parsed.is_discarded() || !parsed.is_object()) parsed = json{{"event", "garbage"}, {"line", line}};
            deliver(std::move(parsed));
        };
        options.onEnd = [this] {
            std::lock_guard lock(mutex_);
            eof_ = true;
            cv_.notify_all();
        };
        process_ = std::make_unique<test::ChildProcess>(std::move(argv), std::move(options));
    }

    ~ChildPeer() { stop(); }

    ChildPeer(const ChildPeer&) = delete;
    ChildPeer& operator=(const ChildPeer&) = delete;

    const std::string& name() const { return name_; }

    // Called on the reader thread, in order, for every offer, answer and candidate line of the child.
    // Set it before the first command that makes the child signal; signals before that are kept as
    // ordinary lines.
    void onSignal(std::function<void(const json&)> handler) {
        std::lock_guard lock(mutex_);
        signalHandler_ = std::move(handler);
    }

    // Writes one line; false when the child is gone. Safe from any thread.
    bool send(const json& message) { return process_->write(message.dump() + "\n"); }

    // The first kept line (oldest first) that satisfies pred, removed from the kept lines; empty on
    // time-out or when the child ended without one. An {"event":"error"} line ends the wait too
    // (and is returned when pred does not take it) so a failing peer does not cost the full time-out.
    std::optional<json> waitFor(const std::function<bool(const json&)>& pred,
                                std::chrono::milliseconds timeout = kPeerTimeout) {
        std::unique_lock lock(mutex_);
        auto deadline = Clock::now() + timeout;
        for (;;) {
            for (auto it = lines_.begin(); it != lines_.end(); ++it) {
                if (pred(*it)) {
                    json found = std::move(*it);
                    lines_.erase(it);
                    return found;
                }
            }
            for (auto& l : lines_)
                if (l.value("event", "") == "error") return l;
            if (eof_) return std::nullopt;
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && Clock::now() >= deadline)
                return std::nullopt;
        }
    }

    // The first {"event": event} line whose fields include every member of `fields`.
    std::optional<json> waitEvent(const std::string& event, const json& fields = json::object(),
                                  std::chrono::milliseconds timeout = kPeerTimeout) {
        return waitFor(
            [&](const json& l) {
                if (l.value("event", "") != event) return false;
                for (auto& [k, v] : fields.items())
                    if (!l.contains(k) || l[k] != v) return false;
                return true;
            },
            timeout);
    }

    // Every kept line and the end of the child's stderr, for failure messages.
    std::string diagnostics() const {
        std::ostringstream out;
        {
            std::lock_guard lock(mutex_);
            out << name_ << " lines:";
            for (auto& l : lines_) out << "\n  " << l.dump().substr(0, 300);
        }
        std::ifstream err(stderrPath_);
        std::deque<std::string> tail;
        for (std::string line; std::getline(err, line);) {
            tail.push_back(line);
            if (tail.size() > 30) tail.pop_front();
        }
        out << "\n" << name_ << " stderr:";
        for (auto& l : tail) out << "\n  " << l;
        return out.str();
    }

    // Asks the child to close, waits a little for a clean exit, then kills its group.
    void stop() {
        if (process_->running()) {
            send({{"cmd", "close"}});
            process_->closeInput();
            process_->waitExit(10s);
        }
        // Kills the group and waits until the reader has handed over the last line.
        process_->stop(0s);
        std::error_code ec;
        if (!std::getenv("MUREL_INTEROP_KEEP_LOGS")) std::filesystem::remove(stderrPath_, ec);
    }

private:
    void deliver(json line) {
        std::unique_lock lock(mutex_);
        if (line.contains("type") && signalHandler_) {
            auto handler = signalHandler_;
            lock.unlock();
            try {
                handler(line);
                return;
            } catch (const std::exception& e) {
                line = {{"event", "error"},
                        {"message", "applying " + line.value("type", std::string()) + ": " + e.what()}};
            }
            lock.lock();
        }
        lines_.push_back(std::move(line));
        cv_.notify_all();
    }

    std::string name_;
    std::filesystem::path stderrPath_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<json> lines_;
    std::function<void(const json&)> signalHandler_;
    bool eof_ = false;
    // Last: it goes first, so its reader thread never sees the members above destroyed.
    std::unique_ptr<test::ChildProcess> process_;
};

}  // namespace murel::interop
