// The sound's level as the operator sets it through the API (PUT /audio),
// kept in the state directory so that it outlives the player and the manager.
#pragma once
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

class SoundLevel {
 public:
  // `state_dir` empty: nothing is kept. Reads a level kept there.
  explicit SoundLevel(std::string state_dir);

  double volume() const { return volume_; }
  bool mute() const { return mute_; }
  // True once a level was set, now or in an earlier run: only then is the
  // player told, so that a manager that never sets one changes nothing.
  bool set() const { return set_; }
  nlohmann::json json() const { return {{"volume", volume_}, {"mute", mute_}}; }
  // The player's command for it.
  std::string command() const;
  // Takes {"volume": 0..1, "mute": bool} (either or both); the error text
  // when the body is not such. Keeps the result, the error of that in `kept_error`.
  std::optional<std::string> change(const nlohmann::json& body, std::string& kept_error);
  // What was said about the kept level at start (read, or why not).
  const std::string& note() const { return note_; }

 private:
  std::string path_;
  double volume_ = 1.0;
  bool mute_ = false;
  bool set_ = false;
  std::string note_;
};
