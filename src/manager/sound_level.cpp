#include "manager/sound_level.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "protocol/protocol.h"

SoundLevel::SoundLevel(std::string state_dir) {
  if (state_dir.empty()) return;
  path_ = state_dir + "/audio.json";
  std::ifstream in(path_);
  if (!in) return;
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json kept = nlohmann::json::parse(text.str(), nullptr, false);
  std::string ignored;
  if (kept.is_discarded() || !kept.is_object() || kept.find("volume") == kept.end() ||
      kept.find("mute") == kept.end()) {
    note_ = "the kept sound level in " + path_ + " does not read; the sound plays at its full level";
    return;
  }
  std::string saved = path_;
  path_.clear();  // no need to write back what was just read
  if (auto error = change(kept, ignored)) {
    note_ = "the kept sound level in " + path_ + " is refused (" + *error + ")";
  } else {
    char text_level[64];
    snprintf(text_level, sizeof text_level, "%.2f%s", volume_, mute_ ? ", muted" : "");
    note_ = "the sound's level kept in " + saved + ": volume " + text_level;
  }
  path_ = saved;
}

std::string SoundLevel::command() const {
  char text[64];
  snprintf(text, sizeof text, "%.3f %d", volume_, mute_ ? 1 : 0);
  return protocol::CMD_AUDIO + std::string(text);
}

std::optional<std::string> SoundLevel::change(const nlohmann::json& body, std::string& kept_error) {
  if (!body.is_object()) return std::string("the body is not a JSON object");
  double volume = volume_;
  bool mute = mute_;
  bool any = false;
  if (auto v = body.find("volume"); v != body.end()) {
    if (!v->is_number() || v->get<double>() < 0 || v->get<double>() > 1)
      return std::string("volume is a number from 0 to 1");
    volume = v->get<double>();
    any = true;
  }
  if (auto m = body.find("mute"); m != body.end()) {
    if (!m->is_boolean()) return std::string("mute is true or false");
    mute = m->get<bool>();
    any = true;
  }
  if (!any) return std::string("give volume, mute or both");
  volume_ = volume;
  mute_ = mute;
  set_ = true;
  kept_error.clear();
  if (path_.empty()) return std::nullopt;
  // Written whole, then renamed over the old file: a cut never leaves half of it.
  std::string part = path_ + ".part";
  std::string text = json().dump() + "\n";
  int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  int error = errno;
  if (fd >= 0) close(fd);
  if (ok && rename(part.c_str(), path_.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(part.c_str());
    kept_error = "cannot keep it in " + path_ + ": " + strerror(error);
  }
  return std::nullopt;
}
