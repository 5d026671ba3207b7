// The life of a source branch: made, linked, made ready, activated, stopped,
// released. The pad handlers that link it live in pad_handlers.cpp.
#include "switching/branch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "aspect/aspect_ratio.h"
#include "core/gst_holders.h"
#include "core/log.h"
#include "protocol/protocol.h"

GstElement* object_element(GstElement* demuxer, const char* key) {
  return demuxer ? static_cast<GstElement*>(g_object_get_data(G_OBJECT(demuxer), key)) : nullptr;
}

std::string unusable_media_file(const char* path, bool empty_is_unusable) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat info;
  std::string why;
  if (fstat(fd, &info) != 0) {
    why = strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    why = S_ISDIR(info.st_mode) ? "a directory" : "not a regular file";
  } else if (info.st_size == 0 && empty_is_unusable) {
    why = "empty file";
  }
  close(fd);
  return why;
}

std::string numbered(const char* prefix, int number) { return prefix + std::to_string(number); }

void set_queue_limits(GstElement* queue) {
  g_object_set(queue, "max-size-time", static_cast<guint64>(BRANCH_QUEUE_MAX_TIME), "max-size-buffers", 0u,
               "max-size-bytes", 0u, nullptr);
}

GstPadProbeReturn preload_blocking_probe(GstPad*, GstPadProbeInfo* info, gpointer) {
  return (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

namespace {

constexpr gint64 FLUSH_WAIT_US = 500000;

// Looked at this often: a released thread leaves within microseconds, and a
// switch waits here on the way to the new file's first picture.
constexpr gulong FLUSH_POLL_US = 50;

// True once no streaming thread is inside the pad (it holds the pad's
// stream lock there), waiting at most FLUSH_WAIT_US.
bool wait_until_left(GstPad* pad) {
  gint64 deadline = g_get_monotonic_time() + FLUSH_WAIT_US;
  while (!g_rec_mutex_trylock(GST_PAD_GET_STREAM_LOCK(pad))) {
    if (g_get_monotonic_time() >= deadline) return false;
    g_usleep(FLUSH_POLL_US);
  }
  GST_PAD_STREAM_UNLOCK(pad);
  return true;
}

}  // namespace

void flush_selector_pad(GstPad* pad) {
  if (!pad) return;
  gst_pad_send_event(pad, gst_event_new_flush_start());
  // A thread held in the pad leaves once it sees the flush. The flush-stop
  // must wait for that: coming first, it would find the pad no longer
  // flushing, stay held, and keep the lock the flush-stop waits for.
  if (!wait_until_left(pad)) {
    log_line("[SWITCH] ⚠️  A streaming thread did not leave a flushed selector pad - it stays flushing");
    return;
  }
  gst_pad_send_event(pad, gst_event_new_flush_stop(FALSE));
}

namespace {
// Flushes go through: they are what lets a held thread return, and a flush
// sent into the pad must never wait behind the hold itself.
GstPadProbeReturn keep_held(GstPad*, GstPadProbeInfo* info, gpointer) {
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
    if (type == GST_EVENT_FLUSH_START || type == GST_EVENT_FLUSH_STOP) return GST_PAD_PROBE_PASS;
  }
  return GST_PAD_PROBE_OK;
}
}  // namespace

gulong hold_selector_pad(GstPad* pad) {
  return pad ? gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM, keep_held, nullptr, nullptr) : 0;
}

void unhold_selector_pad(GstPad* pad, gulong& id) {
  if (pad && id) gst_pad_remove_probe(pad, id);
  id = 0;
}

void tag_branch_element(GstElement* e, unsigned id) {
  if (e) g_object_set_data(G_OBJECT(e), branch_key::BRANCH_ID, GUINT_TO_POINTER(id));
}

unsigned branch_id_of(GstObject* object) {
  GstObject* o = object ? GST_OBJECT(gst_object_ref(object)) : nullptr;
  while (o) {
    unsigned id = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(o), branch_key::BRANCH_ID));
    if (id) {
      gst_object_unref(o);
      return id;
    }
    GstObject* parent = gst_object_get_parent(o);
    gst_object_unref(o);
    o = parent;
  }
  return 0;
}

