#include "parallel.hpp"

#include <chrono>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#define KESTRINE_PLACED_THREADS 1
#endif

namespace kestrine {

int requested_threads(int workers) {
    if (workers >= 1) {
        return workers;
    }
    if (workers != -1) {
        return 0;
    }
#if KESTRINE_PLACED_THREADS
    // The CPUs this process may run on, not the machine's count: a process
    // pinned by a scheduler or taskset gets what it was given.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
#endif
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

#if KESTRINE_PLACED_THREADS

struct HelperThread::Start {
    std::function<void()> body;
    cpu_set_t allowed;
    bool placed = false;
    pthread_t thread;
};

namespace {

void* run_helper(void* arg) {
    auto* start = static_cast<HelperThread::Start*>(arg);
    if (start->placed) {
        pthread_setaffinity_np(pthread_self(), sizeof start->allowed, &start->allowed);
    }
    start->body();
    return nullptr;
}

// The index-th CPU after `here` in `allowed`, cyclically, never `here`
// itself; -1 when `allowed` holds no other CPU.
int cpu_after(const cpu_set_t& allowed, int here, int index) {
    if (here < 0 || here >= CPU_SETSIZE) {
        return -1;
    }
    const int others = CPU_COUNT(&allowed) - (CPU_ISSET(here, &allowed) ? 1 : 0);
    if (others <= 0) {
        return -1;
    }
    int skip = (index - 1) % others;
    for (int step = 1; step <= CPU_SETSIZE; ++step) {
        const int cpu = (here + step) % CPU_SETSIZE;
        if (cpu != here && CPU_ISSET(cpu, &allowed) && skip-- == 0) {
            return cpu;
        }
    }
    return -1;
}

}  // namespace

HelperThread::HelperThread(int index, std::function<void()> body)
    : start_(std::make_unique<Start>()) {
    start_->body = std::move(body);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    CPU_ZERO(&start_->allowed);
    if (pthread_getaffinity_np(pthread_self(), sizeof start_->allowed, &start_->allowed) == 0) {
        if (const int cpu = cpu_after(start_->allowed, sched_getcpu(), index); cpu >= 0) {
            cpu_set_t first;
            CPU_ZERO(&first);
            CPU_SET(cpu, &first);
            start_->placed = pthread_attr_setaffinity_np(&attr, sizeof first, &first) == 0;
        }
    }
    int error = pthread_create(&start_->thread, &attr, run_helper, start_.get());
    if (error != 0 && start_->placed) {
        // The chosen CPU may have left the set since; start anywhere instead.
        start_->placed = false;
        pthread_attr_destroy(&attr);
        pthread_attr_init(&attr);
        error = pthread_create(&start_->thread, &attr, run_helper, start_.get());
    }
    pthread_attr_destroy(&attr);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "starting a worker thread");
    }
}

HelperThread::~HelperThread() {
    if (start_) {
        pthread_join(start_->thread, nullptr);
    }
}

#else

struct HelperThread::Start {
    std::thread thread;
};

HelperThread::HelperThread(int, std::function<void()> body) : start_(std::make_unique<Start>()) {
    start_->thread = std::thread(std::move(body));
}

HelperThread::~HelperThread() {
    if (start_) {
        start_->thread.join();
    }
}

#endif

HelperThread::HelperThread(HelperThread&& other) noexcept = default;

