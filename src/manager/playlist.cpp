#include "manager/playlist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>
#include <utility>

namespace {

constexpr double SKIP_NOTE_REPEAT_S = 600;

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string lower_extension(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return "";
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

bool playable_name(const std::string& name) {
  return lower_extension(name) == ".mp4" || media_kind(name) == MediaKind::Picture;
}

// The first bytes of a JPEG, PNG or WebP file.
bool picture_head(const unsigned char* head, size_t n) {
  if (n >= 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff) return true;
  if (n >= 8 && memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return true;
  return n >= 12 && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0;
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

PlaylistLoad load_directory(const std::string& dir) {
  PlaylistLoad out;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    out.error = std::string("cannot read directory: ") + strerror(errno);
    return out;
  }
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.' || !playable_name(name)) continue;
    out.files.push_back(join(dir, name));
  }
  closedir(d);
  std::sort(out.files.begin(), out.files.end());
  return out;
}

// Read whole, but only a regular file of bounded size: a FIFO would block the
// manager, a huge file would take its memory.
bool read_bounded(const std::string& path, std::string& text, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot read playlist file: ") + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    error = "not a regular file or a directory";
    return false;
  }
  std::string too_large = "larger than " + std::to_string(MAX_PLAYLIST_FILE_BYTES / 1024) + " KB";
  if (st.st_size > static_cast<off_t>(MAX_PLAYLIST_FILE_BYTES)) {
    close(fd);
    error = too_large;
    return false;
  }
  text.clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::string("cannot read playlist file: ") + strerror(errno);
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > MAX_PLAYLIST_FILE_BYTES) {  // it grew while being read
      error = too_large;
      break;
    }
  }
  close(fd);
  return error.empty();
}

PlaylistLoad load_list_file(const std::string& path) {
  PlaylistLoad out;
  std::string text;
  if (!read_bounded(path, text, out.error)) return out;
  std::istringstream in(text);
  std::string base = directory_of(path);
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    Schedule schedule = take_schedule(line);
    double seconds = take_item_seconds(line);
    if (line.empty()) continue;
    out.files.push_back(line[0] == '/' ? line : join(base, line));
    out.schedules.push_back(schedule);
    out.seconds.push_back(seconds);
  }
  return out;
}

}  // namespace

