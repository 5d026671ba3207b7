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
// On the branch's parser: the demuxer it belongs to, so that the branch
// behind a selector pad can be found from the pad.
constexpr const char* OWNER_DEMUXER = "branch-demuxer";
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
  GstElement* audio_queue = nullptr;
  GstElement* decodebin = nullptr;
  GstElement* audioconvert = nullptr;
  GstElement* audio_capsfilter = nullptr;
  GstPad* video_pad = nullptr;  // one reference
  GstPad* audio_pad = nullptr;  // one reference
};

// The branch recorded on a demuxer's object data (no pads).
BranchParts branch_of(GstElement* demuxer);
// The demuxer of the branch that feeds a selector sink pad, or nullptr
// (the start-up branch of a description carries no record).
GstElement* branch_owner(GstPad* selector_pad);

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
// From a streaming thread: the preload of this demuxer can never complete.
// The main thread drops it when it reads the message from the bus.
void post_preload_failure(GstElement* demuxer, const std::string& reason);
constexpr const char* PRELOAD_FAILED_MESSAGE = "video-player-preload-failed";
// Forgets the preload in progress: late results of its pad handlers or of
// its ratio probe are dropped. Call without holding preload_lock().
void preload_progress_abandon(PlayerState& st);
// Stops the preload's progress where it is (nothing more of it reaches the
// manager) and tells whether its aspect-ratio decision had been taken.
bool preload_progress_freeze();

// ---- Activate, stop, release ----------------------------------------------

// Takes the preload's fields out of the state (the pad references with them).
BranchParts take_preload(PlayerState& st);
// Stops every element of the branch (source side first) and removes those
// still in the pipeline. The pad references stay in `parts`.
void branch_stop_and_remove(GstElement* pipeline, const BranchParts& parts);
// Releases a request pad from its selector after unlinking it, and drops the reference.
void release_selector_pad(GstElement* selector, GstPad*& pad);
// Both selector pads of the branch.
void branch_release_pads(PlayerState& st, BranchParts& parts);
// Drops a reference held in a pad field.
void drop_pad_ref(std::atomic<GstPad*>& field);

// Flushes a selector sink pad (start, then stop) so that a streaming thread
// held inside the selector returns and the pad forgets an end of stream.
void flush_selector_pad(GstPad* pad);
