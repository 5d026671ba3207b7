// What the manager shows and takes from afar: each showing of a file for the
// proof of play and the figures, and the HTTP API's calls and reads. All on
// the manager's main thread; the API's own threads only hand calls over.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "manager/manager.h"
#include "protocol/protocol.h"

namespace {

constexpr size_t KEPT_RESTARTS = 20;
// The player reports its pipeline's state every five seconds.
constexpr double FLOWING_WITHIN_S = 12;
// The player's lines wake the loop many times a second while it switches: the
// picture for the API's reads is made at most this often, and at once after a
// call or a change the manager tells of in a line (a file shown, a restart),
// so that a read sees what was just done or said.
constexpr auto PUBLISH_PERIOD = std::chrono::milliseconds(200);

using SystemClock = std::chrono::system_clock;

// A few words for the metrics' label, from the text the manager writes.
std::string restart_kind(const std::string& why) {
  static const std::pair<const char*, const char*> kinds[] = {
      {"it did not start playing", "startup-timeout"},
      {"it wrote nothing", "silence"},
      {"its pipeline has not been playing", "stall"},
      {"its preload did not complete", "preload-timeout"},
      {"a switch got no answer", "switch-timeout"},
      {"it refused", "preload-refusals"},
      {"it reports that playback stalled", "crash"},
      {"exited with status", "exited"},
      {"was killed by signal", "killed"},
  };
  for (const auto& [head, kind] : kinds)
    if (why.compare(0, strlen(head), head) == 0) return kind;
  return "other";
}

std::string label(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

ApiReply refusal(int status, const std::string& text) { return {status, {{"error", text}}}; }

}  // namespace

void Manager::begin_showing() {
  // A switch goes on for a while after its seek has started the new file.
  run_.shown_at = run_.switch_seek_at.value_or(SystemClock::now());
  run_.switch_seek_at.reset();
  run_.ended_at.reset();
  ++figures_.files_shown;
}

void Manager::end_showing(const char* how) {
  if (!run_.on_screen.valid() || run_.shown_at == SystemClock::time_point{}) return;
  SystemClock::time_point end = run_.ended_at.value_or(SystemClock::now());
  play_log_.record(run_.on_screen.path, run_.shown_at, end, run_.ended_at ? "end" : how);
  figures_.seconds_shown[run_.on_screen.path] += std::chrono::duration<double>(end - run_.shown_at).count();
  run_.shown_at = {};
}

void Manager::count_restart(const std::string& why) {
  ++figures_.restarts[restart_kind(why)];
  figures_.recent_restarts.emplace_back(utc_millis(SystemClock::now()), why);
  if (figures_.recent_restarts.size() > KEPT_RESTARTS) figures_.recent_restarts.pop_front();
}

void Manager::forget_requests() {
  if (!snapshot_.path.empty()) answer_snapshot(refusal(503, "the player ended"));
  cut_requested_ = false;
  goto_index_.reset();
  paused_ = false;
}

void Manager::start_api() {
  if (!config_.http.enabled) return;
  api_ = std::make_unique<HttpApi>(config_.http);
  if (auto error = api_->start()) {
    // The sign plays on without it.
    out_.manager("HTTP API: " + *error + "; going on without it");
    api_.reset();
    return;
  }
  api_->set_waker([this] { lines_.wake(); });
  out_.manager("HTTP API on http://" + config_.http.host + ":" + std::to_string(api_->port()) + "/");
}

void Manager::serve_api() {
  if (!api_) return;
  for (auto& call : api_->take_calls()) {
    api_stale_ = true;
    if (call->action == "snapshot")
      take_snapshot(std::move(call));
    else
      call->reply.set_value(handle_call(call->action, call->body));
  }
  if (!snapshot_.path.empty() && Clock::now() > snapshot_.deadline)
    answer_snapshot(refusal(503, "the player gave no picture in time"));
}

void Manager::take_snapshot(std::unique_ptr<ApiCall> call) {
  if (!process_.running() || !run_.phase.running()) {
    call->reply.set_value(refusal(503, "no player is playing now; try again shortly"));
    return;
  }
  snapshot_.waiting.push_back(std::move(call));
  if (!snapshot_.path.empty()) return;  // the one asked for answers them all
  const char* tmp = getenv("TMPDIR");
  snapshot_.path = std::string(tmp && *tmp ? tmp : "/tmp") + "/signage-snapshot-" + std::to_string(getpid()) + "-" +
                   std::to_string(++snapshot_.count) + ".png";
  snapshot_.deadline = Clock::now() + std::chrono::seconds(4);
  send(protocol::CMD_SNAPSHOT + snapshot_.path);
}

void Manager::on_snapshot_line(const std::string& line, bool written) {
  const char* head = written ? protocol::SNAPSHOT_WRITTEN : protocol::SNAPSHOT_FAILED;
  std::string rest = line.substr(strlen(head));
  bool ours = !snapshot_.path.empty() && rest.compare(0, snapshot_.path.size(), snapshot_.path) == 0;
  if (!ours) {
    // Written after its time ran out: nobody reads it.
    if (written) remove(rest.substr(0, rest.rfind(" (")).c_str());
    return;
  }
  if (!written) {
    answer_snapshot(refusal(503, "the player could not take a picture: " + rest.substr(snapshot_.path.size() + 2)));
    return;
  }
  std::ifstream in(snapshot_.path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  remove(snapshot_.path.c_str());
  ApiReply reply;
  reply.content = bytes.str();
  reply.content_type = "image/png";
  answer_snapshot(reply.content.empty() ? refusal(503, "the picture could not be read") : reply);
}

void Manager::answer_snapshot(const ApiReply& reply) {
  for (auto& call : snapshot_.waiting) call->reply.set_value(reply);
  snapshot_.waiting.clear();
  snapshot_.path.clear();
}

ApiReply Manager::handle_call(const std::string& action, const nlohmann::json& body) {
  if (action == "reload") {
    playlist_.reload();
    out_.manager("the playlist was read again on request: " + std::to_string(playlist_.size()) + " files");
    return {200, {{"ok", true}, {"items", playlist_.size()}}};
  }
  if (!process_.running() || !run_.phase.running()) return refusal(409, "no player is playing now; try again shortly");
  if (action == "pause" || action == "play") {
    paused_ = action == "pause";
    out_.manager(std::string(paused_ ? "pausing" : "playing on") + " on request");
    send(paused_ ? protocol::CMD_PAUSE : protocol::CMD_PLAY);
    run_.last_flowing_at = Clock::now();
    return {200, {{"ok", true}, {"paused", paused_}}};
  }
  int count = static_cast<int>(playlist_.files().size());
  if (count == 0) return refusal(409, "the playlist is empty");
  if (action == "next") {
    out_.manager("going on to the next file on request");
    goto_index_.reset();
    cut_requested_ = true;
    advance();
    return {202, {{"ok", true}}};
  }
  if (action == "previous") {
    int here = run_.on_screen.valid() ? run_.on_screen.index : 0;
    return go_to((here - 1 + count) % count);
  }
  // goto: an item of the playlist by its index or its name, never a path of the request's own.
  if (body.contains("index")) {
    const auto& index = body["index"];
    if (!index.is_number_integer()) return refusal(400, "\"index\" must be a whole number");
    long long i = index.get<long long>();
    if (i < 0 || i >= count) return refusal(404, "no item " + std::to_string(i) + " in the playlist");
    return go_to(static_cast<int>(i));
  }
  if (body.contains("name")) {
    if (!body["name"].is_string()) return refusal(400, "\"name\" must be a text");
    std::string name = body["name"].get<std::string>();
    const auto& files = playlist_.files();
    for (int i = 0; i < count; ++i)
      if (files[i] == name || base_name(files[i]) == name) return go_to(i);
    return refusal(404, "no item named " + name + " in the playlist");
  }
  return refusal(400, "give \"index\" or \"name\"");
}

ApiReply Manager::go_to(int index) {
  const std::string& path = playlist_.files()[index];
  out_.manager("going to " + std::to_string(index + 1) + "/" + std::to_string(playlist_.files().size()) + ": " + path +
               " on request");
  goto_index_ = index;
  cut_requested_ = true;
  advance();
  return {202, {{"ok", true}, {"item", {{"index", index}, {"path", path}}}}};
}

// A preload of another file is ready: it is dropped (with any switch armed
// for it) and the file asked for is loaded in its place.
void Manager::replace_preload() {
  send(protocol::CMD_DROP_PRELOAD);
  run_.arm.cleared();
  run_.preload.done();
  request_preload();
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
  snap.healthy = process_.running() && run_.phase.running() && !paused_ &&
                 seconds_since(run_.last_flowing_at) < FLOWING_WITHIN_S;
  api_->publish(std::move(snap));
}

nlohmann::json Manager::status_json() const {
  using nlohmann::json;
  json on_screen = nullptr, next = nullptr;
  if (run_.on_screen.valid())
    on_screen = {{"path", run_.on_screen.path},
                 {"index", run_.on_screen.index},
                 {"since", run_.shown_at == SystemClock::time_point{} ? json(nullptr) : json(utc_millis(run_.shown_at))},
                 {"seconds_on_screen", seconds_since(run_.on_screen_since)},
                 {"seconds_left", nullptr}};
  if (run_.preload.slot().valid())
    next = {{"path", run_.preload.slot().path},
            {"index", run_.preload.slot().index},
            {"preload_complete", run_.preload.is(Preload::Complete)}};
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
    if (blamed.count(files[i])) item["why"] = blamed[files[i]];
    items.push_back(item);
  }
  return {{"source", config_.playlist}, {"items", items}};
}

std::string Manager::metrics_text() const {
  std::ostringstream m;
  auto metric = [&m](const char* name, const char* type, const char* help) {
    m << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  };
  bool up = process_.running() && run_.phase.running();
  metric("signage_up", "gauge", "1 while a player runs and plays.");
  m << "signage_up " << (up ? 1 : 0) << "\n";
  metric("signage_files_shown_total", "counter", "Showings of files started.");
  m << "signage_files_shown_total " << figures_.files_shown << "\n";
  metric("signage_switches_total", "counter", "Switches to a preloaded file.");
  m << "signage_switches_total " << figures_.switches << "\n";
  metric("signage_preload_failures_total", "counter", "Files the player could not preload.");
  m << "signage_preload_failures_total " << figures_.preload_failures << "\n";
  metric("signage_player_restarts_total", "counter", "Ends of the player, by reason.");
  for (const auto& [kind, n] : figures_.restarts) m << "signage_player_restarts_total{reason=\"" << kind << "\"} " << n << "\n";
  metric("signage_seconds_shown_total", "counter", "Seconds on screen, by file, counted as each showing ends.");
  for (const auto& [path, s] : figures_.seconds_shown)
    m << "signage_seconds_shown_total{path=\"" << label(path) << "\"} " << s << "\n";
  metric("signage_last_switch_timestamp_seconds", "gauge", "When the last switch was made (Unix time).");
  m << "signage_last_switch_timestamp_seconds " << std::fixed << figures_.last_switch_unix_s << "\n";
  return m.str();
}
