#include "client/player_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "protocol/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds) {
  return Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

// In the child between fork and exec, so only async-signal-safe calls: every
// descriptor above the standard streams is closed, whoever opened it and
// however (a library's socket without close-on-exec included).
void close_inherited(int open_max) {
  if (close_range(3, ~0U, 0) == 0) return;
  for (int fd = 3; fd < open_max; ++fd) close(fd);
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

const char* ack_for_event(const std::string& line) {
  for (const auto& e : protocol::EVENT_ANSWERS)
    if (line == e.event) return e.ack;
  return nullptr;
}

PlayerClient::~PlayerClient() {
  if (running()) kill_now(SIGKILL);
  if (pid_ > 0 && !exit_status_) wait_exit(5);
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (out_thread_.joinable()) out_thread_.join();
  if (err_thread_.joinable()) err_thread_.join();
}

bool PlayerClient::start(const Options& opts) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) return false;
  auto_ack_ = opts.auto_ack;
  log_path_ = opts.log_path;
  max_lines_ = opts.max_lines;
  max_stderr_bytes_ = opts.max_stderr_bytes;
  write_timeout_ms_ = opts.write_timeout_ms;
  own_group_ = opts.own_process_group;
  pid_t parent = getpid();
  struct rlimit files {};
  int open_max = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                     ? static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20))
                     : 1 << 16;

  std::vector<std::string> argv_strings = opts.command_prefix;
  argv_strings.push_back(opts.binary);
  argv_strings.insert(argv_strings.end(), opts.args.begin(), opts.args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (opts.own_process_group) setpgid(0, 0);
    if (opts.die_with_parent) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);  // the parent died before the request took hold
    }
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close_inherited(open_max);
    for (const auto& kv : opts.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  // Also here, so that the group exists before start() returns, whichever runs first.
  if (own_group_) setpgid(pid, pid);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  stdin_fd_ = in_pipe[1];
  if (write_timeout_ms_ > 0) fcntl(stdin_fd_, F_SETFL, fcntl(stdin_fd_, F_GETFL) | O_NONBLOCK);
  stdout_fd_ = out_pipe[0];
  if (opts.stdout_pipe_bytes > 0) fcntl(stdout_fd_, F_SETPIPE_SZ, opts.stdout_pipe_bytes);
  stderr_fd_ = err_pipe[0];
  signal(SIGPIPE, SIG_IGN);
  out_thread_ = std::thread(&PlayerClient::read_stdout, this);
  err_thread_ = std::thread(&PlayerClient::read_stderr, this);
  return true;
}

bool PlayerClient::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pid_ > 0 && !exit_status_;
}

