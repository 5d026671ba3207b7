#include "manager/line_intake.h"

void LineIntake::push(uint64_t generation, bool from_stderr, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({generation, from_stderr, text});
  }
  cond_.notify_one();
}

void LineIntake::take(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait_until(lock, until, [this] { return !queue_.empty() || woken_; });
  woken_ = false;
  for (auto& line : queue_) taken_.push_back(std::move(line));
  queue_.clear();
}

bool LineIntake::next(PlayerLine& line) {
  if (taken_.empty()) return false;
  line = std::move(taken_.front());
  taken_.pop_front();
  return true;
}

void LineIntake::wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  cond_.notify_one();
}