BranchParts branch_of(GstElement* demuxer) {
  BranchParts b;
  if (!demuxer) return b;
  b.qtdemux = demuxer;
  b.filesrc = object_element(demuxer, branch_key::FILESRC);
  b.queue = object_element(demuxer, branch_key::QUEUE);
  b.h264parse = object_element(demuxer, branch_key::H264PARSE);
  b.audio_source = object_element(demuxer, branch_key::AUDIO_SOURCE);
  b.audio_queue = object_element(demuxer, branch_key::AUDIO_QUEUE);
  b.decodebin = object_element(demuxer, branch_key::DECODEBIN);
  b.audioconvert = object_element(demuxer, branch_key::AUDIOCONVERT);
  b.audio_capsfilter = object_element(demuxer, branch_key::AUDIO_CAPSFILTER);
  return b;
}

bool seek_branch(GstElement* demuxer, GstSeekFlags flags, GstClockTime position) {
  if (!gst_element_seek_simple(demuxer, GST_FORMAT_TIME, flags, static_cast<gint64>(position))) return false;
  GstElement* silence = object_element(demuxer, branch_key::AUDIO_SOURCE);
  PadRef src(silence ? silent_audio_src(silence) : nullptr);
  if (!src) return true;
  return gst_pad_send_event(src.get(), gst_event_new_seek(1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
                                                          static_cast<gint64>(position), GST_SEEK_TYPE_NONE, -1));
}

GstElement* branch_owner(GstPad* selector_pad) {
  if (!selector_pad) return nullptr;
  PadRef peer(gst_pad_get_peer(selector_pad));
  if (!peer) return nullptr;
  ElementRef upstream(gst_pad_get_parent_element(peer.get()));
  return upstream ? object_element(upstream.get(), branch_key::OWNER_DEMUXER) : nullptr;
}

// ---- Create ------------------------------------------------------------

CreateResult branch_create_video_part(PlayerState& st, const char* path, const VideoPartNames& names,
                                      BranchParts& parts) {
  GstElement* filesrc = gst_element_factory_make("filesrc", names.filesrc.c_str());
  GstElement* qtdemux = gst_element_factory_make("qtdemux", names.qtdemux.c_str());
  GstElement* queue = gst_element_factory_make("queue", names.queue.c_str());
  GstElement* h264parse = gst_element_factory_make("h264parse", names.h264parse.c_str());
  if (!filesrc || !qtdemux || !queue || !h264parse) {
    for (GstElement* e : {filesrc, qtdemux, queue, h264parse})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return CreateResult::NotMade;
  }
  set_queue_limits(queue);
  g_object_set(filesrc, "location", path, nullptr);
  gst_bin_add_many(GST_BIN(st.pipeline), filesrc, qtdemux, queue, h264parse, nullptr);
  parts.filesrc = filesrc;
  parts.qtdemux = qtdemux;
  parts.queue = queue;
  parts.h264parse = h264parse;
  if (!gst_element_link(filesrc, qtdemux)) return CreateResult::NotLinked;
  GObject* d = G_OBJECT(qtdemux);
  g_object_set_data(d, branch_key::QUEUE, queue);
  g_object_set_data(d, branch_key::H264PARSE, h264parse);
  g_object_set_data(d, branch_key::SELECTOR, st.input_selector);
  g_object_set_data(d, branch_key::FILESRC, filesrc);
  g_object_set_data(G_OBJECT(h264parse), branch_key::OWNER_DEMUXER, qtdemux);
  for (GstElement* e : {filesrc, qtdemux, queue, h264parse}) tag_branch_element(e, st.element_counter);
  return CreateResult::Ok;
}

bool branch_create_audio_part(PlayerState& st, BranchParts& parts) {
  int n = st.element_counter;
  GstElement* audio_queue = gst_element_factory_make("queue", numbered("preload_audio_queue", n).c_str());
  GstElement* decodebin = gst_element_factory_make("decodebin", numbered("preload_decodebin", n).c_str());
  GstElement* audioconvert = gst_element_factory_make("audioconvert", numbered("preload_audioconvert", n).c_str());
  if (!audio_queue || !decodebin || !audioconvert) {
    for (GstElement* e : {audio_queue, decodebin, audioconvert})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return false;
  }
  set_queue_limits(audio_queue);
  for (GstElement* e : {audio_queue, decodebin, audioconvert}) tag_branch_element(e, n);
  // A decodebin prerolls asynchronously, and the pipeline would follow it out
  // of PLAYING until it has: the running file would be reported "playing"
  // anew, and that event would hold "Preload complete" back behind its answer.
  g_object_set(decodebin, "async-handling", TRUE, nullptr);
  // Kept at NULL, even when the pipeline changes state, until the file shows
  // an audio stream: a decodebin without input would never finish prerolling
  // and would hold the whole pipeline back.
  for (GstElement* e : {audio_queue, decodebin, audioconvert}) gst_element_set_locked_state(e, TRUE);
  gst_bin_add_many(GST_BIN(st.pipeline), audio_queue, decodebin, audioconvert, nullptr);
  parts.audio_queue = audio_queue;
  parts.decodebin = decodebin;
  parts.audioconvert = audioconvert;
  return true;
}

