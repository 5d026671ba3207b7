// What the manager plays: a directory of MP4 files and pictures or a text file
// that lists them, read again at every round so that new content is picked up.
#pragma once
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "manager/content_watch.h"
#include "manager/output.h"
#include "manager/timing.h"

// When an entry of a list file may play: a time window of the day and days
// of the week, in the board's local time. "08:00-18:00", "22:00-06:00" (into
// the next day), "mon-fri", "sat,sun", or both: "08:00-18:00 mon-fri".
struct Schedule {
  int from_min = 0, to_min = 24 * 60;  // to is not included; from > to runs past midnight
  unsigned days = 0x7f;                // bit 0 = Sunday, as tm_wday
  std::string text;                    // as written; empty: always
  bool always() const { return text.empty(); }
  bool due(const struct tm& local) const;
};
// Takes a schedule off the front of a list file's line, leaving the path.
Schedule take_schedule(std::string& line);
// Takes an entry's time ("10s", "2.5s") off the front of the line: its
// seconds, or 0 when the line has none.
double take_item_seconds(std::string& line);

// A picture (.jpg, .jpeg, .png, .webp, any case) is shown for a time; anything
// else listed is played as a video file.
enum class MediaKind { Video, Picture };
MediaKind media_kind(const std::string& path);
const char* media_kind_name(MediaKind kind);

struct PlaylistLoad {
  std::vector<std::string> files;
  std::vector<Schedule> schedules;  // one per file
  std::vector<double> seconds;      // one per file: the time given in the list, or 0
  std::string error;                // set when the source itself could not be read
};

// A list file larger than this is not read (nor anything but a regular file).
constexpr size_t MAX_PLAYLIST_FILE_BYTES = 1024 * 1024;

// A directory gives its *.mp4 files and pictures (any case, no hidden ones) in name order.
// A list file gives one path a line; blank lines and lines starting with '#'
// are skipped, and relative paths are taken from the list file's directory.
PlaylistLoad load_playlist(const std::string& source);

// Why the file cannot be handed to the player, or nullopt when it looks like
// an MP4 file (a picture: a JPEG, PNG or WebP file). Cheap checks only:
// anything subtler is left to the player (to the picture's clip maker).
std::optional<std::string> unplayable_reason(const std::string& path);

// Size and modification time, to notice that a file was replaced.
struct FileStamp {
  long long size = -1;
  long long mtime_ns = -1;
  bool operator==(const FileStamp& o) const { return size == o.size && mtime_ns == o.mtime_ns; }
};
FileStamp file_stamp(const std::string& path);

// A place in the playlist: which round, which entry, which file.
struct Slot {
  int round = 0;
  int index = -1;
  std::string path;
  std::string media;  // what the player is given: a picture's clip; empty: the file itself
  bool valid() const { return index >= 0; }
  const std::string& player_path() const { return media.empty() ? path : media; }
};

// Where the manager is in its playlist, round after round, and which files it
// passes over: those that cannot play, and those the player failed on (until
// they change, or for a while).
class PlaylistCursor {
 public:
  // NothingDue: files that could play, none of them due at this hour.
  enum class Pick { Found, Nothing, NothingDue, Finished };

  // `rounds`: how many rounds to play; 0: no end.
  PlaylistCursor(std::string source, int rounds, double bad_file_retry_s, Output& out);

  // Reads the playlist again; on failure says so and keeps the previous one.
  void reload();
  // New content: the list is read again before the next pick, the position
  // kept, and a file is taken only once it is whole (`settle_s`).
  void list_changed() { changed_ = true; }
  void settle_after(double settle_s) { settle_.set_settle(settle_s); }
  bool loaded() const { return loaded_; }
  size_t size() const { return files_.size(); }
  // "3/7: /path/file.mp4"
  std::string describe(const Slot& slot) const;

  // The next file to play, past those to skip.
  Pick pick_next(Slot& slot);
  // The next pick gives this file again, unless it is to be skipped by then.
  void retry(const Slot& slot) { retry_ = slot; }
  // Go on with the file after this one.
  void resume_after(const Slot& slot);
  // The next pick is this entry of the round (unless it is to be skipped).
  void jump_to(int index);
  const std::vector<std::string>& files() const { return files_; }
  const Schedule& schedule(int index) const { return schedules_[static_cast<size_t>(index)]; }
  // The entry's time from the list file, or 0.
  double item_seconds(int index) const { return seconds_[static_cast<size_t>(index)]; }
  bool due_now(int index) const;
  // False once the slot's entry is outside its window (an entry the list no
  // longer has at its place is taken as due).
  bool due_now(const Slot& slot) const;
  // Why an entry cannot be played now, or nullopt when it can.
  struct Unplayable {
    const char* kind;  // "missing", "blamed", "not-playable" or "not-due"
    std::string why;
  };
  std::optional<Unplayable> why_not_playable(int index) const;
  // Files passed over for now, and why.
  std::vector<std::pair<std::string, std::string>> blamed() const;

  void mark_bad(const Slot& slot, const std::string& why);
  // True when the file is to be skipped; says why, but not over and over.
  bool skip_with_note(const std::string& path);
  void note_skip(const std::string& path, const std::string& why);

  // The note that nothing in the playlist can play is made once, until
  // something can; the line for each new round is left out meanwhile.
  bool note_nothing_playable();  // true the first time
  void something_playable() { nothing_noted_ = false; }

 private:
  struct BadFile {
    FileStamp stamp;
    SteadyClock::time_point until;
    std::string why;
  };
  // The mark in force on the file, if any.
  const BadFile* blame_of(const std::string& path) const;
  // Why the file is passed over whatever the hour, or nullopt.
  std::optional<std::string> skip_reason(const std::string& path) const;
  // Reads the list again, going on after the entry taken last.
  void refresh();
  // A file passed over while it was being written, whole now and behind the
  // cursor: it plays next rather than a round later.
  std::optional<Slot> take_owed();
  std::string not_whole_text() const;

  // Set up once.
  std::string source_;
  int rounds_;
  double bad_file_retry_s_;
  Output& out_;

  // The files of this round and the position among them.
  std::vector<std::string> files_;
  std::vector<Schedule> schedules_;
  std::vector<double> seconds_;
  bool loaded_ = false;
  int round_ = 1;
  int cursor_ = 0;  // next entry of files_ to consider
  std::optional<Slot> retry_;  // a file to preload again before going on

  // Files passed over, and what was last said about each.
  std::map<std::string, BadFile> bad_files_;
  std::map<std::string, std::pair<std::string, SteadyClock::time_point>> skip_notes_;
  bool nothing_noted_ = false;

  // New content.
  mutable SettleCheck settle_;  // what it remembers of files' sizes and times
  bool changed_ = false;
  std::set<std::string> owed_;  // passed over while being written
};
