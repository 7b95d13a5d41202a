#pragma once
// Our rtc::PeerConnection wired to a ChildPeer: local descriptions and candidates go to the child as
// JSON lines, the child's come back and are applied; every state, channel, open, close and message
// is recorded so the test can wait for it.

#include "ChildPeer.hpp"

#include "rtc/PeerConnection.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace murel::interop {

inline rtc::binary bytesOf(const std::string& s) {
    rtc::binary b(s.size());
    std::transform(s.begin(), s.end(), b.begin(), [](char c) { return static_cast<std::byte>(c); });
    return b;
}

inline std::string base64(const rtc::binary& data) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t v = (std::to_integer<uint32_t>(data[i]) << 16) | (std::to_integer<uint32_t>(data[i + 1]) << 8) |
                     std::to_integer<uint32_t>(data[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += digits[(v >> k) & 63];
    }
    if (i < data.size()) {
        uint32_t v = std::to_integer<uint32_t>(data[i]) << 16;
        if (i + 1 < data.size()) v |= std::to_integer<uint32_t>(data[i + 1]) << 8;
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < data.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

inline rtc::binary unbase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    rtc::binary out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::byte>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

class LocalPeer {
public:
    using Clock = std::chrono::steady_clock;

    struct Received {
        std::string label;
        rtc::message_variant data;
    };

    LocalPeer(rtc::Configuration config, ChildPeer& child) : child_(child) {
        config.disableAutoNegotiation = true;
        pc = std::make_shared<rtc::PeerConnection>(std::move(config));
        pc->onLocalDescription([this](rtc::Description d) {
            json signal = {{"type", d.typeString()}, {"sdp", std::string(d)}};
            {
                std::lock_guard lock(mutex_);
                signal.update(descriptionExtras_);
            }
            child_.send(signal);
        });
        pc->onLocalCandidate([this](rtc::Candidate c) {
            {
                std::lock_guard lock(mutex_);
                localCandidates_.push_back(c);
            }
            child_.send({{"type", "candidate"}, {"candidate", c.candidate()}, {"mid", c.mid()}});
        });
        pc->onGatheringStateChange([this](rtc::PeerConnection::GatheringState s) {
            if (s != rtc::PeerConnection::GatheringState::Complete) return;
            std::lock_guard lock(mutex_);
            gatheringComplete_ = true;
            cv_.notify_all();
        });
        pc->onStateChange([this](rtc::PeerConnection::State s) {
            std::lock_guard lock(mutex_);
            states_.push_back(s);
            cv_.notify_all();
        });
        pc->onDataChannel([this](std::shared_ptr<rtc::DataChannel> dc) { attach(dc); });
        child_.onSignal([this](const json& s) { applySignal(s); });
    }

    ~LocalPeer() {
        // The child's reader thread may be applying a signal right now: end the child (which joins
        // that thread) before the connection goes; later sends to it are refused quietly.
        child_.stop();
        pc->resetCallbacks();
        std::vector<std::shared_ptr<rtc::DataChannel>> channels;
        {
            std::lock_guard lock(mutex_);
            for (auto& [label, dc] : channels_) channels.push_back(dc);
        }
        for (auto& dc : channels) dc->resetCallbacks();
        pc->close();
    }

    // Fields added to every description sent to the child (e.g. {"video":"send"}: answer with video).
    void setDescriptionExtras(json extras) {
        std::lock_guard lock(mutex_);
        descriptionExtras_ = std::move(extras);
    }

    // Wakes waitUntil() after state the test keeps itself has changed.
    void notify() {
        std::lock_guard lock(mutex_);
        cv_.notify_all();
    }

    std::shared_ptr<rtc::DataChannel> createChannel(const std::string& label, rtc::DataChannelInit init = {}) {
        auto dc = pc->createDataChannel(label, std::move(init));
        attach(dc);
        return dc;
    }

    void attach(std::shared_ptr<rtc::DataChannel> dc) {
        std::string label = dc->label();
        {
            std::lock_guard lock(mutex_);
            channels_[label] = dc;
            cv_.notify_all();
        }
        std::weak_ptr<rtc::DataChannel> weak = dc;
        dc->onOpen([this, label] {
            std::lock_guard lock(mutex_);
            opened_.insert(label);
            cv_.notify_all();
        });
        dc->onClosed([this, label] {
            std::lock_guard lock(mutex_);
            closed_.insert(label);
            cv_.notify_all();
        });
        dc->onError([this, label](std::string error) {
            std::lock_guard lock(mutex_);
            errors_.push_back(label + ": " + error);
            cv_.notify_all();
        });
        dc->onMessage([this, label](rtc::message_variant data) {
            std::lock_guard lock(mutex_);
            received_.push_back({label, std::move(data)});
            cv_.notify_all();
        });
    }

    void applySignal(const json& s) {
        std::string type = s.value("type", "");
        if (type == "offer" || type == "answer") {
            pc->setRemoteDescription(rtc::Description(s.at("sdp").get<std::string>(), type));
            if (type == "offer") pc->setLocalDescription(rtc::Description::Type::Answer);
        } else if (type == "candidate") {
            std::string text = s.value("candidate", "");
            if (text.empty()) return;  // end of candidates: nothing to add
            std::string mid = s.contains("mid") && s["mid"].is_string() ? s["mid"].get<std::string>() : "";
            pc->addRemoteCandidate(mid.empty() ? rtc::Candidate(text) : rtc::Candidate(text, mid));
        }
    }

    template <typename Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds timeout = kPeerTimeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return pred(); });
    }

    bool waitState(rtc::PeerConnection::State state, std::chrono::milliseconds timeout = kPeerTimeout) {
        return waitUntil([&] { return std::find(states_.begin(), states_.end(), state) != states_.end(); }, timeout);
    }
    bool waitOpen(const std::string& label) {
        return waitUntil([&] { return opened_.count(label) > 0; });
    }
    bool waitClosed(const std::string& label) {
        return waitUntil([&] { return closed_.count(label) > 0; });
    }
    bool waitGatheringComplete() {
        return waitUntil([&] { return gatheringComplete_; });
    }
    std::shared_ptr<rtc::DataChannel> waitChannel(const std::string& label) {
        std::shared_ptr<rtc::DataChannel> dc;
        waitUntil([&] {
            auto it = channels_.find(label);
            if (it != channels_.end()) dc = it->second;
            return dc != nullptr;
        });
        return dc;
    }

    // The oldest message received on `label`, removed; empty on time-out.
    std::optional<rtc::message_variant> nextMessage(const std::string& label,
                                                    std::chrono::milliseconds timeout = kPeerTimeout) {
        std::optional<rtc::message_variant> out;
        waitUntil(
            [&] {
                for (auto it = received_.begin(); it != received_.end(); ++it) {
                    if (it->label == label) {
                        out = std::move(it->data);
                        received_.erase(it);
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return out;
    }

    std::vector<rtc::Candidate> localCandidates() const {
        std::lock_guard lock(mutex_);
        return localCandidates_;
    }
    std::vector<rtc::PeerConnection::State> states() const {
        std::lock_guard lock(mutex_);
        return states_;
    }
    std::vector<std::string> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

    std::shared_ptr<rtc::PeerConnection> pc;

private:
    ChildPeer& child_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<rtc::Candidate> localCandidates_;
    std::vector<rtc::PeerConnection::State> states_;
    std::map<std::string, std::shared_ptr<rtc::DataChannel>> channels_;
    std::set<std::string> opened_;
    std::set<std::string> closed_;
    std::vector<std::string> errors_;
    std::deque<Received> received_;
    bool gatheringComplete_ = false;
    json descriptionExtras_ = json::object();
};

}  // namespace murel::interop
