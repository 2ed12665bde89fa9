#define CORVUS_MODULE "ThreadPool"
#include "ThreadPool.h"

#include "Report.h"

namespace corvus {

namespace {
using Clock = std::chrono::steady_clock;
// A thread waiting for a batch (or for the others' last tasks) polls with a
// pause hint for kPauseTime, longer than the gap between two split layers;
// then it yields between polls, which lets the awaited thread run where
// threads outnumber free cores; it sleeps after kIdleTime, or kRunIdleTime
// within a run. Long pure spinning starves the caller when other processes
// keep the cores busy; yielding costs nothing when they do not.
constexpr Clock::duration kPauseTime = std::chrono::microseconds(50);
constexpr Clock::duration kIdleTime = std::chrono::microseconds(200);
constexpr Clock::duration kRunIdleTime = std::chrono::milliseconds(2);
constexpr uint32_t kPollsPerLook = 32;  // polls between two readings of the clock

inline void Pause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

inline uint32_t BatchOf(uint64_t state) { return (uint32_t)(state >> 32); }
inline uint32_t FrontOf(uint64_t state) { return (uint32_t)(state >> 16) & 0xFFFF; }
inline uint32_t BackOf(uint64_t state) { return (uint32_t)state & 0xFFFF; }
}  // namespace

ThreadPool::ThreadPool(uint32_t cores)
{
    CV_CHECK(cores >= 1);
    workers_.reserve(cores - 1);
    for (uint32_t w = 1; w < cores; ++w) workers_.emplace_back(&ThreadPool::Work, this);
}

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_.store(true, std::memory_order_seq_cst);
        // A batch without tasks: every worker sees it and stops.
        state_.store((uint64_t)(BatchOf(state_.load()) + 1) << 32, std::memory_order_seq_cst);
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

bool ThreadPool::Claim(uint32_t batch, bool fromBack, uint32_t* index)
{
    uint64_t s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (BatchOf(s) != batch || FrontOf(s) >= BackOf(s)) return false;
        const uint64_t next = fromBack ? s - 1 : s + (1u << 16);
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            *index = fromBack ? BackOf(s) - 1 : FrontOf(s);
            return true;
        }
    }
}

template <class Ready> bool ThreadPool::Await(Ready ready)
{
    const Clock::time_point start = Clock::now();
    for (uint32_t polls = 1;; ++polls) {
        if (ready()) return true;
        if (polls % kPollsPerLook != 0) {
            Pause();
            continue;
        }
        const Clock::duration waited = Clock::now() - start;
        if (waited < kPauseTime) {
            Pause();
            continue;
        }
        if (waited >= ((runs_.load(std::memory_order_relaxed) & 1) != 0 ? kRunIdleTime : kIdleTime)) return false;
        std::this_thread::yield();
    }
}

void ThreadPool::BeginRun()
{
    if (workers_.empty()) return;
    CV_CHECK((runs_.load(std::memory_order_relaxed) & 1) == 0);
    runs_.fetch_add(1, std::memory_order_seq_cst);
    // Sleeping workers wake now, while the caller runs the layers before the
    // first split one (see Run for the handshake).
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
        mutex_.lock();
        mutex_.unlock();
        wake_.notify_all();
    }
}

void ThreadPool::EndRun()
{
    if (workers_.empty()) return;
    CV_CHECK((runs_.load(std::memory_order_relaxed) & 1) != 0);
    runs_.fetch_add(1, std::memory_order_seq_cst);
}

uint32_t ThreadPool::RunTasks(uint32_t batch, bool fromBack)
{
    uint32_t done = 0, index = 0;
    for (; Claim(batch, fromBack, &index); ++done) task_(context_, index);
    return done;
}

void ThreadPool::Run(uint32_t count, Task task, void* context)
{
    CV_CHECK(count >= 1 && count <= kMaxTasks);
    if (count == 1 || workers_.empty()) {
        for (uint32_t i = 0; i < count; ++i) task(context, i);
        return;
    }
    // No thread reads these now: every task of the last batch is done, and
    // a thread reads them only after taking a task.
    task_ = task;
    context_ = context;
    count_ = count;
    finished_.store(0, std::memory_order_relaxed);
    const uint32_t batch = BatchOf(state_.load(std::memory_order_relaxed)) + 1;
    state_.store((uint64_t)batch << 32 | count, std::memory_order_seq_cst);
    // A worker counts itself a sleeper, under the lock, before it looks at
    // the batch a last time: either it sees this batch or this sees it.
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
        // Passing through the lock: a worker that counted itself is waiting.
        mutex_.lock();
        mutex_.unlock();
        wake_.notify_all();
    }
    const uint32_t mine = RunTasks(batch, false);
    if (finished_.fetch_add(mine, std::memory_order_acq_rel) + mine == count) return;
    // The others' last tasks are running: wait for them.
    if (Await([&] { return finished_.load(std::memory_order_acquire) == count; })) return;
    std::unique_lock<std::mutex> lock(mutex_);
    callerSleeps_.store(true, std::memory_order_seq_cst);
    done_.wait(lock, [&] { return finished_.load(std::memory_order_seq_cst) == count; });
    callerSleeps_.store(false, std::memory_order_relaxed);
}

void ThreadPool::Work()
{
    uint32_t seen = 0;
    for (;;) {
        uint64_t s = 0;
        const uint32_t run = runs_.load(std::memory_order_seq_cst);
        if (!Await([&] {
                s = state_.load(std::memory_order_acquire);
                return BatchOf(s) != seen;
            })) {
            // Sleeps until a batch comes or a run begins or ends (a run that
            // began while this waited finds it awake).
            std::unique_lock<std::mutex> lock(mutex_);
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            wake_.wait(lock, [&] {
                s = state_.load(std::memory_order_seq_cst);
                return BatchOf(s) != seen || runs_.load(std::memory_order_seq_cst) != run;
            });
            sleepers_.fetch_sub(1, std::memory_order_relaxed);
            if (BatchOf(s) == seen) continue;
        }
        seen = BatchOf(s);
        if (stop_.load(std::memory_order_acquire)) return;
        const uint32_t mine = RunTasks(seen, true);
        if (mine == 0) continue;
        // Read before adding this thread's tasks: once all are counted the
        // caller may publish the next batch.
        const uint32_t count = count_;
        // The one that finishes the batch wakes the caller if it sleeps
        // (it counts itself sleeping, under the lock, before its last look).
        if (finished_.fetch_add(mine, std::memory_order_seq_cst) + mine == count &&
            callerSleeps_.load(std::memory_order_seq_cst)) {
            mutex_.lock();
            mutex_.unlock();
            done_.notify_one();
        }
    }
}

}  // namespace corvus
