// The player's lines on their way from the client's reader threads, which
// push them, to the manager's main thread, which acts on them one at a time.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

struct PlayerLine {
  uint64_t generation;  // of the player that wrote it
  bool from_stderr;
  std::string text;
};

class LineIntake {
 public:
  // Reader threads.
  void push(uint64_t generation, bool from_stderr, const std::string& text);

  // Main thread: waits until a line has come or `until` has passed, and takes
  // what came in.
  void take(std::chrono::steady_clock::time_point until);
  // Any thread: ends the main thread's wait now.
  void wake();
  // Main thread: the oldest line taken in and not yet handed out. Acting on a
  // line may end the player, which takes in and hands out the rest itself:
  // hence one list, handed out from its front.
  bool next(PlayerLine& line);

 private:
  // Shared with the reader threads, under mutex_.
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<PlayerLine> queue_;
  bool woken_ = false;

  // Main thread only.
  std::deque<PlayerLine> taken_;
};