namespace {

const char* const DAY_NAMES[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

int day_number(const std::string& name) {
  for (int i = 0; i < 7; ++i)
    if (name == DAY_NAMES[i]) return i;
  return -1;
}

// "HH:MM-HH:MM" in minutes of the day; 24:00 ends a day.
bool parse_window(const std::string& token, int& from, int& to) {
  int h1, m1, h2, m2;
  char tail;
  if (sscanf(token.c_str(), "%2d:%2d-%2d:%2d%c", &h1, &m1, &h2, &m2, &tail) != 4 || token.size() != 11) return false;
  if (h1 > 23 || h2 > 24 || m1 > 59 || m2 > 59 || (h2 == 24 && m2 != 0)) return false;
  from = h1 * 60 + m1;
  to = h2 * 60 + m2;
  return from != to;
}

// "mon-fri", "sat,sun", "mon,wed-fri": a mask of tm_wday bits.
bool parse_days(const std::string& token, unsigned& days) {
  days = 0;
  std::istringstream parts(token);
  for (std::string part; std::getline(parts, part, ',');) {
    size_t dash = part.find('-');
    int a = day_number(part.substr(0, dash));
    int b = dash == std::string::npos ? a : day_number(part.substr(dash + 1));
    if (a < 0 || b < 0) return false;
    for (int d = a;; d = (d + 1) % 7) {  // "fri-mon" runs over the weekend
      days |= 1u << d;
      if (d == b) break;
    }
  }
  return days != 0;
}

std::string first_word(const std::string& line) { return line.substr(0, line.find_first_of(" \t")); }

std::string after_first_word(const std::string& line) {
  size_t end = line.find_first_of(" \t");
  return end == std::string::npos ? "" : trim(line.substr(end));
}

}  // namespace

Schedule take_schedule(std::string& line) {
  Schedule s;
  std::vector<std::string> taken;
  if (parse_window(first_word(line), s.from_min, s.to_min)) {
    taken.push_back(first_word(line));
    line = after_first_word(line);
  }
  if (parse_days(first_word(line), s.days)) {
    taken.push_back(first_word(line));
    line = after_first_word(line);
  } else {
    s.days = 0x7f;
  }
  for (const auto& t : taken) s.text += (s.text.empty() ? "" : " ") + t;
  return s;
}

double take_item_seconds(std::string& line) {
  std::string word = first_word(line);
  if (word.size() < 2 || word.back() != 's' || !isdigit(static_cast<unsigned char>(word[0]))) return 0;
  char* end = nullptr;
  double seconds = strtod(word.c_str(), &end);
  // A day at most: a longer still clip is no use, and a file named "5s" stays a file.
  if (end != word.c_str() + word.size() - 1 || !(seconds > 0) || seconds > 24 * 3600 || after_first_word(line).empty())
    return 0;
  line = after_first_word(line);
  return seconds;
}

MediaKind media_kind(const std::string& path) {
  std::string ext = lower_extension(path);
  return ext == ".jpg" || ext == ".jpeg" || ext == ".png" || ext == ".webp" ? MediaKind::Picture : MediaKind::Video;
}

const char* media_kind_name(MediaKind kind) { return kind == MediaKind::Picture ? "picture" : "video"; }

bool Schedule::due(const struct tm& local) const {
  if (always()) return true;
  int now = local.tm_hour * 60 + local.tm_min;
  int day = local.tm_wday;
  if (from_min < to_min) return now >= from_min && now < to_min && (days >> day & 1);
  // Past midnight: the small hours belong to the day the window opened.
  if (now >= from_min) return days >> day & 1;
  return now < to_min && (days >> ((day + 6) % 7) & 1);
}

PlaylistLoad load_playlist(const std::string& source) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0) {
    PlaylistLoad out;
    out.error = std::string("playlist not found: ") + strerror(errno);
    return out;
  }
  return S_ISDIR(st.st_mode) ? load_directory(source) : load_list_file(source);
}

std::optional<std::string> unplayable_reason(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::string("file does not exist");
    return std::string("cannot be examined: ") + strerror(errno);
  }
  if (!S_ISREG(st.st_mode)) return std::string("not a regular file");
  if (st.st_size == 0) return std::string("file is empty");
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + strerror(errno);
  unsigned char head[12];
  ssize_t n = read(fd, head, sizeof head);
  close(fd);
  if (media_kind(path) == MediaKind::Picture) {
    if (n > 0 && picture_head(head, static_cast<size_t>(n))) return std::nullopt;
    return std::string("not a JPEG, PNG or WebP picture");
  }
  if (n < 8) return std::string("too short to be an MP4 file");
  // An MP4 file is a chain of boxes: a 4-byte size, then a 4-letter type. A
  // file that does not open with a known top-level box would make the player
  // fail, and the display go dark while it restarts.
  static const char* const boxes[] = {"ftyp", "styp", "moov", "mdat", "free", "skip", "wide", "pnot", "uuid", "pdin"};
  for (const char* box : boxes)
    if (memcmp(head + 4, box, 4) == 0) return std::nullopt;
  return std::string("not an MP4 file");
}

