// What the parts of the switch latency benchmark share: its options, the
// clips it plays, the events it times and what it finds out about one switch.
#pragma once
#include <gst/gst.h>

#include <string>

namespace latency {

constexpr double FRAME_MS = 40.0;     // every clip is 25 fps
constexpr double END_CLIP_MS = 4000;  // make-clips.sh's colour clips
constexpr gint64 MS = 1000;           // monotonic time is in microseconds
constexpr gint64 SECOND = 1000 * MS;

// ---------------------------------------------------------------- options

struct Options {
  std::string clips_dir = BENCH_DEFAULT_CLIPS_DIR;          // 4 s clips, for the at-end case
  std::string mid_clips_dir = BENCH_DEFAULT_MID_CLIPS_DIR;  // 8 s clips, for the mid-file case
  int mid_switches = 25;
  int end_switches = 25;
  int armed_switches = 25;  // switch_at_end written with the answer to "Preload complete"
  int preload_cycles = 25;  // preload timed, then a switch at once
  int mid_clip_ms = 8000;  // the benchmark's own clips, see bench/CMakeLists.txt
  int mid_at_ms = 4000;    // after the old file's first frame: the middle of an 8 s clip
  int jitter_ms = 100;     // spread over one loop period, so sends do not lock to the loop's phase
  unsigned seed = 1;
  bool no_sound = false;
  bool window = false;   // a window of the clip's size instead of the whole screen
  bool acks = true;     // events acknowledged, as in production
  int reaction_ms = 0;  // manager's delay between reading "end of video!" and writing "switch"
  std::string log_path = "switch_latency.log";
  std::string csv_path;
  std::string trace_path;
};

// ---------------------------------------------------------------- clips and colours

struct Yuv {
  double y, u, v;
};

struct ClipColour {
  const char* file;
  const char* colour;
  Yuv yuv;
};

// The clips the run plays, and the colour each shows.
constexpr int CLIP_COUNT = 5;
extern const ClipColour CLIPS[CLIP_COUNT];

const char* colour_name(int c);

// ---------------------------------------------------------------- events

enum class Ev {
  Arrive,      // a buffer reached the video sink's pad
  Draw,        // the sink drew a new frame into its window
  FlushStart,  // at the sink pad
  FlushStop,
  Segment,
  SinkEos,
  Reported,  // "end of video!" read from the player
  Sent,      // "switch" written to the player
  Begin,     // the player started the switch command
  Flip,      // the video selector now shows the new branch
  Seek,      // the flushing seek is about to be sent
  Done,      // the switch command returned
  Rejected,  // the switch command refused or failed
  AudioEos,  // at the audio sink's pad
  AudioFlushStart,
  BusEos,      // the pipeline posted its end of stream (not yet read by the player)
  BusWarning,  // a warning or error posted by any element
  PreloadComplete,
  PreloadError,
  FatalError,
  ArmSent,      // "switch_at_end" written to the player
  Armed,        // the player armed it
  ArmRejected,  // the player refused to arm it
  AtEnd,        // the player's loop took the armed switch's message
  PreloadSent,  // "preload <path>" written to the player
  ArCheck,      // the preload's video pad is linked; its aspect-ratio check starts
  ArAnswer,     // one ffprobe answer of that check
};

struct Event {
  gint64 t;
  Ev kind;
  GstClockTime pts;
  int colour;
  std::string text;
};

// ---------------------------------------------------------------- one switch

enum class Mode { Warmup, Mid, Preload, End, Armed };

inline const char* mode_name(Mode m) {
  switch (m) {
    case Mode::Warmup:
      return "warm-up";
    case Mode::Mid:
      return "mid-file";
    case Mode::Preload:
      return "preload";
    case Mode::End:
      return "at-end";
    case Mode::Armed:
      return "armed";
  }
  return "?";
}

// Both end cases switch where the old file ends, and are measured alike.
inline bool at_end(Mode m) { return m == Mode::End || m == Mode::Armed; }

struct SwitchRecord {
  int index = 0;
  Mode mode = Mode::Mid;
  int from = 0, to = 0;
  double from_ms = 0, to_ms = 0;  // the files' durations
  gint64 sent = 0;
  bool driven_ok = true;  // the driver saw the switch go through
  bool on_time = true;    // sent when this case asks for it
  std::string note;
  // Of the preload that made this switch possible: written, its aspect-ratio
  // check started, its ffprobe answers, "Preload complete" read. Only a
  // preload taken at its first attempt counts.
  gint64 preload_sent = 0, ar_check = 0, ar_answer1 = 0, ar_answer2 = 0, preload_done = 0;
  int preload_attempts = 0;

  // Filled in by analyse().
  bool measured = false;
  gint64 last_old_arrive = 0, first_new_arrive = 0, last_old_draw = 0, first_new_draw = 0;
  GstClockTime last_old_pts = GST_CLOCK_TIME_NONE, first_new_pts = GST_CLOCK_TIME_NONE;
  GstClockTime last_old_draw_pts = GST_CLOCK_TIME_NONE;
  gint64 sink_eos = 0, bus_eos = 0, reported = 0, begin = 0, flip = 0, seek = 0, flush_start = 0, done = 0;
  gint64 armed = 0;         // armed: the player's line saying so read
  gint64 at_end_taken = 0;  // armed: the loop took the switch's message
  GstClockTime position_at_send = GST_CLOCK_TIME_NONE;  // of the old file, from its frames
  int never_drawn_old = 0;  // old frames that reached the sink but were flushed before their time
  int foreign = 0;          // frames of neither file around the switch
  int old_after_new = 0;    // old frames after the first new one
  double ahead_ms = 0;      // how far the new file's frames ran ahead of real time
  gint64 new_end_reported = 0;
};

inline double ms(gint64 us) { return us / 1000.0; }

}  // namespace latency
