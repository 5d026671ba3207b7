// An ffprobe of the test's own: a script in a directory of its own, for the
// player's PATH to find first. Each run notes its pid and its input (the last
// argument), then hangs or hands over to the real ffprobe.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

class StandinFfprobe {
 public:
  enum class Then { Hang, RunReal };
  explicit StandinFfprobe(Then then);
  // Kills the runs that hang, and removes the directory.
  ~StandinFfprobe();
  StandinFfprobe(const StandinFfprobe&) = delete;
  StandinFfprobe& operator=(const StandinFfprobe&) = delete;

  // This process's PATH with the stand-in's directory first.
  std::string path_variable() const;
  // False when a stand-in that runs the real ffprobe found none on PATH.
  bool ok() const { return then_ == Then::Hang || !real_.empty(); }
  // Of every run so far, in order.
  std::vector<pid_t> pids() const;
  std::vector<std::string> inputs() const;

 private:
  Then then_;
  std::string real_;
  std::string dir_;
};
