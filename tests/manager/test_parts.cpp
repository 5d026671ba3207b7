// The pieces the manager stands on: reading a playlist, telling a file the
// player cannot take, whose fault an error is, its log, a client that
// forgets old lines, and the pause before a restart.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "manager/backoff.h"
#include "manager/options.h"
#include "manager/output.h"
#include "manager/play_log.h"
#include "manager/player_errors.h"
#include "manager/player_process.h"
#include "manager/playlist.h"
#include "manager_fixture.h"

namespace {

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

using ManagerParts = TempDirTest;
using Lines = std::vector<std::string>;

}  // namespace

TEST_F(ManagerParts, DirectoryPlaylistIsItsMp4FilesInNameOrder) {
  for (const char* name : {"b.mp4", "a.MP4", "c.mkv", ".hidden.mp4", "notes.txt", "10.mp4"})
    write_file(dir + "/" + name, "x");
  mkdir((dir + "/sub.mp4").c_str(), 0755);  // a directory is not a file to play
  PlaylistLoad load = load_playlist(dir);
  EXPECT_TRUE(load.error.empty());
  EXPECT_EQ(load.files, (std::vector<std::string>{dir + "/10.mp4", dir + "/a.MP4", dir + "/b.mp4", dir + "/sub.mp4"}));
  // Listed, but the check before a preload turns it down.
  EXPECT_EQ(unplayable_reason(dir + "/sub.mp4"), std::optional<std::string>("not a regular file"));
}

TEST_F(ManagerParts, ListFileSkipsCommentsAndResolvesRelativePaths) {
  write_file(dir + "/list.txt", "# comment\n\n  first.mp4  \n/abs/second.mp4\r\n sub/third.mp4\n#last.mp4\n");
  PlaylistLoad load = load_playlist(dir + "/list.txt");
  EXPECT_TRUE(load.error.empty());
  EXPECT_EQ(load.files, (std::vector<std::string>{dir + "/first.mp4", "/abs/second.mp4", dir + "/sub/third.mp4"}));
  EXPECT_FALSE(load_playlist(dir + "/absent.txt").error.empty());
}

// Read only when it is a regular file of bounded size: anything else is an
// error, at once, and the caller keeps what it had.
TEST_F(ManagerParts, ListFileIsReadOnlyWhenRegularAndNotTooLarge) {
  const std::string big = dir + "/big.txt";
  const std::string head = "/a.mp4\n#";  // and a comment up to the size wanted
  write_file(big, head + std::string(MAX_PLAYLIST_FILE_BYTES + 1 - head.size(), 'x'));
  PlaylistLoad load = load_playlist(big);
  EXPECT_EQ(load.error, "larger than 1024 KB");
  EXPECT_TRUE(load.files.empty());
  ASSERT_EQ(truncate(big.c_str(), MAX_PLAYLIST_FILE_BYTES), 0);
  EXPECT_EQ(load_playlist(big).files, std::vector<std::string>{"/a.mp4"});
  // A FIFO with no writer would block an ordinary open for good.
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(load_playlist(dir + "/fifo").error, "not a regular file or a directory");
}

