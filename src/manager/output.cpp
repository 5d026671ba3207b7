#include "manager/output.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

std::string timestamp() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  tm local;
  localtime_r(&tv.tv_sec, &local);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%03ld ", static_cast<long>(tv.tv_usec / 1000));
  return text;
}

}  // namespace

Output::Output(Options opts, std::FILE* out) : opts_(std::move(opts)), out_(out) {
  if (!opts_.player_log.empty()) open_log();
}

Output::~Output() {
  if (log_) fclose(log_);
}

void Output::open_log() {
  // Close-on-exec: the player must not hold the log open, least of all a rotated one.
  log_ = fopen(opts_.player_log.c_str(), "ae");
  if (!log_) {
    if (!log_failed_)
      fprintf(out_, "[manager] cannot open player log %s: %s; its lines go to standard output\n",
              opts_.player_log.c_str(), strerror(errno));
    fflush(out_);
    log_failed_ = true;
    return;
  }
  log_failed_ = false;
  struct stat st;
  bool regular = fstat(fileno(log_), &st) == 0 && S_ISREG(st.st_mode);
  // Only a plain file is rotated: renaming /dev/null or a pipe would do harm.
  log_rotates_ = regular;
  log_bytes_ = regular ? st.st_size : 0;
}

void Output::to_log(const std::string& line) {
  std::string text = timestamp() + line + "\n";
  fwrite(text.data(), 1, text.size(), log_);
  fflush(log_);
  log_bytes_ += static_cast<long long>(text.size());
  if (log_rotates_ && opts_.player_log_max_bytes > 0 && log_bytes_ >= opts_.player_log_max_bytes) {
    // One older generation is kept beside the current file.
    std::string old = opts_.player_log + ".1";
    if (rename(opts_.player_log.c_str(), old.c_str()) != 0) {
      // Said once; tried again only when as much again has been written.
      if (!rotate_failed_) {
        std::string note = "[manager] cannot rotate the player log " + opts_.player_log + " to " + old + ": " +
                           strerror(errno) + "; it grows on";
        fprintf(out_, "%s\n", note.c_str());
        fflush(out_);
        note = timestamp() + note + "\n";
        fwrite(note.data(), 1, note.size(), log_);
        fflush(log_);
      }
      rotate_failed_ = true;
      log_bytes_ = 0;
      return;
    }
    rotate_failed_ = false;
    fclose(log_);
    log_ = nullptr;
    open_log();
  }
}

void Output::manager(const std::string& text) {
  ++manager_lines_;
  std::string line = "[manager] " + text;
  fprintf(out_, "%s\n", line.c_str());
  fflush(out_);
  if (log_) to_log(line);
}

void Output::player(const std::string& line) {
  if (opts_.quiet_player) return;
  if (log_) {
    to_log(line);
    return;
  }
  fprintf(out_, "%s%s\n", opts_.player_prefix.c_str(), line.c_str());
  fflush(out_);
}

void Output::player_stderr(const std::string& line) { player("[stderr] " + line); }
