// What the HTTP API's reads answer: a picture of the state, made by the
// manager's main thread and published for the API's threads.
#include <ctime>

#include "manager/manager.h"

namespace {

// The player reports its pipeline's state every five seconds.
constexpr double FLOWING_WITHIN_S = 12;
// The player's lines wake the loop many times a second while it switches: the
// picture for the API's reads is made at most this often, and at once after a
// call or a change the manager tells of in a line (a file shown, a restart),
// so that a read sees what was just done or said.
constexpr auto PUBLISH_PERIOD = std::chrono::milliseconds(200);

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

// A picture's kind and time on screen; a video's time is its own.
nlohmann::json Manager::kind_json(int index, const std::string& path) const {
  bool picture = media_kind(path) == MediaKind::Picture;
  return {{"kind", media_kind_name(media_kind(path))},
          {"seconds", picture ? nlohmann::json(picture_seconds(index)) : nlohmann::json(nullptr)}};
}

void Manager::publish_api() {
  if (!api_) return;
  bool told = out_.manager_lines() != api_published_lines_;
  if (!api_stale_ && !told && Clock::now() - api_published_at_ < PUBLISH_PERIOD) return;
  api_stale_ = false;
  api_published_at_ = Clock::now();
  api_published_lines_ = out_.manager_lines();
  ApiSnapshot snap;
  snap.status = status_json();
  snap.playlist = playlist_json();
  snap.metrics = metrics_text();
  snap.audio = sound_.json();
  // Asleep as asked, the sign is as it should be.
  snap.healthy = process_.running() && run_.phase.running() && !paused_ &&
                 (!screen_.on || seconds_since(run_.last_flowing_at) < FLOWING_WITHIN_S);
  api_->publish(std::move(snap));
}

nlohmann::json Manager::status_json() const {
  using nlohmann::json;
  json on_screen = nullptr, next = nullptr;
  if (run_.on_screen.valid())
    on_screen = {{"path", run_.on_screen.path},
                 {"index", run_.on_screen.index},
                 {"since", run_.shown_at ? json(utc_millis(run_.shown_at->wall)) : json(nullptr)},
                 {"seconds_on_screen", seconds_since(run_.on_screen_since)},
                 {"seconds_left", nullptr}};
  if (run_.on_screen.valid()) on_screen.update(kind_json(run_.on_screen.index, run_.on_screen.path));
  if (run_.preload.slot().valid())
    next = {{"path", run_.preload.slot().path},
            {"index", run_.preload.slot().index},
            {"preload_complete", run_.preload.is(Preload::Complete)}};
  if (run_.preload.slot().valid()) next.update(kind_json(run_.preload.slot().index, run_.preload.slot().path));
  json restarts = json::array();
  for (const auto& [at, why] : figures_.recent_restarts) restarts.push_back({{"at", at}, {"reason", why}});
  long long restart_count = 0;
  for (const auto& [kind, n] : figures_.restarts) restart_count += n;
  json blamed = json::array();
  for (const auto& [path, why] : playlist_.blamed()) blamed.push_back({{"path", path}, {"why", why}});
  json player = nullptr;
  if (process_.running())
    player = {{"pid", process_.pid()}, {"uptime_s", process_.ran_for()}, {"playing", run_.phase.running() && !paused_}};
  return {{"on_screen", on_screen},
          {"next", next},
          {"paused", paused_},
          {"player", player},
          {"restarts", restart_count},
          {"recent_restarts", restarts},
          {"blamed", blamed},
          {"wall", wall_.json()},
          {"audio", sound_.json()},
          {"screen",
           {{"on", screen_.on},
            {"held", screen_.held.has_value()},
            {"hours", config_.screen_on ? json(config_.screen_on->text) : json(nullptr)}}},
          {"decoder", decoder_ ? json{{"element", decoder_->element}, {"hardware", decoder_->hardware}} : json(nullptr)},
          {"manager", {{"version", MANAGER_VERSION}, {"uptime_s", seconds_since(started_at_)}}}};
}

nlohmann::json Manager::playlist_json() const {
  nlohmann::json items = nlohmann::json::array();
  std::map<std::string, std::string> blamed;
  for (auto& [path, why] : playlist_.blamed()) blamed[path] = why;
  const auto& files = playlist_.files();
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  for (int i = 0; i < static_cast<int>(files.size()); ++i) {
    const char* state = run_.on_screen.valid() && run_.on_screen.index == i && run_.on_screen.path == files[i]
                            ? "on-screen"
                        : run_.preload.slot().valid() && run_.preload.slot().index == i ? "next"
                        : blamed.count(files[i])                                        ? "skipped"
                        : !playlist_.schedule(i).due(local)                             ? "not-due"
                                                                                        : "waiting";
    const Schedule& schedule = playlist_.schedule(i);
    nlohmann::json item = {{"index", i},
                           {"path", files[i]},
                           {"name", base_name(files[i])},
                           {"schedule", schedule.always() ? nlohmann::json(nullptr) : nlohmann::json(schedule.text)},
                           {"state", state}};
    item.update(kind_json(i, files[i]));
    if (blamed.count(files[i])) item["why"] = blamed[files[i]];
    items.push_back(item);
  }
  return {{"source", config_.playlist}, {"items", items}};
}
