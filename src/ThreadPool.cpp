#define CORVUS_MODULE "ThreadPool"
#include "ThreadPool.h"

#include "Report.h"

namespace corvus {

namespace {
// Polls of the batch counter before a thread sleeps: the first ones with a
// pause hint (a few microseconds, longer than the gap between two split
// layers), then yielding the processor, which lets the awaited thread run
// where threads outnumber free cores.
constexpr uint32_t kPausePolls = 2000;
constexpr uint32_t kSpinPolls = 2200;

inline void CpuRelax(uint32_t polls)
{
    if (polls >= kPausePolls) {
        std::this_thread::yield();
        return;
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}
}  // namespace

ThreadPool::ThreadPool(uint32_t cores)
{
    CV_CHECK(cores >= 1);
    workers_.reserve(cores - 1);
    for (uint32_t w = 1; w < cores; ++w) workers_.emplace_back(&ThreadPool::Work, this, w);
}

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_.store(true, std::memory_order_release);
        batch_.fetch_add(1, std::memory_order_acq_rel);
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void ThreadPool::Run(uint32_t count, Task task, void* context)
{
    CV_CHECK(count >= 1 && count <= Cores());
    if (count == 1) {
        task(context, 0);
        return;
    }
    task_ = task;
    context_ = context;
    count_ = count;
    // Every worker acknowledges every batch, those without a task too: none
    // may still be reading this batch's fields when the next one is set up.
    pending_.store(Cores() - 1, std::memory_order_relaxed);
    {
        // Under the lock, so that a worker about to sleep either sees the new
        // batch or is woken by the notification.
        std::lock_guard<std::mutex> lock(mutex_);
        batch_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    task(context, 0);
    for (uint32_t polls = 0; pending_.load(std::memory_order_acquire) != 0; ++polls) {
        if (polls < kSpinPolls) {
            CpuRelax(polls);
            continue;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
        break;
    }
}

void ThreadPool::Work(uint32_t worker)
{
    uint64_t seen = 0;
    for (;;) {
        uint64_t now = batch_.load(std::memory_order_acquire);
        for (uint32_t polls = 0; now == seen && polls < kSpinPolls; ++polls) {
            CpuRelax(polls);
            now = batch_.load(std::memory_order_acquire);
        }
        if (now == seen) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return batch_.load(std::memory_order_acquire) != seen; });
            now = batch_.load(std::memory_order_acquire);
        }
        seen = now;
        if (stop_.load(std::memory_order_acquire)) return;
        if (worker < count_) task_(context_, worker);
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

}  // namespace corvus
