#include "index/parallel_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace tessaradb::detail {

namespace {

class WorkerPool final : public DataParallelPool {
 public:
  explicit WorkerPool(std::size_t workers) {
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  // Never destroyed: the pool lives until the process ends (joining workers from a static
  // destructor at exit could wait on threads that are stuck in someone's job).
  ~WorkerPool() override = default;

  std::size_t concurrency() const noexcept override { return threads_.size() + 1; }

  void run(std::size_t n, const std::function<void(std::size_t)>& task) override {
    if (n == 0) return;
    if (threads_.empty() || n == 1) {
      for (std::size_t i = 0; i < n; ++i) task(i);
      return;
    }
    Job job{&task, n};
    {
      std::scoped_lock lock(mutex_);
      jobs_.push_back(&job);
      queued_.store(jobs_.size(), std::memory_order_relaxed);
    }
    // Cheap when every worker is spinning: a condition variable without waiters is not signalled
    // through the kernel.
    wake_.notify_all();
    // The caller works on its own job too, so a run finishes even when every worker is busy.
    for (std::size_t i; (i = job.next.fetch_add(1)) < n;) {
      task(i);
      job.done.fetch_add(1, std::memory_order_release);
    }
    // The last items are usually moments from done: wait for them awake before sleeping.
    spin_until([&] { return job.done.load(std::memory_order_acquire) == n; });
    std::unique_lock lock(mutex_);
    if (auto it = std::find(jobs_.begin(), jobs_.end(), &job); it != jobs_.end()) {
      jobs_.erase(it);
      queued_.store(jobs_.size(), std::memory_order_relaxed);
    }
    // Workers take items only under mutex_ and report completion under it, so once the job is
    // out of the queue and done == n no worker can touch it again.
    job_done_.wait(lock, [&] { return job.done.load(std::memory_order_acquire) == n; });
  }

 private:
  struct Job {
    const std::function<void(std::size_t)>* task;
    std::size_t n;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
  };

  // Spins for up to kSpin until `ready()` holds. Waking a sleeping thread costs tens of
  // microseconds, as much as a whole scan of ten thousand rows; a worker that stays awake for a
  // moment after its job picks up the next query's job at once.
  template <typename Ready>
  static bool spin_until(Ready&& ready) {
    constexpr auto kSpin = std::chrono::microseconds(100);
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (;;) {
      for (int i = 0; i < 64; ++i) {
        if (ready()) return true;
        relax();
      }
      if (std::chrono::steady_clock::now() >= until) return ready();
    }
  }

  static void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        lock.unlock();
        spin_until([&] { return queued_.load(std::memory_order_relaxed) != 0; });
        lock.lock();
        wake_.wait(lock, [&] { return !jobs_.empty(); });
      }
      Job* job = jobs_.front();
      const std::size_t i = job->next.fetch_add(1);
      if (i >= job->n) {
        jobs_.pop_front();  // fully handed out; its caller waits for the stragglers
        queued_.store(jobs_.size(), std::memory_order_relaxed);
        continue;
      }
      lock.unlock();
      (*job->task)(i);
      lock.lock();
      // n is read before the count: once done reaches n the caller may return and free the job.
      const std::size_t n = job->n;
      if (job->done.fetch_add(1, std::memory_order_acq_rel) + 1 == n) job_done_.notify_all();
    }
  }

  // Guards jobs_ and every Job's lifetime: a worker reaches a job only through jobs_.
  std::mutex mutex_;
  std::deque<Job*> jobs_;
  std::atomic<std::size_t> queued_{0};  // jobs_.size(), for spinning workers to watch unlocked
  std::condition_variable wake_;
  std::condition_variable job_done_;
  std::vector<std::thread> threads_;
};

std::mutex g_pool_mutex;  // guards g_pool and g_pool_pid
WorkerPool* g_pool = nullptr;
pid_t g_pool_pid = 0;
std::vector<WorkerPool*>* g_abandoned = nullptr;  // parents' pools seen from forked children

// Fork handlers: hold the creation lock across fork() so the child gets it in a known
// (unlocked) state, never one that a thread which does not exist in the child was holding.
void lock_for_fork() { g_pool_mutex.lock(); }
void unlock_after_fork() { g_pool_mutex.unlock(); }

const bool g_fork_handlers_installed = [] {
  return pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork) == 0;
}();

}  // namespace

DataParallelPool& DataParallelPool::instance() {
  (void)g_fork_handlers_installed;
  std::scoped_lock lock(g_pool_mutex);
  const pid_t pid = ::getpid();
  if (g_pool == nullptr || g_pool_pid != pid) {
    // In a forked child the parent's pool object is abandoned on purpose: its threads are gone
    // and its mutex may have been held by one of them, so it must not even be destroyed.
    if (g_pool != nullptr) {
      if (g_abandoned == nullptr) g_abandoned = new std::vector<WorkerPool*>;
      g_abandoned->push_back(g_pool);
    }
    const std::size_t hardware = std::max(1u, std::thread::hardware_concurrency());
    g_pool = new WorkerPool(hardware - 1);
    g_pool_pid = pid;
  }
  return *g_pool;
}

}  // namespace tessaradb::detail
