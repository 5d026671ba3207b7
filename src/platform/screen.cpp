#include "platform/screen.h"

#include <EGL/egl.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/dpms.h>
#include <gst/gl/gl.h>
#include <gst/gl/gstglfuncs.h>
#include <gst/video/videooverlay.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "core/gst_holders.h"
#include "core/log.h"
#include "platform/display_watch.h"
#include "platform/frame_trace.h"
#include "platform/wayland_window.h"
#include "protocol/protocol.h"

namespace {

// Main thread only.
struct Screen {
  ScreenOptions options;
  VideoOutput output = VideoOutput::X11;
  Display* display = nullptr;
  Window window = 0;
  std::unique_ptr<WaylandWindow> wayland;
  int width = 0, height = 0;
  int window_width = 0, window_height = 0;  // the player's window, which a window manager may size
  GstElement* gl_sink = nullptr;  // the newest pipeline's, watched for a stuck display
  std::vector<GstElement*> overlays;  // the newest pipeline's elements that draw into the window
  bool dpms_was_enabled = true;   // the X server's DPMS before the player put the screen to sleep
  bool said_cannot_sleep = false;  // the line that the display cannot sleep, said once
} screen;

// Written by the main thread, read on the GL threads as they draw.
std::atomic<bool> asleep{false};

bool is_set(const char* value) { return value && *value; }

bool has_window_manager(Display* d, Window root) {
  Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", True);
  if (check == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  bool found = XGetWindowProperty(d, root, check, 0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data) ==
                   Success &&
               type == XA_WINDOW && count == 1;
  if (data) XFree(data);
  return found;
}

// Over the picture nobody should see a pointer.
void hide_cursor(Display* d, Window w) {
  static const char empty[1] = {0};
  Pixmap bits = XCreateBitmapFromData(d, w, empty, 1, 1);
  XColor black{};
  Cursor none = XCreatePixmapCursor(d, bits, bits, &black, &black, 0, 0);
  XDefineCursor(d, w, none);
  XFreeCursor(d, none);
  XFreePixmap(d, bits);
}

// With a window manager: full screen asked the standard way (the state set
// before mapping, and asked again after). Without one the window's own
// place and size, the whole screen, are what is shown.
void ask_for_full_screen(Display* d, Window root, Window w, bool mapped) {
  Atom state = XInternAtom(d, "_NET_WM_STATE", False);
  Atom full = XInternAtom(d, "_NET_WM_STATE_FULLSCREEN", False);
  if (!mapped) {
    XChangeProperty(d, w, state, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&full), 1);
    return;
  }
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = state;
  e.xclient.format = 32;
  e.xclient.data.l[0] = 1;  // add
  e.xclient.data.l[1] = static_cast<long>(full);
  e.xclient.data.l[3] = 1;  // from an application
  XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
}

// Xlib's own handler ends the process without a word; this one is also
// reached from GStreamer's GL connection, on its thread.
int on_x_connection_lost(Display*) { display_lost("Lost"); }

Display* connect_x() {
  XInitThreads();  // GStreamer's GL thread uses Xlib too
  XSetIOErrorHandler(on_x_connection_lost);
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    const char* name = g_getenv("DISPLAY");
    log_line("[DISPLAY] ERROR: Cannot open the X display %s", name ? name : "(unset)");
  }
  return d;
}

void cover_screen(Display* d) {
  int number = DefaultScreen(d);
  Window root = RootWindow(d, number);
  screen.width = DisplayWidth(d, number);
  screen.height = DisplayHeight(d, number);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = BlackPixel(d, number);  // what shows between two pipelines
  attributes.border_pixel = 0;
  Window w = XCreateWindow(d, root, 0, 0, screen.width, screen.height, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWBackPixel | CWBorderPixel, &attributes);
  XStoreName(d, w, "Signage player");
  XClassHint hint{const_cast<char*>("video_player"), const_cast<char*>("VideoPlayer")};
  XSetClassHint(d, w, &hint);
  bool managed = has_window_manager(d, root);
  ask_for_full_screen(d, root, w, false);
  hide_cursor(d, w);
  XSelectInput(d, root, StructureNotifyMask);
  XSelectInput(d, w, StructureNotifyMask);
  XMapRaised(d, w);
  if (managed) ask_for_full_screen(d, root, w, true);
  XSync(d, False);
  screen.display = d;
  screen.window = w;
  screen.window_width = screen.width;
  screen.window_height = screen.height;
  log_line("[DISPLAY] X11: window 0x%lx covers the screen (%dx%d, %s)", static_cast<unsigned long>(w), screen.width,
           screen.height, managed ? "full screen asked of the window manager" : "no window manager");
}

