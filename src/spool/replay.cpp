#include "spool/replay.h"

namespace drv {

SpoolReplay::SpoolReplay(const Clock& clock, SpoolFolder& spool, ServerLinkPort* link, bool send_k8)
    : clock_(clock), spool_(spool), link_(link), send_k8_(send_k8) {}

void SpoolReplay::Step() {
  if (!send_k8_ || link_ == nullptr || !link_->ServerConnected()) return;
  std::lock_guard step_lock(step_mutex_);
  {
    std::lock_guard lock(mutex_);
    if (last_send_mono_ && clock_.MonotonicMs() - *last_send_mono_ <= kResendWaitMs) return;
  }

  const std::optional<std::string> path = spool_.FindFirstSpoolFile();
  if (!path) return;
  const std::optional<SpoolFolder::SpoolFile> file = spool_.ReadSpoolFile(*path);
  if (!file) return;  // set aside or acknowledged meanwhile; the next step goes on

  std::string previous_path;
  DateTime previous_time = 0;
  std::optional<uint64_t> previous_send;
  {
    // Stamped before the message is queued: its acknowledgement may come back before this
    // step has returned, and must then find the file in flight.
    std::lock_guard lock(mutex_);
    previous_path = replay_path_;
    previous_time = last_replay_time_;
    previous_send = last_send_mono_;
    replay_path_ = *path;
    last_replay_time_ = clock_.Now();
    last_send_mono_ = clock_.MonotonicMs();
  }
  if (link_->EnqueueReplayed(file->type, file->payload, *path)) return;
  // A full queue refused it: nothing is in flight, and the next step tries again.
  std::lock_guard lock(mutex_);
  replay_path_ = previous_path;
  last_replay_time_ = previous_time;
  last_send_mono_ = previous_send;
}

void SpoolReplay::SpoolAcknowledged(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    interruptions_.erase(path);
    // A file that cannot be deleted stays and goes again when the wait is over.
    if (!spool_.RemoveSpoolFile(path)) return;
    ReleaseLocked();
  }
  Step();
}

void SpoolReplay::ReplayAnswered(const std::string& path) {
  std::lock_guard lock(mutex_);
  interruptions_.erase(path);
}

void SpoolReplay::ReplayInterrupted(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (++interruptions_[path] < kInterruptionLimit) return;
    interruptions_.erase(path);
    // Out of the way of the files behind it, but kept on disk for the operator.
    if (!spool_.SetAsideRefused(path)) return;
    if (path == replay_path_) ReleaseLocked();
  }
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
