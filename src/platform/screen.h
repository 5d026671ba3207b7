// Where the picture is drawn and how it fills the screen. On an X server and
// on Wayland the player keeps one full-screen window of its own for its whole
// life, and every pipeline, the rebuilt ones too, draws into it; without a
// display server GL draws on the DRM/KMS device through GBM/EGL.
#pragma once
#include <gst/gst.h>

#include <optional>
#include <string>

enum class VideoOutput { X11, Wayland, Kms };

struct ScreenOptions {
  std::string output = "auto";  // auto, x11, wayland or kms
  bool window = false;          // a window of the clip's size, for development
  int rotate_method = 0;        // the GL sink's rotate-method
};

// "0", "90", "180", "270" (clockwise), "horizontal-flip", "vertical-flip"
// to the GL sink's rotate-method; nothing for any other text.
std::optional<int> rotate_method_from_text(const std::string& text);

// The output for a request ("auto" or a name) and the environment: an
// explicit GST_GL_WINDOW first, then a Wayland session, then an X server,
// else the DRM/KMS device. Nothing for a request it does not know.
std::optional<VideoOutput> choose_video_output(const std::string& requested, const char* gl_window,
                                               const char* wayland_display, const char* x_display);

// Chooses the output from the environment, points GStreamer's GL at it and,
// without --window, opens the player's window on X11 or Wayland. Main thread, once,
// before the first pipeline. False when the output named cannot be used.
bool screen_start(const ScreenOptions& options);
// Gives every video sink of a new pipeline the window, the rotation and a
// kept aspect ratio. Main thread, while the pipeline is in NULL.
void screen_attach(GstElement* pipeline);
// A pipeline attached earlier is the one on screen again (a pipeline
// attached since was dropped): its sink is watched and follows the window.
void screen_follow(GstElement* pipeline);
// Follows a change of the screen's or the window's size. Main thread, each loop iteration.
void screen_poll();
// Closes the window; after the last pipeline is released.
void screen_stop();

// Puts the screen to sleep (off) or wakes it (on). Main thread. Asleep, every
// GL sink draws black in place of its picture, and the display is put into
// power saving where the player can: the X server's DPMS, or a wlroots
// compositor's output power management. Where it cannot, the black stays
// on a screen that is lit, and a line says why, once. Stopping the
// pipeline's pictures is the caller's: it pauses the pipeline. Each change
// is said in a line.
void screen_sleep(bool asleep);
// True while the screen sleeps; read on GL threads too.
bool screen_asleep();