// Errors from the display or the sound output blame no file; errors from a
// file's source, demuxer, parser or decoder do. Texts as the player writes them.
TEST_F(ManagerParts, OnlyErrorsFromAFilesOwnElementsNameIt) {
  struct Case {
    const char* debug;
    bool file_part, preload_branch;
  };
  const Case cases[] = {
      {"../ext/gl/gstglimagesink.c(1131): _ensure_gl_setup (): "
       "/GstPipeline:pipeline0/GstGLImageSinkBin:videosink/GstGLImageSink:sink",
       false, false},
      {"../ext/alsa/gstalsasink.c(889): gst_alsasink_open (): /GstPipeline:pipeline0/GstAlsaSink:alsasink0:\n"
       "Playback open error on device 'default': No such file or directory",
       false, false},
      {"../gst/isomp4/qtdemux.c(509): gst_qtdemux_post_no_playable_stream_error (): "
       "/GstPipeline:pipeline0/GstQTDemux:demux0:",
       true, false},
      {"../gst/isomp4/qtdemux.c(6966): gst_qtdemux_loop (): /GstPipeline:pipeline0/GstQTDemux:preload_demux3:\n"
       "streaming stopped, reason error (-5)",
       true, true},
      {"../plugins/elements/gstfilesrc.c(557): gst_file_src_create_read (): /GstPipeline:pipeline0/GstFileSrc:filesrc0",
       true, false},
      {"../ext/libav/gstavviddec.c(2032): gst_ffmpeg_viddec_handle_frame (): "
       "/GstPipeline:pipeline0/VideoPlayerStandinH264Dec:v4l2slh264dec0/avdec_h264:avdec_h264-0",
       true, false},
      {"../gst/playback/gstdecodebin2.c(4719): gst_decode_bin_expose (): "
       "/GstPipeline:pipeline0/GstDecodeBin:preload_decodebin2",
       true, true},
      {"no element named here", false, false},
  };
  for (const auto& c : cases) {
    ErrorOrigin origin = error_origin(c.debug);
    EXPECT_EQ(origin.file_part, c.file_part) << c.debug;
    EXPECT_EQ(origin.preload_branch, c.preload_branch) << c.debug;
  }
}

// A rotation that fails (here the older generation's name is taken by a
// directory) is said once, not on every line, and the lines still go on
// into the log.
TEST_F(ManagerParts, FailedLogRotationIsReportedOnce) {
  const std::string log = dir + "/player.log";
  ASSERT_EQ(mkdir((log + ".1").c_str(), 0755), 0);
  write_file(log + ".1/keep", "x");
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  {
    Output::Options opts;
    opts.player_log = log;
    opts.player_log_max_bytes = 1000;
    Output output(opts, out);
    for (int i = 0; i < 200; ++i) output.player("line " + std::to_string(i) + " of the player, long enough to fill it");
  }
  fclose(out);
  std::string said(text, size);
  free(text);
  size_t first = said.find("[manager] cannot rotate the player log " + log + " to " + log + ".1: ");
  EXPECT_NE(first, std::string::npos) << said;
  EXPECT_EQ(said.find("[manager] cannot rotate", first + 1), std::string::npos) << said;
  std::ifstream in(log);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("line 199 of the player"), std::string::npos);
}

TEST_F(ManagerParts, OnlyFilesThatOpenLikeMp4ArePlayable) {
  EXPECT_EQ(unplayable_reason(clip("red.mp4")), std::nullopt);
  EXPECT_EQ(unplayable_reason(clip("silent_square.mp4")), std::nullopt);
  // Cut short after its header: looks playable here, the player finds out.
  EXPECT_EQ(unplayable_reason(clip("truncated.mp4")), std::nullopt);
  EXPECT_EQ(unplayable_reason(clip("text.mp4")), std::optional<std::string>("not an MP4 file"));
  EXPECT_EQ(unplayable_reason(clip("empty.mp4")), std::optional<std::string>("file is empty"));
  EXPECT_EQ(unplayable_reason(clip("clip.mkv")), std::optional<std::string>("not an MP4 file"));
  EXPECT_EQ(unplayable_reason(dir + "/none.mp4"), std::optional<std::string>("file does not exist"));
  write_file(dir + "/short.mp4", "abc");
  EXPECT_EQ(unplayable_reason(dir + "/short.mp4"), std::optional<std::string>("too short to be an MP4 file"));
}

