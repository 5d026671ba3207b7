#include "manager/options.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>

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

namespace {

// A program beside this one, else its name for the search path.
std::string beside_self(const std::string& name) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    std::string beside = path.substr(0, path.rfind('/') + 1) + name;
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  return name;
}

}  // namespace

std::string default_player_binary() { return beside_self("video_player"); }

std::string manager_usage(const std::string& program) {
  return "Usage: " + program + R"( [OPTIONS] PLAYLIST

Plays PLAYLIST in a loop on the video player, which it starts and keeps
running: each next file is preloaded while the current one plays and switched
to when the current one ends. The player is started again, with a growing
pause, whenever it ends, and playback resumes with the file after the one
that was on screen. Files that are missing, empty or not MP4, that the
player cannot preload, or whose own source, demuxer or decoder made it fail
are skipped with a line saying why.

PLAYLIST is a directory (its *.mp4 files and pictures, *.jpg, *.jpeg, *.png
and *.webp, in name order) or a text file with one path a line ('#' starts a
comment line; relative paths are taken from the file's directory; a regular
file of at most 1 MB). A line may start with a time window and days, in
local time: "08:00-18:00 mon-fri clip.mp4", "22:00-06:00 clip.mp4",
"sat,sun clip.mp4"; outside them the file is skipped, and when nothing is
due the idle picture shows. A picture's line may give its time on screen
after them: "10s poster.jpg", "08:00-11:00 15s breakfast.png". It is read
again at the start of every round, and whenever it changes (the directory
and a list file are watched). A file still being written is passed over
until it is whole; temporary names (*.part, *.filepart, *.tmp,
*~syncthing~*, dot files) are never played.

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
  --audio-device DEV     the ALSA device the sound goes to (the player's
                         --audio-device), e.g. hdmi:CARD=vc4hdmi0,
                         plughw:CARD=Headphones; default: ALSA's default
  --screen-on HOURS      when the screen is on, as a playlist line's window
                         and days, in local time, e.g. "07:00-22:00 mon-sat";
                         outside them the screen sleeps and the player is
                         paused, and it wakes on the next file (default:
                         always on)
  --state-dir DIR        where the sound's level set through the API is
                         kept (default: $STATE_DIRECTORY, as systemd sets it;
                         none outside systemd)
  --picture-seconds S    a picture's time on screen unless its line gives one
                         (default 10)
  --picture-size WxH     the size of a picture's clip, before --rotate
                         (default 1920x1080); the videos' shape keeps the
                         change to and from a picture seamless
  --picture-cache-size MB
                         the pictures' clips kept, at most (default 512; the
                         one used the longest ago goes first), in pictures/
                         of $CACHE_DIRECTORY (as systemd sets it), else of
                         --state-dir, else $XDG_CACHE_HOME/signage-manager/
                         or ~/.cache/signage-manager/
  --decoder NAME         the player's H.264 decoder element (the player's
                         --decoder; default: the board's V4L2 decoder when
                         one is registered, else avdec_h264)
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
                         (path, start and end in UTC and whether the clock
                         was synchronised then, seconds on the monotonic
                         clock, how it ended), on disk as it is written
  --play-log-size MB     move FILE to FILE.1 when it reaches this size
                         (default 20)
  --play-log-keep N      older files kept, FILE.1 to FILE.N (default 5)
  --bad-file-retry S     a file that failed is skipped for S seconds, or until
                         it changes (default 3600)
  --settle-time S        a file new or changed in the playlist is taken once
                         its size and time have not changed for S seconds
                         (default 3; 0: at once)
  --wall-lead ADDR:PORT  lead a wall of screens: serve the wall's clock (UDP)
                         and its plan (TCP) on ADDR:PORT; every change of file
                         is placed on the clock, the same on every screen
  --wall-follow HOST:PORT
                         a screen of the wall whose leader is at HOST:PORT:
                         show the file the leader plans, at the same moment;
                         without the leader, play on alone
  --wall-latency MS      the pipeline latency every screen of the wall keeps
                         (default 300; the same on every board)
  --wall-token-file FILE the wall's shared secret (FILE's text, at least 16
                         characters, the same on every board): the leader
                         and each follower prove they know it before the
                         plan is sent; needed to lead on an address other
                         than loopback
  -h, --help             show this text

