#include "platform/wayland_window.h"

#include <gst/gl/gl.h>
#include <gst/gl/wayland/gstgldisplay_wayland.h>
#include <gst/video/videooverlay.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "output-power-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace {
// An output of the compositor and the control of its power, made at the first use.
struct Output {
  uint32_t name = 0;
  wl_output* output = nullptr;
  zwlr_output_power_v1* power = nullptr;
  int mode = -1;  // as the compositor last reported it
  bool failed = false;
};
}  // namespace

struct WaylandWindow::State {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wm_base = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdg = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffer = nullptr;
  int width = 0, height = 0;  // as the compositor gives it
  int painted_width = 0, painted_height = 0;
  bool configured = false;
  GstGLDisplay* gl_display = nullptr;
  GstElement* sink = nullptr;  // the last one given the window, for a new size
  // weston gives a new sub-surface its output only when it repaints, and a
  // commit of a sub-surface without an output asks for no repaint: the GL
  // swap of the sink's second frame would wait for a frame callback that
  // never comes. The window is committed on every pass until a commit has
  // followed the sink's first frame (its second buffer arrives only after
  // the first was drawn).
  std::atomic<int> sink_buffers{0};
  GstPad* counted_pad = nullptr;
  gulong count_probe = 0;
  bool sub_surface_shown = true;
  zwlr_output_power_manager_v1* power_manager = nullptr;
  std::vector<std::unique_ptr<Output>> outputs;
};

namespace {

using State = WaylandWindow::State;

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto* s = static_cast<State*>(data);
  if (strcmp(interface, wl_compositor_interface.name) == 0)
    s->compositor = static_cast<wl_compositor*>(
        wl_registry_bind(registry, name, &wl_compositor_interface, std::min<uint32_t>(version, 4)));
  else if (strcmp(interface, wl_shm_interface.name) == 0)
    s->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
    s->wm_base = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
  else if (strcmp(interface, zwlr_output_power_manager_v1_interface.name) == 0)
    s->power_manager = static_cast<zwlr_output_power_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_output_power_manager_v1_interface, 1));
  else if (strcmp(interface, wl_output_interface.name) == 0) {
    auto output = std::make_unique<Output>();
    output->name = name;
    output->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
    s->outputs.push_back(std::move(output));
  }
}

void forget_output(Output& o) {
  if (o.power) zwlr_output_power_v1_destroy(o.power);
  if (o.output) wl_output_destroy(o.output);
  o.power = nullptr;
  o.output = nullptr;
}

// An output unplugged.
void on_global_remove(void* data, wl_registry*, uint32_t name) {
  auto* s = static_cast<State*>(data);
  auto& outputs = s->outputs;
  for (auto it = outputs.begin(); it != outputs.end(); ++it) {
    if ((*it)->name != name) continue;
    forget_output(**it);
    outputs.erase(it);
    return;
  }
}

void on_power_mode(void* data, zwlr_output_power_v1*, uint32_t mode) { static_cast<Output*>(data)->mode = static_cast<int>(mode); }
void on_power_failed(void* data, zwlr_output_power_v1*) { static_cast<Output*>(data)->failed = true; }
const zwlr_output_power_v1_listener power_listener = {on_power_mode, on_power_failed};
const wl_registry_listener registry_listener = {on_global, on_global_remove};

void on_ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener wm_base_listener = {on_ping};

void on_toplevel_configure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
  auto* s = static_cast<State*>(data);
  if (width > 0 && height > 0) {
    s->width = width;
    s->height = height;
  }
}
void on_toplevel_close(void*, xdg_toplevel*) {}  // a sign's window is not closed
// Bound at version 1: the events of later versions never come.
const xdg_toplevel_listener toplevel_listener = {on_toplevel_configure, on_toplevel_close, nullptr, nullptr};

// A black buffer of the window's size: what shows between two pipelines.
// A compositor that leaves the first size to the window (sway) makes it
// full screen once it is mapped: a buffer of one pixel maps it.
void paint(State* s) {
  int width = s->width > 0 ? s->width : 1, height = s->height > 0 ? s->height : 1;
  if (width == s->painted_width && height == s->painted_height) return;
  size_t stride = static_cast<size_t>(width) * 4, size = stride * static_cast<size_t>(height);
  int fd = memfd_create("signage-window", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (fd >= 0) close(fd);
    log_line("[DISPLAY] ERROR: No memory for the window's %dx%d picture", width, height);
    return;
  }
  wl_shm_pool* pool = wl_shm_create_pool(s->shm, fd, static_cast<int32_t>(size));
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, static_cast<int32_t>(stride), WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_surface_attach(s->surface, buffer, 0, 0);
  wl_surface_damage(s->surface, 0, 0, width, height);
  wl_surface_commit(s->surface);
  if (s->buffer) wl_buffer_destroy(s->buffer);
  s->buffer = buffer;
  s->painted_width = width;
  s->painted_height = height;
  if (s->sink && s->width > 0) gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(s->sink), 0, 0, s->width, s->height);
}

