#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>

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

void write_stdout(const char* data, size_t len) {
  while (len > 0) {
    ssize_t w = ::write(STDOUT_FILENO, data, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // the manager went away; nothing sensible left to do with the text
    }
    data += w;
    len -= static_cast<size_t>(w);
  }
}

void log_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  text.push_back('\n');
  write_stdout(text.data(), text.size());
}

void log_raw(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  write_stdout(text.data(), text.size());
}

void terminate_process(int status) {
  fflush(nullptr);
  _exit(status);
}
