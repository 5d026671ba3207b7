#include "manager/player_process.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr double STOP_WAIT_S = 10;
// How long "exit" may wait for the player's last events to be answered.
constexpr double ANSWER_WAIT_S = 2;
constexpr size_t KEPT_PLAYER_LINES = 200;
constexpr size_t KEPT_STDERR_BYTES = 64 * 1024;
constexpr int WRITE_TIMEOUT_MS = 2000;

}  // namespace

PlayerProcess::PlayerProcess(Settings settings, Output& out, LineSink sink)
    : settings_(std::move(settings)),
      out_(out),
      sink_(std::move(sink)),
      backoff_(settings_.backoff_initial_s, settings_.backoff_max_s, settings_.stable_after_s) {}

std::vector<std::string> PlayerProcess::arguments(const Settings& settings, const std::string& first_file) {
  std::vector<std::string> args;
  if (!first_file.empty()) {
    args.push_back(first_file);
    // The idle picture has no sound.
    if (settings.no_sound) args.push_back("--no_sound");
  }
  args.insert(args.end(), settings.screen_args.begin(), settings.screen_args.end());
  args.insert(args.end(), settings.wall_args.begin(), settings.wall_args.end());
  return args;
}

bool PlayerProcess::start(const std::string& first_file) {
  PlayerClient::Options opts;
  opts.binary = settings_.binary;
  opts.args = arguments(settings_, first_file);
  opts.env = settings_.env;
  opts.auto_ack = true;  // answered on the reader thread, whatever the manager is busy with
  opts.max_lines = KEPT_PLAYER_LINES;
  opts.max_stderr_bytes = KEPT_STDERR_BYTES;
  opts.own_process_group = true;
  opts.die_with_parent = true;
  opts.write_timeout_ms = WRITE_TIMEOUT_MS;

  auto client = std::make_unique<PlayerClient>();
  uint64_t generation = ++generation_;
  client->set_line_handler([this, generation](const std::string& l) { sink_(generation, false, l); });
  client->set_stderr_handler([this, generation](const std::string& l) { sink_(generation, true, l); });
  if (!client->start(opts)) {
    out_.manager(std::string("cannot start the player: ") + strerror(errno));
    return false;
  }
  client_ = std::move(client);
  started_at_ = SteadyClock::now();
  std::string command = opts.binary;
  for (const auto& a : opts.args) command += " " + a;
  out_.manager("started the player, pid " + std::to_string(client_->pid()) + ": " + command);
  return true;
}

void PlayerProcess::send(const std::string& command) {
  if (client_) client_->send(command);
}

std::optional<int> PlayerProcess::stop(bool graceful) {
  if (!client_) return std::nullopt;
  // An event still unanswered when "exit" is read ends the player with status 1.
  if (graceful) return client_->stop(STOP_WAIT_S, ANSWER_WAIT_S);
  client_->kill_now(SIGKILL);
  return client_->wait_exit(STOP_WAIT_S);
}

std::optional<int> PlayerProcess::exit_status() {
  if (!client_) return std::nullopt;
  return client_->wait_exit(0);
}

void PlayerProcess::start_later(double ran_s, bool display_lost) {
  double delay_s = display_lost ? backoff_.after_display_loss() : backoff_.after_run(ran_s);
  out_.manager("starting the player again in " + seconds_text(delay_s));
  start_at_ = seconds_from_now(delay_s);
}

bool PlayerProcess::take_due_start() {
  if (client_ || !start_at_ || SteadyClock::now() < *start_at_) return false;
  start_at_.reset();
  return true;
}

std::string exit_text(int status) {
  if (status > 128 && status < 128 + 65) {
    int sig = status - 128;
    return "was killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  return "exited with status " + std::to_string(status);
}
