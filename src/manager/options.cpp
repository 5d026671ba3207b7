#include "manager/options.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iterator>

#include "protocol/protocol.h"

namespace {

bool parse_number(const std::string& text, double min, double& out) {
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || v < min) return false;
  out = v;
  return true;
}

}  // namespace

std::string default_player_binary() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    std::string beside = path.substr(0, path.rfind('/') + 1) + "video_player";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  return "video_player";
}

std::string manager_usage(const std::string& program) {
  return "Usage: " + program + R"( [OPTIONS] PLAYLIST

Plays PLAYLIST in a loop on the video player, which it starts and keeps
running: each next file is preloaded while the current one plays and switched
to when the current one ends. The player is started again, with a growing
pause, whenever it ends, and playback resumes with the file after the one
that was on screen. Files that are missing, empty or not MP4, that the
player cannot preload, or whose own source, demuxer or decoder made it fail
are skipped with a line saying why.

PLAYLIST is a directory (its *.mp4 files in name order) or a text file with
one path a line ('#' starts a comment line; relative paths are taken from the
file's directory; a regular file of at most 1 MB). A line may start with a
time window and days, in local time: "08:00-18:00 mon-fri clip.mp4",
"22:00-06:00 clip.mp4", "sat,sun clip.mp4"; outside them the file is
skipped, and when nothing is due the idle picture shows. It is read again at
the start of every round.

The manager's own lines start with "[manager]"; the player's lines follow
on standard output with a prefix, or go to a log file.

Options:
  --player PATH          the player program (default: video_player beside this
                         program, else found on PATH)
  --no-sound             play without sound (the player's --no_sound)
  --rotate R             turn the picture for a screen mounted turned: 90, 180
                         or 270 (degrees clockwise), horizontal-flip or
                         vertical-flip (the player's --rotate; default 0)
  --window               a window of the clip's size instead of the whole
                         screen, for development (the player's --window)
  --output O             where the player draws: auto (default: Wayland if
                         WAYLAND_DISPLAY is set, else X11 if DISPLAY is, else
                         the DRM/KMS device), x11, wayland or kms
  --no-switch-at-end     send "switch" on each end of video instead of arming
                         the switch for it in advance (players without
                         switch_at_end)
  --player-log FILE      write the player's lines to FILE with times, instead
                         of standard output; the manager's lines go there too
  --player-log-size MB   move FILE to FILE.1 when it reaches this size
                         (default 20)
  --player-prefix TEXT   prefix of the player's lines on standard output
                         (default "player: ")
  --quiet-player         drop the player's lines
  --rounds N             stop after N rounds of the playlist (default: never)
  --preload-timeout S    a preload not complete after S seconds restarts the
                         player (default 30)
  --silence-timeout S    a player that writes nothing for S seconds is killed
                         and started again (default 60)
  --stall-timeout S      a player whose pipeline is not playing for S seconds
                         is started again (default 30)
  --max-backoff S        longest pause before starting the player again
                         (default 30; the pause starts at 1 s, doubles on each
                         quick failure, and is back to 1 s after a run of
                         --stable-after seconds)
  --stable-after S       a run this long counts as a good one (default 60)
  --http ADDR:PORT       serve the HTTP API there (default 127.0.0.1:8080; port 0:
                         any free one, named in the manager's line)
  --no-http              no HTTP API
  --http-token-file FILE requests must carry "Authorization: Bearer <token>",
                         the token being FILE's text (at least 16 characters);
                         needed for an address other than loopback
  --play-log FILE        proof of play: one JSON line a showing of a file
                         (path, start, end, seconds, how it ended)
  --play-log-size MB     move FILE to FILE.1 when it reaches this size
                         (default 20)
  --bad-file-retry S     a file that failed is skipped for S seconds, or until
                         it changes (default 3600)
  -h, --help             show this text

Ctrl-C or SIGTERM stops the player and then the manager.
Exit status: 0 when stopped or done, 1 when the playlist cannot be read,
2 for a wrong command line.
)";
}

ParsedOptions parse_manager_options(const std::vector<std::string>& args) {
  ParsedOptions p;
  ManagerConfig& c = p.config;
  c.player_binary = default_player_binary();
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        p.error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    auto number = [&](double min, double& out) {
      std::string text;
      if (!value(text)) return false;
      if (!parse_number(text, min, out)) {
        p.error = a + ": not a valid number: " + text;
        return false;
      }
      return true;
    };
    double n = 0;
    if (a == "-h" || a == "--help") {
      p.help = true;
    } else if (a == "--player") {
      if (!value(c.player_binary)) return p;
    } else if (a == "--no-sound") {
      c.no_sound = true;
    } else if (a == "--rotate" || a == "--output") {
      std::string v;
      if (!value(v)) return p;
      auto taken = [&v](const auto& values) { return std::find(std::begin(values), std::end(values), v) != std::end(values); };
      if (!(a == "--rotate" ? taken(protocol::ROTATIONS) : taken(protocol::OUTPUTS))) {
        p.error = a + ": not one of the values it takes: " + v;
        return p;
      }
      c.screen_args.insert(c.screen_args.end(), {a, v});
    } else if (a == "--http") {
      std::string v;
      if (!value(v)) return p;
      if (!parse_http_address(v, c.http)) {
        p.error = "--http: not an address and port: " + v;
        return p;
      }
      c.http.enabled = true;
    } else if (a == "--no-http") {
      c.http.enabled = false;
    } else if (a == "--http-token-file") {
      if (!value(c.http.token_file)) return p;
    } else if (a == "--play-log") {
      if (!value(c.play_log)) return p;
    } else if (a == "--play-log-size") {
      if (!number(1, n)) return p;
      c.play_log_max_bytes = static_cast<long long>(n * 1024 * 1024);
    } else if (a == "--window") {
      c.screen_args.push_back(a);
    } else if (a == "--no-switch-at-end") {
      c.switch_at_end = false;
    } else if (a == "--player-log") {
      if (!value(c.output.player_log)) return p;
    } else if (a == "--player-log-size") {
      if (!number(1, n)) return p;
      c.output.player_log_max_bytes = static_cast<long long>(n * 1024 * 1024);
    } else if (a == "--player-prefix") {
      if (!value(c.output.player_prefix)) return p;
    } else if (a == "--quiet-player") {
      c.output.quiet_player = true;
    } else if (a == "--rounds") {
      if (!number(1, n)) return p;
      c.rounds = static_cast<int>(n);
    } else if (a == "--preload-timeout") {
      if (!number(1, c.preload_timeout_s)) return p;
    } else if (a == "--silence-timeout") {
      if (!number(5, c.silence_timeout_s)) return p;
    } else if (a == "--stall-timeout") {
      if (!number(5, c.stall_timeout_s)) return p;
    } else if (a == "--max-backoff") {
      if (!number(1, c.backoff_max_s)) return p;
    } else if (a == "--stable-after") {
      if (!number(1, c.stable_after_s)) return p;
    } else if (a == "--bad-file-retry") {
      if (!number(0, c.bad_file_retry_s)) return p;
    } else if (a.size() > 1 && a[0] == '-') {
      p.error = "unknown option " + a;
      return p;
    } else {
      positional.push_back(a);
    }
  }
  if (p.help) return p;
  if (c.http.enabled && c.http.token_file.empty() && !is_loopback(c.http.host)) {
    p.error = "--http " + c.http.host + ": an address other than loopback needs --http-token-file";
    return p;
  }
  if (positional.size() != 1) {
    p.error = positional.empty() ? "no playlist given" : "more than one playlist given";
    return p;
  }
  c.playlist = positional[0];
  return p;
}
