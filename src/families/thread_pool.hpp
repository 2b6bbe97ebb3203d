#pragma once

// Running many tasks on threads: a fixed split of work over threads, and a
// pool that hands families out to threads as they become free while the
// calling thread waits and polls for a stop request.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/common.hpp"

namespace tarvimo::families {

using common::run_on_threads;

// Working storage of one thread, kept from one family to the next.
struct FamilyScratch {
    std::vector<double> values;  // the present values, arranged for the count
    std::vector<double> inputs;  // the entries in input order, for families gathered from scattered positions
};

// The calling thread of a pool checks for a stop request this often.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);
// No more threads than this, whatever the caller asks for.
constexpr int MAX_THREADS = 256;

enum class PoolOutcome { finished, interrupted };

// Runs decide(task, scratch, cancel) for task = 0 ... tasks - 1 on up to
// `threads` threads, handing the tasks out in order as threads become free;
// each thread keeps its own FamilyScratch. The calling thread only waits,
// and calls poll() every POLL_INTERVAL: when it returns true, the flag that
// decide receives is set (the loop checks it between tasks, the searches
// inside), and the result is `interrupted` once every thread has ended.
// Otherwise the first exception a task (or poll) throws stops the other
// threads and is rethrown here, after all have ended; SearchCancelled ends a
// thread quietly.
template <typename Decide, typename Poll>
PoolOutcome run_pool(std::int64_t tasks, int threads, const Decide& decide, const Poll& poll) {
    if (tasks <= 0) {
        return PoolOutcome::finished;
    }
    if (threads < 1) {
        throw std::invalid_argument("the number of threads must be at least 1, got " + std::to_string(threads));
    }
    const int count = static_cast<int>(std::min<std::int64_t>({threads, tasks, MAX_THREADS}));
    common::CancelFlag cancel{false};
    std::atomic<std::int64_t> next{0};
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    std::exception_ptr failure;

    const auto fail = [&](std::exception_ptr error) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failure) {
            failure = std::move(error);
        }
        cancel.store(true, std::memory_order_relaxed);
    };
    const auto work = [&] {
        try {
            FamilyScratch scratch;
            for (;;) {
                common::stop_if_cancelled(&cancel);
                const std::int64_t task = next.fetch_add(1, std::memory_order_relaxed);
                if (task >= tasks) {
                    break;
                }
                decide(task, scratch, &cancel);
            }
        } catch (const common::SearchCancelled&) {
        } catch (...) {
            fail(std::current_exception());
        }
        const std::lock_guard<std::mutex> lock(mutex);
        --running;
        ended.notify_all();
    };

    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(count));
    for (int t = 0; t < count; ++t) {
        try {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                ++running;
            }
            pool.emplace_back(work);
        } catch (...) {  // a thread that could not start: stop the others
            {
                const std::lock_guard<std::mutex> lock(mutex);
                --running;
            }
            fail(std::current_exception());
            break;
        }
    }

    bool interrupted = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!ended.wait_for(lock, POLL_INTERVAL, [&] { return running == 0; })) {
            if (interrupted) {
                continue;
            }
            lock.unlock();
            try {
                interrupted = poll();
            } catch (...) {
                fail(std::current_exception());
            }
            lock.lock();
            if (interrupted) {
                cancel.store(true, std::memory_order_relaxed);
            }
        }
    }
    for (std::thread& thread : pool) {
        thread.join();
    }
    // A stop request wins over a failure that it may have caused.
    if (interrupted) {
        return PoolOutcome::interrupted;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return PoolOutcome::finished;
}

// The tasks one after another on the calling thread, which nothing stops.
template <typename Decide>
void run_inline(std::int64_t tasks, const Decide& decide) {
    FamilyScratch scratch;
    for (std::int64_t task = 0; task < tasks; ++task) {
        decide(task, scratch, nullptr);
    }
}

}  // namespace tarvimo::families
