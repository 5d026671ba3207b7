#include "manager/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "manager/manager.h"
#include "protocol/protocol.h"

namespace {

constexpr auto ANSWER_WAIT = std::chrono::seconds(4);
constexpr auto REUSE_FOR = std::chrono::seconds(1);
constexpr off_t MAX_PICTURE_BYTES = 64 * 1024 * 1024;

// The whole of a regular file, never through a link; empty when it cannot be read.
std::string read_picture(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  struct stat st;
  std::string bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MAX_PICTURE_BYTES) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = read(fd, &bytes[done], bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bytes.resize(done);
  }
  close(fd);
  return bytes;
}

}  // namespace

Snapshots::~Snapshots() {
  if (dir_.empty()) return;
  remove_files();
  rmdir(dir_.c_str());
}

std::optional<std::string> Snapshots::request(std::unique_ptr<ApiCall> call) {
  if (!last_.empty() && Clock::now() - last_at_ < REUSE_FOR) {
    ApiReply reply;
    reply.content = last_;
    reply.content_type = "image/png";
    call->reply.set_value(reply);
    return std::nullopt;
  }
  waiting_.push_back(std::move(call));
  if (!path_.empty()) return std::nullopt;  // the one asked for answers them all
  if (dir_.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/signage-snapshots-XXXXXX";
    if (mkdtemp(&name[0])) dir_ = name;
  }
  std::string name = dir_ + "/XXXXXX.png";
  int fd = dir_.empty() ? -1 : mkostemps(&name[0], 4, O_CLOEXEC);
  if (fd < 0) {
    answer(api_refusal(503, std::string("no file for the picture: ") + strerror(errno)));
    return std::nullopt;
  }
  close(fd);  // the player's picture replaces it whole
  path_ = name;
  deadline_ = Clock::now() + ANSWER_WAIT;
  return path_;
}

void Snapshots::on_line(const std::string& line, bool written) {
  const char* head = written ? protocol::SNAPSHOT_WRITTEN : protocol::SNAPSHOT_FAILED;
  std::string rest = line.substr(strlen(head));
  bool ours = !path_.empty() && rest.compare(0, path_.size(), path_) == 0;
  if (!ours) {
    // Written after its time ran out: nobody reads it. Only a file of ours is removed.
    std::string late = rest.substr(0, rest.rfind(" ("));
    if (written && inside(late)) unlink(late.c_str());
    return;
  }
  if (!written) {
    answer(api_refusal(503, "the player could not take a picture: " + rest.substr(path_.size() + 2)));
    return;
  }
  ApiReply reply;
  reply.content = read_picture(path_);
  reply.content_type = "image/png";
  if (!reply.content.empty()) {
    last_ = reply.content;
    last_at_ = Clock::now();
  }
  answer(reply.content.empty() ? api_refusal(503, "the picture could not be read") : reply);
}

void Snapshots::check_deadline() {
  if (!path_.empty() && Clock::now() > deadline_) answer(api_refusal(503, "the player gave no picture in time"));
}

void Snapshots::player_ended() {
  if (!path_.empty()) answer(api_refusal(503, "the player ended"));
  remove_files();
}

void Snapshots::answer(const ApiReply& reply) {
  for (auto& call : waiting_) call->reply.set_value(reply);
  waiting_.clear();
  if (!path_.empty()) {
    unlink(path_.c_str());
    unlink((path_ + ".part").c_str());
  }
  path_.clear();
}

bool Snapshots::inside(const std::string& path) const {
  return !dir_.empty() && path.size() > dir_.size() + 1 && path.compare(0, dir_.size() + 1, dir_ + "/") == 0 &&
         path.find('/', dir_.size() + 1) == std::string::npos;
}

void Snapshots::remove_files() const {
  DIR* d = dir_.empty() ? nullptr : opendir(dir_.c_str());
  if (!d) return;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlinkat(dirfd(d), e->d_name, 0);
  closedir(d);
}

void Manager::take_snapshot(std::unique_ptr<ApiCall> call) {
  if (!process_.running() || !run_.phase.running()) {
    call->reply.set_value(api_refusal(503, "no player is playing now; try again shortly"));
    return;
  }
  if (auto path = snapshots_.request(std::move(call))) send(protocol::CMD_SNAPSHOT + *path);
}
