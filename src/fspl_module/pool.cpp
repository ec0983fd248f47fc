// The pool threads: started when a call first asks for more of them than there are, then
// asleep between calls. They only ever run a job's chunks, so they never touch Python.

#include "fspl_module/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumagnis::fspl_module {

std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::size_t count = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        count = static_cast<std::size_t>(CPU_COUNT(&set));
    } else {
        // More CPUs than a cpu_set_t describes.
        count = std::thread::hardware_concurrency();
    }
    return std::clamp<std::size_t>(count, 1, max_threads);
}

class Pool {
public:
    // Offers the job to up to job.helpers_ pool threads, starting those that are missing;
    // false when another call's job holds the pool, or no thread could be started.
    bool publish(Job& job) {
        {
            const std::lock_guard lock(mutex_);
            if (job_ != nullptr) return false;
            while (threads_ < job.helpers_ && start_thread()) ++threads_;
            if (threads_ == 0) return false;
            job.serial_ = ++serial_;
            job_ = &job;
        }
        // Woken after the lock is free, a pool thread takes it at once instead of sleeping
        // again until the caller lets go of it: one wake-up on its way to the job, not two.
        for (std::size_t i = 0; i < job.helpers_; ++i) offered_.notify_one();
        return true;
    }

    // Takes the job back and waits until no pool thread is inside it. A pool thread still in
    // its last chunk leaves within about a chunk's time: the caller watches for that a little
    // while before it sleeps, so that its own wake-up is not added to the end of every call.
    void retract(Job& job) {
        {
            const std::lock_guard lock(mutex_);
            job_ = nullptr;
        }
        const auto deadline = std::chrono::steady_clock::now() + last_chunk_wait;
        while (job.inside_.load(std::memory_order_acquire) != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::unique_lock lock(mutex_);
                left_.wait(lock, [&job] { return job.inside_.load() == 0; });
                return;
            }
            // Yielding rather than spinning in place: a pool thread the system put on this
            // CPU gets to finish its chunk.
            std::this_thread::yield();
        }
    }

private:
    bool start_thread() {
        // Signals go to the interpreter's threads, never to a pool thread: the new thread
        // starts with every signal blocked.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        bool started = true;
        try {
            std::thread(&Pool::serve, this).detach();
        } catch (const std::system_error&) {
            started = false;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return started;
    }

    void serve() {
        unsigned long seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            offered_.wait(lock, [this, seen] {
                return job_ != nullptr && job_->serial_ != seen && job_->joined_ < job_->helpers_;
            });
            Job& job = *job_;
            seen = job.serial_;
            ++job.joined_;
            job.inside_.fetch_add(1, std::memory_order_relaxed);
            lock.unlock();
            std::exception_ptr fault;
            try {
                std::size_t begin = 0;
                std::size_t end = 0;
                while (job.claim(begin, end)) job.run(begin, end);
            } catch (...) {
                fault = std::current_exception();
                job.stop();
            }
            lock.lock();
            if (fault && !job.fault_) job.fault_ = fault;
            // Release: the caller that sees no pool thread left may read the fault unlocked.
            if (job.inside_.fetch_sub(1, std::memory_order_release) == 1) left_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable offered_;
    std::condition_variable left_;
    Job* job_ = nullptr;
    unsigned long serial_ = 0;
    std::size_t threads_ = 0;
};

namespace {

// The process's pool, made on first use. Never destroyed: its threads, detached, may outlive
// every other object of the module at process exit.
std::atomic<Pool*> current{nullptr};

// In the child of a fork only the forking thread exists: the parent's pool, its threads gone
// and its lock perhaps held, is abandoned and a new one made on first use.
void forget_after_fork() { current.store(nullptr, std::memory_order_relaxed); }

Pool* current_pool() {
    Pool* pool = current.load(std::memory_order_acquire);
    if (pool != nullptr) return pool;
    [[maybe_unused]] static const int registered =
        pthread_atfork(nullptr, nullptr, forget_after_fork);
    Pool* fresh = new Pool;
    if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;
    return pool;
}

} // namespace

Offer::Offer(Job& job) : job_(job), pool_(current_pool()) {
    if (!pool_->publish(job_)) pool_ = nullptr;
}

Offer::~Offer() {
    if (pool_ == nullptr) return;
    job_.stop();
    pool_->retract(job_);
}

void Offer::finish() {
    if (pool_ != nullptr) {
        pool_->retract(job_);
        pool_ = nullptr;
    }
    // Every pool thread has left the job: its fault is read without the lock.
    if (job_.fault_) std::rethrow_exception(job_.fault_);
}

} // namespace lumagnis::fspl_module
