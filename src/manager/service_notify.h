// Tells systemd how the manager is (a unit of Type=notify with WatchdogSec=):
// READY=1 once it has read its playlist and opened its API, WATCHDOG=1 from its main loop at half the
// watchdog's time, STOPPING=1 as it stops. A main loop that hangs stops the
// pings and systemd restarts the service, whatever its other threads do.
// Without NOTIFY_SOCKET in the environment (not under systemd) it does nothing.
//
// The datagram is written here rather than through libsystemd's sd_notify:
// it is a few lines, and a build for the board then needs no libsystemd of
// the board's architecture.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <string>

class ServiceNotifier {
 public:
  using Clock = std::chrono::steady_clock;

  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID.
  ServiceNotifier();
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  void ready() { send("READY=1"); }
  // Every pass of the main loop: a ping when half the watchdog's time has gone.
  void alive();
  void stopping() { send("STOPPING=1"); }
  bool watchdog() const { return interval_.count() > 0; }

 private:
  bool send(const std::string& state);

  int fd_ = -1;
  sockaddr_un address_ = {};
  socklen_t address_length_ = 0;
  Clock::duration interval_{0};
  Clock::time_point last_ping_{};
};
