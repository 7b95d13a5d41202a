#include "app/CommandQueue.hpp"

#include <utility>

#include "protocol/Wipe.hpp"

namespace murel::app {

namespace {

bool passesWhileBusy(CommandKind kind) {
    switch (kind) {
    case CommandKind::SignOut:
    case CommandKind::EndSession:
    case CommandKind::DisableHosting:
    case CommandKind::ReleaseInput:
    case CommandKind::Input:
        return true;
    default:
        return false;
    }
}

}  // namespace

void wipePassword(std::string& password) noexcept {
    // resize only writes within the capacity it already has, so it cannot throw here.
    password.resize(password.capacity());
    wipe(password);
}

CommandQueue::CommandQueue(std::shared_ptr<WorkerWake> wake) : wake_(std::move(wake)) {}

bool CommandQueue::post(Command command) {
    // A refused command still carries its password; an accepted one leaves remnants behind.
    WipePasswordOnExit wipeOnExit(command.password);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopRequested_.load()) return false;
    if (command.kind == CommandKind::Connect &&
        (published_.reservationPending || published_.sessionActive)) {
        return false;
    }
    if (published_.busy && !passesWhileBusy(command.kind)) return false;
    if (command.kind == CommandKind::Input && command.channel == kPointerChannel) {
        pointer_ = std::move(command);
        lock.unlock();
        wake_->condition.notify_one();
        return true;
    }
    if (commands_.size() < kCommandQueueLimit) {
        commands_.push_back(std::move(command));
        lock.unlock();
        wake_->condition.notify_one();
        return true;
    }
    overflow_ = true;
    lock.unlock();
    wake_->condition.notify_one();
    return false;
}

void CommandQueue::pushSignalingEvent(std::uint64_t generation, Json message, bool closed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_.load()) return;
    if (events_.size() >= kSignalingEventLimit) {
        overflow_ = true;
    } else {
        events_.push_back(SignalingEvent{generation, std::move(message), closed});
    }
    // Under the lock: the worker may be about to destroy the Controller once it sees the stop,
    // and the wake object outlives it anyway.
    wake_->condition.notify_one();
}

void CommandQueue::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_.exchange(true);
    }
    wake_->condition.notify_all();
}

WorkBatch CommandQueue::take(std::chrono::nanoseconds wait) {
    WorkBatch batch;
    std::unique_lock<std::mutex> lock(mutex_);
    wake_->condition.wait_for(lock, wait, [this] {
        return stopRequested_.load() || !commands_.empty() || pointer_.has_value() ||
               !events_.empty() || overflow_ || wake_->pending.load();
    });
    wake_->pending.exchange(false);
    if (stopRequested_.load()) {
        batch.stop = true;
        return batch;
    }
    batch.commands.swap(commands_);
    batch.events.swap(events_);
    batch.overflow = std::exchange(overflow_, false);
    if (pointer_) {
        batch.commands.push_back(std::move(*pointer_));
        pointer_.reset();
    }
    return batch;
}

bool CommandQueue::hasQueued(CommandKind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Command& command : commands_) {
        if (command.kind == kind) return true;
    }
    return false;
}

std::uint64_t CommandQueue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_.exchange(true);
    std::uint64_t dropped = 0;
    for (Command& command : commands_) {
        if (isOperation(command.kind)) ++dropped;
        wipePassword(command.password);
    }
    commands_.clear();
    pointer_.reset();
    events_.clear();
    return dropped;
}

void CommandQueue::publish(const Status& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    published_ = status;
}

Status CommandQueue::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

}  // namespace murel::app
