#include "manager/play_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

namespace {

constexpr double RETRY_PERIOD_S = 5;
constexpr auto ASK_PERIOD = std::chrono::seconds(60);

std::optional<bool> ask_timedatectl() {
  FILE* p = popen("timeout 5 timedatectl show --property=NTPSynchronized --value 2>/dev/null", "re");
  if (!p) return std::nullopt;
  char text[16] = "";
  bool read = fgets(text, sizeof text, p) != nullptr;
  if (pclose(p) != 0 || !read) return std::nullopt;
  std::string answer(text);
  if (answer == "yes\n") return true;
  if (answer == "no\n") return false;
  return std::nullopt;
}

// A new name in a directory is on disk only once the directory is.
void sync_directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

nlohmann::json synced_json(const std::optional<bool>& synced) {
  return synced ? nlohmann::json(*synced) : nlohmann::json(nullptr);
}

}  // namespace

std::string utc_millis(std::chrono::system_clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ms / 1000);
  struct tm tm;
  gmtime_r(&secs, &tm);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

ClockSync::~ClockSync() {
  if (asking_.valid()) asking_.wait();  // timedatectl is given at most 5 s
}

std::optional<bool> ClockSync::now() {
  struct timex tx {};
  int state = adjtimex(&tx);
  if (state >= 0) return state != TIME_ERROR;
  if (asking_.valid() && asking_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) answer_ = asking_.get();
  if (!asking_.valid() && (!asked_at_ || SteadyClock::now() - *asked_at_ >= ASK_PERIOD)) {
    asked_at_ = SteadyClock::now();
    asking_ = std::async(std::launch::async, ask_timedatectl);
  }
  return answer_;
}

PlayLog::PlayLog(Options options, std::function<void(const std::string&)> say)
    : options_(std::move(options)), say_(std::move(say)) {
  if (!options_.path.empty()) open();
}

PlayLog::~PlayLog() {
  write_waiting();
  if (!waiting_.empty())
    say_("proof of play: " + std::to_string(waiting_.size()) + " records could not be written to " + options_.path);
  if (fd_ >= 0) close(fd_);
}

void PlayLog::record(const std::string& path, const Moment& start, const Moment& end, const char* ended,
                     const char* kind) {
  if (options_.path.empty()) return;
  nlohmann::json line = {{"path", path},
                         {"kind", kind},
                         {"start", utc_millis(start.wall)},
                         {"end", utc_millis(end.wall)},
                         {"seconds", std::round(seconds_between(start, end) * 1000) / 1000},
                         {"ended", ended},
                         {"start_synced", synced_json(start.synced)},
                         {"end_synced", synced_json(end.synced)}};
  if (waiting_.size() >= options_.max_waiting) {
    waiting_.pop_front();
    ++dropped_;
  }
  waiting_.push_back(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  write_waiting();
}

void PlayLog::retry() {
  if (!waiting_.empty() && SteadyClock::now() >= next_try_) write_waiting();
}

void PlayLog::write_waiting() {
  while (!waiting_.empty()) {
    if (fd_ >= 0 && replaced()) {
      close(fd_);
      fd_ = -1;
    }
    if (fd_ < 0 && !open()) return;
    if (!write_line(waiting_.front())) return;
    waiting_.pop_front();
  }
  if (failure_.empty()) return;
  say_("proof of play: " + options_.path + " is written again" +
       (dropped_ ? "; " + std::to_string(dropped_) + " older records were given up meanwhile" : ""));
  failure_.clear();
  dropped_ = 0;
}

bool PlayLog::open() {
  struct stat st;
  bool existed = stat(options_.path.c_str(), &st) == 0;
  fd_ = ::open(options_.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    failed("cannot open " + options_.path + ": " + strerror(errno));
    return false;
  }
  rotates_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  if (!existed) sync_directory_of(options_.path);
  return true;
}

bool PlayLog::replaced() const {
  struct stat open_file, named;
  if (!rotates_ || fstat(fd_, &open_file) != 0) return false;
  return stat(options_.path.c_str(), &named) != 0 || named.st_dev != open_file.st_dev || named.st_ino != open_file.st_ino;
}

bool PlayLog::write_line(const std::string& line) {
  // Where the file ends now, as the file says: appends go there.
  struct stat st;
  long long end = rotates_ && fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  size_t done = 0;
  int error = 0;
  while (done < line.size() && !error) {
    ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == 0 || errno != EINTR)
      error = n == 0 ? ENOSPC : errno;
  }
  // A device or a pipe cannot be made durable; a file must be, line by line.
  if (!error && fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) error = errno;
  if (!error) {
    if (end >= 0) rotate_if_due(end + static_cast<long long>(line.size()));
    return true;
  }
  // A line cut short would spoil the file for whoever reads it; the record is
  // written whole once the file can be written again. Only what this write
  // added is taken back, never a line before it.
  if (done > 0 && end >= 0 && ftruncate(fd_, end) != 0) error = errno;
  close(fd_);
  fd_ = -1;
  failed("cannot write " + options_.path + ": " + strerror(error));
  return false;
}

void PlayLog::rotate_if_due(long long size) {
  if (options_.max_bytes <= 0 || size < options_.max_bytes || SteadyClock::now() < next_rotation_) return;
  if (rotate()) {
    if (rotate_failed_) say_("proof of play: " + options_.path + " is moved aside again");
    rotate_failed_ = false;
    return;
  }
  // Said once; tried again a while later, the file growing on meanwhile.
  if (!rotate_failed_)
    say_("proof of play: cannot move " + options_.path + " aside: " + strerror(errno) + "; it grows on");
  rotate_failed_ = true;
  next_rotation_ = seconds_from_now(options_.rotate_retry_s);
}

// FILE becomes FILE.1, and the older files move up one each, as far as the
// first free number (FILE.keep goes). Only a rename that makes room is done,
// so a rotation that fails half-way and is tried again loses no older file.
bool PlayLog::rotate() {
  const std::string& path = options_.path;
  auto older = [&path](int i) { return path + "." + std::to_string(i); };
  if (options_.keep <= 0) {
    if (unlink(path.c_str()) != 0) return false;
  } else {
    int free_at = 1;
    struct stat st;
    while (free_at < options_.keep && lstat(older(free_at).c_str(), &st) == 0) ++free_at;
    for (int i = free_at - 1; i >= 1; --i)
      if (rename(older(i).c_str(), older(i + 1).c_str()) != 0) return false;
    if (rename(path.c_str(), older(1).c_str()) != 0) return false;
  }
  sync_directory_of(path);
  close(fd_);
  fd_ = -1;
  open();
  return true;
}

void PlayLog::failed(const std::string& what) {
  next_try_ = seconds_from_now(RETRY_PERIOD_S);
  if (!failure_.empty()) return;
  failure_ = what;
  say_("proof of play: " + what + "; its records wait in memory (at most " + std::to_string(options_.max_waiting) +
       ") until it can be written");
}
