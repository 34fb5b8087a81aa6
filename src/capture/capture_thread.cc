#include "capture/capture_thread.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>

#include "protocol/system_error.h"

namespace zelta {
namespace {

std::atomic<int> g_starts_before_failure{-1};

}  // namespace

struct CaptureThread::Shared {
  UniqueFd fd;
  CaptureBuffer result;
  std::mutex mutex;
  std::condition_variable finished_changed;
  bool finished = false;           // guarded by `mutex`
  std::shared_ptr<UniqueFd> wake;  // guarded by `mutex`
};

CaptureBuffer capture_to_end(UniqueFd fd) {
  CaptureBuffer buffer(/*escape_full_blocks=*/true);
  char discard[16 * 1024];
  while (true) {
    char* destination = discard;
    std::size_t room = sizeof discard;
    if (buffer.holding()) {
      char* free_room = nullptr;
      try {
        free_room = buffer.room();
      } catch (const std::bad_alloc&) {
      }
      if (free_room != nullptr) {
        destination = free_room;
        room = buffer.room_size();
      } else {
        buffer.stop_holding();  // no memory for more: keep what is held
      }
    }
    const ssize_t n = ::read(fd.get(), destination, room);
    if (n > 0) {
      if (destination != discard) {
        buffer.commit(static_cast<std::size_t>(n));
      } else {
        buffer.discard(static_cast<std::size_t>(n));
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  buffer.finish();
  return buffer;
}

CaptureThread& CaptureThread::operator=(CaptureThread&& other) noexcept {
  if (this != &other) {
    if (thread_.joinable()) thread_.detach();
    shared_ = std::move(other.shared_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

CaptureThread::~CaptureThread() {
  // The thread shares ownership of its state, so it can finish alone.
  if (thread_.joinable()) thread_.detach();
}

bool CaptureThread::wait_for(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->finished_changed.wait_for(lock, timeout, [&] { return shared_->finished; });
}

void CaptureThread::wake_on_finish(std::shared_ptr<UniqueFd> wake) {
  if (!wake) return;
  if (!thread_.joinable()) {
    (void)!::write(wake->get(), "", 1);
    return;
  }
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->finished) {
    (void)!::write(wake->get(), "", 1);
  } else {
    shared_->wake = std::move(wake);
  }
}

CaptureBuffer CaptureThread::join() {
  if (!thread_.joinable()) return CaptureBuffer();
  thread_.join();
  CaptureBuffer result = std::move(shared_->result);
  shared_.reset();
  return result;
}

Result<CaptureThread> start_capture(UniqueFd fd) {
  CaptureThread capture;
  capture.shared_ = std::make_shared<CaptureThread::Shared>();
  capture.shared_->fd = std::move(fd);
  try {
    int budget = g_starts_before_failure.load();
    while (budget >= 0 && !g_starts_before_failure.compare_exchange_weak(budget, budget - 1)) {
    }
    if (budget == 0) throw std::system_error(EAGAIN, std::generic_category());
    capture.thread_ = std::thread([shared = capture.shared_] {
      try {
        shared->result = capture_to_end(std::move(shared->fd));
      } catch (...) {
        // An abnormal end counts as an empty stream.
        shared->result = CaptureBuffer();
      }
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->finished = true;
      if (shared->wake) (void)!::write(shared->wake->get(), "", 1);
      shared->finished_changed.notify_all();
    });
  } catch (const std::system_error& error) {
    return fail(system_error_text(error.code().value()));
  }
  return capture;
}

void fail_capture_starts_after_for_testing(int starts) { g_starts_before_failure.store(starts); }

}  // namespace zelta
