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

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
#include <thread>
#include <vector>

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
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            throw std::runtime_error("pipe failed");
        }
        int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        pid_t parent = ::getpid();
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            // The child dies with the test, even when the test crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            if (err >= 0) ::dup2(err, 2);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        if (err >= 0) ::close(err);
        if (pid < 0) {
            ::close(in[1]);
            ::close(out[0]);
            throw std::runtime_error("fork failed");
        }
        pid_ = pid;
        ::setpgid(pid_, pid_);  // also from here, so killpg works even before the child ran
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { readLoop(); });
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
    bool send(const json& message) {
        std::string line = message.dump() + "\n";
        std::lock_guard lock(writeMutex_);
        if (stdin_ < 0) return false;
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(stdin_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }

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
        if (pid_ > 0) {
            send({{"cmd", "close"}});
            {
                std::lock_guard lock(writeMutex_);
                if (stdin_ >= 0) ::close(stdin_);
                stdin_ = -1;
            }
            auto deadline = Clock::now() + 10s;
            int status = 0;
            bool exited = false;
            while (Clock::now() < deadline) {
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    exited = true;
                    break;
                }
                // Reaping has no event to wait on short of SIGCHLD handling, which a test must not take over.
                std::this_thread::sleep_for(20ms);
            }
            ::kill(-pid_, SIGKILL);
            if (!exited) ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
        std::error_code ec;
        if (!std::getenv("MUREL_INTEROP_KEEP_LOGS")) std::filesystem::remove(stderrPath_, ec);
    }

private:
    void readLoop() {
        std::string buffer;
        char chunk[65536];
        for (;;) {
            ssize_t n = ::read(stdout_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
            size_t pos;
            while ((pos = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, pos);
                buffer.erase(0, pos + 1);
                if (line.empty()) continue;
                json parsed = json::parse(line, nullptr, false);
                if (parsed.is_discarded() || !parsed.is_object())
                    parsed = json{{"event", "garbage"}, {"line", line}};
                deliver(std::move(parsed));
            }
        }
        std::lock_guard lock(mutex_);
        eof_ = true;
        cv_.notify_all();
    }

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
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::thread reader_;

    std::mutex writeMutex_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<json> lines_;
    std::function<void(const json&)> signalHandler_;
    bool eof_ = false;
};

}  // namespace murel::interop