Ctrl-C or SIGTERM stops the player and then the manager.
Exit status: 0 when stopped or done, 1 when the playlist cannot be read,
2 for a wrong command line.
)";
}

namespace {

// What an option does with its value: an error text when the value is wrong.
using Setter = std::function<std::string(ManagerConfig&, const std::string&)>;

// A text kept as given, in the field that `field` picks.
Setter text(std::function<std::string&(ManagerConfig&)> field) {
  return [field](ManagerConfig& c, const std::string& v) {
    field(c) = v;
    return std::string();
  };
}

Setter number(double min, std::function<void(ManagerConfig&, double)> set) {
  return [min, set](ManagerConfig& c, const std::string& v) {
    double n = 0;
    if (!parse_number(v, min, n)) return "not a valid number: " + v;
    set(c, n);
    return std::string();
  };
}

Setter seconds(double min, double ManagerConfig::*field) {
  return number(min, [field](ManagerConfig& c, double n) { c.*field = n; });
}

Setter megabytes(long long ManagerConfig::*field) {
  return number(1, [field](ManagerConfig& c, double n) { c.*field = static_cast<long long>(n * 1024 * 1024); });
}

template <typename Values>
Setter screen_value(const char* option, const Values& values) {
  return [option, &values](ManagerConfig& c, const std::string& v) {
    if (std::find(std::begin(values), std::end(values), v) == std::end(values))
      return "not one of the values it takes: " + v;
    c.screen_args.insert(c.screen_args.end(), {option, v});
    return std::string();
  };
}

Setter wall_role(WallOptions::Role role) {
  return [role](ManagerConfig& c, const std::string& v) {
    if (c.wall.role != WallOptions::Role::None && c.wall.role != role)
      return std::string("a board leads the wall or follows it, not both");
    size_t colon = v.rfind(':');
    if (colon == std::string::npos || colon == 0 || v.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
        colon + 1 == v.size() || std::atoi(v.c_str() + colon + 1) <= 0 || std::atoi(v.c_str() + colon + 1) > 65535)
      return "not an address and port: " + v;
    c.wall.role = role;
    c.wall.address = v;
    return std::string();
  };
}

// The options that take a value.
const std::map<std::string, Setter>& valued_options() {
  static const std::map<std::string, Setter> options = {
      {"--player", text([](ManagerConfig& c) -> std::string& { return c.player_binary; })},
      {"--rotate", screen_value("--rotate", protocol::ROTATIONS)},
      {"--output", screen_value("--output", protocol::OUTPUTS)},
      {"--audio-device",
       [](ManagerConfig& c, const std::string& v) {
         if (v.empty()) return std::string("an empty device name");
         c.screen_args.insert(c.screen_args.end(), {"--audio-device", v});
         return std::string();
       }},
      {"--screen-on",
       [](ManagerConfig& c, const std::string& v) {
         std::string rest = v;
         Schedule hours = take_schedule(rest);
         if (hours.always() || rest.find_first_not_of(" \t") != std::string::npos)
           return "not a time window and days: " + v + " (e.g. \"07:00-22:00 mon-sat\")";
         c.screen_on = hours;
         return std::string();
       }},
      {"--state-dir", text([](ManagerConfig& c) -> std::string& { return c.state_dir; })},
      {"--picture-seconds", number(0.1, [](ManagerConfig& c, double n) { c.pictures.seconds = n; })},
      {"--picture-cache-size", number(1, [](ManagerConfig& c, double n) {
         c.pictures.max_bytes = static_cast<long long>(n * 1024 * 1024);
       })},
      {"--picture-size",
       [](ManagerConfig& c, const std::string& v) {
         int w = 0, h = 0;
         char tail = 0;
         if (sscanf(v.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 8192 || h > 8192 || w % 2 ||
             h % 2)
           return "not an even width and height, such as 1920x1080: " + v;
         c.pictures.width = w;
         c.pictures.height = h;
         return std::string();
       }},
      {"--decoder",
       [](ManagerConfig& c, const std::string& v) {
         if (v.empty() || v.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") != std::string::npos)
           return "not an element name: " + v;
         c.screen_args.insert(c.screen_args.end(), {"--decoder", v});
         return std::string();
       }},
      {"--http",
       [](ManagerConfig& c, const std::string& v) {
         if (!parse_http_address(v, c.http)) return "not an address and port: " + v;
         c.http.enabled = true;
         return std::string();
       }},
      {"--http-token-file", text([](ManagerConfig& c) -> std::string& { return c.http.token_file; })},
      {"--play-log", text([](ManagerConfig& c) -> std::string& { return c.play_log; })},
      {"--play-log-size", megabytes(&ManagerConfig::play_log_max_bytes)},
      {"--play-log-keep", number(0, [](ManagerConfig& c, double n) { c.play_log_keep = static_cast<int>(n); })},
      {"--player-log", text([](ManagerConfig& c) -> std::string& { return c.output.player_log; })},
      {"--player-log-size",
       number(1, [](ManagerConfig& c, double n) { c.output.player_log_max_bytes = static_cast<long long>(n * 1024 * 1024); })},
      {"--player-prefix", text([](ManagerConfig& c) -> std::string& { return c.output.player_prefix; })},
      {"--rounds", number(1, [](ManagerConfig& c, double n) { c.rounds = static_cast<int>(n); })},
      {"--preload-timeout", seconds(1, &ManagerConfig::preload_timeout_s)},
      {"--silence-timeout", seconds(5, &ManagerConfig::silence_timeout_s)},
      {"--stall-timeout", seconds(5, &ManagerConfig::stall_timeout_s)},
      {"--max-backoff", seconds(1, &ManagerConfig::backoff_max_s)},
      {"--stable-after", seconds(1, &ManagerConfig::stable_after_s)},
      {"--bad-file-retry", seconds(0, &ManagerConfig::bad_file_retry_s)},
      {"--settle-time", seconds(0, &ManagerConfig::settle_s)},
      {"--wall-lead", wall_role(WallOptions::Role::Lead)},
      {"--wall-follow", wall_role(WallOptions::Role::Follow)},
      {"--wall-latency", number(0, [](ManagerConfig& c, double n) { c.wall.latency_ms = static_cast<int>(n); })},
      {"--wall-token-file", text([](ManagerConfig& c) -> std::string& { return c.wall.token_file; })},
  };
  return options;
}

// The options that stand alone.
const std::map<std::string, std::function<void(ManagerConfig&)>>& flags() {
  static const std::map<std::string, std::function<void(ManagerConfig&)>> options = {
      {"--no-sound", [](ManagerConfig& c) { c.no_sound = true; }},
      {"--window", [](ManagerConfig& c) { c.screen_args.push_back("--window"); }},
      {"--no-switch-at-end", [](ManagerConfig& c) { c.switch_at_end = false; }},
      {"--no-http", [](ManagerConfig& c) { c.http.enabled = false; }},
      {"--quiet-player", [](ManagerConfig& c) { c.output.quiet_player = true; }},
  };
  return options;
}

// What the options say together.
std::string check_config(const ManagerConfig& c, const std::vector<std::string>& positional) {
  if (c.http.enabled && c.http.token_file.empty() && !is_loopback(c.http.host))
    return "--http " + c.http.host + ": an address other than loopback needs --http-token-file";
  if (c.wall.role == WallOptions::Role::Lead && c.wall.token_file.empty()) {
    HttpOptions where;
    if (!parse_http_address(c.wall.address, where) || !is_loopback(where.host))
      return "--wall-lead " + c.wall.address + ": an address other than loopback needs --wall-token-file";
  }
  if (positional.size() != 1) return positional.empty() ? "no playlist given" : "more than one playlist given";
  return "";
}

}  // namespace

ParsedOptions parse_manager_options(const std::vector<std::string>& args) {
  ParsedOptions p;
  ManagerConfig& c = p.config;
  c.player_binary = default_player_binary();
  c.pictures.maker = beside_self("signage_picture_clip");
  // systemd's StateDirectory= names it for the service.
  if (const char* state = getenv("STATE_DIRECTORY")) c.state_dir = state;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      p.help = true;
    } else if (auto flag = flags().find(a); flag != flags().end()) {
      flag->second(c);
    } else if (auto option = valued_options().find(a); option != valued_options().end()) {
      if (i + 1 >= args.size()) {
        p.error = a + " needs a value";
        return p;
      }
      std::string error = option->second(c, args[++i]);
      if (!error.empty()) {
        p.error = a + ": " + error;
        return p;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      p.error = "unknown option " + a;
      return p;
    } else {
      positional.push_back(a);
    }
  }
  if (p.help) return p;
  p.error = check_config(c, positional);
  if (p.error.empty()) c.playlist = positional[0];
  return p;
}