TEST_F(ManagerParts, BoundedClientKeepsCountingLinesItDropped) {
  PlayerClient::Options opts;
  opts.binary = "/bin/sh";
  opts.args = {"-c", "seq 1 3000; seq 1 3000 >&2"};
  opts.auto_ack = false;
  opts.max_lines = 100;
  opts.max_stderr_bytes = 1000;
  PlayerClient client;
  std::mutex m;
  std::vector<std::string> errors;
  client.set_stderr_handler([&](const std::string& l) {
    std::lock_guard<std::mutex> lock(m);
    errors.push_back(l);
  });
  ASSERT_TRUE(client.start(opts));
  ASSERT_EQ(client.wait_exit(20), std::optional<int>(0));

  EXPECT_EQ(client.line_count(), 3000u);
  EXPECT_EQ(client.first_kept_line(), 2900u);
  auto kept = client.lines();
  ASSERT_EQ(kept.size(), 100u);
  EXPECT_EQ(kept.front(), "2901");
  EXPECT_EQ(kept.back(), "3000");
  // Indices stay those of the whole output.
  EXPECT_EQ(client.line(2999), "3000");
  EXPECT_EQ(client.line(5), "");
  EXPECT_EQ(client.wait_for_line("2950", 1, 0), 2949);
  EXPECT_EQ(client.wait_for_line("6", 0.1, 0), -1);
  EXPECT_EQ(client.count_exact("2999", 0), 1);
  EXPECT_EQ(client.count_substring("29", 2900), 99);
  EXPECT_TRUE(client.output_closed());

  std::string err = client.stderr_text();
  EXPECT_LE(err.size(), 1000u);
  EXPECT_EQ(err.substr(err.size() - 10), "2999\n3000\n");
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(errors.size(), 3000u);
  EXPECT_EQ(errors.front(), "1");
  EXPECT_EQ(errors.back(), "3000");
}

// Quick failures double the pause up to its cap; one good run, and only a
// good one, brings it back to the shortest.
TEST_F(ManagerParts, RestartPauseDoublesToItsCapAndIsShortAgainAfterAGoodRun) {
  RestartBackoff backoff(1, 30, 60);
  std::vector<double> pauses;
  for (double ran : {0.5, 2.0, 0.1, 59.0, 3.0, 1.0, 0.2, 60.0, 10.0}) pauses.push_back(backoff.after_run(ran));
  EXPECT_EQ(pauses, (std::vector<double>{1, 2, 4, 8, 16, 30, 30, 1, 2}));
}

// The screen options reach every player, after the location; the idle
// picture gets them alone. A value the player would not take stops the
// manager at once.
TEST_F(ManagerParts, ScreenOptionsArePassedOnToThePlayerAndCheckedFirst) {
  ParsedOptions p = parse_manager_options({"--rotate", "90", "--window", "--no-sound", "--output", "x11", "list"});
  ASSERT_EQ(p.error, "");
  PlayerProcess::Settings s;
  s.no_sound = p.config.no_sound;
  s.screen_args = p.config.screen_args;
  EXPECT_EQ(PlayerProcess::arguments(s, "/a.mp4"),
            (std::vector<std::string>{"/a.mp4", "--no_sound", "--rotate", "90", "--window", "--output", "x11"}));
  EXPECT_EQ(PlayerProcess::arguments(s, ""), (std::vector<std::string>{"--rotate", "90", "--window", "--output", "x11"}));
  EXPECT_EQ(parse_manager_options({"--rotate", "45", "list"}).error, "--rotate: not one of the values it takes: 45");
  EXPECT_EQ(parse_manager_options({"--output", "drm", "list"}).error, "--output: not one of the values it takes: drm");
}

// A list file's line may open with a time window and days; anything else is
// the path, whatever it holds.
TEST_F(ManagerParts, ScheduleOfAListLineIsTakenOffItsFront) {
  std::string line = "08:00-18:00 mon-fri  my clip.mp4";
  Schedule s = take_schedule(line);
  EXPECT_EQ(line, "my clip.mp4");
  EXPECT_EQ(s.text, "08:00-18:00 mon-fri");
  struct tm t = {};
  auto at = [&](int wday, int hour, int min) {
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = min;
    return t;
  };
  EXPECT_TRUE(s.due(at(1, 8, 0)));
  EXPECT_FALSE(s.due(at(1, 18, 0)));
  EXPECT_FALSE(s.due(at(6, 12, 0)));
  line = "22:00-06:00 fri late.mp4";  // into Saturday's small hours
  s = take_schedule(line);
  EXPECT_TRUE(s.due(at(5, 23, 0)));
  EXPECT_TRUE(s.due(at(6, 2, 0)));
  EXPECT_FALSE(s.due(at(6, 23, 0)));
  EXPECT_FALSE(s.due(at(5, 2, 0)));
  line = "sat,sun weekend.mp4";
  EXPECT_TRUE(take_schedule(line).due(at(0, 3, 0)));
  for (std::string odd : {"25:00-26:00 a.mp4", "10:00-10:00 a.mp4", "monday a.mp4", "a.mp4"}) {
    std::string path = odd;
    EXPECT_TRUE(take_schedule(path).always()) << odd;
    EXPECT_EQ(path, odd);
  }
}