void close_x_window() {
  if (!screen.display) return;
  XDestroyWindow(screen.display, screen.window);
  XCloseDisplay(screen.display);
  screen.display = nullptr;
  screen.window = 0;
}

// On Wayland a swap with an interval waits for the compositor's frame
// callback, and a compositor that sends none (weston's kiosk shell on its
// headless back end, an output switched off) would hold the sink's thread
// for good. The sink's clock paces the frames and a compositor never shows
// half a frame, so the swap is told not to wait. Called on the GL thread
// before each frame is drawn, with the sink's surface current: a new
// surface starts again at the default interval.
gboolean swap_without_waiting(GstElement*, GstGLContext*, GstSample*, gpointer) {
  thread_local EGLSurface told = EGL_NO_SURFACE;
  EGLSurface current = eglGetCurrentSurface(EGL_DRAW);
  if (current != EGL_NO_SURFACE && current != told && eglSwapInterval(eglGetCurrentDisplay(), 0)) told = current;
  return FALSE;  // the sink draws the frame itself
}

// On the GL thread, in place of the sink's own drawing while the screen
// sleeps: black, also where the display stays lit. The sink swaps it as
// its frame. Connected last: the last handler's answer is the one taken.
gboolean draw_black_while_asleep(GstElement*, GstGLContext* context, GstSample*, gpointer) {
  if (!asleep.load()) return FALSE;
  const GstGLFuncs* gl = context->gl_vtable;
  gl->ClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  gl->Clear(GL_COLOR_BUFFER_BIT);
  return TRUE;
}

void configure_sink(GstElement* sink) {
  if (screen.output == VideoOutput::Wayland)
    g_signal_connect(sink, "client-draw", G_CALLBACK(swap_without_waiting), nullptr);
  frame_trace_attach(sink);
  g_signal_connect(sink, "client-draw", G_CALLBACK(draw_black_while_asleep), nullptr);
  if (screen.gl_sink) gst_object_unref(screen.gl_sink);
  screen.gl_sink = GST_ELEMENT(gst_object_ref(sink));
  g_object_set(sink, "force-aspect-ratio", TRUE, nullptr);
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "rotate-method"))
    g_object_set(sink, "rotate-method", screen.options.rotate_method, nullptr);
}

void drop_overlays() {
  for (GstElement* overlay : screen.overlays) gst_object_unref(overlay);
  screen.overlays.clear();
}

// The sink's GL window covers the player's window at the place given here.
// With no place GStreamer asks the X server for the player's window's size
// before every frame, a round trip that also wakes its event thread.
void draw_into_window(GstElement* overlay) {
  gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(overlay), screen.window);
  gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(overlay), 0, 0, screen.window_width,
                                         screen.window_height);
  screen.overlays.push_back(GST_ELEMENT(gst_object_ref(overlay)));
}

// The player's window was sized (by the screen's change below or by a window manager).
void follow_window_size(const XConfigureEvent& e) {
  if (e.width == screen.window_width && e.height == screen.window_height) return;
  screen.window_width = e.width;
  screen.window_height = e.height;
  for (GstElement* overlay : screen.overlays)
    gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(overlay), 0, 0, e.width, e.height);
}

// The X server's DPMS: forced off while asleep, on when woken, read back
// each time. Its own blanking is left as it was (kiosks turn it off).
// Empty when the display is in the level asked for, else why not.
std::string set_x_power(bool on) {
  Display* d = screen.display;
  if (!d) return "the player has no X connection of its own (--window)";
  int event_base = 0, error_base = 0;
  if (!DPMSQueryExtension(d, &event_base, &error_base)) return "the X server has no DPMS extension";
  if (!DPMSCapable(d)) return "the X server's display is not DPMS-capable";
  CARD16 level = 0;
  BOOL enabled = False;
  DPMSInfo(d, &level, &enabled);
  if (!on) {
    screen.dpms_was_enabled = enabled;
    if (!enabled) DPMSEnable(d);  // the server takes no forced level while its DPMS is disabled
    DPMSForceLevel(d, DPMSModeOff);
  } else {
    DPMSForceLevel(d, DPMSModeOn);
    if (!screen.dpms_was_enabled) DPMSDisable(d);
  }
  XSync(d, False);
  DPMSInfo(d, &level, &enabled);
  // Woken with its DPMS disabled again, the server is on whatever level it reports.
  bool reached = on ? (level == DPMSModeOn || !enabled) : (level == DPMSModeOff);
  if (reached) return "";
  return "the X server's DPMS is at level " + std::to_string(level) + " after the player asked for " + (on ? "on" : "off");
}

