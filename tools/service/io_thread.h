#pragma once
// An io_context run by a thread of its own, started and stopped once: the relay and the
// game-server stand-ins keep all their asynchronous state on one. Stopping runs a last task on the
// I/O thread (closing what is still open), then ends the thread and joins it.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace nyra::service {

class IoThread {
public:
    IoThread() = default;
    ~IoThread() { stop([] {}); }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_context& context() { return io_; }

    // Runs `prepare` (which may throw; nothing starts then) and starts the thread. Does nothing
    // when it already runs.
    template <class Prepare>
    void start(Prepare&& prepare) {
        std::lock_guard lock(mutex_);
        if (running_) {
            return;
        }
        std::forward<Prepare>(prepare)();
        work_.emplace(io_.get_executor());
        thread_ = std::thread([this] { io_.run(); });
        running_ = true;
    }

    // Runs `finish` on the I/O thread, ends the thread and joins it. Does nothing when it does not
    // run; idempotent.
    template <class Finish>
    void stop(Finish&& finish) {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;
        }
        running_ = false;
        boost::asio::post(io_, [this, finish = std::forward<Finish>(finish)]() mutable {
            finish();
            io_.stop();
        });
        work_.reset();
        thread_.join();
    }

private:
    boost::asio::io_context io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::thread thread_;
    std::mutex mutex_;
    bool running_ = false;
};

}  // namespace nyra::service
