#pragma once
// A scripted murel::Http for tests. It records every request it receives and answers each from a
// queue of scripted replies: a JSON body to return, a raw body that is parsed the way the real
// client parses one, or a failure to throw. A request with no reply left fails the running test,
// and so (unless allowed) does a reply still queued when the fake is destroyed.

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "protocol/Http.hpp"
#include "protocol/Wire.hpp"

namespace murel::test {

class FakeHttp : public Http {
public:
    FakeHttp() = default;
    FakeHttp(const FakeHttp&) = delete;
    FakeHttp& operator=(const FakeHttp&) = delete;

    ~FakeHttp() override {
        if (checkUnused_ && !replies_.empty()) {
            ADD_FAILURE() << "FakeHttp destroyed with " << replies_.size()
                          << " scripted repl(ies) never requested";
        }
    }

    // Queues a response body returned as it is.
    FakeHttp& reply(Json body) {
        std::lock_guard lock(mutex_);
        replies_.push_back({Kind::Body, std::move(body), {}});
        return *this;
    }

    // Queues a raw response body that is run through parseWire with the control-service limit, as
    // the real client does after a 2xx status (so "" behaves like a 204 without a body).
    FakeHttp& replyText(std::string body) {
        std::lock_guard lock(mutex_);
        replies_.push_back({Kind::Text, nullptr, std::move(body)});
        return *this;
    }

    // Queues a failure: the request throws ProtocolError with this message.
    FakeHttp& fail(std::string message) {
        std::lock_guard lock(mutex_);
        replies_.push_back({Kind::Failure, nullptr, std::move(message)});
        return *this;
    }

    // Leftover replies at destruction are accepted (for tests that script more than may be used).
    void allowUnusedReplies() {
        std::lock_guard lock(mutex_);
        checkUnused_ = false;
    }

    Json request(const HttpRequest& request) override {
        Reply next;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            if (replies_.empty()) {
                ADD_FAILURE() << "FakeHttp: unscripted request " << request.method << ' ' << request.path;
                throw ProtocolError("FakeHttp: no scripted reply");
            }
            next = std::move(replies_.front());
            replies_.pop_front();
        }
        switch (next.kind) {
            case Kind::Body:
                return std::move(next.body);
            case Kind::Text:
                return parseWire(next.text, kControlBodyLimit);
            case Kind::Failure:
                break;
        }
        throw ProtocolError(next.text);
    }

    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    std::size_t requestCount() const {
        std::lock_guard lock(mutex_);
        return requests_.size();
    }

    // The most recent request; fails the test (and returns an empty request) when there is none.
    HttpRequest lastRequest() const {
        std::lock_guard lock(mutex_);
        if (requests_.empty()) {
            ADD_FAILURE() << "FakeHttp: no request was made";
            return {};
        }
        return requests_.back();
    }

    std::size_t unusedReplies() const {
        std::lock_guard lock(mutex_);
        return replies_.size();
    }

private:
    enum class Kind { Body, Text, Failure };
    struct Reply {
        Kind kind = Kind::Body;
        Json body;
        std::string text;
    };

    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    std::vector<HttpRequest> requests_;
    bool checkUnused_ = true;
};

}  // namespace murel::test