// Addresses the API may listen on, and the token's comparison.
TEST_F(ManagerParts, HttpAddressesAndTokens) {
  HttpOptions o;
  EXPECT_TRUE(parse_http_address("127.0.0.1:8080", o));
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 8080);
  EXPECT_TRUE(parse_http_address("[::1]:0", o));
  EXPECT_EQ(o.host, "::1");
  EXPECT_TRUE(is_loopback("::1"));
  EXPECT_TRUE(is_loopback("127.0.0.2"));
  for (const char* other : {"0.0.0.0", "10.1.2.3", "192.168.1.20", "172.16.0.1", "::"})
    EXPECT_FALSE(is_loopback(other)) << other;
  EXPECT_EQ(parse_manager_options({"--http", "192.168.1.20:8080", "list.txt"}).error,
            "--http 192.168.1.20: an address other than loopback needs --http-token-file");
  for (const char* bad : {"localhost:80", "127.0.0.1", "127.0.0.1:65536", "127.0.0.1:8o", ":80"})
    EXPECT_FALSE(parse_http_address(bad, o)) << bad;
  EXPECT_TRUE(same_secret("a-secret-token", "a-secret-token"));
  EXPECT_FALSE(same_secret("a-secret-token", "a-secret-tokeN"));
  EXPECT_FALSE(same_secret("a-secret-token", "a-secret-token-longer"));
  EXPECT_FALSE(same_secret("", "x"));
}

