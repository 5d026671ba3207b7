// Pictures of the screen for /snapshot.png, asked of the player with its
// opt-in "snapshot PATH" command and answered when its line says the file is
// written. The files go in a directory of the manager's own (mode 0700),
// under names no one can guess (mkstemps), are read without following a
// link and removed once served; a picture is taken at most once a second,
// and the requests in between get the last one. Main thread only.
#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/http_api.h"

class Snapshots {
 public:
  using Clock = std::chrono::steady_clock;

  Snapshots() = default;
  // Removes the directory and whatever is in it.
  ~Snapshots();
  Snapshots(const Snapshots&) = delete;
  Snapshots& operator=(const Snapshots&) = delete;

  // Takes a request: the path to ask the player for when a picture is to be
  // taken, nullopt when the request is answered or waits for one asked already.
  std::optional<std::string> request(std::unique_ptr<ApiCall> call);
  // The player's "[SNAPSHOT] Written" or "[SNAPSHOT] FAILED" line.
  void on_line(const std::string& line, bool written);
  // Refuses the waiting requests once the player has had its time.
  void check_deadline();
  // The player ended: the waiting requests are refused and its files removed.
  void player_ended();

 private:
  void answer(const ApiReply& reply);
  bool inside(const std::string& path) const;
  void remove_files() const;

  std::string dir_;   // made at the first request
  std::string path_;  // asked of the player; empty: none in hand
  Clock::time_point deadline_{};
  std::vector<std::unique_ptr<ApiCall>> waiting_;
  std::string last_;  // the last picture, and when it came
  Clock::time_point last_at_{};
};
