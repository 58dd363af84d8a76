// A pool of worker threads for a batch of independent tasks, numbered 0, 1,
// 2, ... in the order the caller submits them, and taken back by the caller
// in that same order.
//
// One caller thread submits tasks and takes them back, and is one of the
// workers itself: while it waits for the oldest task it runs the next one
// nobody has started, so a pool of one worker is a plain loop on the calling
// thread and a pool of n starts n - 1 threads. At most `window` tasks are
// submitted and not yet taken back, so a batch fed lazily from a long source
// holds no more than that many inputs and results at a time. Threads start as
// tasks arrive, run each task once, and wait for nothing but the pool, so the
// caller can always stop the pool and wait for the tasks that are running.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace quaver {

class BatchTasks {
 public:
  virtual ~BatchTasks() = default;
  // Runs task `index` on a worker thread or on the caller's; it must not throw.
  virtual void run(std::size_t index) noexcept = 0;
  // Called on each thread the pool starts, before its first task and after its last.
  virtual void thread_started() noexcept {}
  virtual void thread_stopping() noexcept {}
};

class BatchPool {
 public:
  BatchPool(BatchTasks& tasks, std::size_t workers, std::size_t window);
  BatchPool(const BatchPool&) = delete;
  BatchPool& operator=(const BatchPool&) = delete;
  // Stops and joins: the caller must not hold anything the tasks wait for.
  ~BatchPool() { stop_threads(); }

  std::size_t window() const { return window_; }
  // Tasks submitted so far: the index the next submission gets.
  std::size_t submitted() const { return submitted_; }
  // The oldest task not taken back yet (equal to submitted() when none is).
  std::size_t oldest() const { return oldest_; }
  bool has_room() const { return submitted_ - oldest_ < window_; }

  // Makes the next task available to the workers and returns its index;
  // requires has_room(). Starts a thread while fewer run than the workers
  // asked for beside the caller, and than tasks wait for one; a thread that
  // cannot be started leaves its share to the others.
  std::size_t submit();
  // Runs tasks nobody has started, or waits, until the oldest task is done
  // (true), or until `patience` has passed without that (false).
  bool work_until_oldest(std::chrono::milliseconds patience);
  // Frees the oldest task's place in the window once the caller is done with it.
  void take_back();
  // The pool's threads finish the task they are running and exit, and no
  // thread starts again: tasks not started are left to the caller. Returns
  // once every thread has exited, also when called from two threads at once.
  void stop_threads();

 private:
  void run_locked(std::unique_lock<std::mutex>& lock);
  void work();

  BatchTasks& tasks_;
  const std::size_t workers_;
  const std::size_t window_;
  std::mutex mutex_;
  std::mutex joining_;  // held by stop_threads until its threads have exited
  std::condition_variable wake_workers_;
  std::condition_variable wake_caller_;
  std::vector<char> done_;  // per window place: its task has run
  std::size_t submitted_ = 0;
  std::size_t started_ = 0;  // tasks begun by a worker
  std::size_t oldest_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;  // started and not yet joined
};

}  // namespace quaver
