// Where the manager's own lines and the player's lines go: standard output,
// or, for the player's lines, a log file that is rotated by size so that a
// display running for months does not fill its storage.
#pragma once
#include <cstdio>
#include <string>

class Output {
 public:
  struct Options {
    std::string player_prefix = "player: ";
    std::string player_log;  // empty: the player's lines go to standard output
    long long player_log_max_bytes = 20LL * 1024 * 1024;
    bool quiet_player = false;  // drop the player's lines altogether
  };

  explicit Output(Options opts, std::FILE* out = stdout);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void manager(const std::string& text);
  // How many of its own lines the manager has written: each tells of a change.
  unsigned long long manager_lines() const { return manager_lines_; }
  void player(const std::string& line);
  void player_stderr(const std::string& line);

 private:
  void to_log(const std::string& line);
  void open_log();

  Options opts_;
  std::FILE* out_;
  std::FILE* log_ = nullptr;
  long long log_bytes_ = 0;
  bool log_rotates_ = false;
  bool log_failed_ = false;
  bool rotate_failed_ = false;  // the last rotation failed, and was reported
  unsigned long long manager_lines_ = 0;
};
