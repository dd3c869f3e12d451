// Threads that belong to one call: the work is split into contiguous ranges,
// one per thread, each thread writes only its own rows, and every thread is
// joined before the call returns. No pool, no thread-local state, nothing
// that outlives the call, so a fork after a call is safe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrine {

// How many threads `workers` asks for: 1 is the calling thread only, N > 1 at
// most N, -1 the CPUs this process may run on. Anything else is the caller's
// mistake; this returns 0 for it.
int requested_threads(int workers);

// Threads worth starting for count elements: never more than requested, and
// never so many that a thread gets fewer than grain elements.
inline int threads_for(int requested, std::int64_t count, std::int64_t grain) {
    const std::int64_t useful = std::max<std::int64_t>(1, count / std::max<std::int64_t>(grain, 1));
    return static_cast<int>(std::min<std::int64_t>(requested, useful));
}

// Runs fn(begin, end) over `threads` contiguous ranges of [0, count), the
// boundaries rounded to multiples of align, the first range on the calling
// thread. A thread that cannot be started has its range run on the calling
// thread instead. The first exception any range throws is rethrown here once
// every thread has been joined.
template <typename Fn>
void run_ranges(int threads, std::int64_t count, std::int64_t align, Fn&& fn) {
    if (threads <= 1 || count <= align) {
        fn(std::int64_t{0}, count);
        return;
    }
    std::vector<std::int64_t> bounds(static_cast<std::size_t>(threads) + 1, count);
    bounds[0] = 0;
    for (int t = 1; t < threads; ++t) {
        const std::int64_t even = count / threads * t + std::min<std::int64_t>(t, count % threads);
        bounds[static_cast<std::size_t>(t)] = std::min(count, (even + align - 1) / align * align);
    }
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
    const auto run = [&](int t) {
        try {
            const auto i = static_cast<std::size_t>(t);
            if (bounds[i] < bounds[i + 1]) {
                fn(bounds[i], bounds[i + 1]);
            }
        } catch (...) {
            errors[static_cast<std::size_t>(t)] = std::current_exception();
        }
    };
    std::vector<std::thread> started;
    std::vector<int> inline_ranges;
    try {
        started.reserve(static_cast<std::size_t>(threads) - 1);
        inline_ranges.reserve(static_cast<std::size_t>(threads) - 1);
    } catch (...) {
        fn(std::int64_t{0}, count);  // no room even for the bookkeeping: do it all here
        return;
    }
    for (int t = 1; t < threads; ++t) {
        try {
            started.emplace_back(run, t);
        } catch (const std::system_error&) {
            inline_ranges.push_back(t);
        }
    }
    run(0);
    for (const int t : inline_ranges) {
        run(t);
    }
    for (std::thread& thread : started) {
        thread.join();
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

}  // namespace kestrine