FileStamp file_stamp(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return {static_cast<long long>(st.st_size),
          static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

PlaylistCursor::PlaylistCursor(std::string source, int rounds, double bad_file_retry_s, Output& out)
    : source_(std::move(source)), rounds_(rounds), bad_file_retry_s_(bad_file_retry_s), out_(out) {}

bool PlaylistCursor::due_now(int index) const {
  if (index < 0 || index >= static_cast<int>(schedules_.size()) || schedules_[index].always()) return true;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return schedules_[index].due(local);
}

bool PlaylistCursor::due_now(const Slot& slot) const {
  bool same_entry = slot.index >= 0 && slot.index < static_cast<int>(files_.size()) && files_[slot.index] == slot.path;
  return !same_entry || due_now(slot.index);
}

std::optional<PlaylistCursor::Unplayable> PlaylistCursor::why_not_playable(int index) const {
  const std::string& path = files_[static_cast<size_t>(index)];
  if (blame_of(path)) return Unplayable{"blamed", *skip_reason(path)};
  if (auto why = skip_reason(path)) return Unplayable{*why == "file does not exist" ? "missing" : "not-playable", *why};
  if (!due_now(index)) return Unplayable{"not-due", "not due now (" + schedules_[static_cast<size_t>(index)].text + ")"};
  return std::nullopt;
}

PlaylistCursor::Pick PlaylistCursor::pick_next(Slot& slot) {
  bool read_now = changed_;  // and not again at this pick's end of round
  if (changed_) refresh();
  if (retry_) {
    Slot again = *retry_;
    retry_.reset();
    if (!skip_with_note(again.path) && due_now(again)) {
      slot = again;
      return Pick::Found;
    }
  }
  if (files_.empty()) {
    reload();
    cursor_ = 0;
    if (files_.empty()) return Pick::Nothing;
  }
  if (auto owed = take_owed()) {
    slot = *owed;
    return Pick::Found;
  }
  size_t skipped = 0;
  size_t skipped_bad = 0;
  size_t not_due = 0;
  bool forgiven = false;
  for (;;) {
    if (cursor_ >= static_cast<int>(files_.size())) {
      if (rounds_ > 0 && round_ >= rounds_) return Pick::Finished;
      ++round_;
      cursor_ = 0;
      if (!read_now) reload();
      read_now = false;
      if (!nothing_noted_)  // not again and again while nothing is playable
        out_.manager("round " + std::to_string(round_) + ": " + std::to_string(files_.size()) + " files");
      if (files_.empty()) return Pick::Nothing;
    }
    Slot s{round_, cursor_, files_[cursor_], ""};
    ++cursor_;
    bool off_hours = !due_now(s.index);
    if (!skip_with_note(s.path)) {
      if (!off_hours) {
        slot = s;
        return Pick::Found;
      }
      note_skip(s.path, "not due now (" + schedules_[s.index].text + ")");
      ++not_due;
    }
    if (bad_files_.count(s.path)) ++skipped_bad;  // a mark still in force, not a missing or odd file
    if (++skipped < files_.size()) continue;
    // Every file that could play is marked as failed: more likely something
    // besides the files is wrong, and a screen kept dark helps no one.
    if (skipped_bad == 0 || forgiven) return not_due > 0 ? Pick::NothingDue : Pick::Nothing;
    out_.manager("every playable file is marked as failed; trying them again");
    bad_files_.clear();
    forgiven = true;
    skipped = skipped_bad = not_due = 0;
  }
}

void PlaylistCursor::reload() {
  PlaylistLoad load = load_playlist(source_);
  if (!load.error.empty()) {
    out_.manager("cannot read the playlist " + source_ + ": " + load.error +
                 (loaded_ ? "; keeping the previous one" : ""));
    return;
  }
  files_ = std::move(load.files);
  schedules_ = std::move(load.schedules);
  seconds_ = std::move(load.seconds);
  schedules_.resize(files_.size());  // a directory's files are always due
  seconds_.resize(files_.size());
  loaded_ = true;
  // Only files still listed are remembered.
  std::set<std::string> listed(files_.begin(), files_.end());
  for (auto it = bad_files_.begin(); it != bad_files_.end();)
    it = listed.count(it->first) ? std::next(it) : bad_files_.erase(it);
  for (auto it = skip_notes_.begin(); it != skip_notes_.end();)
    it = listed.count(it->first) ? std::next(it) : skip_notes_.erase(it);
  settle_.keep_only(listed);
}

void PlaylistCursor::refresh() {
  changed_ = false;
  std::vector<std::string> before = files_;
  reload();
  if (files_ == before) return;
  struct stat st;
  bool name_order = stat(source_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  cursor_ = position_after_reload(before, cursor_, files_, name_order);
  if (retry_) {
    auto at = std::find(files_.begin(), files_.end(), retry_->path);
    if (at != files_.end()) retry_->index = static_cast<int>(at - files_.begin());
  }
  out_.manager("the playlist changed: " + std::to_string(files_.size()) + " files");
}

std::optional<Slot> PlaylistCursor::take_owed() {
  for (auto it = owed_.begin(); it != owed_.end();) {
    std::string path = *it;
    auto at = std::find(files_.begin(), files_.end(), path);
    int index = static_cast<int>(at - files_.begin());
    if (at != files_.end() && !settle_.whole(path)) {
      ++it;
      continue;
    }
    it = owed_.erase(it);
    // Gone, or its turn is still ahead in this round.
    if (at == files_.end() || index >= cursor_) continue;
    if (skip_with_note(path) || !due_now(index)) continue;
    out_.manager(path + " is whole now: it plays next");
    return Slot{round_, index, path, {}};
  }
  return std::nullopt;
}

std::string PlaylistCursor::not_whole_text() const {
  return "still being written (taken once unchanged for " + seconds_text(settle_.settle_s()) + ")";
}

const PlaylistCursor::BadFile* PlaylistCursor::blame_of(const std::string& path) const {
  auto bad = bad_files_.find(path);
  if (bad == bad_files_.end() || SteadyClock::now() >= bad->second.until || !(file_stamp(path) == bad->second.stamp))
    return nullptr;
  return &bad->second;
}

std::optional<std::string> PlaylistCursor::skip_reason(const std::string& path) const {
  if (const BadFile* bad = blame_of(path))
    return bad->why + " (skipped until it changes, or for " + seconds_text(bad_file_retry_s_) + ")";
  if (path.find_first_of("\r\n") != std::string::npos) return std::string("its name holds a line break");
  if (temporary_name(path)) return std::string("a temporary name (a file still being copied)");
  if (!settle_.whole(path)) return not_whole_text();
  return unplayable_reason(path);
}

bool PlaylistCursor::skip_with_note(const std::string& path) {
  if (bad_files_.count(path) && !blame_of(path)) bad_files_.erase(path);  // its time is over, or it changed
  std::optional<std::string> why = skip_reason(path);
  if (!why) return false;
  if (*why == not_whole_text()) owed_.insert(path);
  note_skip(path, *why);
  return true;
}

void PlaylistCursor::note_skip(const std::string& path, const std::string& why) {
  auto& note = skip_notes_[path];
  if (note.first != why || seconds_since(note.second) >= SKIP_NOTE_REPEAT_S) {
    out_.manager("skipping " + path + ": " + why);
    note = {why, SteadyClock::now()};
  }
}

void PlaylistCursor::mark_bad(const Slot& slot, const std::string& why) {
  bad_files_[slot.path] = {file_stamp(slot.path), seconds_from_now(bad_file_retry_s_), why};
  skip_notes_[slot.path] = {why, SteadyClock::now()};
  out_.manager("skipping " + slot.path + ": " + why);
}

void PlaylistCursor::jump_to(int index) {
  cursor_ = index;
  retry_.reset();
}

std::vector<std::pair<std::string, std::string>> PlaylistCursor::blamed() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [path, bad] : bad_files_)
    if (SteadyClock::now() < bad.until) out.emplace_back(path, bad.why);
  return out;
}

void PlaylistCursor::resume_after(const Slot& slot) {
  round_ = slot.round;
  cursor_ = slot.index + 1;
  retry_.reset();
}

std::string PlaylistCursor::describe(const Slot& slot) const {
  return std::to_string(slot.index + 1) + "/" + std::to_string(files_.size()) + ": " + slot.path;
}

bool PlaylistCursor::note_nothing_playable() {
  bool first = !nothing_noted_;
  nothing_noted_ = true;
  return first;
}
