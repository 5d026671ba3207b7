// One source branch: filesrc ! qtdemux, whose video goes through queue !
// h264parse into a request pad of the video selector and whose audio goes
// through queue ! decodebin ! audioconvert ! capsfilter into a request pad of
// the audio selector. Every command that builds, links, readies, activates,
// stops or releases a branch does it through the operations below, so that
// each step has one implementation and each acquisition one release.
#pragma once
#include <gst/gst.h>

#include <mutex>
#include <string>

#include "core/player_state.h"
#include "core/silent_audio.h"

// Object-data keys set on a branch's demuxer.
namespace branch_key {
constexpr const char* FILESRC = "filesrc";
constexpr const char* QUEUE = "queue";
constexpr const char* H264PARSE = "h264parse";
constexpr const char* SELECTOR = "selector";
constexpr const char* IS_PRELOAD = "is_preload";
constexpr const char* AUDIO_QUEUE = "audio_queue";
constexpr const char* DECODEBIN = "decodebin";
constexpr const char* AUDIOCONVERT = "audioconvert";
constexpr const char* AUDIO_SELECTOR = "audio_selector";
constexpr const char* PRELOAD_AUDIO_PAD = "preload_audio_pad";
constexpr const char* PRELOAD_AUDIO_CAPSFILTER = "preload_audio_capsfilter";
constexpr const char* AUDIO_CAPSFILTER = "audio_capsfilter";
// The source of silence of a file without sound, ahead of its audio queue.
constexpr const char* AUDIO_SOURCE = SILENT_SOURCE_KEY;
// On the branch's parser: the demuxer it belongs to, so that the branch
// behind a selector pad can be found from the pad.
constexpr const char* OWNER_DEMUXER = "branch-demuxer";
// On every element of a branch made here: the branch's number, so that a bus
// message can be traced to the branch that posted it.
constexpr const char* BRANCH_ID = "branch-id";
}  // namespace branch_key

constexpr guint64 BRANCH_QUEUE_MAX_TIME = 30000000000ULL;  // 30 s; buffers and bytes unbounded

struct AudioLinkContext {
  GstElement* audioconvert;
  GstElement* audio_selector;
  int is_preload;
  std::atomic<GstPad*>* audio_pad_out;
  std::atomic<GstElement*>* capsfilter_out;
  GstElement* demuxer;
};

GstElement* object_element(GstElement* demuxer, const char* key);
// Why a path can give no branch (not a regular readable file: a demuxer
// would fail on it, or a FIFO block whoever opens it), or "" when it can.
// Opened without blocking to find out.
std::string unusable_media_file(const char* path, bool empty_is_unusable = true);
// Branch elements carry names of their own: default names ("queue0",
// "decodebin0") could clash with the names a rebuilt pipeline gives its own
// elements, and a bin refuses a second child of the same name.
std::string numbered(const char* prefix, int number);
void set_queue_limits(GstElement* queue);

// ---- The elements of one branch ---------------------------------------

// Borrowed pointers to a branch's elements and, where known, owned
// references to its two selector pads.
struct BranchParts {
  GstElement* filesrc = nullptr;
  GstElement* qtdemux = nullptr;
  GstElement* queue = nullptr;
  GstElement* h264parse = nullptr;
  GstElement* audio_source = nullptr;  // silence, for a file without sound
  GstElement* audio_queue = nullptr;
  GstElement* decodebin = nullptr;
  GstElement* audioconvert = nullptr;
  GstElement* audio_capsfilter = nullptr;
  GstPad* video_pad = nullptr;  // one reference
  GstPad* audio_pad = nullptr;  // one reference
};

// The branch recorded on a demuxer's object data (no pads).
BranchParts branch_of(GstElement* demuxer);
// Numbers an element as part of branch `id` (never 0).
void tag_branch_element(GstElement* e, unsigned id);
// The number of the branch that the object or one of its parents belongs to;
// 0 for none. Safe on any thread.
unsigned branch_id_of(GstObject* object);
// The demuxer of the branch that feeds a selector sink pad, or nullptr
// (the start-up branch of a description carries no record).
GstElement* branch_owner(GstPad* selector_pad);