// Proof of play: moved aside at its size keeping --play-log-keep older files;
// a file that cannot be written (a full device here) is said once, and its
// records wait and are written, in order, once it can be.
TEST_F(ManagerParts, PlayLogKeepsItsOlderFilesAndHoldsRecordsItCannotWriteYet) {
  Lines said;
  auto say = [&said](const std::string& text) { said.push_back(text); };
  auto text_of = [](const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  Moment start{SteadyClock::now(), std::chrono::system_clock::now(), true};
  Moment end{start.steady + std::chrono::seconds(4), start.wall + std::chrono::hours(1), false};
  const std::string log = dir + "/play.log";
  {
    PlayLog play_log({log, 1000, 3}, say);
    for (int i = 0; i < 40; ++i) play_log.record("/srv/" + std::to_string(i) + ".mp4", start, end, "end");
  }
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(std::filesystem::exists(log + ".3"));
  EXPECT_FALSE(std::filesystem::exists(log + ".4"));
  std::string newest = text_of(log);
  EXPECT_NE(newest.find("\"path\":\"/srv/39.mp4\",\"seconds\":4.0,\"start\""), std::string::npos) << newest;
  EXPECT_NE(newest.find("\"end_synced\":false"), std::string::npos) << newest;

  const std::string full = dir + "/full.log";
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  PlayLog play_log({full, 1000, 3}, say);
  play_log.record("/srv/a.mp4", start, end, "end");
  play_log.record("/srv/b.mp4", start, end, "command");
  ASSERT_EQ(said, Lines{"proof of play: cannot write " + full +
                        ": No space left on device; its records wait in memory (at most 10000) until it can be written"});
  ASSERT_EQ(unlink(full.c_str()), 0);
  play_log.record("/srv/c.mp4", start, end, "end");
  EXPECT_EQ(said.back(), "proof of play: " + full + " is written again");
  std::string written = text_of(full);
  EXPECT_LT(written.find("/srv/a.mp4"), written.find("/srv/b.mp4"));
  EXPECT_LT(written.find("/srv/b.mp4"), written.find("/srv/c.mp4"));
  EXPECT_NE(written.find("/srv/c.mp4"), std::string::npos);
}

// What proof of play has written stays. A rotation that cannot move the file
// aside (FILE.1 is a directory in the way) is said once and changes nothing;
// a write cut short after it by a file size limit takes back its own bytes
// only; the rotation tried again once the way is clear loses nothing. A file
// cut to nothing by logrotate's copytruncate is written on from its start,
// never padded, through another cut write; one moved aside is followed by a
// new file at the path.
TEST_F(ManagerParts, PlayLogNeverLosesOrCutsARecordWritten) {
  Lines said;
  auto say = [&said](const std::string& text) { said.push_back(text); };
  // The records' files, in order; every line whole JSON, no byte of padding.
  auto records = [](const std::string& path) {
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find('\0'), std::string::npos) << path;
    EXPECT_TRUE(all.empty() || all.back() == '\n') << all;
    Lines names;
    std::istringstream lines(all);
    for (std::string l; std::getline(lines, l);) {
      auto record = nlohmann::json::parse(l, nullptr, false);
      EXPECT_TRUE(record.is_object()) << l;
      names.push_back(record.is_object() ? record["path"].get<std::string>() : l);
    }
    return names;
  };
  auto names = [](int from, int to) {
    Lines out;
    for (int i = from; i < to; ++i) out.push_back("/srv/" + std::to_string(i) + ".mp4");
    return out;
  };
  auto size_of = [](const std::string& path) { return std::filesystem::file_size(path); };
  // A write with room for only part of its line, as a file size limit leaves it.
  struct SizeLimit {
    SizeLimit(uintmax_t bytes) : handler(signal(SIGXFSZ, SIG_IGN)) {
      getrlimit(RLIMIT_FSIZE, &old);
      rlimit lowered{static_cast<rlim_t>(bytes), old.rlim_max};
      EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    ~SizeLimit() {
      setrlimit(RLIMIT_FSIZE, &old);
      signal(SIGXFSZ, handler);
    }
    rlimit old{};
    sighandler_t handler;
  };
  Moment start{SteadyClock::now(), std::chrono::system_clock::now(), true};
  Moment end{start.steady + std::chrono::seconds(4), start.wall + std::chrono::seconds(4), true};
  const std::string log = dir + "/play.log";
  ASSERT_EQ(mkdir((log + ".1").c_str(), 0755), 0);
  write_file(log + ".1/keep", "x");
  PlayLog::Options options{log, 1000, 1};
  options.rotate_retry_s = 0;
  PlayLog play_log(options, say);
  int n = 0;
  for (; n < 12; ++n) play_log.record("/srv/" + std::to_string(n) + ".mp4", start, end, "end");
  EXPECT_EQ(said, Lines{"proof of play: cannot move " + log + " aside: Is a directory; it grows on"});
  EXPECT_EQ(records(log), names(0, 12));
  {
    SizeLimit limit(size_of(log) + 40);
    play_log.record("/srv/12.mp4", start, end, "end");
  }
  EXPECT_EQ(said.back(), "proof of play: cannot write " + log +
                             ": File too large; its records wait in memory (at most 10000) until it can be written");
  EXPECT_EQ(records(log), names(0, 12));
  EXPECT_EQ(play_log.waiting(), 1u);

  std::filesystem::remove_all(log + ".1");
  play_log.record("/srv/13.mp4", start, end, "end");
  EXPECT_EQ(play_log.waiting(), 0u);
  EXPECT_EQ(records(log + ".1"), names(0, 13));
  EXPECT_EQ(records(log), names(13, 14));
  EXPECT_EQ(Lines(said.end() - 2, said.end()),
            (Lines{"proof of play: " + log + " is moved aside again", "proof of play: " + log + " is written again"}));

  // logrotate's copytruncate, then a write cut short.
  for (n = 14; n < 17; ++n) play_log.record("/srv/" + std::to_string(n) + ".mp4", start, end, "end");
  std::filesystem::copy_file(log, log + ".copied");
  ASSERT_EQ(truncate(log.c_str(), 0), 0);
  play_log.record("/srv/17.mp4", start, end, "end");
  {
    SizeLimit limit(size_of(log) + 40);
    play_log.record("/srv/18.mp4", start, end, "end");
  }
  EXPECT_EQ(records(log + ".copied"), names(13, 17));
  EXPECT_EQ(records(log), names(17, 18));
  // Moved aside by someone else: the waiting record and the next go to a new file there.
  ASSERT_EQ(rename(log.c_str(), (log + ".moved").c_str()), 0);
  play_log.record("/srv/19.mp4", start, end, "end");
  EXPECT_EQ(records(log + ".moved"), names(17, 18));
  EXPECT_EQ(records(log), names(18, 20));
}

// The wall's plan survives its line protocol, names with spaces included; a
// line of anything else changes nothing, nor does a plan with times out of
// bounds; a board leads or follows, not both, and leads off loopback only
// with a token.
TEST_F(ManagerParts, WallPlanLinesAndRoles) {
  WallPlan plan;
  plan.base_time = 1796783000000000000ULL;
  plan.latency = 300000000;
  plan.current = WallItem{7, "menu board 1.mp4", 1796783004000000000ULL, 4000000000ULL};
  std::string text = wall_plan_lines(plan);
  WallPlan read;
  read.next = WallItem{1, "old.mp4", 1, 1};
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) EXPECT_TRUE(read_wall_plan_line(line, read)) << line;
  EXPECT_EQ(read.base_time, plan.base_time);
  EXPECT_EQ(read.latency, plan.latency);
  EXPECT_EQ(read.current, plan.current);
  EXPECT_FALSE(read.next) << "'item next -' clears it";
  for (const char* bad : {"wall 2 1 1", "item current x 1 1 a.mp4", "item later 1 1 1 a.mp4", "item next 1 2 3",
                          "GET / HTTP/1.1", "item current -5 1 1 a.mp4"})
    EXPECT_FALSE(read_wall_plan_line(bad, read)) << bad;
  EXPECT_EQ(read.current, plan.current);

  // A plan is followed only with its times within a day of the clock: a
  // start that wraps or lies a year ahead would cut the file on screen at
  // once or hold its last picture.
  GstClockTime now = plan.current->start;
  EXPECT_EQ(wall_plan_fault(plan, now), "");
  constexpr GstClockTime DAY = 24ULL * 3600 * GST_SECOND;
  for (WallItem next : {WallItem{8, "a.mp4", ~0ULL, 1}, WallItem{8, "a.mp4", now + 366 * DAY, 1},
                        WallItem{8, "a.mp4", now - 2 * DAY, 1}, WallItem{8, "a.mp4", now + GST_SECOND, 2 * DAY}}) {
    WallPlan bad = plan;
    bad.next = next;
    EXPECT_NE(wall_plan_fault(bad, now), "") << next.start << " " << next.duration;
  }
  WallPlan slow = plan;
  slow.latency = 60 * GST_SECOND;
  EXPECT_NE(wall_plan_fault(slow, now), "");
  EXPECT_NE(parse_manager_options({"--wall-lead", "0.0.0.0:7700", "list"}).error, "") << "off loopback without a token";
  EXPECT_EQ(parse_manager_options({"--wall-lead", "127.0.0.1:7700", "list"}).error, "");

  ParsedOptions lead = parse_manager_options(
      {"--wall-lead", "0.0.0.0:7700", "--wall-latency", "250", "--wall-token-file", "/etc/wall-token", "list"});
  EXPECT_EQ(lead.error, "");
  EXPECT_EQ(lead.config.wall.role, WallOptions::Role::Lead);
  EXPECT_EQ(lead.config.wall.latency_ms, 250);
  EXPECT_NE(parse_manager_options({"--wall-lead", ":1", "--wall-follow", "h:1", "list"}).error, "");
  EXPECT_NE(parse_manager_options({"--wall-lead", "0.0.0.0:7700", "--wall-follow", "h:1", "list"}).error, "");
  EXPECT_NE(parse_manager_options({"--wall-follow", "host:99999", "list"}).error, "");
  EXPECT_NE(parse_manager_options({"--wall-follow", "host", "list"}).error, "");
}
