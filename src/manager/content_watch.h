// New content in the playlist: taken only once it is whole, and seen as soon
// as it is, not at the next round.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "manager/timing.h"

// Names that copying and syncing tools give a file while they write it:
// "*.part", "*.filepart", "*.tmp", "*~syncthing~*", ".syncthing.*" and any
// other dot file (any case). Such a file is never played.
bool temporary_name(const std::string& path);

// Whether a file has stopped changing: a file written in place (cp, scp, a
// USB copy) grows for a while under its final name. Whole once its size and
// modification time have stayed the same for `settle_s` seconds: by its own
// time (nothing wrote to it since; a time over a second ahead of the clock
// was not set by a write now), else by what was seen here on the steady
// clock. The memo belongs to the thread that asks.
class SettleCheck {
 public:
  explicit SettleCheck(double settle_s = 3) : settle_s_(settle_s) {}
  void set_settle(double settle_s) { settle_s_ = settle_s; }
  double settle_s() const { return settle_s_; }
  // A file that cannot be examined counts as whole: missing or odd files
  // are told apart elsewhere.
  bool whole(const std::string& path);
  // Only these files are remembered from now on.
  void keep_only(const std::set<std::string>& paths);

 private:
  struct Stamp {
    long long size, mtime_ns;
    bool operator==(const Stamp& o) const { return size == o.size && mtime_ns == o.mtime_ns; }
  };
  struct Seen {
    Stamp stamp;
    SteadyClock::time_point since;
  };
  double settle_s_;
  std::map<std::string, Seen> seen_;
};

// Where the cursor goes on in a list read again: after the entry it took last
// (`old_files[next - 1]`). A directory's list is in name order, so that is
// past that name even when the file has gone; a list file's entry is found
// again as the same occurrence of its path, else the cursor goes to the first
// of the entries that followed it which is still listed.
int position_after_reload(const std::vector<std::string>& old_files, int next, const std::vector<std::string>& new_files,
                          bool name_order);

// Watches the playlist's directory, or a list file and its directory, with
// GLib's file monitors on a thread of its own (its own GMainContext), and
// says when the list should be read again: an entry came, went or was
// renamed, the list file changed, or a file that was being written has
// become whole. It wakes the manager's loop through `wake`.
class ContentWatch {
 public:
  ContentWatch(std::string source, double settle_s, std::function<void()> wake);
  ~ContentWatch();
  ContentWatch(const ContentWatch&) = delete;
  ContentWatch& operator=(const ContentWatch&) = delete;

  // Starts the thread; an empty text when every monitor could be set up,
  // else what could not (the playlist is then read at every round only).
  std::string start();
  void stop();
  // Main thread: true once after each change.
  bool take_changed() { return changed_.exchange(false); }

 private:
  struct Monitors;  // the GLib side: owned by the watch's thread while it runs
  void run();

  std::string source_;
  double settle_s_;
  std::function<void()> wake_;
  std::atomic<bool> changed_{false};
  std::unique_ptr<Monitors> glib_;
  std::thread thread_;
};
