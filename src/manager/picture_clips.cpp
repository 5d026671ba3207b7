#include "manager/picture_clips.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Bumped when the maker makes other clips from the same picture.
constexpr int CLIP_RECIPE = 1;
constexpr size_t KEPT_RECENT = 4;
// The maker's address space: a 24-megapixel photo decodes in well under it;
// a picture that would take more fails in the maker alone.
constexpr rlim_t MAKER_MEMORY_BYTES = 2048ULL * 1024 * 1024;
constexpr size_t WHY_BYTES = 300;

// FNV-1a, 64 bits: names, not secrets.
uint64_t fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

bool make_directories(const std::string& dir) {
  for (size_t at = 1;; ++at) {
    at = dir.find('/', at);
    std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) return true;
  }
}

bool has_suffix(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The last line the maker wrote, cut to a few hundred bytes.
std::string last_line(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  off_t size = lseek(fd, 0, SEEK_END);
  off_t from = size > 4096 ? size - 4096 : 0;
  char buf[4096];
  ssize_t n = pread(fd, buf, sizeof buf, from);
  close(fd);
  if (n <= 0) return text;
  text.assign(buf, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  size_t nl = text.rfind('\n');
  if (nl != std::string::npos) text = text.substr(nl + 1);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return text.size() > WHY_BYTES ? text.substr(0, WHY_BYTES) : text;
}

void touch(const std::string& path) { utimensat(AT_FDCWD, path.c_str(), nullptr, 0); }

}  // namespace

std::string picture_clip_name(const PictureOptions& o, const std::string& picture, const FileStamp& stamp,
                              double seconds) {
  char recipe[200];
  snprintf(recipe, sizeof recipe, "|%lld|%lld|%dx%d|%d|%s|%.3f|%d", stamp.size, stamp.mtime_ns, o.width, o.height,
           o.fps, o.rotate.c_str(), seconds, CLIP_RECIPE);
  char name[40];
  snprintf(name, sizeof name, "%016llx.mp4", static_cast<unsigned long long>(fnv1a(picture + recipe)));
  return name;
}

std::vector<std::string> clips_over_bound(const std::string& dir, long long max_bytes,
                                          const std::vector<std::string>& keep) {
  struct Clip {
    std::string path;
    long long bytes;
    struct timespec used;
  };
  std::vector<Clip> clips;
  long long total = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (!has_suffix(name, ".mp4") || name[0] == '.') continue;
      std::string path = dir + "/" + name;
      struct stat st;
      if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      clips.push_back({path, static_cast<long long>(st.st_size), st.st_mtim});
      total += st.st_size;
    }
    closedir(d);
  }
  std::sort(clips.begin(), clips.end(), [](const Clip& a, const Clip& b) {
    return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec : a.used.tv_nsec < b.used.tv_nsec;
  });
  std::vector<std::string> out;
  for (const Clip& c : clips) {
    if (total <= max_bytes) break;
    if (std::find(keep.begin(), keep.end(), c.path) != keep.end()) continue;
    out.push_back(c.path);
    total -= c.bytes;
  }
  return out;
}

PictureClips::PictureClips(PictureOptions options, Output& out) : options_(std::move(options)), out_(out) {
  // What a maker left when its manager ended under it; another manager's
  // maker at work on the same cache is younger than its time-out.
  if (DIR* d = opendir(options_.dir.c_str())) {
    time_t now = time(nullptr);
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name, path = options_.dir + "/" + name;
      struct stat st;
      if ((has_suffix(name, ".part") || has_suffix(name, ".log")) && stat(path.c_str(), &st) == 0 &&
          now - st.st_mtime > options_.timeout_s + 60)
        unlink(path.c_str());
    }
    closedir(d);
  }
  trim();
}

PictureClips::~PictureClips() { kill_job(); }

PictureClips::Answer PictureClips::want(const std::string& picture, double seconds) {
  FileStamp stamp = file_stamp(picture);
  std::string key = picture_clip_name(options_, picture, stamp, seconds);
  std::string clip = options_.dir + "/" + key;
  if (auto failure = failures_.find(key); failure != failures_.end()) {
    Answer answer{State::Failed, "", failure->second};
    failures_.erase(failure);  // tried again when the playlist comes back to it
    return answer;
  }
  struct stat st;
  if (stat(clip.c_str(), &st) == 0 && st.st_size > 0) {
    touch(clip);  // used now: the last the bound removes
    recent_.erase(std::remove(recent_.begin(), recent_.end(), clip), recent_.end());
    recent_.push_back(clip);
    if (recent_.size() > KEPT_RECENT) recent_.erase(recent_.begin());
    return {State::Ready, clip, ""};
  }
  if (job_ && job_->key == key) return {};
  if (job_) {
    out_.manager("giving up the clip of " + job_->picture + " made ahead: " + picture + " is due first");
    kill_job();
  }
  start(picture, seconds, key, stamp);
  if (!job_) {
    Answer answer{State::Failed, "", failures_[key]};
    failures_.erase(key);
    return answer;
  }
  return {};
}

