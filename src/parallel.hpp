// Threads that belong to one call: the work is split into contiguous ranges,
// one per thread, each thread writes only its own rows, and every thread is
// joined before the call returns. No pool, no thread-local state, nothing
// that outlives the call, so a fork after a call is safe.
#pragma once

#include <algorithm>
#include <barrier>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
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

// Boundaries of `threads` contiguous ranges of [0, count), as even as the
// alignment allows: range t is [bounds[t], bounds[t + 1]), every boundary but
// the last a multiple of align.
inline std::vector<std::int64_t> range_bounds(int threads, std::int64_t count,
                                              std::int64_t align) {
    threads = std::max(threads, 1);
    std::vector<std::int64_t> bounds(static_cast<std::size_t>(threads) + 1, count);
    bounds[0] = 0;
    for (int t = 1; t < threads; ++t) {
        const std::int64_t even = count / threads * t + std::min<std::int64_t>(t, count % threads);
        bounds[static_cast<std::size_t>(t)] = std::min(count, (even + align - 1) / align * align);
    }
    return bounds;
}

// Runs fn(t, begin, end) for every range t of bounds, range 0 on the calling
// thread and each other range on a thread of its own. A thread that cannot
// be started has its range run on the calling thread instead. The first
// exception any range throws is rethrown here once every thread has been
// joined.
template <typename Fn>
void run_ranges(const std::vector<std::int64_t>& bounds, Fn&& fn) {
    const int threads = static_cast<int>(bounds.size()) - 1;
    if (threads <= 1) {
        fn(0, bounds.front(), bounds.back());
        return;
    }
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
    const auto run = [&](int t) {
        try {
            const auto i = static_cast<std::size_t>(t);
            if (bounds[i] < bounds[i + 1]) {
                fn(t, bounds[i], bounds[i + 1]);
            }
        } catch (...) {
            errors[static_cast<std::size_t>(t)] = std::current_exception();
        }
    };
    std::vector<std::thread> started;
    std::vector<int> here;
    started.reserve(static_cast<std::size_t>(threads) - 1);
    here.reserve(static_cast<std::size_t>(threads) - 1);
    for (int t = 1; t < threads; ++t) {
        try {
            started.emplace_back(run, t);
        } catch (const std::system_error&) {
            here.push_back(t);
        }
    }
    run(0);
    for (const int t : here) {
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

// Runs fn(t, team, sync) on a team of up to `threads` threads at once, t = 0
// on the calling thread, for work of several passes over shared data: the
// threads are started once, not once per pass, and sync() returns when every
// thread of the team has called it. The team is as large as the threads that
// could be started (at least the caller), and fn learns its size before it
// starts. A thread whose fn throws leaves the team, so the others never wait
// for it; its exception is rethrown once every thread has been joined.
template <typename Fn>
void run_team(int threads, Fn&& fn) {
    if (threads <= 1) {
        const auto sync = [] {};
        fn(0, 1, sync);
        return;
    }
    std::mutex gate;
    std::condition_variable opened;
    int team = 0;  // set when every helper that could start has started
    std::optional<std::barrier<>> barrier;
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
    const auto member = [&](int t) {
        {
            std::unique_lock<std::mutex> lock(gate);
            opened.wait(lock, [&] { return team > 0; });
        }
        const auto sync = [&] { barrier->arrive_and_wait(); };
        try {
            fn(t, team, sync);
        } catch (...) {
            errors[static_cast<std::size_t>(t)] = std::current_exception();
            barrier->arrive_and_drop();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(threads) - 1);
    for (int t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(member, t);
        } catch (const std::system_error&) {
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(gate);
        barrier.emplace(static_cast<std::ptrdiff_t>(helpers.size()) + 1);
        team = static_cast<int>(helpers.size()) + 1;
    }
    opened.notify_all();
    member(0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

// Runs fn(begin, end) over `threads` ranges of [0, count) aligned to align.
template <typename Fn>
void run_ranges(int threads, std::int64_t count, std::int64_t align, Fn&& fn) {
    if (threads <= 1 || count <= align) {
        fn(std::int64_t{0}, count);
        return;
    }
    run_ranges(range_bounds(threads, count, align),
               [&](int, std::int64_t begin, std::int64_t end) { fn(begin, end); });
}

}  // namespace kestrine
