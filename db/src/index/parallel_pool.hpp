#pragma once

// DataParallelPool (internal): the process-wide worker threads that large exact scans use.
//
// run(n, task) calls task(i) once for every i in [0, n) on the workers and on the calling thread
// and returns when all calls have finished; the caller keeps the results in index order, so a
// parallel map keeps list order. Several threads may call run at once; their jobs share the
// workers.
//
// The pool is created on first use (hardware_concurrency - 1 workers; none on a single core,
// where run simply loops). After fork() the child has no worker threads: the first run in the
// child notices the new process id and builds a fresh pool, abandoning the parent's (whose
// threads and locks do not exist there). A fork handler keeps the pool's creation lock usable in
// the child.

#include <cstddef>
#include <functional>

namespace tessaradb::detail {

class DataParallelPool {
 public:
  // The pool of this process, created when first asked for.
  static DataParallelPool& instance();

  // Runs task(0) .. task(n-1) and waits for all of them. `task` must not throw and must not call
  // run() itself.
  virtual void run(std::size_t n, const std::function<void(std::size_t)>& task) = 0;

  // Number of threads that take part in a run, the caller included.
  virtual std::size_t concurrency() const noexcept = 0;

 protected:
  virtual ~DataParallelPool() = default;
};

}  // namespace tessaradb::detail