namespace {

void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

void TeamSync::wait_change(const std::atomic<std::uint32_t>& value, std::uint32_t old, bool spin) {
    // A team lives for one call, and its members wait only for each other
    // and for the caller's short serial steps between passes. On a virtual
    // machine a sleeping thread may take a whole scheduler tick (4 ms) to
    // wake, so members spin through any wait of a frame's size and sleep
    // only when the caller is doing something long.
    constexpr auto kSpin = std::chrono::milliseconds(20);
    if (spin) {
        const auto until = std::chrono::steady_clock::now() + kSpin;
        for (unsigned i = 1; value.load(std::memory_order_acquire) == old; ++i) {
            if (i % 64 == 0 && std::chrono::steady_clock::now() > until) {
                break;
            }
            pause_briefly();
        }
    }
    while (value.load(std::memory_order_acquire) == old) {
        value.wait(old, std::memory_order_acquire);
    }
}

void TeamSync::reset(int members) {
    counts_.store(static_cast<std::uint32_t>(members), std::memory_order_relaxed);
}

void TeamSync::arrive_and_wait(bool spin) {
    // The phase cannot move on before this member arrives.
    const std::uint32_t phase = phase_.load(std::memory_order_acquire);
    std::uint32_t counts = counts_.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint32_t arrived = (counts >> 16) + 1;
        const std::uint32_t expected = counts & (kArrived - 1);
        const std::uint32_t next = arrived == expected ? expected : (arrived << 16 | expected);
        if (counts_.compare_exchange_weak(counts, next, std::memory_order_acq_rel,
                                          std::memory_order_relaxed)) {
            if (arrived == expected) {
                phase_.store(phase + 1, std::memory_order_release);
                phase_.notify_all();
                return;
            }
            break;
        }
    }
    wait_change(phase_, phase, spin);
}

void TeamSync::arrive_and_drop() {
    const std::uint32_t phase = phase_.load(std::memory_order_acquire);
    std::uint32_t counts = counts_.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint32_t arrived = counts >> 16;
        const std::uint32_t expected = (counts & (kArrived - 1)) - 1;
        // The last member still out leaving releases those waiting.
        const bool completes = arrived > 0 && arrived == expected;
        const std::uint32_t next = completes ? expected : (arrived << 16 | expected);
        if (counts_.compare_exchange_weak(counts, next, std::memory_order_acq_rel,
                                          std::memory_order_relaxed)) {
            if (completes) {
                phase_.store(phase + 1, std::memory_order_release);
                phase_.notify_all();
            }
            return;
        }
    }
}

Team::Team(int threads) {
    if (threads <= 1) {
        return;
    }
    // More members than CPUs take turns on them: a spinning member would
    // hold up the one it waits for.
    spin_ = threads <= requested_threads(-1);
    errors_.resize(static_cast<std::size_t>(threads));
    helpers_.reserve(static_cast<std::size_t>(threads) - 1);
    for (int t = 1; t < threads; ++t) {
        try {
            helpers_.emplace_back(t, [this, t] { helper_loop(t); });
        } catch (const std::exception&) {
            break;
        }
    }
    size_ = static_cast<int>(helpers_.size()) + 1;
}

Team::~Team() {
    if (!ended_) {
        stopping_ = true;
        posted_.fetch_add(1, std::memory_order_release);
        posted_.notify_all();
    }
    helpers_.clear();  // joins them
}

void Team::helper_loop(int t) {
    std::uint32_t seen = 0;
    for (;;) {
        TeamSync::wait_change(posted_, seen, spin_);
        seen = posted_.load(std::memory_order_acquire);
        if (stopping_) {
            return;
        }
        if (t < members_) {
            run_member(t);
        }
        const bool last = ending_;
        done_.fetch_add(1, std::memory_order_acq_rel);
        done_.notify_all();
        if (last) {
            return;
        }
    }
}

void Team::run_member(int t) {
    try {
        call_(member_, t);
    } catch (...) {
        errors_[static_cast<std::size_t>(t)] = std::current_exception();
        sync_.arrive_and_drop();
    }
}

void Team::dispatch(int members, Member call, const void* member) {
    // Every helper has counted itself in the last pass: nothing below is
    // being read.
    call_ = call;
    member_ = member;
    members_ = members;
    sync_.reset(members);
    std::fill(errors_.begin(), errors_.end(), nullptr);
    done_.store(0, std::memory_order_relaxed);
    posted_.fetch_add(1, std::memory_order_release);
    posted_.notify_all();
    run_member(0);
    const auto helpers = static_cast<std::uint32_t>(helpers_.size());
    for (std::uint32_t done = done_.load(std::memory_order_acquire); done != helpers;
         done = done_.load(std::memory_order_acquire)) {
        TeamSync::wait_change(done_, done, spin_);
    }
    ended_ = ending_;
    for (const std::exception_ptr& error : errors_) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

}  // namespace kestrine
