// The HTTP API's control calls, carried out on the manager's main thread
// between the player's lines: the API's own threads only hand them over.
#include "manager/manager.h"
#include "manager/text.h"
#include "protocol/protocol.h"

namespace {

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

void Manager::forget_requests() {
  snapshots_.player_ended();
  cut_requested_ = false;
  goto_index_.reset();
  paused_ = false;
  screen_.waking_since.reset();  // a new player is told the screen's state as it starts
}

void Manager::start_api() {
  if (!config_.http.enabled) return;
  api_ = std::make_unique<HttpApi>(config_.http);
  api_->set_waker([this] { lines_.wake(); });
  if (auto error = api_->start()) {
    // The sign plays on without it.
    out_.manager("HTTP API: " + *error + "; going on without it");
    api_.reset();
    return;
  }
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
  snapshots_.check_deadline();
}

ApiReply Manager::handle_call(const std::string& action, const nlohmann::json& body) {
  if (action == "reload") {
    playlist_.reload();
    out_.manager("the playlist was read again on request: " + std::to_string(playlist_.size()) + " files");
    return {200, {{"ok", true}, {"items", playlist_.size()}}};
  }
  if (action == "audio") {
    std::string kept_error;
    if (auto error = sound_.change(body, kept_error)) return api_refusal(400, *error);
    // A player started later is told as it is ready.
    if (process_.running()) send(sound_.command());
    char level[64];
    snprintf(level, sizeof level, "%.2f%s", sound_.volume(), sound_.mute() ? ", muted" : "");
    out_.manager(std::string("the sound's level set on request: volume ") + level);
    if (!kept_error.empty()) out_.manager("the sound's level is not kept: " + kept_error);
    nlohmann::json answer = sound_.json();
    answer["kept"] = kept_error.empty() && !config_.state_dir.empty();
    return {200, answer};
  }
  if (action == "screen") {
    if (!body.contains("on") || !body["on"].is_boolean()) return api_refusal(400, "give \"on\": true or false");
    screen_.held = body["on"].get<bool>();
    bool was_on = screen_.on;
    follow_screen_hours();
    if (screen_.on == was_on) out_.manager(std::string("the screen stays ") + (was_on ? "on" : "asleep") + " on request");
    return {200, {{"on", screen_.on}, {"held", true}}};
  }
  if (!process_.running() || !run_.phase.running())
    return api_refusal(409, "no player is playing now; try again shortly");
  if (action == "pause" || action == "play") {
    paused_ = action == "pause";
    out_.manager(std::string(paused_ ? "pausing" : "playing on") + " on request");
    // Asleep, the player stays paused; the wake plays it unless paused.
    if (screen_.on && !screen_.waking_since) send(paused_ ? protocol::CMD_PAUSE : protocol::CMD_PLAY);
    run_.last_flowing_at = Clock::now();
    return {200, {{"ok", true}, {"paused", paused_}}};
  }
  int count = static_cast<int>(playlist_.files().size());
  if (count == 0) return api_refusal(409, "the playlist is empty");
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
    if (!index.is_number_integer()) return api_refusal(400, "\"index\" must be a whole number");
    long long i = index.get<long long>();
    if (i < 0 || i >= count) return api_refusal(404, "no item " + std::to_string(i) + " in the playlist");
    return go_to(static_cast<int>(i));
  }
  if (body.contains("name")) {
    if (!body["name"].is_string()) return api_refusal(400, "\"name\" must be a text");
    // A name that is not UTF-8 is given as /playlist shows it.
    std::string name = body["name"].get<std::string>();
    const auto& files = playlist_.files();
    for (int i = 0; i < count; ++i)
      if (valid_utf8(files[i]) == name || valid_utf8(base_name(files[i])) == name) return go_to(i);
    return api_refusal(404, "no item named " + name + " in the playlist");
  }
  return api_refusal(400, "give \"index\" or \"name\"");
}

ApiReply Manager::go_to(int index) {
  const std::string& path = playlist_.files()[index];
  std::string item = std::to_string(index + 1) + "/" + std::to_string(playlist_.files().size()) + ": " + path;
  // An item the playlist would skip is refused here: asked for, it would be
  // skipped for the next one, and asked for again, without end.
  if (auto no = playlist_.why_not_playable(index)) {
    out_.manager("not going to " + item + " on request: " + no->why);
    return {409,
            {{"error", "item " + std::to_string(index) + " cannot play now: " + no->why},
             {"reason", no->kind},
             {"item", {{"index", index}, {"path", path}}}}};
  }
  out_.manager("going to " + item + " on request");
  goto_index_ = index;
  cut_requested_ = true;
  advance();
  return {202, {{"ok", true}, {"item", {{"index", index}, {"path", path}}}}};
}
