// The layer's log hook: swallowed failures reach the application's sink, filtered levels cost no
// formatting, and a null sink turns it off.
#include <gtest/gtest.h>

#include "common/Log.hpp"
#include "common/SerialDispatcher.hpp"
#include "rtc/Log.hpp"

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using rtc::LogLevel;

struct Line {
    LogLevel level;
    std::string text;
};

// Collects what the sink receives, from whichever thread logs.
class LogRecorder {
public:
    rtc::LogSink sink() {
        return [this](LogLevel level, std::string_view text) {
            std::lock_guard lock(mMutex);
            mLines.push_back({level, std::string(text)});
            mChanged.notify_all();
        };
    }

    bool waitFor(std::size_t count) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, 10s, [&] { return mLines.size() >= count; });
    }

    std::vector<Line> lines() {
        std::lock_guard lock(mMutex);
        return mLines;
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<Line> mLines;
};

// Counts how often it is formatted.
struct Counted {
    int* formatted;
};
std::ostream& operator<<(std::ostream& out, const Counted& counted) {
    ++*counted.formatted;
    return out << "counted";
}

// Waits until every task posted before it has run.
void drain(rtc::impl::SerialDispatcher& dispatcher) {
    std::promise<void> done;
    ASSERT_TRUE(dispatcher.post([&] { done.set_value(); }));
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
}

class Log : public ::testing::Test {
protected:
    void TearDown() override { rtc::setLogSink(LogLevel::Debug, nullptr); }
    LogRecorder recorder;
};

TEST_F(Log, AThrowingCallbackIsLoggedAndTheNextOneRuns) {
    rtc::setLogSink(LogLevel::Warning, recorder.sink());
    rtc::impl::SerialDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.post([] { throw std::runtime_error("disk full in onMessage"); }));
    ASSERT_TRUE(dispatcher.post([] { throw 42; }));
    drain(dispatcher); // the dispatcher goes on after both

    ASSERT_TRUE(recorder.waitFor(2));
    const auto lines = recorder.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, LogLevel::Error);
    EXPECT_EQ(lines[0].text, "callback threw: disk full in onMessage");
    EXPECT_EQ(lines[1].level, LogLevel::Error);
    EXPECT_EQ(lines[1].text, "callback threw an unknown exception");
}

TEST_F(Log, LinesBelowTheLevelAreNeitherFormattedNorDelivered) {
    rtc::setLogSink(LogLevel::Warning, recorder.sink());
    EXPECT_TRUE(rtc::logEnabled(LogLevel::Error));
    EXPECT_TRUE(rtc::logEnabled(LogLevel::Warning));
    EXPECT_FALSE(rtc::logEnabled(LogLevel::Info));
    EXPECT_FALSE(rtc::logEnabled(LogLevel::Debug));

    int formatted = 0;
    rtc::impl::log(LogLevel::Debug, "pair ", Counted{&formatted});
    rtc::impl::log(LogLevel::Info, "pair ", Counted{&formatted});
    EXPECT_EQ(formatted, 0);
    rtc::impl::log(LogLevel::Warning, "pair ", Counted{&formatted}, " failed: ", 401);
    EXPECT_EQ(formatted, 1);

    const auto lines = recorder.lines(); // delivered on this thread, before log() returned
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LogLevel::Warning);
    EXPECT_EQ(lines[0].text, "pair counted failed: 401");

    // A wider level lets the rest through.
    rtc::setLogSink(LogLevel::Debug, recorder.sink());
    rtc::impl::log(LogLevel::Debug, "debug ", Counted{&formatted});
    EXPECT_EQ(formatted, 2);
    ASSERT_EQ(recorder.lines().size(), 2u);
    EXPECT_EQ(recorder.lines()[1].level, LogLevel::Debug);
}

TEST_F(Log, ANullSinkTurnsItOffAndAThrowingSinkIsContained) {
    rtc::setLogSink(LogLevel::Debug, [](LogLevel, std::string_view) { throw std::runtime_error("sink"); });
    rtc::impl::log(LogLevel::Error, "reaches a sink that throws"); // must not escape

    rtc::setLogSink(LogLevel::Debug, recorder.sink());
    rtc::setLogSink(LogLevel::Debug, nullptr);
    EXPECT_FALSE(rtc::logEnabled(LogLevel::Error));

    int formatted = 0;
    rtc::impl::log(LogLevel::Error, Counted{&formatted});
    rtc::impl::SerialDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.post([] { throw std::runtime_error("unheard"); }));
    drain(dispatcher);
    EXPECT_EQ(formatted, 0);
    EXPECT_TRUE(recorder.lines().empty());
}

TEST(LogLevelNames, AreTheWordsPrinted) {
    EXPECT_EQ(rtc::toString(LogLevel::Error), "error");
    EXPECT_EQ(rtc::toString(LogLevel::Warning), "warning");
    EXPECT_EQ(rtc::toString(LogLevel::Info), "info");
    EXPECT_EQ(rtc::toString(LogLevel::Debug), "debug");
}

} // namespace
