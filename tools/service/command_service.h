// SPDX-License-Identifier: MIT
// The service's side of commands from the fleet (docs/commands.md): the
// record in the spool's directory (DIR/commands.db), the executor with the
// configured transmit rate, the desk with the configured policy, its audit
// lines in the journal; accepted commands run one at a time on a worker
// thread of their own, from a bounded queue; the record pruned hourly.
//
// The uplink hands each message of PREFIX/VEHICLE/cmd to receive() on its
// connection thread; receive() answers a rejection or a duplicate at once,
// and queues what the desk accepted. Results go out through the publish
// function that attach() gives, under the vehicle's topic level that the
// command came in under, so that the fleet finds its answer where it asked
// even when the VIN renames the gateway's topics meanwhile.
#ifndef VEHCAN_SERVICE_COMMAND_SERVICE_H
#define VEHCAN_SERVICE_COMMAND_SERVICE_H

#include "command_desk.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vehcan::service {

class CommandService {
  public:
    // (vehicle's topic level, "cmd/ID" or "cmd/_rejected", payload): the
    // uplink's publish of a result. Must not wait for the broker.
    using Publish = std::function<void(const std::string &vehicle, const std::string &tail,
                                       const std::string &payload)>;

    // Accepted commands waiting to run, at most; one more is failed
    // "not_available" at once rather than queued.
    static constexpr size_t kQueueDepth = 16;
    static constexpr auto kPruneEvery = std::chrono::hours(1);

    // Opens the record DIR/commands.db (making DIR when missing) and answers
    // the commands the last run left accepted or running as failed
    // "interrupted": those answers wait for attach(). vehicle: the gateway's
    // topic level before the VIN is known, also a name commands may give.
    // Throws commands::StoreError when the record cannot be opened: the
    // caller then does not subscribe, and says so.
    CommandService(commands::CommandPolicy policy, const std::string &dir,
                   const std::string &vehicle);
    // Stops the worker (after the operation that runs, if any); commands
    // still queued are answered failed "interrupted", never run.
    ~CommandService();
    CommandService(const CommandService &) = delete;
    CommandService &operator=(const CommandService &) = delete;

    // The handlers are set here before start().
    commands::Executor &executor() { return executor_; }

    // Where answers go from now on; empty: held (in memory) until the next
    // attach(), as while the uplink is replaced. Thread-safe.
    void attach(Publish publish);

    // The VIN once heard: commands may name the vehicle by it too.
    void set_vin(const std::string &vin);

    // One message of the command topic, as delivered under vehicle's topic
    // level. Never throws; thread-safe.
    void receive(const std::string &vehicle, std::string_view payload, bool retained);

    // Starts running the queued and coming commands (once the handlers are
    // set and the bus is up). Called once.
    void start();

    commands::DeskCounters counters() const { return desk_->counters(); }
    const std::string &record_path() const { return store_->path(); }

  private:
    struct Queued {
        commands::Job job;
        std::string vehicle;
    };
    void publish(const std::string &tail, const std::string &payload);
    void work();

    commands::CommandPolicy policy_;
    std::string vehicle_;
    std::unique_ptr<commands::CommandStore> store_;
    commands::Executor executor_;
    std::unique_ptr<commands::CommandDesk> desk_;

    std::mutex publish_mutex_;
    Publish publish_; // under publish_mutex_
    struct Held {
        std::string vehicle, tail, payload;
    };
    std::vector<Held> held_; // under publish_mutex_: answers before attach()

    std::mutex queue_mutex_;
    std::condition_variable wake_;
    std::deque<Queued> queue_; // under queue_mutex_
    bool stopping_ = false;    // under queue_mutex_
    std::thread worker_;
};

} // namespace vehcan::service

#endif