void PictureClips::ahead(const std::string& picture, double seconds) {
  if (job_) return;
  FileStamp stamp = file_stamp(picture);
  if (stamp.size <= 0) return;
  std::string key = picture_clip_name(options_, picture, stamp, seconds);
  struct stat st;
  if (failures_.count(key) || stat((options_.dir + "/" + key).c_str(), &st) == 0) return;
  start(picture, seconds, key, stamp);
}

void PictureClips::start(const std::string& picture, double seconds, const std::string& key, const FileStamp& stamp) {
  if (!make_directories(options_.dir)) {
    failures_[key] = "its clip cannot be kept in " + options_.dir + ": " + strerror(errno);
    return;
  }
  // Named after this manager too: two managers may share a cache.
  std::string own = options_.dir + "/" + key + "." + std::to_string(getpid());
  Job job{key, picture, own + ".part", own + ".log", stamp, -1, SteadyClock::now()};
  char secs[32];
  snprintf(secs, sizeof secs, "%.3f", seconds);
  std::vector<std::string> args = {options_.maker,          picture,   job.part, std::to_string(options_.width),
                                   std::to_string(options_.height), std::to_string(options_.fps), secs,
                                   options_.rotate};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Few malloc arenas: each reserves address space that the bound counts.
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e)
    if (strncmp(*e, "MALLOC_ARENA_MAX=", 17) != 0) env_text.push_back(*e);
  env_text.push_back("MALLOC_ARENA_MAX=2");
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  int log = open(job.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) {
    failures_[key] = "its clip cannot be kept in " + options_.dir + ": " + strerror(errno);
    return;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    setpriority(PRIO_PROCESS, 0, 10);  // below the player, which must keep its frames
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's shadow memory alone is terabytes of address space
    struct rlimit memory = {MAKER_MEMORY_BYTES, MAKER_MEMORY_BYTES};
    setrlimit(RLIMIT_AS, &memory);
#endif
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    close_range(3, ~0U, 0);
    execvpe(argv[0], argv.data(), envp.data());
    static const char no_maker[] = "cannot run the clip maker\n";
    (void)!write(2, no_maker, sizeof no_maker - 1);
    _exit(127);
  }
  int error = errno;
  close(log);
  if (pid < 0) {
    failures_[key] = std::string("cannot start the clip maker: ") + strerror(error);
    unlink(job.log.c_str());
    return;
  }
  job.pid = pid;
  job_ = std::move(job);
}

void PictureClips::poll() {
  if (!job_) return;
  int status = 0;
  pid_t r = waitpid(job_->pid, &status, WNOHANG);
  if (r == job_->pid) {
    finish(status);
  } else if (seconds_since(job_->started) > options_.timeout_s) {
    std::string key = job_->key, picture = job_->picture;
    kill_job();
    failures_[key] = "its clip was not made within " + seconds_text(options_.timeout_s);
    ++failed_;
    news_ = true;
    out_.manager("the clip of " + picture + " was not made within " + seconds_text(options_.timeout_s));
  }
}

void PictureClips::finish(int status) {
  Job job = std::move(*job_);
  job_.reset();
  news_ = true;
  std::string clip = options_.dir + "/" + job.key;
  struct stat st;
  bool made = WIFEXITED(status) && WEXITSTATUS(status) == 0 && stat(job.part.c_str(), &st) == 0 && st.st_size > 0 &&
              rename(job.part.c_str(), clip.c_str()) == 0;
  if (made) {
    ++made_;
    out_.manager("made the clip of " + job.picture + " in " + seconds_text(seconds_since(job.started)) + " (" +
                 std::to_string(st.st_size / 1024) + " KB)");
    unlink(job.log.c_str());
    trim();
    return;
  }
  std::string why = last_line(job.log);
  if (why.empty())
    why = WIFSIGNALED(status) ? "the clip maker was killed by signal " + std::to_string(WTERMSIG(status))
                              : "the clip maker failed";
  ++failed_;
  failures_[job.key] = why;
  unlink(job.part.c_str());
  unlink(job.log.c_str());
}

void PictureClips::kill_job() {
  if (!job_) return;
  kill(job_->pid, SIGKILL);
  waitpid(job_->pid, nullptr, 0);
  unlink(job_->part.c_str());
  unlink(job_->log.c_str());
  job_.reset();
}

void PictureClips::trim() {
  for (const std::string& path : clips_over_bound(options_.dir, options_.max_bytes, recent_)) unlink(path.c_str());
  cache_bytes_ = 0;
  for (const std::string& path : clips_over_bound(options_.dir, -1, {})) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) cache_bytes_ += st.st_size;
  }
}

bool PictureClips::take_news() {
  bool news = news_;
  news_ = false;
  return news;
}
