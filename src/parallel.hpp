// The threads of one call. A `Team` is started once per call and runs each of
// the call's threaded passes: a pass is split into contiguous ranges, one per
// member, and each member writes only its own rows. Every helper is joined
// when the team goes, before the call returns: no pool, no thread-local
// state, nothing that outlives the call, so a fork after a call is safe.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
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

// A helper thread, joined when destroyed. Helper `index` (from 1) starts on
// the index-th CPU after the caller's among those the caller may run on, then
// may run on all of them again. Left to itself, a scheduler may queue a new
// thread behind its busy creator until a balancing pass moves it, which costs
// a short pass its second core; the start only chooses where the helper
// begins. Throws when no thread can be started.
class HelperThread {
public:
    HelperThread(int index, std::function<void()> body);
    HelperThread(HelperThread&& other) noexcept;
    HelperThread& operator=(HelperThread&&) = delete;
    ~HelperThread();

    struct Start;  // what the new thread reads: its body and where it may run

private:
    std::unique_ptr<Start> start_;
};

// Waiting within a team: a waiter spins before it sleeps, because on a
// virtual machine waking a sleeping thread can take up to a scheduler tick,
// longer than a whole pass. Members that outnumber the CPUs sleep at once: a
// spinning member would hold up the one it waits for.
class TeamSync {
public:
    // Returns once `value` differs from `old`.
    static void wait_change(const std::atomic<std::uint32_t>& value, std::uint32_t old, bool spin);

    // A barrier for `members` threads that a member may leave.
    void reset(int members);
    void arrive_and_wait(bool spin);
    void arrive_and_drop();

private:
    static constexpr std::uint32_t kArrived = 1u << 16;
    std::atomic<std::uint32_t> phase_{0};
    std::atomic<std::uint32_t> counts_{0};  // arrived << 16 | expected
};

class Team {
public:
    // A team of up to `threads` threads, the caller included: as many as could
    // be started. With threads <= 1 nothing is started.
    explicit Team(int threads = 1);
    ~Team();
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;

    int size() const { return size_; }

    // Lets the helpers end with the next pass that has more than one member,
    // so that they exit while the caller still works on its share; after it
    // the team runs its passes on the caller alone.
    void end_with_next_pass() { ending_ = true; }

    // Runs fn(t, members, sync) on min(members, size()) members at once, t = 0
    // on the calling thread; sync() returns when every member of the pass has
    // called it. A member whose fn throws leaves the pass, so the others
    // never wait for it; the first exception, in member order, is rethrown
    // here once every member is done.
    template <typename Fn>
    void run(int members, Fn&& fn) {
        members = std::clamp(members, 1, size_);
        if (members == 1 || ended_) {
            members = 1;
            const auto sync = [] {};
            fn(0, 1, sync);
            return;
        }
        const auto member = [&](int t) {
            const auto sync = [this] { sync_.arrive_and_wait(spin_); };
            fn(t, members, sync);
        };
        dispatch(members, &invoke<decltype(member)>, &member);
    }

    // Runs fn(t, begin, end) for every range t of bounds: range t on member t,
    // or in turn on fewer members when the team is smaller.
    template <typename Fn>
    void run_ranges(const std::vector<std::int64_t>& bounds, Fn&& fn) {
        const int ranges = static_cast<int>(bounds.size()) - 1;
        run(ranges, [&](int t, int members, const auto&) {
            for (int r = t; r < ranges; r += members) {
                const auto i = static_cast<std::size_t>(r);
                if (bounds[i] < bounds[i + 1]) {
                    fn(r, bounds[i], bounds[i + 1]);
                }
            }
        });
    }

    // Runs fn(begin, end) over `members` ranges of [0, count) aligned to align.
    template <typename Fn>
    void run_ranges(int members, std::int64_t count, std::int64_t align, Fn&& fn) {
        members = std::clamp(members, 1, size_);
        if (members == 1 || count <= align) {
            fn(std::int64_t{0}, count);
            return;
        }
        run_ranges(range_bounds(members, count, align),
                   [&](int, std::int64_t begin, std::int64_t end) { fn(begin, end); });
    }

private:
    using Member = void (*)(const void* member, int t);
    template <typename M>
    static void invoke(const void* member, int t) {
        (*static_cast<const M*>(member))(t);
    }
    // Runs member(t) on members 0 .. members - 1 and rethrows the first error.
    void dispatch(int members, Member call, const void* member);
    void helper_loop(int t);
    void run_member(int t);

    int size_ = 1;
    bool spin_ = true;
    std::vector<HelperThread> helpers_;
    // The pass being run, posted by bumping posted_; every helper, in the
    // pass or not, counts itself in done_ before the next is posted.
    Member call_ = nullptr;
    const void* member_ = nullptr;
    int members_ = 1;
    bool stopping_ = false;
    bool ending_ = false;  // the next pass is the helpers' last
    bool ended_ = false;   // the helpers have left
    std::atomic<std::uint32_t> posted_{0};
    std::atomic<std::uint32_t> done_{0};
    TeamSync sync_;
    std::vector<std::exception_ptr> errors_;
};

}  // namespace kestrine
