// Capture threads: one per pipe read end, reading it to end of file.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "capture/capture_buffer.h"
#include "platform/unique_fd.h"
#include "protocol/result.h"

namespace zelta {

/// Reads `fd` until end of file (a read interrupted by a signal is repeated;
/// any other read error ends the stream with what was read), then closes it.
/// The result holds the stream as text (ill-formed UTF-8 repaired), its
/// blocks escaped as they fill. When no memory is left for more, the stream
/// is cut: what is held is kept, and the rest is still read to its end (and
/// counted) so its writer is never stopped by a closed pipe.
CaptureBuffer capture_to_end(UniqueFd fd);

/// Handle of a thread running capture_to_end on a descriptor it owns. The
/// bytes reach the owner only through join(). A handle dropped while its
/// thread runs lets the thread finish on its own and discards its result.
class CaptureThread {
 public:
  CaptureThread() = default;
  CaptureThread(CaptureThread&&) noexcept = default;
  CaptureThread& operator=(CaptureThread&& other) noexcept;
  ~CaptureThread();

  /// True while a thread is attached (started and not yet joined).
  bool joinable() const { return thread_.joinable(); }
  /// Waits for the thread and takes its result; an empty buffer when no
  /// thread is attached or the thread ended abnormally.
  CaptureBuffer join();
  /// Waits at most `timeout` for the thread to finish; true when it has (or
  /// none is attached), so that join() returns at once.
  bool wait_for(std::chrono::milliseconds timeout);

  /// Writes a byte to `*wake` once the thread has finished (at once when it
  /// already has, or when none is attached). The thread keeps `wake` open
  /// for as long as it may still write to it.
  void wake_on_finish(std::shared_ptr<UniqueFd> wake);

 private:
  struct Shared;
  friend Result<CaptureThread> start_capture(UniqueFd fd);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

/// Starts a CaptureThread that owns `fd`. Fails with the system error text
/// when no thread can be created; `fd` is closed then.
Result<CaptureThread> start_capture(UniqueFd fd);

/// Makes one start_capture fail, as if the system had no room for another
/// thread, after `starts` more captures have started; later starts succeed
/// again. A negative value turns this off (tests only).
void fail_capture_starts_after_for_testing(int starts);

}  // namespace zelta
