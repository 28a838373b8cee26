// SPDX-License-Identifier: MIT
// Commands from the fleet in the service: see command_service.h.
#include "command_service.h"
#include "service_runtime.h"

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fmt/format.h>
#include <pthread.h>
#include <set>

namespace vehcan::service {

namespace {

using commands::AuditLevel;

Priority priority_of(AuditLevel level) {
    switch (level) {
    case AuditLevel::kError:
        return Priority::kError;
    case AuditLevel::kWarning:
        return Priority::kWarning;
    case AuditLevel::kNotice:
        return Priority::kNotice;
    case AuditLevel::kInfo:
        break;
    }
    return Priority::kInfo;
}

// The topic level of the command whose answers the desk publishes on this
// thread. The desk calls its publish hook from the thread that called
// receive() or execute(): the uplink's for the first, the worker's for the
// second, each answering one command at a time.
thread_local const std::string *t_answering = nullptr;

// Sets t_answering for the length of one desk call.
class Answering {
  public:
    explicit Answering(const std::string &vehicle) : before_(t_answering) {
        t_answering = &vehicle;
    }
    ~Answering() { t_answering = before_; }
    Answering(const Answering &) = delete;
    Answering &operator=(const Answering &) = delete;

  private:
    const std::string *before_;
};

std::unique_ptr<commands::CommandStore> open_record(const std::string &dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        throw commands::StoreError(fmt::format("cannot make {}: {}", dir, error.message()));
    }
    return std::make_unique<commands::CommandStore>(dir, std::time(nullptr));
}

} // namespace

CommandService::CommandService(commands::CommandPolicy policy, const std::string &dir,
                               const std::string &vehicle)
    : policy_(std::move(policy)), vehicle_(vehicle), store_(open_record(dir)),
      executor_(policy_.transmit_rate) {
    if (!store_->set_aside().empty()) {
        log_line(Priority::kWarning,
                 fmt::format("commands: the record was corrupt and is set aside as {}; commands "
                             "issued before now are refused as replayed",
                             store_->set_aside()));
    }
    desk_ = std::make_unique<commands::CommandDesk>(
        policy_, *store_, executor_,
        [this](const std::string &tail, const std::string &payload) { publish(tail, payload); },
        [](AuditLevel level, const std::string &line) { log_line(priority_of(level), line); });
    desk_->set_vehicles({vehicle_});
    const Answering answering(vehicle_);
    if (const size_t n = desk_->finish_interrupted(); n > 0) {
        log_line(Priority::kWarning,
                 fmt::format("commands: {} command{} of the last run stopped while running: "
                             "answered interrupted, not run again",
                             n, n == 1 ? "" : "s"));
    }
    (void)desk_->prune();
}

CommandService::~CommandService() {
    std::deque<Queued> left;
    {
        const std::lock_guard lock(queue_mutex_);
        stopping_ = true;
        left.swap(queue_);
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    for (const Queued &q : left) {
        const Answering answering(q.vehicle);
        desk_->abandon(q.job, commands::Reason::kInterrupted,
                       "the gateway stopped before the command ran");
    }
}

void CommandService::attach(Publish publish) {
    const std::lock_guard lock(publish_mutex_);
    publish_ = std::move(publish);
    if (publish_) {
        for (const Held &h : held_) {
            publish_(h.vehicle, h.tail, h.payload);
        }
        held_.clear();
    }
}

void CommandService::publish(const std::string &tail, const std::string &payload) {
    const std::string &vehicle = t_answering != nullptr ? *t_answering : vehicle_;
    const std::lock_guard lock(publish_mutex_);
    if (publish_) {
        publish_(vehicle, tail, payload);
    } else {
        held_.push_back({vehicle, tail, payload});
    }
}

void CommandService::set_vin(const std::string &vin) {
    desk_->set_vehicles({vehicle_, vin});
}

void CommandService::receive(const std::string &vehicle, std::string_view payload, bool retained) {
    std::optional<commands::Job> job;
    {
        const Answering answering(vehicle);
        job = desk_->receive(payload, retained);
    }
    if (!job) {
        return;
    }
    {
        const std::lock_guard lock(queue_mutex_);
        if (!stopping_ && queue_.size() < kQueueDepth) {
            queue_.push_back({std::move(*job), vehicle});
            wake_.notify_all();
            return;
        }
    }
    const Answering answering(vehicle);
    desk_->abandon(*job, commands::Reason::kNotAvailable,
                   fmt::format("the gateway has {} commands waiting to run", kQueueDepth));
}

void CommandService::start() {
    worker_ = std::thread([this] { work(); });
}

void CommandService::work() {
    // Ctrl-C and SIGTERM go to the main thread, which stops the operations.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    auto next_prune = std::chrono::steady_clock::now() + kPruneEvery;
    std::unique_lock lock(queue_mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            wake_.wait_until(lock, next_prune);
        }
        if (stopping_) {
            break;
        }
        if (std::chrono::steady_clock::now() >= next_prune) {
            lock.unlock();
            if (const int64_t n = desk_->prune(); n > 0) {
                log_line(Priority::kInfo, fmt::format("commands: {} old records pruned", n));
            }
            lock.lock();
            next_prune = std::chrono::steady_clock::now() + kPruneEvery;
            continue;
        }
        if (queue_.empty()) {
            continue;
        }
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        {
            const Answering answering(q.vehicle);
            desk_->execute(q.job);
        }
        lock.lock();
    }
}

} // namespace vehcan::service
