#include "core/log.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/player_state.h"

namespace {

std::string vformat(const char* fmt, va_list ap) {
  char stack_buf[1024];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(stack_buf, sizeof stack_buf, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof stack_buf) return std::string(stack_buf, n);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&out[0], out.size(), fmt, ap);
  out.resize(n);
  return out;
}

}  // namespace

void prepare_output() {
  struct stat info;
  if (fstat(STDOUT_FILENO, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) return;
  int flags = fcntl(STDOUT_FILENO, F_GETFL);
  if (flags != -1) fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
}

namespace {

enum class Room { Now, Bounded };

// False when the text cannot be written (reader gone, or no room when only
// "now" was allowed).
bool write_out(const char* data, size_t len, Room room) {
  gint64 deadline = g_get_monotonic_time() + OUTPUT_STALL_LIMIT_MS * G_TIME_SPAN_MILLISECOND;
  while (len > 0) {
    ssize_t w = ::write(STDOUT_FILENO, data, len);
    if (w >= 0) {
      data += w;
      len -= static_cast<size_t>(w);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return false;  // the manager went away; nothing sensible left to do with the text
    if (room == Room::Now) return false;
    gint64 left_ms = (deadline - g_get_monotonic_time()) / G_TIME_SPAN_MILLISECOND;
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    if (left_ms <= 0 || (poll(&p, 1, static_cast<int>(left_ms)) == 0)) {
      char last_words[128];
      int n = snprintf(last_words, sizeof last_words,
                       "video_player: output not read for %d ms - exiting with code 1\n", OUTPUT_STALL_LIMIT_MS);
      pollfd err{STDERR_FILENO, POLLOUT, 0};
      if (n > 0 && poll(&err, 1, 0) == 1 && (err.revents & POLLOUT)) {
        if (::write(STDERR_FILENO, last_words, static_cast<size_t>(n)) < 0) {
        }
      }
      _exit(1);
    }
  }
  return true;
}

// One whole line: the text and its line break leave in a single write.
void vwrite_line(const char* fmt, va_list ap, Room room) {
  std::string text = vformat(fmt, ap);
  text.push_back('\n');
  write_out(text.data(), text.size(), room);
}

}  // namespace

void write_stdout(const char* data, size_t len) { write_out(data, len, Room::Bounded); }

void log_line_if_room(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwrite_line(fmt, ap, Room::Now);
  va_end(ap);
}

void log_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwrite_line(fmt, ap, Room::Bounded);
  va_end(ap);
}

void log_verbose(const char* fmt, ...) {
  if (!maxlog) return;
  va_list ap;
  va_start(ap, fmt);
  vwrite_line(fmt, ap, Room::Bounded);
  va_end(ap);
}

void log_raw(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  write_stdout(text.data(), text.size());
}

void terminate_process(int status) {
  fflush(stderr);
  _exit(status);
}
