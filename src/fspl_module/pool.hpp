#pragma once
// Threads inside one call: the flat range of a call's elements cut into chunks, which the
// calling thread and a few pool threads take in turn until none is left. Elements are
// independent and each is computed by the same code whichever thread takes it, so the results
// are the same bits for any number of threads.
//
// The pool threads are started on the first call that asks for them and kept for the next
// ones; they never touch Python. One call uses the pool at a time: a call that finds it busy
// computes alone, which gives it the same results and keeps the machine from being
// oversubscribed. After a fork, the child's pool is a new one (the parent's threads do not
// exist in it).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>

namespace lumagnis::fspl_module {

// The most threads one call may ask for.
inline constexpr std::size_t max_threads = 256;

// Below this many elements a call never hands out work: waking a pool thread costs a few
// microseconds, as much as a thousand of the cheapest elements.
inline constexpr std::size_t shared_minimum = 1024;

class Pool;

// The least work left after a call's first chunk that is handed out: waking a pool thread
// takes tens of microseconds on a busy machine.
inline constexpr std::chrono::microseconds worth_sharing{50};

// From this many elements on, a call offers its elements before it computes the first chunk:
// even the cheapest element (a few nanoseconds) makes that more than worth_sharing of work, and
// a pool thread woken at once joins while the caller computes instead of after.
inline constexpr std::size_t offered_at_once = 32768;

// What a chunk handed out should take: short, so that a call never waits long for a pool
// thread finishing its last chunk (one the system left without a core meanwhile, say), and so
// that an interrupt stops every thread promptly; long beside the cost of taking a chunk.
inline constexpr std::chrono::microseconds chunk_duration{100};

// How long a call that has run out of chunks watches for the pool threads' last ones to end
// before it sleeps until they do: a chunk's time and a little more. Only ever within a call,
// never between calls.
inline constexpr std::chrono::microseconds last_chunk_wait{150};

// The CPUs this process may run on (its affinity mask), at most max_threads; at least 1.
std::size_t available_cpus();

// One call's elements, shared out. Lives on the calling thread's stack for the call.
class Job {
public:
    using Work = void (*)(void* context, std::size_t begin, std::size_t end);

    Job(std::size_t size, std::size_t threads, Work work, void* context)
        : size_(size), chunk_(std::clamp<std::size_t>(size / (threads * 8), 256, 1024)),
          helpers_(threads - 1), work_(work), context_(context) {}

    // The next chunk [begin, end); false once none is left or the job was stopped.
    bool claim(std::size_t& begin, std::size_t& end) {
        if (stopped_.load(std::memory_order_relaxed)) return false;
        const std::size_t chunk = chunk_.load(std::memory_order_relaxed);
        begin = next_.fetch_add(chunk, std::memory_order_relaxed);
        if (begin >= size_) return false;
        end = std::min(size_, begin + chunk);
        return true;
    }
    void run(std::size_t begin, std::size_t end) { work_(context_, begin, end); }
    // The chunks from here on: `took` for the last one of `count`. Pool threads may be taking
    // chunks meanwhile; each chunk is whole whatever its size.
    void pace(std::chrono::steady_clock::duration took, std::size_t count) {
        const auto each = took / static_cast<long>(count);
        chunk_.store(each.count() > 0 ? std::clamp<std::size_t>(chunk_duration / each, 16, 1024)
                                      : 1024,
                     std::memory_order_relaxed);
    }
    void stop() { stopped_.store(true, std::memory_order_relaxed); }

private:
    friend class Pool;
    friend class Offer;
    const std::size_t size_;
    std::atomic<std::size_t> chunk_;
    const std::size_t helpers_;
    const Work work_;
    void* const context_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopped_{false};
    // Guarded by the pool's lock.
    unsigned long serial_ = 0;
    std::size_t joined_ = 0;
    std::exception_ptr fault_;
    // Changed under the pool's lock, read without it by the caller waiting for the last chunk.
    std::atomic<std::size_t> inside_{0};
};

// The job offered to the pool threads for the life of this object. Its end (the destructor,
// also on an unwind) stops the job and waits until no pool thread is inside it any more.
class Offer {
public:
    explicit Offer(Job& job);
    ~Offer();
    Offer(const Offer&) = delete;
    Offer& operator=(const Offer&) = delete;

    // Waits for the pool threads, then rethrows what one of them threw, if any.
    void finish();

private:
    Job& job_;
    Pool* pool_;
};

// Runs work(begin, end) over [0, size) on the calling thread and up to threads - 1 pool
// threads; the calling thread calls stop() after each of its chunks and, once it returns true,
// stops the job and returns false. Exceptions of the work reach the caller, from any thread.
// A long walk is offered at once; otherwise the calling thread times its first chunk, and offers
// the rest to the pool only if it would take it longer than waking a pool thread does.
template <class Work, class Stop>
bool share(std::size_t size, std::size_t threads, Work& work, Stop&& stop) {
    Job job(
        size, threads,
        [](void* context, std::size_t begin, std::size_t end) {
            (*static_cast<Work*>(context))(begin, end);
        },
        &work);
    std::optional<Offer> offer;
    if (size >= offered_at_once) offer.emplace(job);
    std::size_t begin = 0;
    std::size_t end = 0;
    // Offered at once, the job may in principle be gone before the caller's first claim.
    if (job.claim(begin, end)) {
        const auto started = std::chrono::steady_clock::now();
        job.run(begin, end);
        const auto first = std::chrono::steady_clock::now() - started;
        if (stop()) {
            job.stop();
            if (offer) offer->finish();
            return false;
        }
        if (offer) {
            job.pace(first, end - begin);
        } else if (first * static_cast<long>((size - end) / (end - begin)) > worth_sharing) {
            job.pace(first, end - begin);
            offer.emplace(job);
        }
    }
    while (job.claim(begin, end)) {
        job.run(begin, end);
        if (stop()) {
            job.stop();
            if (offer) offer->finish();
            return false;
        }
    }
    if (offer) offer->finish();
    return true;
}

} // namespace lumagnis::fspl_module