void PlayerClient::set_line_handler(LineHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void PlayerClient::answer_then(const std::string& event, const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  follow_ups_.push_back({event, command});
}

bool PlayerClient::cancel_answer_then(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(follow_ups_.begin(), follow_ups_.end(), [&](const auto& f) { return f.first == event; });
  if (it == follow_ups_.end()) return false;
  follow_ups_.erase(it);
  return true;
}

void PlayerClient::set_stderr_handler(LineHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  stderr_handler_ = std::move(handler);
}

void PlayerClient::send_raw(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (stdin_fd_ < 0) return;
  const char* p = bytes.data();
  size_t left = bytes.size();
  auto deadline = deadline_after(write_timeout_ms_ / 1000.0);
  while (left > 0) {
    ssize_t n = write(stdin_fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && write_timeout_ms_ > 0) {
        // A child that stops reading must not hold the caller forever.
        auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left_ms <= 0) return;
        pollfd pfd{stdin_fd_, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left_ms));
        continue;
      }
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void PlayerClient::send(const std::string& line) { send_raw(line + "\n"); }

bool PlayerClient::send_after_answers(const std::string& line, double timeout_s) {
  auto deadline = deadline_after(timeout_s);
  for (;;) {
    {
      // The reader takes output in only under this lock and answers it
      // before letting go: nothing unread and no half line means every
      // event written so far has had its answer sent.
      std::lock_guard<std::mutex> reading(read_mutex_);
      int unread = 0;
      bool answered = stdout_fd_ < 0 || (ioctl(stdout_fd_, FIONREAD, &unread) == 0 && unread == 0 && !partial_line_);
      if (answered || Clock::now() >= deadline) {
        send(line);
        return answered;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void PlayerClient::close_stdin() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

void PlayerClient::read_stdout() {
  FILE* log = log_path_.empty() ? nullptr : fopen(log_path_.c_str(), "ae");
  std::string pending;
  char buf[4096];
  for (;;) {
    pollfd pfd{stdout_fd_, POLLIN, 0};
    if (poll(&pfd, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::lock_guard<std::mutex> reading(read_mutex_);
    ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (log) {
        fprintf(log, "%s\n", line.c_str());
        fflush(log);
      }
      LineHandler handler;
      std::string follow_up;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        record_line(line);
        handler = handler_;
        if (auto_ack_) {
          auto it = std::find_if(follow_ups_.begin(), follow_ups_.end(),
                                 [&](const auto& f) { return f.first == line; });
          if (it != follow_ups_.end()) {
            follow_up = it->second;
            follow_ups_.erase(it);
          }
        }
      }
      cond_.notify_all();
      if (auto_ack_) {
        if (const char* ack = ack_for_event(line)) {
          int delay = ack_delay_ms_;
          if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
          send_raw(std::string(ack) + "\n" + (follow_up.empty() ? "" : follow_up + "\n"));
        }
      }
      if (handler) handler(line);
    }
    partial_line_ = !pending.empty();
  }
  if (log) fclose(log);
  {
    std::lock_guard<std::mutex> reading(read_mutex_);
    close(stdout_fd_);
    stdout_fd_ = -1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stdout_closed_ = true;
  }
  cond_.notify_all();
}

// Called with mutex_ held.
void PlayerClient::record_line(std::string line) {
  lines_.push_back(std::move(line));
  if (max_lines_ > 0 && lines_.size() > max_lines_) {
    lines_.pop_front();
    ++dropped_lines_;
  }
}

void PlayerClient::read_stderr() {
  char buf[1024];
  std::string pending;
  for (;;) {
    ssize_t n = read(stderr_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    LineHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stderr_.append(buf, static_cast<size_t>(n));
      if (max_stderr_bytes_ > 0 && stderr_.size() > max_stderr_bytes_)
        stderr_.erase(0, stderr_.size() - max_stderr_bytes_);
      handler = stderr_handler_;
    }
    if (!handler) continue;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      handler(pending.substr(0, nl));
      pending.erase(0, nl + 1);
    }
    // A child that never ends its line must not make this buffer grow without end.
    if (pending.size() > 4096) {
      handler(pending);
      pending.clear();
    }
  }
  if (!pending.empty()) {
    LineHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handler = stderr_handler_;
    }
    if (handler) handler(pending);
  }
  close(stderr_fd_);
}

int PlayerClient::wait_for(const std::function<bool(const std::string&)>& test, double timeout_s, size_t from) {
  auto deadline = deadline_after(timeout_s);
  std::unique_lock<std::mutex> lock(mutex_);
  size_t checked = from;
  // Lines dropped while waiting are past testing.
  auto scan = [&]() -> int {
    if (checked < dropped_lines_) checked = dropped_lines_;
    for (; checked < dropped_lines_ + lines_.size(); ++checked)
      if (test(lines_[checked - dropped_lines_])) return static_cast<int>(checked);
    return -1;
  };
  for (;;) {
    int found = scan();
    if (found >= 0) return found;
    if (stdout_closed_) return -1;
    if (cond_.wait_until(lock, deadline) == std::cv_status::timeout) return scan();
  }
}

int PlayerClient::wait_for_line(const std::string& exact, double timeout_s, size_t from) {
  return wait_for([&](const std::string& l) { return l == exact; }, timeout_s, from);
}

int PlayerClient::wait_for_substring(const std::string& part, double timeout_s, size_t from) {
  return wait_for([&](const std::string& l) { return l.find(part) != std::string::npos; }, timeout_s, from);
}

bool PlayerClient::wait_for_count(const std::string& exact, int n, double timeout_s, size_t from) {
  int seen = 0;
  return wait_for(
             [&](const std::string& l) {
               if (l == exact) ++seen;
               return seen >= n;
             },
             timeout_s, from) >= 0;
}

std::vector<std::string> PlayerClient::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<std::string>(lines_.begin(), lines_.end());
}

std::string PlayerClient::line(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < dropped_lines_ || index - dropped_lines_ >= lines_.size()) return std::string();
  return lines_[index - dropped_lines_];
}

size_t PlayerClient::line_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_lines_ + lines_.size();
}

size_t PlayerClient::first_kept_line() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_lines_;
}

bool PlayerClient::output_closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stdout_closed_;
}

int PlayerClient::count_exact(const std::string& exact, size_t from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (size_t i = std::max(from, dropped_lines_) - dropped_lines_; i < lines_.size(); ++i) n += lines_[i] == exact;
  return n;
}

int PlayerClient::count_substring(const std::string& part, size_t from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (size_t i = std::max(from, dropped_lines_) - dropped_lines_; i < lines_.size(); ++i)
    n += lines_[i].find(part) != std::string::npos;
  return n;
}

std::string PlayerClient::stderr_text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stderr_;
}

std::optional<int> PlayerClient::wait_exit(double timeout_s) {
  auto deadline = deadline_after(timeout_s);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (exit_status_) return exit_status_;
    }
    siginfo_t info{};
    if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
      // Not yet collected, so its id cannot have been reused: what is left
      // of its group (programs it started) goes with it.
      if (own_group_) ::kill(-pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        exit_status_ = decode_status(status);
      }
      if (out_thread_.joinable()) out_thread_.join();
      if (err_thread_.joinable()) err_thread_.join();
      return exit_status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void PlayerClient::kill_now(int sig) {
  if (pid_ <= 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (exit_status_) return;  // collected: the id may belong to another process by now
  }
  if (own_group_ && ::kill(-pid_, sig) == 0) return;
  ::kill(pid_, sig);
}

std::optional<int> PlayerClient::stop(double timeout_s, double answer_wait_s) {
  if (!running()) return wait_exit(0);
  if (answer_wait_s > 0)
    send_after_answers(protocol::CMD_EXIT, answer_wait_s);
  else
    send(protocol::CMD_EXIT);
  auto status = wait_exit(timeout_s);
  if (!status) {
    kill_now(SIGKILL);
    status = wait_exit(5);
  }
  return status;
}
