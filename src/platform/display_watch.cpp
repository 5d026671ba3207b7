#include "platform/display_watch.h"

#include <gst/gl/gl.h>

#include <atomic>

#include "core/log.h"

namespace {

std::string name = "the display";
// When the open question was asked (monotonic µs), 0 when none is open.
std::atomic<gint64> asked_at{0};
gint64 last_asked = 0;  // main thread

// Called once per question, when the GL thread has run the task or when its
// window dropped it unrun (a sink released); one question is open at a time.
void close_question(gpointer) { asked_at = 0; }

void nothing(gpointer) {}

}  // namespace

void display_watch_name(std::string text) { name = std::move(text); }
const char* display_watch_name() { return name.c_str(); }

void display_watch_poll(GstElement* gl_sink) {
  gint64 now = g_get_monotonic_time();
  if (!gl_sink || asked_at.load() != 0 || now - last_asked < G_USEC_PER_SEC) return;
  GstGLContext* context = nullptr;
  g_object_get(gl_sink, "context", &context, nullptr);
  if (!context) return;  // not drawing yet
  GstGLWindow* window = gst_gl_context_get_window(context);
  gst_object_unref(context);
  if (!window) return;
  last_asked = now;
  asked_at = now;
  gst_gl_window_send_message_async(window, nothing, nullptr, close_question);
  gst_object_unref(window);
}

double display_unanswered_seconds() {
  gint64 asked = asked_at.load();
  return asked ? static_cast<double>(g_get_monotonic_time() - asked) / G_USEC_PER_SEC : 0;
}

void display_lost(const char* why) {
  log_line("[DISPLAY] ERROR: %s %s - ending so that the player is started again", why, name.c_str());
  terminate_process(1);
}
