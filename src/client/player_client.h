// Client side of the player's line protocol: starts the player as a child
// process, reads its lines, answers its events and sends commands.
// Shared by the end-to-end tests and the reference manager.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The acknowledgement that answers an event line, or nullptr for any other line.
const char* ack_for_event(const std::string& line);

class PlayerClient {
 public:
  struct Options {
    std::string binary;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;  // set in the child
    std::vector<std::string> command_prefix;                // e.g. {"unshare", "-m", "sh", "-c", ...}
    bool auto_ack = true;
    std::string log_path;  // every line of the player is appended here when set
    // A process that runs for months must not keep every line: with a bound,
    // the oldest lines are dropped but line indices keep counting from the start.
    size_t max_lines = 0;         // 0: keep every line
    size_t max_stderr_bytes = 0;  // 0: keep all of standard error; else only its tail
    // A Ctrl-C on the terminal then reaches only the caller; the group is the
    // child's, so kill_now() ends it whole, and whatever is left of it when
    // the child has ended (programs the child started) is killed too.
    bool own_process_group = false;
    bool die_with_parent = false;    // the child gets SIGKILL when the caller dies
    int write_timeout_ms = 0;        // 0: a write waits as long as the child does not read
    int stdout_pipe_bytes = 0;       // capacity of the child's output pipe; 0: the system's
  };
  using LineHandler = std::function<void(const std::string&)>;

  PlayerClient() = default;
  ~PlayerClient();
  PlayerClient(const PlayerClient&) = delete;
  PlayerClient& operator=(const PlayerClient&) = delete;

  bool start(const Options& opts);
  bool running() const;
  pid_t pid() const { return pid_; }

  void send(const std::string& line);  // a line feed is appended
  // Sends the line once every event the child has written so far has been
  // read and answered (with auto_ack), waiting at most `timeout_s` for a
  // moment when nothing it wrote is still unread; true when it got one.
  bool send_after_answers(const std::string& line, double timeout_s);
  void send_raw(const std::string& bytes);
  void close_stdin();
  // While the returned lock is held nothing more of the child's output is
  // taken in, as with a manager that stopped reading.
  std::unique_lock<std::mutex> hold_output() { return std::unique_lock<std::mutex>(read_mutex_); }

  void set_auto_ack(bool on) { auto_ack_ = on; }
  // The next time `event` is answered, `command` goes out in the same write as
  // the answer, as a manager that acts at once would send it.
  void answer_then(const std::string& event, const std::string& command);
  // Withdraws the command set for `event`; false when it has already gone out.
  bool cancel_answer_then(const std::string& event);
  void set_ack_delay_ms(int ms) { ack_delay_ms_ = ms; }
  // Called on the reader thread for every line, after it is recorded.
  void set_line_handler(LineHandler handler);
  // Called on the stderr reader thread for every line of standard error.
  void set_stderr_handler(LineHandler handler);

  // Index of the first line at or after `from` that satisfies the test, or -1 on time-out.
  int wait_for(const std::function<bool(const std::string&)>& test, double timeout_s, size_t from = 0);
  int wait_for_line(const std::string& exact, double timeout_s, size_t from = 0);
  int wait_for_substring(const std::string& part, double timeout_s, size_t from = 0);
  // Waits until `n` lines equal `exact` (from `from` on); true when reached.
  bool wait_for_count(const std::string& exact, int n, double timeout_s, size_t from = 0);

  // The lines still kept (all of them without a bound).
  std::vector<std::string> lines() const;
  // Empty for an index not seen yet or already dropped.
  std::string line(size_t index) const;
  // Every line seen, dropped ones included, so that it can serve as `from`.
  size_t line_count() const;
  // Index of the oldest line still kept.
  size_t first_kept_line() const;
  // True once the child's standard output has closed.
  bool output_closed() const;
  int count_exact(const std::string& exact, size_t from = 0) const;
  int count_substring(const std::string& part, size_t from = 0) const;
  std::string stderr_text() const;

  // Exit status (or 128 + signal) once the process has ended; nullopt on time-out.
  std::optional<int> wait_exit(double timeout_s);
  void kill_now(int sig = 9);
  // Sends "exit", then kills after the time-out. Returns the status. With
  // `answer_wait_s`, "exit" waits up to that long for every event already
  // written to be answered: a player told to exit while an event still
  // awaits its answer ends with status 1.
  std::optional<int> stop(double timeout_s = 10, double answer_wait_s = 0);

 private:
  void read_stdout();
  void read_stderr();
  void reap_if_exited();
  void record_line(std::string line);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::thread out_thread_;
  std::thread err_thread_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::string> lines_;
  size_t dropped_lines_ = 0;
  size_t max_lines_ = 0;
  std::string stderr_;
  size_t max_stderr_bytes_ = 0;
  int write_timeout_ms_ = 0;
  std::optional<int> exit_status_;
  bool stdout_closed_ = false;
  std::atomic<bool> auto_ack_{true};
  std::atomic<int> ack_delay_ms_{0};
  std::vector<std::pair<std::string, std::string>> follow_ups_;  // guarded by mutex_
  LineHandler handler_;
  LineHandler stderr_handler_;
  std::string log_path_;
  std::mutex write_mutex_;
  // Held by the stdout reader from taking in a chunk until its events are
  // answered; guards partial_line_ and stdout_fd_ for send_after_answers.
  std::mutex read_mutex_;
  bool partial_line_ = false;
  bool own_group_ = false;
};
