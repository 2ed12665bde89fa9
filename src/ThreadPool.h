// The worker threads of a model that runs its layers on several cores.
//
// A pool of n cores owns n - 1 threads; the caller's thread is the n-th.
// A batch is a number of tasks (a layer's shares, usually several per core)
// that every thread, the caller included, takes one at a time until none
// remain: a thread the host preempts leaves the tasks it has not taken to
// the others, so a layer waits at most for the one share the preempted
// thread is running. The caller takes tasks from the front, the workers from
// the back: on two cores each thread then computes about the same part of
// every layer (shares are ranges of the output in order), so the next layer
// finds most of its input in its own core's cache. Threads are started once, when the model
// gets its core count, and joined when the model is destroyed.
//
// Waiting threads poll with a pause hint and, once a batch is late, yield
// the processor between polls, so that where threads outnumber free cores
// the awaited thread (or another process) runs. Between the BeginRun and
// EndRun of one inference they do not sleep unless nothing comes for
// milliseconds: a sleeping worker costs a wake-up per layer, which on a
// virtual machine means waking an idle processor (tens of microseconds, far
// more on a busy host). Outside a run they sleep after a fraction of a
// millisecond; BeginRun wakes them at once, ahead of the first split layer.
#ifndef CORVUS_THREADPOOL_H
#define CORVUS_THREADPOOL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace corvus {

class ThreadPool {
public:
    typedef void (*Task)(void* context, uint32_t index);
    static constexpr uint32_t kMaxTasks = 0xFFFF;

    explicit ThreadPool(uint32_t cores);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    uint32_t Cores() const { return (uint32_t)workers_.size() + 1; }
    // Runs task(context, i) once for every i in [0, count), count <=
    // kMaxTasks, on whichever thread takes i first (the caller included);
    // returns when all are done. Tasks of one batch must not depend on each
    // other's order: any thread may run any of them.
    void Run(uint32_t count, Task task, void* context);
    // Brackets one inference: in between, the workers wait for the next
    // batch awake. Not nested; Run works outside a run too.
    void BeginRun();
    void EndRun();

private:
    void Work();
    // Takes the next task of batch `batch`, the first one left or (workers)
    // the last; false when none remains or the batch is over.
    bool Claim(uint32_t batch, bool fromBack, uint32_t* index);
    // Polls until ready() holds; false when the thread should sleep instead
    // (waited long enough for the current mode).
    template <class Ready> bool Await(Ready ready);
    // Runs the tasks of `batch` until none remains; returns how many.
    uint32_t RunTasks(uint32_t batch, bool fromBack);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // Batch number (high 32 bits), the first task left (next 16) and the
    // one past the last (low 16), changed together so that a thread late
    // for one batch can never take a task of the next.
    std::atomic<uint64_t> state_{0};
    // Tasks of the current batch done.
    std::atomic<uint32_t> finished_{0};
    std::atomic<uint32_t> sleepers_{0};
    std::atomic<bool> callerSleeps_{false};
    // BeginRun and EndRun each add one: odd while a run goes on.
    std::atomic<uint32_t> runs_{0};
    std::atomic<bool> stop_{false};
    // Written before the batch is published, read only by a thread that has
    // taken one of its tasks.
    Task task_ = nullptr;
    uint32_t count_ = 0;
    void* context_ = nullptr;
};

}  // namespace corvus

#endif
