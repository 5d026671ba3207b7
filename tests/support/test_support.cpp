#include "support/test_support.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

const Rgb RED{255, 0, 0}, GREEN{0, 255, 0}, BLUE{0, 0, 255}, YELLOW{255, 255, 0}, WHITE{255, 255, 255},
    CYAN{0, 255, 255}, MAGENTA{255, 0, 255}, ORANGE{255, 165, 0}, PURPLE{128, 0, 128}, TEAL{0, 128, 128}, NAVY{0, 0, 128}, GRAY{128, 128, 128},
    BLACK{0, 0, 0};

std::string clips_dir() { return CLIPS_DIR; }
std::string clip(const std::string& name) { return clips_dir() + "/" + name; }
std::string player_binary() { return PLAYER_BINARY; }

bool near_colour(const Rgb& a, const Rgb& b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

namespace {

pid_t spawn(const std::vector<std::string>& args, int stdout_fd = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(stdout_fd >= 0 ? stdout_fd : devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void stop_child(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string read_line_from(int fd, double timeout_s) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(timeout_s * 1000));
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  while (std::chrono::steady_clock::now() < deadline) {
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n == 1) {
      if (c == '\n') return out;
      out.push_back(c);
    } else if (n == 0) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return out;
}

}  // namespace

VirtualDisplay::VirtualDisplay() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x720x24", "-nolisten", "tcp", "-noreset"});
  close(fds[1]);
  std::string number = read_line_from(fds[0], 20);
  close(fds[0]);
  name_ = ":" + number;
}

VirtualDisplay::VirtualDisplay(Later) {
  // Far above the numbers -displayfd hands out, spread by process so that
  // parallel tests do not pick the same one.
  for (int i = 0; i < 500; ++i) {
    int n = 600 + (getpid() + i) % 500;
    std::string number = std::to_string(n);
    if (access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) == 0 || access(("/tmp/.X" + number + "-lock").c_str(), F_OK) == 0)
      continue;
    name_ = ":" + number;
    break;
  }
}

bool VirtualDisplay::start() {
  if (pid_ > 0 || name_.empty()) return false;
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_ = spawn({"Xvfb", name_, "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x720x24", "-nolisten", "tcp", "-noreset"});
  close(fds[1]);
  std::string number = read_line_from(fds[0], 20);
  close(fds[0]);
  return ":" + number == name_;
}

VirtualDisplay::~VirtualDisplay() { stop_child(pid_); }

void VirtualDisplay::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

namespace {

// Reads a rectangle of the root window, which holds what the screen shows.
template <typename Use>
bool read_screen(const std::string& name, int x, int y, int w, int h, Use use) {
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return false;
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, w, h, AllPlanes, ZPixmap);
  if (image) {
    use(image);
    XDestroyImage(image);
  }
  XCloseDisplay(d);
  return image != nullptr;
}

Rgb colour_of(XImage* image, int x, int y) {
  unsigned long p = XGetPixel(image, x, y);
  return Rgb{int((p >> 16) & 0xff), int((p >> 8) & 0xff), int(p & 0xff)};
}

}  // namespace

std::optional<Rgb> VirtualDisplay::pixel(int x, int y) const {
  Rgb rgb;
  if (!read_screen(name_, x, y, 1, 1, [&](XImage* image) { rgb = colour_of(image, 0, 0); })) return std::nullopt;
  return rgb;
}

std::optional<Screenshot> VirtualDisplay::grab() const {
  Screenshot shot;
  bool ok = read_screen(name_, 0, 0, 1280, 720, [&](XImage* image) {
    shot.width = image->width;
    shot.height = image->height;
    shot.pixels.reserve(static_cast<size_t>(shot.width) * shot.height);
    for (int y = 0; y < shot.height; ++y)
      for (int x = 0; x < shot.width; ++x) shot.pixels.push_back(colour_of(image, x, y));
  });
  if (!ok) return std::nullopt;
  return shot;
}

void VirtualDisplay::set_background(const Rgb& colour) const {
  Display* d = XOpenDisplay(name_.c_str());
  if (!d) return;
  Window root = DefaultRootWindow(d);
  XSetWindowBackground(d, root, (unsigned long)(colour.r << 16 | colour.g << 8 | colour.b));
  XClearWindow(d, root);
  XSync(d, False);
  XCloseDisplay(d);
}

