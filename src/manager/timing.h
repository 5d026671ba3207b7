// Time as the manager keeps it: a steady clock, spans in seconds, and spans
// written for people.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>

using SteadyClock = std::chrono::steady_clock;

inline double seconds_since(SteadyClock::time_point t) {
  return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

inline SteadyClock::time_point seconds_from_now(double seconds) {
  return SteadyClock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// "0.5 s", "12.3 s", "60 s", "3600 s".
inline std::string seconds_text(double s) {
  char text[32];
  snprintf(text, sizeof text, s < 100 && s != static_cast<int>(s) ? "%.1f s" : "%.0f s", s);
  return text;
}