void on_surface_configure(void* data, xdg_surface* xdg, uint32_t serial) {
  auto* s = static_cast<State*>(data);
  xdg_surface_ack_configure(xdg, serial);
  s->configured = true;
  paint(s);
}
const xdg_surface_listener surface_listener = {on_surface_configure};

// GStreamer's GL reads the same connection on its own queue: the
// prepare/read protocol lets both read without taking each other's events.
// A lost connection makes every call fail at once, never wait.
void dispatch(wl_display* d, int timeout_ms) {
  while (wl_display_prepare_read(d) != 0)
    if (wl_display_dispatch_pending(d) < 0) return;
  wl_display_flush(d);
  pollfd p{wl_display_get_fd(d), POLLIN, 0};
  if (poll(&p, 1, timeout_ms) > 0)
    wl_display_read_events(d);
  else
    wl_display_cancel_read(d);
  wl_display_dispatch_pending(d);
}

GstPadProbeReturn count_buffer(GstPad*, GstPadProbeInfo*, gpointer data) {
  auto* counted = static_cast<std::atomic<int>*>(data);
  return ++*counted >= 2 ? GST_PAD_PROBE_REMOVE : GST_PAD_PROBE_OK;
}

void stop_counting(State* s) {
  if (!s->counted_pad) return;
  if (s->count_probe) gst_pad_remove_probe(s->counted_pad, s->count_probe);
  gst_object_unref(s->counted_pad);
  s->counted_pad = nullptr;
  s->count_probe = 0;
}

void count_sink_buffers(State* s, GstElement* sink) {
  stop_counting(s);
  s->sink_buffers = 0;
  s->sub_surface_shown = false;
  s->counted_pad = gst_element_get_static_pad(sink, "sink");
  if (s->counted_pad)
    s->count_probe = gst_pad_add_probe(s->counted_pad, GST_PAD_PROBE_TYPE_BUFFER, count_buffer, &s->sink_buffers, nullptr);
}

}  // namespace

std::unique_ptr<WaylandWindow> WaylandWindow::open() {
  std::unique_ptr<WaylandWindow> w(new WaylandWindow());
  w->s_ = std::make_unique<State>();
  State* s = w->s_.get();
  s->display = wl_display_connect(nullptr);
  if (!s->display) {
    log_line("[DISPLAY] ERROR: Cannot connect to the Wayland compositor %s", g_getenv("WAYLAND_DISPLAY"));
    return nullptr;
  }
  s->registry = wl_display_get_registry(s->display);
  wl_registry_add_listener(s->registry, &registry_listener, s);
  wl_display_roundtrip(s->display);
  if (!s->compositor || !s->shm || !s->wm_base) {
    log_line("[DISPLAY] The compositor has no xdg-shell - the video sink opens its own window");
    return nullptr;
  }
  xdg_wm_base_add_listener(s->wm_base, &wm_base_listener, s);
  s->surface = wl_compositor_create_surface(s->compositor);
  s->xdg = xdg_wm_base_get_xdg_surface(s->wm_base, s->surface);
  xdg_surface_add_listener(s->xdg, &surface_listener, s);
  s->toplevel = xdg_surface_get_toplevel(s->xdg);
  xdg_toplevel_add_listener(s->toplevel, &toplevel_listener, s);
  xdg_toplevel_set_title(s->toplevel, "Signage player");
  xdg_toplevel_set_app_id(s->toplevel, "video_player");
  xdg_toplevel_set_fullscreen(s->toplevel, nullptr);
  wl_surface_commit(s->surface);
  for (int i = 0; i < 20 && !(s->configured && s->width > 0); ++i) dispatch(s->display, 100);
  if (!s->configured || s->width <= 0) {
    log_line("[DISPLAY] The compositor gave the window no size - the video sink opens its own window");
    return nullptr;
  }
  s->gl_display = GST_GL_DISPLAY(gst_gl_display_wayland_new_with_display(s->display));
  return w;
}