// ---- Ready ---------------------------------------------------------------

namespace {

using Audio = PreloadProgress::Audio;

// The preload's length: the longer of its streams, where its end comes.
gint64 preload_length(const PlayerState& st) {
  gint64 longest = -1;
  for (GstElement* e : {st.preload_h264parse, st.preload_audio_capsfilter.load()}) {
    PadRef src(e ? gst_element_get_static_pad(e, "src") : nullptr);
    gint64 length = -1;
    if (src && gst_pad_query_duration(src.get(), GST_FORMAT_TIME, &length) && length > longest) longest = length;
  }
  return longest;
}

// With the lock held: once video, audio and the ratio decision are all in,
// the preload is ready (or the rebuild it needs is requested). The report is
// printed without the lock; a preload abandoned meanwhile drops the outcome.
void complete_if_ready(PlayerState& st, std::unique_lock<std::mutex>& lock) {
  PreloadProgress& p = preload_progress();
  if (!p.active || p.decided || !p.video_linked || p.audio == Audio::Pending || !p.ratios_read) return;
  p.decided = true;
  unsigned generation = p.generation;
  float preload_dar = p.preload_dar, current_dar = p.current_dar;
  lock.unlock();
  ArOutcome outcome = report_aspect_ratio(current_dar, preload_dar);
  lock.lock();
  if (!p.active || p.generation != generation) {
    log_line("[PRELOAD] Preload was dropped while its aspect ratio was checked - result ignored");
    return;
  }
  st.preload_checked = 1;
  // An immediate rebuild plays the preload itself: no switch may take it first.
  if (outcome != ArOutcome::Immediate && g_preload_ready) *g_preload_ready = 1;
  if (gint64 length = preload_length(st); length > 0)
    log_line("%s%lld", protocol::PRELOAD_LENGTH, static_cast<long long>(length));
  apply_aspect_outcome(outcome, preload_dar);
}

bool is_current(const PlayerState& st, GstElement* demuxer) {
  return preload_progress().active && st.preload_qtdemux == demuxer;
}

}  // namespace

void preload_note_video_linked(PlayerState& st, GstElement* demuxer, std::unique_lock<std::mutex>& lock) {
  if (!is_current(st, demuxer)) return;
  preload_progress().video_linked = true;
  complete_if_ready(st, lock);
}

void preload_note_audio(PlayerState& st, GstElement* demuxer, bool linked, std::unique_lock<std::mutex>& lock) {
  if (!is_current(st, demuxer)) return;
  PreloadProgress& p = preload_progress();
  if (p.audio != Audio::Pending) return;
  p.audio = linked ? Audio::Linked : Audio::Absent;
  complete_if_ready(st, lock);
}

void preload_progress_begin(PlayerState& st, bool expects_audio, const char* path) {
  cancel_ratio_probe();
  unsigned generation;
  {
    std::lock_guard<std::mutex> lock(preload_lock());
    PreloadProgress& p = preload_progress();
    p = PreloadProgress{p.generation + 1};
    p.active = true;
    p.audio = expects_audio ? Audio::Pending : Audio::Absent;
    generation = p.generation;
  }
  std::string current;
  bool has_filesrc = g_filesrc != nullptr;
  if (has_filesrc) {
    GStr location;
    g_object_get(g_filesrc, "location", location.out(), nullptr);
    if (location) current = location.get();
  }
  start_ratio_probe(path ? path : "", has_filesrc, current, [generation](float preload_dar, float current_dar) {
    std::unique_lock<std::mutex> lock(preload_lock());
    PreloadProgress& p = preload_progress();
    if (!p.active || p.generation != generation) return;
    p.ratios_read = true;
    p.preload_dar = preload_dar;
    p.current_dar = current_dar;
    complete_if_ready(player_state(), lock);
  });
}

bool preload_progress_freeze() {
  bool checked;
  {
    std::lock_guard<std::mutex> lock(preload_lock());
    PreloadProgress& p = preload_progress();
    p = PreloadProgress{p.generation + 1};
    checked = player_state().preload_checked != 0;
  }
  cancel_ratio_probe();
  return checked;
}

void preload_progress_abandon(PlayerState& st) {
  preload_progress_freeze();
  std::lock_guard<std::mutex> lock(preload_lock());
  st.preload_ready = 0;
  st.preload_checked = 0;
}

