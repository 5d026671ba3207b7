#include "manager/content_watch.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace {

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

long long now_real_ns() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The index of the n-th (from 0) occurrence of `path` in `files`, or -1.
int nth_index(const std::vector<std::string>& files, const std::string& path, long n) {
  for (size_t i = 0; i < files.size(); ++i)
    if (files[i] == path && n-- == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool temporary_name(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  if (name.empty()) return false;
  return name[0] == '.' || ends_with(name, ".part") || ends_with(name, ".filepart") || ends_with(name, ".tmp") ||
         name.find("~syncthing~") != std::string::npos;
}

bool SettleCheck::whole(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    seen_.erase(path);
    return true;
  }
  long long mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  Stamp stamp{static_cast<long long>(st.st_size), mtime_ns};
  auto [it, fresh] = seen_.try_emplace(path, Seen{stamp, SteadyClock::now()});
  if (!fresh && !(it->second.stamp == stamp)) it->second = {stamp, SteadyClock::now()};
  if (seconds_since(it->second.since) >= settle_s_) return true;
  // A file found already at rest (at start, or named again) is not held back
  // for a fresh look. A time well ahead of the clock was not set by a write
  // now (a board that booted with its clock behind): taken too; a write now
  // gives it this clock's time.
  long long age_ns = now_real_ns() - mtime_ns;
  return age_ns >= static_cast<long long>(settle_s_ * 1e9) || age_ns < -1000000000LL;
}

void SettleCheck::keep_only(const std::set<std::string>& paths) {
  for (auto it = seen_.begin(); it != seen_.end();) it = paths.count(it->first) ? std::next(it) : seen_.erase(it);
}

int position_after_reload(const std::vector<std::string>& old_files, int next, const std::vector<std::string>& new_files,
                          bool name_order) {
  next = std::min(next, static_cast<int>(old_files.size()));
  if (next <= 0) return 0;
  const std::string& last = old_files[static_cast<size_t>(next - 1)];
  if (name_order) return static_cast<int>(std::upper_bound(new_files.begin(), new_files.end(), last) - new_files.begin());
  // The same occurrence: a list may name a file more than once.
  for (int i = next - 1; i < static_cast<int>(old_files.size()); ++i) {
    const std::string& path = old_files[static_cast<size_t>(i)];
    long before = std::count(old_files.begin(), old_files.begin() + i, path);
    int at = nth_index(new_files, path, before);
    if (at >= 0) return i == next - 1 ? at + 1 : at;
  }
  return static_cast<int>(new_files.size());
}

// ---------------------------------------------------------------- the watch

struct ContentWatch::Monitors {
  GMainContext* context = nullptr;
  std::vector<GFileMonitor*> monitors;
  std::atomic<bool> quit{false};

  // The watch's thread only, once it runs.
  ContentWatch* owner = nullptr;
  std::string list_file;  // the source, when it is a list file
  std::set<std::string> pending;  // written to lately, not yet whole
  SettleCheck settle;
  GSource* timer = nullptr;

  void notify() {
    owner->changed_ = true;
    owner->wake_();
  }
  void follow(const std::string& path) {
    if (temporary_name(path)) return;
    pending.insert(path);
    if (timer) return;
    timer = g_timeout_source_new(500);
    g_source_set_callback(timer, &Monitors::on_timer, this, nullptr);
    g_source_attach(timer, context);
  }
  // Every half second while a file is being written: has it come to rest?
  static gboolean on_timer(gpointer data) {
    auto* self = static_cast<Monitors*>(data);
    bool rested = false;
    for (auto it = self->pending.begin(); it != self->pending.end();) {
      struct stat st;
      if (stat(it->c_str(), &st) != 0) {
        it = self->pending.erase(it);
      } else if (self->settle.whole(*it)) {
        rested = true;
        it = self->pending.erase(it);
      } else {
        ++it;
      }
    }
    self->settle.keep_only(self->pending);
    if (rested) self->notify();
    if (!self->pending.empty()) return G_SOURCE_CONTINUE;
    g_source_unref(self->timer);
    self->timer = nullptr;
    return G_SOURCE_REMOVE;
  }
  static void on_event(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent event, gpointer data) {
    auto* self = static_cast<Monitors*>(data);
    char* raw = g_file_get_path(file);
    std::string path = raw ? raw : "";
    g_free(raw);
    switch (event) {
      case G_FILE_MONITOR_EVENT_CHANGED:
      case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
      case G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED:
        // Written to: its entry stays what it was until it is whole.
        if (path == self->list_file)
          self->notify();
        else if (!path.empty())
          self->follow(path);
        break;
      case G_FILE_MONITOR_EVENT_CREATED:
      case G_FILE_MONITOR_EVENT_MOVED_IN:
        if (!path.empty()) self->follow(path);
        self->notify();
        break;
      case G_FILE_MONITOR_EVENT_RENAMED:
        if (other) {
          char* to = g_file_get_path(other);
          if (to) self->follow(to);
          g_free(to);
        }
        self->notify();
        break;
      case G_FILE_MONITOR_EVENT_DELETED:
      case G_FILE_MONITOR_EVENT_MOVED_OUT:
      case G_FILE_MONITOR_EVENT_MOVED:
        self->notify();
        break;
      default:
        break;
    }
  }
};

ContentWatch::ContentWatch(std::string source, double settle_s, std::function<void()> wake)
    : source_(std::move(source)), settle_s_(settle_s), wake_(std::move(wake)) {}

ContentWatch::~ContentWatch() { stop(); }

std::string ContentWatch::start() {
  if (glib_) return "";
  glib_ = std::make_unique<Monitors>();
  glib_->owner = this;
  glib_->settle.set_settle(settle_s_);
  glib_->context = g_main_context_new();
  struct stat st;
  std::vector<std::pair<GFile*, bool>> watched;  // a file, and whether it is a directory
  GFile* source = g_file_new_for_path(source_.c_str());
  if (stat(source_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    watched.emplace_back(source, true);
  } else {
    glib_->list_file = source_;
    watched.emplace_back(source, false);
    GFile* parent = g_file_get_parent(source);
    if (parent) watched.emplace_back(parent, true);
  }
  std::string failed;
  // Monitors send their events to the thread-default context of the thread
  // that makes them: the watch's own, which only its thread runs from now on.
  g_main_context_push_thread_default(glib_->context);
  for (auto [file, is_dir] : watched) {
    GError* error = nullptr;
    GFileMonitor* m = is_dir ? g_file_monitor_directory(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, &error)
                             : g_file_monitor_file(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, &error);
    if (m) {
      g_signal_connect(m, "changed", G_CALLBACK(&Monitors::on_event), glib_.get());
      glib_->monitors.push_back(m);
    } else {
      char* path = g_file_get_path(file);
      failed += std::string(failed.empty() ? "" : "; ") + (path ? path : "?") + ": " + (error ? error->message : "?");
      g_free(path);
      g_clear_error(&error);
    }
    g_object_unref(file);
  }
  g_main_context_pop_thread_default(glib_->context);
  thread_ = std::thread([this] { run(); });
  if (failed.empty()) return "";
  return "cannot watch the playlist for changes (" + failed + "); it is read again at every round";
}

void ContentWatch::run() {
  g_main_context_push_thread_default(glib_->context);
  while (!glib_->quit) g_main_context_iteration(glib_->context, TRUE);
  g_main_context_pop_thread_default(glib_->context);
}

void ContentWatch::stop() {
  if (!glib_) return;
  glib_->quit = true;
  g_main_context_wakeup(glib_->context);
  if (thread_.joinable()) thread_.join();
  for (GFileMonitor* m : glib_->monitors) {
    g_signal_handlers_disconnect_by_data(m, glib_.get());
    g_file_monitor_cancel(m);
    g_object_unref(m);
  }
  if (glib_->timer) {
    g_source_destroy(glib_->timer);
    g_source_unref(glib_->timer);
  }
  g_main_context_unref(glib_->context);
  glib_.reset();
}