WaylandWindow::~WaylandWindow() {
  if (!s_) return;
  State* s = s_.get();
  stop_counting(s);
  if (s->sink) gst_object_unref(s->sink);
  if (s->gl_display) gst_object_unref(s->gl_display);
  if (s->buffer) wl_buffer_destroy(s->buffer);
  if (s->toplevel) xdg_toplevel_destroy(s->toplevel);
  if (s->xdg) xdg_surface_destroy(s->xdg);
  if (s->surface) wl_surface_destroy(s->surface);
  for (auto& output : s->outputs) forget_output(*output);
  if (s->power_manager) zwlr_output_power_manager_v1_destroy(s->power_manager);
  if (s->wm_base) xdg_wm_base_destroy(s->wm_base);
  if (s->shm) wl_shm_destroy(s->shm);
  if (s->compositor) wl_compositor_destroy(s->compositor);
  if (s->registry) wl_registry_destroy(s->registry);
  if (s->display) {
    wl_display_flush(s->display);
    wl_display_disconnect(s->display);
  }
}

int WaylandWindow::width() const { return s_->width; }
int WaylandWindow::height() const { return s_->height; }

void WaylandWindow::attach(GstElement* pipeline) {
  State* s = s_.get();
  GstContext* context = gst_context_new(GST_GL_DISPLAY_CONTEXT_TYPE, TRUE);
  gst_context_set_gl_display(context, s->gl_display);
  gst_element_set_context(pipeline, context);
  gst_context_unref(context);
  GstElement* sink = nullptr;
  if (GST_IS_VIDEO_OVERLAY(pipeline)) {
    sink = GST_ELEMENT(gst_object_ref(pipeline));
  } else if (GST_IS_BIN(pipeline)) {
    sink = gst_bin_get_by_interface(GST_BIN(pipeline), GST_TYPE_VIDEO_OVERLAY);
  }
  if (!sink) return;
  gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(sink), reinterpret_cast<guintptr>(s->surface));
  gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(sink), 0, 0, s->width, s->height);
  if (s->sink) gst_object_unref(s->sink);
  s->sink = sink;
  count_sink_buffers(s, sink);
}

bool WaylandWindow::poll() {
  State* s = s_.get();
  if (!s->sub_surface_shown) {
    bool after_first_frame = s->sink_buffers >= 2;
    wl_surface_commit(s->surface);
    s->sub_surface_shown = after_first_frame;
  }
  dispatch(s->display, 0);
  return wl_display_get_error(s->display) == 0;
}

std::string WaylandWindow::set_outputs_power(bool on) {
  State* s = s_.get();
  if (!s->power_manager) return "the compositor offers no output power management (zwlr_output_power_manager_v1)";
  if (s->outputs.empty()) return "the compositor has no output";
  uint32_t wanted = on ? ZWLR_OUTPUT_POWER_V1_MODE_ON : ZWLR_OUTPUT_POWER_V1_MODE_OFF;
  for (auto& o : s->outputs) {
    if (o->failed) {  // the control is gone (another client took it): asked for afresh
      zwlr_output_power_v1_destroy(o->power);
      o->power = nullptr;
      o->failed = false;
    }
    if (!o->power) {
      o->power = zwlr_output_power_manager_v1_get_output_power(s->power_manager, o->output);
      zwlr_output_power_v1_add_listener(o->power, &power_listener, o.get());
    }
    zwlr_output_power_v1_set_mode(o->power, wanted);
  }
  auto settled = [&] {
    for (auto& o : s->outputs)
      if (!o->failed && o->mode != static_cast<int>(wanted)) return false;
    return true;
  };
  gint64 deadline = g_get_monotonic_time() + G_TIME_SPAN_SECOND;
  while (!settled() && g_get_monotonic_time() < deadline && wl_display_get_error(s->display) == 0) dispatch(s->display, 50);
  int in_mode = 0, failed = 0;
  for (auto& o : s->outputs) {
    in_mode += o->mode == static_cast<int>(wanted);
    failed += o->failed;
  }
  if (in_mode == static_cast<int>(s->outputs.size())) return "";
  std::string reported;
  for (auto& o : s->outputs)
    reported += std::string(reported.empty() ? "" : ", ") + (o->mode < 0 ? "no answer" : o->mode ? "on" : "off");
  return std::to_string(in_mode) + " of " + std::to_string(s->outputs.size()) + " outputs " + (on ? "on" : "off") +
         " after a second: " + reported + (failed ? ", refused for " + std::to_string(failed) : std::string());
}
