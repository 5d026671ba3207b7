// The player's line protocol, spelled once: the events it writes on standard
// output and their answers, the commands it reads on standard input, and the
// lines of its log that the manager, the client, the benchmarks and the tests
// follow. It includes nothing of the project, so that every part may include it.
//
// A line the player writes with arguments is given by the fixed text around
// them (a prefix, and a suffix where a reader needs one), never by its format:
// readers match with a prefix or substring test.
#pragma once

namespace protocol {

// ---- Events, each answered by its own line. The player writes an event
// again until the answer comes; three unanswered attempts end the process.
inline constexpr const char* PLAYING = "playing";
inline constexpr const char* ACK_PLAYING = "ack_playing";
inline constexpr const char* PRELOAD_COMPLETE = "Preload complete";
inline constexpr const char* ACK_PRELOAD_COMPLETE = "ack_preload_complete";
inline constexpr const char* PRELOAD_ERROR = "Preload error";
inline constexpr const char* ACK_PRELOAD_ERROR = "ack_preload_error";
inline constexpr const char* END_OF_VIDEO = "end of video!";
inline constexpr const char* ACK_END = "ack_end";
inline constexpr const char* STOPPED = "stopped";
inline constexpr const char* ACK_STOPPED = "ack_stopped";
inline constexpr const char* RESET = "reset";
inline constexpr const char* ACK_RESET = "ack_reset";
inline constexpr const char* CRASH = "crash";
inline constexpr const char* ACK_CRASH = "ack_crash";

struct EventAnswer {
  const char* event;
  const char* ack;
};
// The events that await an answer, with it.
inline constexpr EventAnswer EVENT_ANSWERS[] = {
    {END_OF_VIDEO, ACK_END},
    {PLAYING, ACK_PLAYING},
    {PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE},
    {PRELOAD_ERROR, ACK_PRELOAD_ERROR},
    {STOPPED, ACK_STOPPED},
    {RESET, ACK_RESET},
    {CRASH, ACK_CRASH},
};

// Written once at start-up, before delivery runs: never repeated, and an
// answer to it changes nothing.
inline constexpr const char* READY = "ready";
inline constexpr const char* ACK_READY = "ack_ready";
// Every answer starts so; a line that does is never taken as a command.
inline constexpr const char* ACK_PREFIX = "ack_";

// ---- Commands, one a line. "switch_at_end" is tested before "switch",
// which is its prefix; "preload " and "video " are followed by a path.
inline constexpr const char* CMD_PLAY = "play";
inline constexpr const char* CMD_PAUSE = "pause";
inline constexpr const char* CMD_STOP = "stop";
inline constexpr const char* CMD_RESTART = "restart";
inline constexpr const char* CMD_TEMPO = "tempo";
inline constexpr const char* CMD_STATUS = "status";
inline constexpr const char* CMD_EXIT = "exit";
inline constexpr const char* CMD_SWITCH_AT_END = "switch_at_end";
// "switch_at <clock time ns> [<position ns>]": the preload's position shows
// at that time of the pipeline's clock (the wall's shared clock).
inline constexpr const char* CMD_SWITCH_AT = "switch_at ";
inline constexpr const char* CMD_SWITCH = "switch";
inline constexpr const char* CMD_PRELOAD = "preload ";
inline constexpr const char* CMD_VIDEO = "video ";
// An addition: drops the preload, ready or not, with any switch armed for it
// (the file on screen plays on), so that another file can be preloaded.
inline constexpr const char* CMD_DROP_PRELOAD = "drop_preload";
// An addition: "snapshot <path>" writes the video sink's last frame as a PNG
// file, answered by "<written><path> (<w>x<h>)" or "<failed><path>: <why>".
inline constexpr const char* CMD_SNAPSHOT = "snapshot ";
inline constexpr const char* SNAPSHOT_WRITTEN = "[SNAPSHOT] Written ";
inline constexpr const char* SNAPSHOT_FAILED = "[SNAPSHOT] FAILED ";
// "<prefix><path>", or the line when there was none.
// An addition: "audio <volume 0..1> <mute 0|1>" sets the sound's level at
// once (a short ramp, no click), answered by "<level><volume>, muted|on".
inline constexpr const char* CMD_AUDIO = "audio ";
inline constexpr const char* AUDIO_LEVEL = "[AUDIO] Level: volume ";
inline constexpr const char* AUDIO_REFUSED = "[AUDIO] REJECTED - ";
// An addition: "screen off" puts the screen to sleep (the display's power
// saving where the player can reach it, black drawn in any case), "screen
// on" wakes it; the pipeline's pause is the manager's, with "pause". Each
// answered by "<asleep> - ..." or "<awake>...", and the first sleep on a
// display that cannot sleep also by "<cannot sleep><why>) - ...".
inline constexpr const char* CMD_SCREEN = "screen ";
inline constexpr const char* SCREEN_ASLEEP = "[SCREEN] Asleep";
inline constexpr const char* SCREEN_AWAKE = "[SCREEN] Awake";
inline constexpr const char* SCREEN_CANNOT_SLEEP = "[SCREEN] The display cannot be put to sleep (";
inline constexpr const char* SCREEN_REFUSED = "[SCREEN] REJECTED - ";
inline constexpr const char* PRELOAD_DROPPED = "[PRELOAD] Dropped ";
inline constexpr const char* PRELOAD_NONE_TO_DROP = "[PRELOAD] No preload to drop";

// ---- The player's screen options, which a manager passes on: "--rotate"
// takes one of ROTATIONS (clockwise; the index is the GL sink's
// rotate-method), "--output" one of OUTPUTS.
inline constexpr const char* ROTATIONS[] = {"0", "90", "180", "270", "horizontal-flip", "vertical-flip"};
inline constexpr const char* OUTPUTS[] = {"auto", "x11", "wayland", "kms"};

// ---- Start-up and the main loop.
// The last line of start-up: both threads run.
inline constexpr const char* STARTED = "[HEARTBEAT] Independent thread started - monitoring every 3s";
// A command taken from standard input, then done: "<prefix><command>" and
// "<prefix><command> (iteration <n>)".
inline constexpr const char* COMMAND_TAKEN = "[STDIN] Processing command: ";
inline constexpr const char* COMMAND_DONE = "[HEARTBEAT] Command processed: ";
inline constexpr const char* COMMAND_DONE_ITERATION = " (iteration ";
// "<prefix><n>)": the loop is about to read standard input.
inline constexpr const char* INPUT_POLL = "[HEARTBEAT] About to read stdin (iteration ";
// The heartbeat's reports: the loop moves, and the pipeline's state.
inline constexpr const char* LOOP_ALIVE = "[HEARTBEAT] ✅ Main loop ALIVE | Iterations: ";
inline constexpr const char* PIPELINE_STATE = "[HEARTBEAT]   └─ Pipeline: state=";
// The answer to "status": "Status: <state> | Playing: <path> | Preload: <path> | Time: <s>".
inline constexpr const char* STATUS = "Status: ";
inline constexpr const char* STATUS_PLAYING = " | Playing: ";
inline constexpr const char* STATUS_PRELOAD = " | Preload: ";
// An end of stream that has no source to end: nothing is reported.
inline constexpr const char* EOS_NO_SOURCE = "[EOS] IGNORED - no active source (NULL)";

// ---- Delivery of events: an answer taken in, "<prefix><ack><end> in <n> ms";
// the event goes out again, "<prefix><ack><end><n>/<m>)"; no answer after
// the last attempt, "<prefix><ack>' after <m> retries - TERMINATING!".
inline constexpr const char* ACK_TAKEN = "[ACK TIMING] ✅ ACK '";
inline constexpr const char* ACK_TAKEN_END = "' received";
inline constexpr const char* ACK_RETRY = "[ACK RETRY] No ACK for '";
inline constexpr const char* ACK_RETRY_END = "' (attempt ";
inline constexpr const char* ACK_GAVE_UP = "[ACK ERROR] ❌ Failed to receive ACK '";

// ---- Errors of the pipeline: "<prefix><message>", then "<prefix><details>",
// which name the element.
inline constexpr const char* BUS_ERROR = "[stderr] Erro: ";
inline constexpr const char* BUS_ERROR_DEBUG = "[stderr] Debug info: ";

// The H.264 decoder the player chose at start: "[DECODER] H.264 decoder:
// ELEMENT (hardware, stateless|hardware, stateful|hardware|software, N threads)",
// with ", forced with --decoder" inside the brackets when the option chose it.
inline constexpr const char* DECODER_CHOSEN = "[DECODER] H.264 decoder: ";

// ---- Preload. "<prefix><path>", then "Preload error".
inline constexpr const char* PRELOAD_MISSING = "ERROR: Preload file does not exist: ";
// A preload that will never complete: "<prefix><path>: <reason>", then "Preload error".
inline constexpr const char* PRELOAD_FAILED = "[PRELOAD] FAILED ";
// Before "Preload complete": "<prefix><ns>", the preload's length (its longer stream).
inline constexpr const char* PRELOAD_LENGTH = "[PRELOAD] Length in ns: ";
// The new branch's video and audio pads are linked: "<prefix>: ID=...".
inline constexpr const char* VIDEO_PAD_LINKED = "[PROBE LEAK CHECK] Video probe ADDED";
inline constexpr const char* AUDIO_PAD_LINKED = "[PROBE LEAK CHECK] Audio probe ADDED";

// ---- Video command. A file that cannot be shown: "<prefix><path>: <reason>";
// the file on screen plays on.
inline constexpr const char* VIDEO_FAILED = "[VIDEO] FAILED ";

// ---- The picture-shape check of a preload.
inline constexpr const char* RATIO_PROBE_START = "[AR DEBUG] Usando ffprobe para ler DAR do preload...";
// Every line of the probe's outcome starts so.
inline constexpr const char* RATIO_PROBE_OUTCOME = "[AR FFPROBE] ";
// "<prefix><path>": the shape of the file on screen is probed too.
inline constexpr const char* RATIO_CURRENT = "[AR DEBUG] Vídeo atual: ";
// The title of the box that reports the decision, and the decisions.
inline constexpr const char* RATIO_REPORT = "║                    📐 AR STATUS CHECK";
inline constexpr const char* RATIO_SAME = "║  ✅ DAR CORRECTO! Switch normal sem restart.           ║";
inline constexpr const char* REBUILD_NOW_FIRST = "║  🔄 RESTART IMEDIATO (arranque - primeiro vídeo)!       ║";
inline constexpr const char* REBUILD_SCHEDULED = "║  🔄 RESTART AGENDADO (mudança AR a meio do fluxo)!      ║";

// ---- Rebuild of the pipeline.
inline constexpr const char* REBUILD_AT_END = "[AR] 📅 Scheduling restart for after video ends...";
inline constexpr const char* REBUILD_AT_EOS = "[EOS DETECTED] Video ended - executing scheduled restart...";
// "<prefix><path>": with no preload, the file on screen plays again.
inline constexpr const char* REBUILD_REPLAY = "[RESTART] 🔁 No preload - will replay: ";

// ---- Switch.
inline constexpr const char* SWITCH_RECEIVED = "[SWITCH] Command received";
inline constexpr const char* SWITCH_FLIPPED = "[SWITCH] Video switch executed";
inline constexpr const char* SWITCH_SEEK = "[SWITCH] Executing seek to start new video...";
inline constexpr const char* SWITCH_DONE = "[SWITCH] Command completed successfully!";
// A switch that a rebuild has already made.
inline constexpr const char* SWITCH_IGNORED = "[SWITCH] 🔇 Ignoring switch after reset (already handled internally)";
// Refusals: every one starts with one of these two.
inline constexpr const char* SWITCH_REJECTED = "[SWITCH] REJECTED";
inline constexpr const char* SWITCH_ERROR = "[SWITCH] ERROR";
inline constexpr const char* SWITCH_REJECTED_CLEANUP = "[SWITCH] REJECTED - cleanup in progress";
inline constexpr const char* SWITCH_ERROR_NO_PAD = "[SWITCH] ERROR - preload_selector_pad is NULL";
inline constexpr const char* SWITCH_ERROR_NOT_READY = "[SWITCH] ERROR - preload_ready is FALSE";

// ---- The switch armed for the end of the file: taken, refused (a switch's
// own refusals come first), forgotten, and happening as the file ends.
inline constexpr const char* ARMED = "[SWITCH AT END] Armed - the switch happens when the current video ends";
inline constexpr const char* ARM_REJECTED = "[SWITCH AT END] REJECTED";
inline constexpr const char* DISARMED = "[SWITCH AT END] Disarmed";
inline constexpr const char* ARMED_SWITCH_TAKEN = "[SWITCH AT END] Current video ended - switching";
// The switch placed on the clock: "<prefix><clock time> (running time <ns>, in <s> s)".
inline constexpr const char* SWITCH_AT_ARMED = "[SWITCH AT] Armed - the new file shows at clock time ";
inline constexpr const char* SWITCH_AT_REJECTED = "[SWITCH AT] REJECTED";
// "<prefix><clock time>": the placed time has come; the old file was cut
// there unless "end of video!" came just before.
inline constexpr const char* SWITCH_AT_TAKEN = "[SWITCH AT] Time reached - switching at clock time ";

// ---- Release of the old branch, two seconds after a switch.
inline constexpr const char* CLEANUP_TAG = "[CLEANUP] ";
inline constexpr const char* CLEANUP_START = "[CLEANUP] Starting SAFE async cleanup (2s after switch)...";
inline constexpr const char* CLEANUP_CLEAN = "[CLEANUP] ✅✅✅  All elements removed successfully (NO LEAKS)";
// Every failure to release starts so; "<prefix><count> elements ..." ends a
// clean-up that left elements behind.
inline constexpr const char* CLEANUP_ERROR_TAG = "[CLEANUP ERROR]";
inline constexpr const char* CLEANUP_LEAKED = "[CLEANUP ERROR] ⚠️⚠️⚠️  MEMORY LEAK WARNING: ";
// Ends the line of a buffer-dropping probe that a switch failed to remove.
inline constexpr const char* PROBE_LEAKED = "LEAK DETECTED";

// ---- Where the picture goes. "<prefix>0x<id> covers the screen (...)": the
// player's own X11 window, kept for its whole life; "<prefix>0x<id>": a new
// pipeline was given it.
inline constexpr const char* SCREEN_WINDOW = "[DISPLAY] X11: window ";
inline constexpr const char* SCREEN_DRAWS_INTO = "[DISPLAY] The pipeline draws into window ";
inline constexpr const char* SCREEN_WAYLAND = "[DISPLAY] Wayland: ";
inline constexpr const char* SCREEN_KMS = "[DISPLAY] No display server: ";
// The display could not be reached, was lost or stopped taking frames.
inline constexpr const char* SCREEN_ERROR = "[DISPLAY] ERROR: ";

}  // namespace protocol
