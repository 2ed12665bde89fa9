// The worker threads of a model that runs its layers on several cores.
//
// A pool of n cores owns n - 1 threads; the caller's thread is the n-th and
// takes the first task of every batch. Threads are started once, when the
// model gets its core count, and joined when the model is destroyed: a layer
// costs one wake-up, never a thread start. Between layers the workers spin
// briefly on the batch counter (layers follow each other within
// microseconds), then sleep on a condition variable.
#ifndef CORVUS_THREADPOOL_H
#define CORVUS_THREADPOOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace corvus {

class ThreadPool {
public:
    typedef void (*Task)(void* context, uint32_t index);

    explicit ThreadPool(uint32_t cores);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    uint32_t Cores() const { return (uint32_t)workers_.size() + 1; }
    // Runs task(context, i) for i in [0, count), count <= Cores(): index 0 on
    // the calling thread, the others on the workers; returns when all are done.
    void Run(uint32_t count, Task task, void* context);

private:
    void Work(uint32_t worker);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // Batch number; a worker runs batch b once it sees it change.
    std::atomic<uint64_t> batch_{0};
    std::atomic<uint32_t> pending_{0};
    std::atomic<bool> stop_{false};
    Task task_ = nullptr;
    void* context_ = nullptr;
    uint32_t count_ = 0;
};

}  // namespace corvus

#endif