// The sink draws its last picture again, now black or now shown.
void redraw() {
  for (GstElement* overlay : screen.overlays) gst_video_overlay_expose(GST_VIDEO_OVERLAY(overlay));
  if (screen.overlays.empty() && screen.gl_sink && GST_IS_VIDEO_OVERLAY(screen.gl_sink))
    gst_video_overlay_expose(GST_VIDEO_OVERLAY(screen.gl_sink));
}

}  // namespace

bool screen_asleep() { return asleep.load(); }

void screen_sleep(bool sleep) {
  if (sleep) asleep = true;
  std::string why;
  const char* how = "";
  switch (screen.output) {
    case VideoOutput::X11:
      why = set_x_power(!sleep);
      how = "the X server's DPMS";
      break;
    case VideoOutput::Wayland:
      why = screen.wayland ? screen.wayland->set_outputs_power(!sleep)
                           : std::string("the player has no Wayland window of its own (--window)");
      how = "the compositor's output power management";
      break;
    case VideoOutput::Kms:
      why = "the player does not switch the DRM connector's power";
      break;
  }
  if (!sleep) asleep = false;
  redraw();
  if (!sleep) {
    log_line("%s%s", protocol::SCREEN_AWAKE, why.empty() ? (std::string(" - ") + how + " has it on").c_str() : "");
    return;
  }
  if (why.empty()) {
    log_line("%s - %s has it off", protocol::SCREEN_ASLEEP, how);
    return;
  }
  if (!screen.said_cannot_sleep) {
    screen.said_cannot_sleep = true;
    log_line("%s%s) - it stays lit, black, while the screen sleeps", protocol::SCREEN_CANNOT_SLEEP, why.c_str());
  }
  log_line("%s - black is shown and nothing more is drawn", protocol::SCREEN_ASLEEP);
}

std::optional<int> rotate_method_from_text(const std::string& text) {
  for (int method = 0; method < static_cast<int>(std::size(protocol::ROTATIONS)); ++method)
    if (text == protocol::ROTATIONS[method]) return method;
  return std::nullopt;
}

std::optional<VideoOutput> choose_video_output(const std::string& requested, const char* gl_window,
                                               const char* wayland_display, const char* x_display) {
  if (requested == "x11") return VideoOutput::X11;
  if (requested == "wayland") return VideoOutput::Wayland;
  if (requested == "kms") return VideoOutput::Kms;
  if (requested != "auto") return std::nullopt;
  if (is_set(gl_window)) {
    if (g_str_has_prefix(gl_window, "x11")) return VideoOutput::X11;
    if (g_str_has_prefix(gl_window, "wayland")) return VideoOutput::Wayland;
    if (g_str_has_prefix(gl_window, "gbm")) return VideoOutput::Kms;
  }
  if (is_set(wayland_display)) return VideoOutput::Wayland;
  if (is_set(x_display)) return VideoOutput::X11;
  return VideoOutput::Kms;
}

bool screen_start(const ScreenOptions& options) {
  screen.options = options;
  auto output = choose_video_output(options.output, g_getenv("GST_GL_WINDOW"), g_getenv("WAYLAND_DISPLAY"),
                                    g_getenv("DISPLAY"));
  if (!output) {
    log_line("[DISPLAY] ERROR: Unknown output \"%s\" (x11, wayland, kms or auto)", options.output.c_str());
    return false;
  }
  screen.output = *output;
  switch (*output) {
    case VideoOutput::X11: {
      const char* name = g_getenv("DISPLAY");
      display_watch_name(std::string("the X display ") + (name ? name : "(unset)"));
      Display* d = connect_x();
      if (!d) return false;
      // Only for a server that answers: GStreamer's GL crashes on one it was pointed at and cannot reach.
      g_setenv("GST_GL_WINDOW", "x11", FALSE);
      if (options.window) {
        XCloseDisplay(d);
        log_line("[DISPLAY] X11: a window of the clip's size (--window)");
      } else {
        cover_screen(d);
      }
      return true;
    }
    case VideoOutput::Wayland: {
      const char* name = g_getenv("WAYLAND_DISPLAY");
      display_watch_name(std::string("the Wayland compositor ") + (name ? name : "wayland-0"));
      g_setenv("GST_GL_WINDOW", "wayland", FALSE);
      if (options.window) {
        log_line("[DISPLAY] Wayland: a window of the clip's size (--window)");
        return true;
      }
      screen.wayland = WaylandWindow::open();
      if (!screen.wayland) return false;
      log_line("[DISPLAY] Wayland: full-screen window %dx%d", screen.wayland->width(), screen.wayland->height());
      return true;
    }
    case VideoOutput::Kms: {
      display_watch_name("the DRM/KMS device");
      g_setenv("GST_GL_WINDOW", "gbm", FALSE);
      g_setenv("GST_GL_PLATFORM", "egl", FALSE);
      const char* device = g_getenv("GST_GL_GBM_DRM_DEVICE");
      log_line("[DISPLAY] No display server: drawing on the DRM/KMS device through GBM/EGL (device %s)",
               device ? device : "found by GStreamer");
      bool found = device ? g_file_test(device, G_FILE_TEST_EXISTS)
                          : g_file_test("/dev/dri/card0", G_FILE_TEST_EXISTS) ||
                                g_file_test("/dev/dri/card1", G_FILE_TEST_EXISTS);
      if (!found) log_line("[DISPLAY] ERROR: No DRM device to draw on (%s)", device ? device : "/dev/dri/card*");
      return found;
    }
  }
  return true;
}

