#include "support/standin_ffprobe.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string find_real_ffprobe() {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/ffprobe";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

}  // namespace

StandinFfprobe::StandinFfprobe(Then then) : then_(then) {
  if (then_ == Then::RunReal) real_ = find_real_ffprobe();
  char templ[] = "/tmp/standin-ffprobe-XXXXXX";
  const char* made = mkdtemp(templ);
  dir_ = made ? made : "";
  std::ofstream script(dir_ + "/ffprobe");
  // The input is the last argument.
  script << "#!/bin/sh\necho $$ >> " << dir_ << "/pids\nfor last; do :; done\necho \"$last\" >> " << dir_
         << "/inputs\n";
  if (then_ == Then::Hang)
    script << "exec sleep 1000\n";
  else
    script << "exec " << real_ << " \"$@\"\n";
  script.close();
  chmod((dir_ + "/ffprobe").c_str(), 0755);
}

StandinFfprobe::~StandinFfprobe() {
  if (then_ == Then::Hang)
    for (pid_t pid : pids()) kill(pid, SIGKILL);
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

std::string StandinFfprobe::path_variable() const { return dir_ + ":" + getenv("PATH"); }

std::vector<pid_t> StandinFfprobe::pids() const {
  std::vector<pid_t> out;
  std::ifstream in(dir_ + "/pids");
  for (pid_t pid; in >> pid;) out.push_back(pid);
  return out;
}

std::vector<std::string> StandinFfprobe::inputs() const {
  std::vector<std::string> out;
  std::ifstream in(dir_ + "/inputs");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}