std::vector<unsigned long> VirtualDisplay::top_windows() const {
  std::vector<unsigned long> ids;
  Display* d = XOpenDisplay(name_.c_str());
  if (!d) return ids;
  Window root_back, parent;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(d, DefaultRootWindow(d), &root_back, &parent, &children, &count)) {
    for (unsigned int i = 0; i < count; ++i) {
      XWindowAttributes a;
      if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable) ids.push_back(children[i]);
    }
    if (children) XFree(children);
  }
  XCloseDisplay(d);
  return ids;
}

bool VirtualDisplay::resize_window(unsigned long id, int width, int height) const {
  Display* d = XOpenDisplay(name_.c_str());
  if (!d) return false;
  XResizeWindow(d, id, width, height);
  XCloseDisplay(d);
  return true;
}

bool VirtualDisplay::wait_for_colour(const Rgb& colour, double timeout_s, int x, int y) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(timeout_s * 1000));
  do {
    auto px = pixel(x, y);
    if (px && near_colour(*px, colour)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

ScreenWatcher::ScreenWatcher(const VirtualDisplay& display, std::vector<std::pair<int, int>> spots, Rgb colour)
    : thread_([this, name = display.name(), spots, colour] {
        Display* d = XOpenDisplay(name.c_str());
        if (!d) return;
        while (!stop_) {
          for (auto [x, y] : spots) {
            XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
            if (!image) continue;
            Rgb got = colour_of(image, 0, 0);
            XDestroyImage(image);
            ++samples_;
            if (near_colour(got, colour, 30)) ++seen_;
          }
        }
        XCloseDisplay(d);
      }) {}

void ScreenWatcher::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

HttpServer::HttpServer(const std::string& dir, const std::string& script) {
  int fds[2];
  if (pipe(fds) != 0) return;
  std::string code = script.empty() ? std::string(HTTP_SERVER_SCRIPT) : script;
  pid_ = spawn({"python3", code, dir}, fds[1]);
  close(fds[1]);
  port_ = std::atoi(read_line_from(fds[0], 20).c_str());
  close(fds[0]);
}

HttpServer::~HttpServer() { stop_child(pid_); }

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

PlayerClient::Options player_options(const VirtualDisplay& display, std::vector<std::string> args) {
  PlayerClient::Options opts;
  opts.binary = player_binary();
  opts.args = std::move(args);
  // A Wayland session of the machine's would be chosen over the test's display.
  opts.env = {{"DISPLAY", display.name()}, {"WAYLAND_DISPLAY", ""}};
  // Set PLAYER_TEST_LOG to keep every player line of a test run in a file.
  if (const char* log = getenv("PLAYER_TEST_LOG")) opts.log_path = log;
  return opts;
}

PlayerClient::Options player_options(const VirtualDisplay& display, const SoundSink& sink,
                                     std::vector<std::string> args) {
  PlayerClient::Options opts = player_options(display, std::move(args));
  opts.env.push_back({"PULSE_SINK", sink.name()});
  return opts;
}

namespace {

std::string run_and_read(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  pid_t pid = spawn(args, fds[1]);
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

}  // namespace

namespace {

// True once a server takes clients on the Unix socket.
bool socket_answers(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  bool answered = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return answered;
}

// The sound server of the test's environment, for a client whose
// XDG_RUNTIME_DIR is a compositor's.
std::string sound_server() {
  if (const char* set = getenv("PULSE_SERVER")) return set;
  std::string info = run_and_read({"pactl", "info"});
  const std::string key = "Server String: ";
  size_t at = info.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return info.substr(at, info.find('\n', at) - at);
}

constexpr const char* SWAY_USER = "wltest";

}  // namespace

WaylandServer::WaylandServer(Kind kind) : kind_(kind) {
  char dir[] = "/tmp/wayland-test.XXXXXX";
  if (!mkdtemp(dir)) {
    why_not_ = "no runtime directory";
    return;
  }
  dir_ = dir;
  socket_ = "wayland-test";
  if (kind == WESTON_KIOSK) x_ = std::make_unique<VirtualDisplay>();
  // Without a setting the desktop shell shows a picture of its own.
  if (kind == WESTON_DESKTOP) std::ofstream(dir_ + "/weston.ini") << "[shell]\nbackground-color=0xff304050\n";
  if (kind == SWAY) {
    if (geteuid() != 0) {
      why_not_ = "sway refuses root, and only root can set up the user it runs as here";
      return;
    }
    if (!getpwnam(SWAY_USER)) run_and_read({"/usr/sbin/useradd", "-r", "-M", "-s", "/usr/sbin/nologin", SWAY_USER});
    const passwd* user = getpwnam(SWAY_USER);
    if (!user) {
      why_not_ = std::string("cannot add the user ") + SWAY_USER;
      return;
    }
    std::string config = dir_ + "/config";
    std::ofstream(config) << "output * resolution 1280x720 bg #304050 solid_color\n"
                             "default_border none\n"
                             "xwayland disable\n";
    if (chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0 ||
        chown(config.c_str(), user->pw_uid, user->pw_gid) != 0) {
      why_not_ = "cannot give the runtime directory to " + std::string(SWAY_USER);
      return;
    }
    socket_ = "wayland-1";  // sway takes the first free name from wayland-1
  }
  if (!start()) why_not_ = std::string(name()) + " did not start";
}

WaylandServer::~WaylandServer() {
  stop_child(pid_);
  if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
}

const char* WaylandServer::name() const {
  switch (kind_) {
    case WESTON_DESKTOP: return "weston (desktop shell, headless)";
    case WESTON_KIOSK: return "weston (kiosk shell, X11 back end)";
    case SWAY: return "sway (headless)";
  }
  return "";
}

Rgb WaylandServer::background() const {
  switch (kind_) {
    case WESTON_DESKTOP:
    case SWAY: return Rgb{0x30, 0x40, 0x50};  // their settings
    case WESTON_KIOSK: return RED;  // its black
  }
  return BLACK;
}

bool WaylandServer::start() {
  if (pid_ > 0 || dir_.empty() || (x_ && x_->name() == ":")) return false;  // no Xvfb for the kiosk shell
  std::vector<std::string> args;
  if (kind_ == SWAY) {
    const passwd* user = getpwnam(SWAY_USER);
    if (!user) return false;
    args = {"setpriv", "--reuid=" + std::to_string(user->pw_uid), "--regid=" + std::to_string(user->pw_gid),
            "--clear-groups", "env", "-i", "-C", dir_, "PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=" + dir_,
            "WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1",
            "sway", "-c", dir_ + "/config"};
  } else {
    args = {"env", "XDG_RUNTIME_DIR=" + dir_};
    if (kind_ == WESTON_KIOSK)
      args.insert(args.end(),
                  {"DISPLAY=" + x_->name(), "weston", "--backend=x11-backend.so", "--shell=kiosk-shell.so"});
    else
      args.insert(args.end(), {"weston", "--config=" + dir_ + "/weston.ini", "--backend=headless-backend.so",
                               "--use-gl", "--shell=desktop-shell.so"});
    // --idle-time=0: an output blanked after a while shows nothing.
    // --debug: the screenshooter is for debugging only.
    args.insert(args.end(), {"--socket=" + socket_, "--width=1280", "--height=720", "--idle-time=0", "--debug"});
  }
  pid_ = spawn(args);
  for (int i = 0; i < 400 && pid_ > 0; ++i) {
    if (socket_answers(dir_ + "/" + socket_)) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  stop();
  return false;
}

void WaylandServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<std::pair<std::string, std::string>> WaylandServer::client_env() const {
  std::vector<std::pair<std::string, std::string>> env = {
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", socket_}, {"XDG_RUNTIME_DIR", dir_}};
  std::string sound = sound_server();
  if (!sound.empty()) env.push_back({"PULSE_SERVER", sound});
  return env;
}

std::optional<Screenshot> WaylandServer::screenshot() const {
  std::string client = "XDG_RUNTIME_DIR='" + dir_ + "' WAYLAND_DISPLAY=" + socket_ + " timeout 10 ";
  std::string cmd = client + "grim -t ppm - 2>/dev/null";
  if (kind_ != SWAY) {
    // The screenshooter writes a PNG file into the current directory.
    std::string shots = dir_ + "/shots";
    cmd = "rm -rf '" + shots + "' && mkdir -p '" + shots + "' && cd '" + shots + "' && " + client +
          "weston-screenshooter >/dev/null 2>&1 && ffmpeg -nostdin -loglevel error -i wayland-screenshot-*.png "
          "-f image2pipe -c:v ppm - 2>/dev/null";
  }
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return std::nullopt;
  std::string ppm;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) ppm.append(buf, n);
  pclose(p);
  // "P6 <width> <height> 255" and one byte per channel.
  int width = 0, height = 0, max = 0, header = 0;
  if (sscanf(ppm.c_str(), "P6 %d %d %d%n", &width, &height, &max, &header) != 3 || max != 255) return std::nullopt;
  size_t first = static_cast<size_t>(header) + 1;
  if (width <= 0 || height <= 0 || ppm.size() < first + size_t(width) * height * 3) return std::nullopt;
  Screenshot shot{width, height, {}};
  shot.pixels.reserve(size_t(width) * height);
  for (size_t i = first; i < first + size_t(width) * height * 3; i += 3)
    shot.pixels.push_back(Rgb{static_cast<unsigned char>(ppm[i]), static_cast<unsigned char>(ppm[i + 1]),
                              static_cast<unsigned char>(ppm[i + 2])});
  return shot;
}

PlayerClient::Options player_options(const WaylandServer& server, const SoundSink* sink,
                                     std::vector<std::string> args) {
  PlayerClient::Options opts;
  opts.binary = player_binary();
  opts.args = std::move(args);
  opts.env = server.client_env();
  if (sink) opts.env.push_back({"PULSE_SINK", sink->name()});
  if (const char* log = getenv("PLAYER_TEST_LOG")) opts.log_path = log;
  return opts;
}

SoundSink::SoundSink() : SoundSink("") {}

SoundSink::SoundSink(const std::string& name) {
  static int counter = 0;
  name_ = !name.empty() ? name : "test_sink_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  std::string id = run_and_read({"pactl", "load-module", "module-null-sink", "sink_name=" + name_});
  if (!id.empty()) module_ = std::atoi(id.c_str());
}

SoundSink::~SoundSink() {
  if (module_ >= 0) run_and_read({"pactl", "unload-module", std::to_string(module_)});
}

SoundSink::Heard SoundSink::listen(double seconds) const {
  constexpr int RATE = 48000;
  int fds[2];
  Heard h;
  if (pipe(fds) != 0) return h;
  pid_t pid = spawn({"parec", "--device=" + name_ + ".monitor", "--raw", "--format=s16le", "--rate=48000",
                     "--channels=1", "--latency-msec=20"},
                    fds[1]);
  close(fds[1]);
  size_t wanted = static_cast<size_t>(seconds * RATE) * 2;
  std::string raw;
  char buf[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000) + 5000);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  while (raw.size() < wanted && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      raw.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  close(fds[0]);
  stop_child(pid);
  size_t count = raw.size() / 2;
  if (count == 0) return h;
  const int16_t* samples = reinterpret_cast<const int16_t*>(raw.data());
  double sum = 0;
  int crossings = 0;
  for (size_t i = 0; i < count; ++i) {
    sum += double(samples[i]) * samples[i];
    if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  h.rms = std::sqrt(sum / count) / 32768.0;
  h.frequency = crossings / 2.0 / (double(count) / RATE);
  return h;
}

bool heard_tone(const SoundSink::Heard& h, double hz) {
  return h.rms > 0.01 && std::abs(h.frequency - hz) <= hz * 0.05;
}

bool heard_silence(const SoundSink::Heard& h) { return h.rms < 0.002; }

SoundSink::Heard listen_for(const SoundSink& sink, double hz, double seconds) {
  SoundSink::Heard h;
  for (double spent = 0; spent < seconds; spent += 0.5) {
    h = sink.listen(0.5);
    if (heard(h, hz)) break;
  }
  return h;
}

StdoutCapture::StdoutCapture() {
  char tmpl[] = "/tmp/player-capture-XXXXXX";
  int fd = mkstemp(tmpl);
  path_ = tmpl;
  fflush(stdout);
  saved_fd_ = dup(1);
  dup2(fd, 1);
  close(fd);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  dup2(saved_fd_, 1);
  close(saved_fd_);
  unlink(path_.c_str());
}

std::string StdoutCapture::text() {
  fflush(stdout);
  std::ifstream in(path_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> StdoutCapture::lines() {
  std::vector<std::string> out;
  std::stringstream ss(text());
  std::string line;
  while (std::getline(ss, line)) out.push_back(line);
  return out;
}

int StdoutCapture::count_line(const std::string& exact) {
  int n = 0;
  for (auto& l : lines()) n += l == exact;
  return n;
}

bool StdoutCapture::has_substring(const std::string& part) { return text().find(part) != std::string::npos; }

int dir_entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}
