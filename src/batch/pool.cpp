#include "batch/pool.hpp"

#include <algorithm>
#include <system_error>

namespace quaver {

BatchPool::BatchPool(BatchTasks& tasks, std::size_t workers, std::size_t window)
    : tasks_(tasks), workers_(std::max<std::size_t>(workers, 1)), window_(std::max<std::size_t>(window, 1)),
      done_(window_, 0) {}

std::size_t BatchPool::submit() {
  std::size_t index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = submitted_++;
    done_[index % window_] = 0;
    if (!stopping_ && threads_.size() + 1 < workers_ && threads_.size() + 1 < submitted_) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // The caller and the threads already running take its share.
      }
    }
  }
  wake_workers_.notify_one();
  return index;
}

// Runs the next task nobody has started; called and returns with the lock held.
void BatchPool::run_locked(std::unique_lock<std::mutex>& lock) {
  const std::size_t index = started_++;
  lock.unlock();
  tasks_.run(index);
  lock.lock();
  done_[index % window_] = 1;
  if (index == oldest_) wake_caller_.notify_one();
}

bool BatchPool::work_until_oldest(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (oldest_ < submitted_ && done_[oldest_ % window_]) return true;
    if (started_ < submitted_) {
      run_locked(lock);
      if (std::chrono::steady_clock::now() >= deadline) return oldest_ < submitted_ && done_[oldest_ % window_];
    } else if (wake_caller_.wait_until(lock, deadline) == std::cv_status::timeout) {
      return oldest_ < submitted_ && done_[oldest_ % window_];
    }
  }
}

void BatchPool::take_back() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++oldest_;
}

void BatchPool::stop_threads() {
  std::lock_guard<std::mutex> joining(joining_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_workers_.notify_all();
  for (std::thread& t : threads) t.join();
}

void BatchPool::work() {
  tasks_.thread_started();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_workers_.wait(lock, [this] { return stopping_ || started_ < submitted_; });
    if (stopping_) break;
    run_locked(lock);
  }
  lock.unlock();
  tasks_.thread_stopping();
}

}  // namespace quaver