void screen_attach(GstElement* pipeline) {
  if (!pipeline) return;
  if (strcmp(factory_name(pipeline), "playbin") == 0) {
    GstElement* sink = nullptr;
    g_object_get(pipeline, "video-sink", &sink, nullptr);
    if (!sink && (sink = gst_element_factory_make("glimagesink", nullptr))) {
      gst_object_ref_sink(sink);
      g_object_set(pipeline, "video-sink", sink, nullptr);
    }
    if (sink) {
      if (strcmp(factory_name(sink), "glimagesink") == 0) configure_sink(sink);
      gst_object_unref(sink);
    }
  } else if (GST_IS_BIN(pipeline)) {
    for_each_element(gst_bin_iterate_recurse(GST_BIN(pipeline)), [](GstElement* child) {
      if (strcmp(factory_name(child), "glimagesink") == 0) configure_sink(child);
    });
  }
  if (screen.wayland) {
    screen.wayland->attach(pipeline);
    log_line("[DISPLAY] The pipeline draws into the Wayland window");
    return;
  }
  if (!screen.window) return;
  drop_overlays();
  // playbin hands the window on to its sink; the place is given to that sink itself.
  if (GST_IS_VIDEO_OVERLAY(pipeline)) {
    gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(pipeline), screen.window);
    GstElement* sink = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(pipeline), "video-sink"))
      g_object_get(pipeline, "video-sink", &sink, nullptr);
    if (sink && GST_IS_VIDEO_OVERLAY(sink)) draw_into_window(sink);
    if (sink) gst_object_unref(sink);
  } else if (GST_IS_BIN(pipeline)) {
    for_each_element(gst_bin_iterate_all_by_interface(GST_BIN(pipeline), GST_TYPE_VIDEO_OVERLAY), draw_into_window);
  }
  log_line("[DISPLAY] The pipeline draws into window 0x%lx", static_cast<unsigned long>(screen.window));
}

void screen_follow(GstElement* pipeline) {
  if (!pipeline || !GST_IS_BIN(pipeline)) return;
  for_each_element(gst_bin_iterate_recurse(GST_BIN(pipeline)), [](GstElement* child) {
    if (strcmp(factory_name(child), "glimagesink") != 0) return;
    if (screen.gl_sink) gst_object_unref(screen.gl_sink);
    screen.gl_sink = GST_ELEMENT(gst_object_ref(child));
  });
  if (!screen.window) return;
  drop_overlays();
  for_each_element(gst_bin_iterate_all_by_interface(GST_BIN(pipeline), GST_TYPE_VIDEO_OVERLAY), [](GstElement* o) {
    screen.overlays.push_back(GST_ELEMENT(gst_object_ref(o)));
    gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(o), 0, 0, screen.window_width, screen.window_height);
  });
}

void screen_poll() {
  display_watch_poll(screen.gl_sink);
  if (screen.wayland && !screen.wayland->poll()) display_lost("Lost");
  if (!screen.display) return;
  while (XPending(screen.display) > 0) {
    XEvent e;
    XNextEvent(screen.display, &e);
    if (e.type != ConfigureNotify) continue;
    if (e.xconfigure.window == screen.window) {
      follow_window_size(e.xconfigure);
      continue;
    }
    if (e.xconfigure.window != DefaultRootWindow(screen.display)) continue;
    if (e.xconfigure.width == screen.width && e.xconfigure.height == screen.height) continue;
    screen.width = e.xconfigure.width;
    screen.height = e.xconfigure.height;
    XMoveResizeWindow(screen.display, screen.window, 0, 0, screen.width, screen.height);
    XFlush(screen.display);
    log_line("[DISPLAY] The screen is now %dx%d - the window follows", screen.width, screen.height);
  }
}

void screen_stop() {
  if (screen.gl_sink) gst_object_unref(screen.gl_sink);
  screen.gl_sink = nullptr;
  drop_overlays();
  close_x_window();
  screen.wayland.reset();
}
