// Shared helpers for the tests: where things are, a private virtual display,
// a local HTTP server, and capturing this process's standard output.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "client/player_client.h"

std::string clips_dir();
// How many entries a directory lists (a process's /proc fd or task directory).
int dir_entries(const std::string& dir);
std::string clip(const std::string& name);
std::string player_binary();

struct Rgb {
  int r = 0, g = 0, b = 0;
};
// True when the two colours differ by at most `tolerance` in every channel.
bool near_colour(const Rgb& a, const Rgb& b, int tolerance = 40);
extern const Rgb RED, GREEN, BLUE, YELLOW, WHITE, CYAN, MAGENTA, ORANGE, PURPLE, TEAL, NAVY, GRAY, BLACK;

// One picture of a whole screen.
struct Screenshot {
  int width = 0, height = 0;
  std::vector<Rgb> pixels;
  const Rgb& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// An Xvfb server of the test's own (1280x720), so that parallel tests never share a screen.
class VirtualDisplay {
 public:
  VirtualDisplay();
  // A display that is not there until start(): its name, a number no server
  // uses now, is known at once, for a program started before its display.
  struct Later {};
  explicit VirtualDisplay(Later);
  ~VirtualDisplay();
  // Starts the server of a Later display, or again one that was stopped, on
  // the same number (which, unless Later, another server may have taken
  // meanwhile); true once it takes clients.
  bool start();
  // Ends the server at once, as a crash would.
  void stop();
  const std::string& name() const { return name_; }
  // The colour at (x, y) of the screen (its centre by default), from a real screen grab.
  std::optional<Rgb> pixel(int x = 640, int y = 360) const;
  std::optional<Screenshot> grab() const;
  // Waits until the pixel is near the colour; true when it got there.
  bool wait_for_colour(const Rgb& colour, double timeout_s, int x = 640, int y = 360) const;
  // Paints the root window, what shows where no window is.
  void set_background(const Rgb& colour) const;
  // The mapped windows straight under the root, as ids.
  std::vector<unsigned long> top_windows() const;
  // Gives a window another size, as a window manager would.
  bool resize_window(unsigned long id, int width, int height) const;

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// A Wayland compositor of the test's own, its output 1280x720, in a runtime
// directory of its own:
// - weston's desktop shell on its headless back end, drawing with GL;
// - weston's kiosk shell on its X11 back end, in an Xvfb of its own: on the
//   headless back end, which has no seat, the kiosk shell shows no window;
// - sway on its headless back end, as an unprivileged user made here when
//   missing (sway refuses to run as root; needs root to set up).
// stop() and start() take it away and bring it back on the same socket.
class WaylandServer {
 public:
  enum Kind { WESTON_DESKTOP, WESTON_KIOSK, SWAY };
  explicit WaylandServer(Kind kind = WESTON_DESKTOP);
  ~WaylandServer();
  bool ok() const { return pid_ > 0; }
  const std::string& why_not() const { return why_not_; }  // when not ok()
  const char* name() const;
  const std::string& runtime_dir() const { return dir_; }
  const std::string& socket() const { return socket_; }
  // What the output shows where no window is. weston 10 draws its solid
  // colours shifted here (red gets the alpha): its black shows red, as the
  // kiosk shell's background and while weston starts.
  Rgb background() const;
  // A client's environment: this compositor, and the sound server the test uses.
  std::vector<std::pair<std::string, std::string>> client_env() const;
  // What the output shows: weston's screenshooter, sway's grim.
  std::optional<Screenshot> screenshot() const;
  // Ends it at once, as a crash would.
  void stop();
  // Starts it (again); true once its socket takes clients.
  bool start();

 private:
  Kind kind_;
  pid_t pid_ = -1;
  std::string dir_, socket_, why_not_;
  std::unique_ptr<VirtualDisplay> x_;  // the kiosk shell's
};

// Reads a few spots of the screen without a pause, on a thread and a
// connection of its own, and counts the reads that showed the colour.
class ScreenWatcher {
 public:
  ScreenWatcher(const VirtualDisplay& display, std::vector<std::pair<int, int>> spots, Rgb colour);
  ~ScreenWatcher() { finish(); }
  void finish();
  int samples() const { return samples_; }
  int seen() const { return seen_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> samples_{0}, seen_{0};
  std::thread thread_;
};

// python3's http.server on 127.0.0.1, serving a directory.
class HttpServer {
 public:
  explicit HttpServer(const std::string& dir, const std::string& script = "");
  ~HttpServer();
  int port() const { return port_; }
  std::string url(const std::string& path) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// A null sink of the test's own on the sound server, so that what one test's
// player plays is heard there alone, and a way to listen to it.
class SoundSink {
 public:
  SoundSink();
  // A sink of this name, for a device that comes after a player looked for it.
  explicit SoundSink(const std::string& name);
  ~SoundSink();
  const std::string& name() const { return name_; }
  bool ok() const { return module_ >= 0; }
  struct Heard {
    double rms = 0;        // of full scale (0..1)
    double frequency = 0;  // Hz, from zero crossings: right for one pure tone
  };
  // Records what the sink plays for `seconds`, from now.
  Heard listen(double seconds) const;

 private:
  std::string name_;
  int module_ = -1;
};
constexpr double TONE_STEREO = 440, TONE_MONO = 660, TONE_SURROUND = 550;
// True when a tone of `hz` (within 5 %) was heard clearly.
bool heard_tone(const SoundSink::Heard& h, double hz);
// True when nothing was heard.
bool heard_silence(const SoundSink::Heard& h);
// Listens in half-second windows until the tone (`hz` 0: silence) is heard,
// for at most `seconds`: the sound server's buffering varies with the load.
// Returns what the last window held.
SoundSink::Heard listen_for(const SoundSink& sink, double hz, double seconds);
inline bool heard(const SoundSink::Heard& h, double hz) { return hz > 0 ? heard_tone(h, hz) : heard_silence(h); }

// Options for starting the player under a test's own display.
PlayerClient::Options player_options(const VirtualDisplay& display, std::vector<std::string> args);
// The same, playing its sound into the test's own sink.
PlayerClient::Options player_options(const VirtualDisplay& display, const SoundSink& sink,
                                     std::vector<std::string> args);
// Under a compositor of the test's own, its sound into the sink when one is given.
PlayerClient::Options player_options(const WaylandServer& server, const SoundSink* sink,
                                     std::vector<std::string> args);

// Redirects this process's standard output into a buffer while alive.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Everything written so far.
  std::string text();
  std::vector<std::string> lines();
  int count_line(const std::string& exact);
  bool has_substring(const std::string& part);

 private:
  int saved_fd_ = -1;
  std::string path_;
};
