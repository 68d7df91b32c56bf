#include "spool/replay.h"

namespace drv {

SpoolReplay::SpoolReplay(const Clock& clock, SpoolFolder& spool, ServerLinkPort* link, bool send_k8)
    : clock_(clock), spool_(spool), link_(link), send_k8_(send_k8) {}

void SpoolReplay::Step() {
  if (!send_k8_ || link_ == nullptr || !link_->ServerConnected()) return;
  {
    std::lock_guard lock(mutex_);
    if (last_send_mono_ && clock_.MonotonicMs() - *last_send_mono_ <= kResendWaitMs) return;
  }

  const std::optional<std::string> path = spool_.FindFirstSpoolFile();
  if (!path) return;
  const std::optional<SpoolFolder::SpoolFile> file = spool_.ReadSpoolFile(*path);
  if (!file) return;  // set aside or acknowledged meanwhile; the next tick goes on

  {
    // Stamped before the message is queued: an acknowledgement that overtakes the rest of
    // this step then still releases the wait for the next file.
    std::lock_guard lock(mutex_);
    replay_path_ = *path;
    last_replay_time_ = clock_.Now();
    last_send_mono_ = clock_.MonotonicMs();
  }
  // A refused message is simply tried again when the wait is over, as an unacknowledged one.
  link_->EnqueueMessage(file->type, file->payload);
}

void SpoolReplay::SpoolAcknowledged() {
  std::lock_guard lock(mutex_);
  // The acknowledgement confirms the file sent last, whichever it was. A file that cannot
  // be deleted stays and goes again when the wait is over.
  if (replay_path_.empty() || !spool_.RemoveSpoolFile(replay_path_)) return;
  ReleaseLocked();
}

void SpoolReplay::ReleaseReplayWait() {
  std::lock_guard lock(mutex_);
  ReleaseLocked();
}

void SpoolReplay::ReleaseLocked() {
  last_replay_time_ = clock_.Now() - 1.0;
  last_send_mono_.reset();
}

std::string SpoolReplay::ReplayPath() const {
  std::lock_guard lock(mutex_);
  return replay_path_;
}

DateTime SpoolReplay::LastReplayTime() const {
  std::lock_guard lock(mutex_);
  return last_replay_time_;
}

}  // namespace drv