// Moves a branch to a position of its file: its demuxer and, for a file
// without sound, its silence. The flushes stop at the selector's inactive pads.
bool seek_branch(GstElement* demuxer, GstSeekFlags flags, GstClockTime position);

// ---- Create ------------------------------------------------------------

struct VideoPartNames {
  std::string filesrc, qtdemux, queue, h264parse;
};
// Makes filesrc, qtdemux, queue and h264parse for `path`, adds them to the
// pipeline, links source to demuxer and records the video object data.
// Returns false (and says why) when an element cannot be made or linked; the
// elements that were added stay in the pipeline, as `parts` tells.
enum class CreateResult { Ok, NotMade, NotLinked };
CreateResult branch_create_video_part(PlayerState& st, const char* path, const VideoPartNames& names,
                                      BranchParts& parts);
// Makes the audio queue, decodebin and audioconvert of a preload, kept at NULL
// until the file shows an audio stream. False when they cannot be made.
bool branch_create_audio_part(PlayerState& st, BranchParts& parts);

// ---- Link (streaming threads) --------------------------------------------

void on_pad_added(GstElement* demuxer, GstPad* pad, gpointer user_data);
void on_decodebin_pad_added(GstElement* decodebin, GstPad* pad, gpointer user_data);
void on_preload_no_more_pads(GstElement* demuxer, gpointer user_data);
GstPadProbeReturn preload_blocking_probe(GstPad* pad, GstPadProbeInfo* info, gpointer user_data);

// ---- Ready ---------------------------------------------------------------

// Starts tracking a new preload of `path`: its video and audio must be linked
// (or its audio known absent) and the aspect-ratio decision made before it is
// ready. Starts the ratio probe. Call without holding preload_lock().
void preload_progress_begin(PlayerState& st, bool expects_audio, const char* path);
// From the pad handlers, with preload_lock() held: a part of the preload is in.
void preload_note_video_linked(PlayerState& st, GstElement* demuxer, std::unique_lock<std::mutex>& lock);
void preload_note_audio(PlayerState& st, GstElement* demuxer, bool linked, std::unique_lock<std::mutex>& lock);
// From a streaming thread: the branch of this demuxer (a preload, or the
// video command's) can never show. The main thread drops it when it reads
// the message from the bus.
void post_branch_failure(GstElement* demuxer, const std::string& reason);
constexpr const char* BRANCH_FAILED_MESSAGE = "video-player-branch-failed";
// Forgets the preload in progress: late results of its pad handlers or of
// its ratio probe are dropped. Call without holding preload_lock().
void preload_progress_abandon(PlayerState& st);
// Stops the preload's progress where it is (nothing more of it reaches the
// manager) and tells whether its aspect-ratio decision had been taken.
bool preload_progress_freeze();

// ---- Activate, stop, release ----------------------------------------------

// Takes the preload's fields out of the state (the pad references with them).
BranchParts take_preload(PlayerState& st);
// Sends flush-start into the branch's selector pads and queues: a thread the
// selector holds (waiting for running time, or for the other pads' end of
// stream) or a demuxer waiting for room returns, and nothing more of the
// branch gets through.
void release_branch_threads(const BranchParts& parts);
// Releases the branch's held threads, stops every element (source side
// first, once nothing of it is held downstream) and removes those still in
// the pipeline. Never waits for the file on screen. The pad references stay
// in `parts`.
void branch_stop_and_remove(GstElement* pipeline, const BranchParts& parts);
// Releases a request pad from its selector after unlinking it, and drops the reference.
void release_selector_pad(GstElement* selector, GstPad*& pad);
// Both selector pads of the branch.
void branch_release_pads(PlayerState& st, BranchParts& parts);
// Drops a reference held in a pad field.
void drop_pad_ref(std::atomic<GstPad*>& field);

// Flushes a selector sink pad (start, then stop) so that a streaming thread
// held inside the selector returns and the pad forgets an end of stream.
// Through the active pad the flush goes on downstream.
void flush_selector_pad(GstPad* pad);

// Parks whatever the branch pushes into a selector pad (events too, flushes
// aside) until unheld; a flush lets a parked thread return.
gulong hold_selector_pad(GstPad* pad);
void unhold_selector_pad(GstPad* pad, gulong& id);