// ---- Activate, stop, release ----------------------------------------------

BranchParts take_preload(PlayerState& st) {
  std::lock_guard<std::mutex> lock(preload_lock());
  BranchParts b;
  b.filesrc = std::exchange(st.preload_filesrc, nullptr);
  b.qtdemux = std::exchange(st.preload_qtdemux, nullptr);
  b.audio_source = b.qtdemux ? object_element(b.qtdemux, branch_key::AUDIO_SOURCE) : nullptr;
  b.queue = std::exchange(st.preload_queue, nullptr);
  b.h264parse = std::exchange(st.preload_h264parse, nullptr);
  b.audio_queue = std::exchange(st.preload_audio_queue, nullptr);
  b.decodebin = std::exchange(st.preload_decodebin, nullptr);
  b.audioconvert = std::exchange(st.preload_audioconvert, nullptr);
  b.audio_capsfilter = st.preload_audio_capsfilter.exchange(nullptr);
  b.video_pad = st.preload_selector_pad.exchange(nullptr);
  b.audio_pad = st.preload_audio_selector_pad.exchange(nullptr);
  st.preload_branch_id = 0;
  st.preload_ready = 0;
  st.preload_checked = 0;
  return b;
}

namespace {

// The selector pad that an element's src pad feeds (one reference), or nullptr.
GstPad* fed_selector_pad(GstElement* e) {
  if (!e) return nullptr;
  PadRef src(gst_element_get_static_pad(e, "src"));
  return src ? gst_pad_get_peer(src.get()) : nullptr;
}

void send_flush_start(GstPad* pad) {
  if (pad) gst_pad_send_event(pad, gst_event_new_flush_start());
}

}  // namespace

void release_branch_threads(const BranchParts& b) {
  PadRef video(b.video_pad ? GST_PAD(gst_object_ref(b.video_pad)) : fed_selector_pad(b.h264parse));
  PadRef audio(b.audio_pad ? GST_PAD(gst_object_ref(b.audio_pad)) : fed_selector_pad(b.audio_capsfilter));
  send_flush_start(video.get());
  send_flush_start(audio.get());
  // And a demuxer waiting for room in a full queue.
  for (GstElement* queue : {b.queue, b.audio_queue}) {
    PadRef sink(queue ? gst_element_get_static_pad(queue, "sink") : nullptr);
    send_flush_start(sink.get());
  }
}

void branch_stop_and_remove(GstElement* pipeline, const BranchParts& b) {
  release_branch_threads(b);
  // Source side first: the demuxer's thread runs the pad handlers, which may
  // still be starting this branch's elements, and stopping the demuxer waits
  // for it. No thread of the branch is held downstream any more.
  GstElement* order[] = {b.filesrc,     b.qtdemux,   b.audio_source, b.queue,           b.h264parse,
                         b.audio_queue, b.decodebin, b.audioconvert, b.audio_capsfilter};
  for (GstElement* e : order) {
    if (!e) continue;
    gst_element_set_locked_state(e, FALSE);
    gst_element_set_state(e, GST_STATE_NULL);
  }
  for (GstElement* e : order) {
    if (!e) continue;
    GstObject* parent = gst_object_get_parent(GST_OBJECT(e));
    if (parent == GST_OBJECT(pipeline)) gst_bin_remove(GST_BIN(pipeline), e);
    if (parent) gst_object_unref(parent);
  }
}

void release_selector_pad(GstElement* selector, GstPad*& pad) {
  if (!pad) return;
  if (selector) {
    PadRef peer(gst_pad_get_peer(pad));
    if (peer) gst_pad_unlink(peer.get(), pad);
    gst_element_release_request_pad(selector, pad);
  }
  gst_object_unref(pad);
  pad = nullptr;
}

void branch_release_pads(PlayerState& st, BranchParts& b) {
  release_selector_pad(st.input_selector, b.video_pad);
  release_selector_pad(st.audio_selector, b.audio_pad);
}

void drop_pad_ref(std::atomic<GstPad*>& field) {
  if (GstPad* p = field.exchange(nullptr)) gst_object_unref(p);
}

void post_branch_failure(GstElement* demuxer, const std::string& reason) {
  GstStructure* s = gst_structure_new(BRANCH_FAILED_MESSAGE, "branch", G_TYPE_UINT, branch_id_of(GST_OBJECT(demuxer)),
                                      "reason", G_TYPE_STRING, reason.c_str(), nullptr);
  gst_element_post_message(demuxer, gst_message_new_application(GST_OBJECT(demuxer), s));
}
