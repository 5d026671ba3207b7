// The cycle's side of pictures: a picture is handed to the player as its
// clip, made ahead of its turn where it can be; the cycle waits for a clip
// still being made (the file on screen, or its last picture, stays), and
// passes over a picture whose clip cannot be made, as over a broken file.
#include "manager/manager.h"

double Manager::picture_seconds(int index) const {
  double given = index >= 0 && index < static_cast<int>(playlist_.size()) ? playlist_.item_seconds(index) : 0;
  return given > 0 ? given : clips_.options().seconds;
}

Manager::Media Manager::prepare_media(Slot& slot) {
  slot.media.clear();
  if (media_kind(slot.path) != MediaKind::Picture) return Media::Ready;
  PictureClips::Answer answer = clips_.want(slot.path, picture_seconds(slot.index));
  switch (answer.state) {
    case PictureClips::State::Ready:
      slot.media = answer.clip;
      clip_waited_.clear();
      clip_late_said_ = false;
      return Media::Ready;
    case PictureClips::State::Failed:
      playlist_.mark_bad(slot, answer.why);
      clip_waited_.clear();
      return Media::Failed;
    case PictureClips::State::Making:
      break;
  }
  playlist_.retry(slot);
  bool ended = run_.end.pending() || !run_.on_screen.valid();
  if (clip_waited_ != slot.path) {
    clip_waited_ = slot.path;
    clip_late_said_ = ended;
    out_.manager("making the clip of " + slot.path + "; it shows once made" +
                 (ended && run_.on_screen.valid() ? " (the last picture stays meanwhile)" : ""));
  } else if (ended && !clip_late_said_ && run_.on_screen.valid()) {
    clip_late_said_ = true;
    out_.manager("the clip of " + slot.path + " is not made in time; the last picture stays until it is");
  }
  return Media::Waiting;
}

// The entry that plays next, past those passed over now.
void Manager::make_ahead(int index) {
  int count = static_cast<int>(playlist_.size());
  for (int step = 1; step < count; ++step) {
    int next = (index + step) % count;
    if (playlist_.why_not_playable(next)) continue;
    const std::string& path = playlist_.files()[static_cast<size_t>(next)];
    if (media_kind(path) == MediaKind::Picture) clips_.ahead(path, picture_seconds(next));
    return;
  }
}

void Manager::follow_clips() {
  clips_.poll();
  if (!clips_.take_news()) return;
  api_stale_ = true;
  if (start_waits_for_clip_) {
    start_player();
  } else if (!clip_waited_.empty()) {
    advance();
  }
}
