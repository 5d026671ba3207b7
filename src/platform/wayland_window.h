// The player's own full-screen Wayland window: an xdg toplevel asked for
// full screen, black, that every pipeline's GL sink draws into as a
// sub-surface, so that the compositor shows one window for the player's life.
#pragma once
#include <gst/gst.h>

#include <memory>

class WaylandWindow {
 public:
  // Connects to the compositor named by WAYLAND_DISPLAY and waits (at most
  // two seconds) for the size it gives the full-screen window. Null when it
  // cannot; says why in a line.
  static std::unique_ptr<WaylandWindow> open();
  ~WaylandWindow();
  WaylandWindow(const WaylandWindow&) = delete;
  WaylandWindow& operator=(const WaylandWindow&) = delete;

  int width() const;
  int height() const;
  // Makes the pipeline's GL elements use this connection and its sink draw
  // into the window. While the pipeline is in NULL.
  void attach(GstElement* pipeline);
  // Answers the compositor (its pings, a new size). Without waiting. False
  // once the connection to the compositor is lost.
  bool poll();
  // Puts the compositor's outputs to sleep, or wakes them, through wlroots'
  // output power management, and waits (at most a second) for the mode each
  // output reports. Empty when every output is in the mode asked for, else
  // why not.
  std::string set_outputs_power(bool on);

  struct State;

 private:
  WaylandWindow() = default;
  std::unique_ptr<State> s_;
};
