#include "manager/play_log.h"

#include <sys/stat.h>

#include <ctime>
#include <nlohmann/json.hpp>

std::string utc_millis(std::chrono::system_clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ms / 1000);
  struct tm tm;
  gmtime_r(&secs, &tm);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

PlayLog::PlayLog(std::string path, long long max_bytes) : path_(std::move(path)), max_bytes_(max_bytes) {
  if (!path_.empty()) open();
}

PlayLog::~PlayLog() {
  if (file_) fclose(file_);
}

void PlayLog::open() {
  file_ = fopen(path_.c_str(), "ae");
  struct stat st;
  bytes_ = file_ && fstat(fileno(file_), &st) == 0 ? st.st_size : 0;
}

void PlayLog::record(const std::string& path, Time start, Time end, const char* ended) {
  if (path_.empty()) return;
  if (!file_) open();  // a directory that was not there yet
  if (!file_) return;
  double seconds = std::chrono::duration<double>(end - start).count();
  nlohmann::json line = {{"path", path},
                         {"start", utc_millis(start)},
                         {"end", utc_millis(end)},
                         {"seconds", std::round(seconds * 1000) / 1000},
                         {"ended", ended}};
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  fwrite(text.data(), 1, text.size(), file_);
  fflush(file_);
  bytes_ += static_cast<long long>(text.size());
  if (max_bytes_ > 0 && bytes_ >= max_bytes_ && rename(path_.c_str(), (path_ + ".1").c_str()) == 0) {
    fclose(file_);
    open();
  }
}
