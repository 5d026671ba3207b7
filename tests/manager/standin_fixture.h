// The scripted stand-in for the player, and a fixture that runs the manager
// with it: scripts are lists of steps, and what the stand-in read and wrote
// comes back as one ordered transcript.
#pragma once
#include <chrono>
#include <sstream>
#include <thread>

#include "manager_fixture.h"
#include "protocol/protocol.h"

using namespace protocol;

inline const std::string EGL_ERROR = BUS_ERROR + std::string("Failed to initialize egl: EGL_NOT_INITIALIZED");
inline const std::string EGL_ERROR_DEBUG =
    BUS_ERROR_DEBUG + std::string("../ext/gl/gstglimagesink.c(1131): _ensure_gl_setup (): "
                                  "/GstPipeline:pipeline0/GstGLImageSinkBin:videosink/GstGLImageSink:sink");

// A line the stand-in read.
inline std::string got(const std::string& line) { return "[STANDIN] < " + line; }

// Steps of the stand-in's script: write a line; write an event and wait for
// its answer; wait for a command.
inline std::string say(const std::string& line) { return "say " + line; }
inline std::string emit(const std::string& event) { return "event " + event; }
inline std::string await(const std::string& command) { return "await " + command; }

using Lines = std::vector<std::string>;

inline Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::string script_of(const Lines& steps) {
  std::string out;
  for (const auto& s : steps) out += s + "\n";
  return out;
}

// A player started with `file`: the manager has it play, preloads the same
// file and switches to it, so that it reports the file's end.
inline Lines start_steps(const std::string& file) {
  return {say(READY),        await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + file), emit(PRELOAD_COMPLETE),
          await(CMD_SWITCH), say(SWITCH_DONE)};
}
inline Lines start_transcript(const std::string& file) {
  return {READY,       got(CMD_PLAY), PLAYING, got(ACK_PLAYING), got(CMD_PRELOAD + file), PRELOAD_COMPLETE,
          got(ACK_PRELOAD_COMPLETE), got(CMD_SWITCH), SWITCH_DONE};
}
// What the stand-in read and wrote for an event it sent.
inline Lines event(const std::string& text, const char* ack) { return {text, got(ack)}; }
inline const Lines STOPPED_BY_MANAGER = {got(CMD_EXIT), "[STANDIN] exit 0"};

class ManagerDecisions : public ManagerRunTest {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    return {{"STANDIN_SCRIPT", dir + "/script"}, {"STANDIN_DIR", dir}};
  }

  // Files that pass the manager's own checks; the stand-in never opens them.
  Lines files(const Lines& names) {
    Lines out;
    static const char head[] = {0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0};
    for (const auto& n : names) {
      std::string path = dir + "/" + n + ".mp4";
      std::ofstream(path, std::ios::binary).write(head, sizeof head);
      out.push_back(path);
    }
    return out;
  }

  // Without the armed switch unless a test asks for it: the switch then
  // always follows "end of video!", which most tests are about.
  void run(const Lines& script, const Lines& playlist, Lines options = {}, bool arm_switches = false) {
    std::ofstream(dir + "/script") << script_of(script);
    options.insert(options.begin(), {"--player", STANDIN_PLAYER, "--max-backoff", "1"});
    if (!arm_switches) options.insert(options.begin(), "--no-switch-at-end");
    options.push_back(write_playlist(playlist));
    start(options);
  }

  // Every line of the player, as passed on, but for the stand-in's own headers.
  Lines transcript() const {
    Lines out;
    for (const auto& l : manager->lines()) {
      if (l.rfind("player: ", 0) != 0) continue;
      std::string text = l.substr(strlen("player: "));
      if (text.rfind("[STANDIN] run ", 0) != 0) out.push_back(text);
    }
    return out;
  }

  // The arguments of each start of the player, in order.
  Lines start_arguments() const {
    Lines out;
    for (const auto& l : manager->lines()) {
      size_t at = l.find(", arguments: ");
      if (l.rfind("player: [STANDIN] run ", 0) == 0 && at != std::string::npos)
        out.push_back(l.substr(at + strlen(", arguments: ")));
    }
    return out;
  }

  // Waits for the n-th line of the player equal to `text`.
  void wait_player_line(const std::string& text, int n = 1) {
    ASSERT_TRUE(manager->wait_for_count("player: " + text, n, LINE_TIMEOUT))
        << "no " << n << "th player line: " << text << "\n"
        << dump();
  }

  void wait_file(const std::string& name) {
    for (int i = 0; i < LINE_TIMEOUT * 50 && access((dir + "/" + name).c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(access((dir + "/" + name).c_str(), F_OK), 0) << dump();
  }

  // A stop request: the manager tells the player to exit, then ends with status 0.
  void stop_manager() {
    manager->kill_now(SIGTERM);
    auto status = manager->wait_exit(30);
    ASSERT_TRUE(status.has_value()) << dump();
    EXPECT_EQ(*status, 0) << dump();
  }

  // The player's exit lines: "exited with status N" or "was killed by signal N (...)".
  Lines endings() const {
    Lines out;
    for (const auto& l : own_lines("player (pid ")) {
      size_t at = l.find(") ");
      std::string rest = l.substr(at + 2);
      out.push_back(rest.substr(0, rest.find(" after ")));
    }
    return out;
  }
};
