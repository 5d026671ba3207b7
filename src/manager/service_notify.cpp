#include "manager/service_notify.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

ServiceNotifier::ServiceNotifier() {
  const char* path = getenv("NOTIFY_SOCKET");
  if (!path || !*path || (path[0] != '/' && path[0] != '@') || strlen(path) >= sizeof address_.sun_path) return;
  address_.sun_family = AF_UNIX;
  memcpy(address_.sun_path, path, strlen(path));
  if (path[0] == '@') address_.sun_path[0] = '\0';  // an abstract socket
  address_length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // The watchdog is this process's only when systemd named it, or named no process.
  const char* usec = getenv("WATCHDOG_USEC");
  const char* pid = getenv("WATCHDOG_PID");
  long long us = usec ? atoll(usec) : 0;
  if (us > 0 && (!pid || atoll(pid) == static_cast<long long>(getpid())))
    interval_ = std::chrono::microseconds(us / 2);
}

ServiceNotifier::~ServiceNotifier() {
  if (fd_ >= 0) close(fd_);
}

void ServiceNotifier::alive() {
  if (!watchdog()) return;
  Clock::time_point now = Clock::now();
  if (now - last_ping_ < interval_) return;
  if (send("WATCHDOG=1")) last_ping_ = now;
}

bool ServiceNotifier::send(const std::string& state) {
  if (fd_ < 0) return false;
  return sendto(fd_, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address_),
                address_length_) == static_cast<ssize_t>(state.size());
}
