#pragma once

// The threads of a job (or of a chunk of a chunked job): one per rendition
// and the source stage's. Each works for the job of the thread that starts
// it (JobLog): their lines are the job's.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "log/log.h"

namespace corvane {

// Joins every started thread on every way out of the job, exceptions
// included. The calling thread can wait for them a while at a time, to look
// after the job in between: the one place where it meets them.
class JobThreads {
public:
    ~JobThreads() { join_all(); }
    // Room for every thread first: a thread that runs must never be lost to
    // a list that cannot grow.
    void reserve(size_t n) { threads_.reserve(n); }
    // Runs `work` (which must not throw) on a thread of its own.
    template <class Work>
    void start(Work work) {
        threads_.emplace_back([this, job = JobLog::current(), work = std::move(work)]() mutable {
            JobLog::Scope on_job(job);
            work();
            std::lock_guard<std::mutex> lock(mutex_);
            ++finished_;
            all_finished_.notify_all();
        });
    }
    size_t started() const { return threads_.size(); }
    // Waits until every started thread has done its work, or `wait` has
    // passed; says whether they all have.
    bool wait_for(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return all_finished_.wait_for(lock, wait, [this] { return finished_ == threads_.size(); });
    }
    void join_all() {
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable all_finished_;
    size_t finished_ = 0;
};

}  // namespace corvane
