#pragma once

// A fixed split of work over threads.

#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace tarvimo::common {

// Runs work(t) for t = 0 ... threads - 1, each on a thread of its own (the
// calling thread takes t = 0, and any part whose thread cannot start), and
// rethrows the exception of the first part that failed.
template <typename Work>
void run_on_threads(int threads, const Work& work) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
    const auto guarded = [&](int t) {
        try {
            work(t);
        } catch (...) {
            failures[static_cast<std::size_t>(t)] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(threads));
    for (int t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(guarded, t);
        } catch (const std::system_error&) {  // no thread to be had: this one does the part
            guarded(t);
        }
    }
    guarded(0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

}  // namespace tarvimo::common
