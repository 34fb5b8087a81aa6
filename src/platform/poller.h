// Waiting on the same few descriptors over and over, as poll() does.
#pragma once

#include <poll.h>

#include <cstddef>
#include <vector>

#include "platform/unique_fd.h"

namespace zelta {

/// A poll() for a loop that waits on the same descriptors in every cycle.
/// Where the system keeps a readiness list (epoll) the descriptors are
/// registered once and changed only when an entry changes, so a wait costs
/// the same however many descriptors it watches; a descriptor that cannot be
/// registered (a regular file, the same descriptor in two entries) turns the
/// poller into plain poll() for good, as does any other failure to register.
class Poller {
 public:
  Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  /// As ::poll(fds, count, timeout_ms): entries
  /// with a negative fd are skipped, errors and hang-ups are reported whatever
  /// `events` asks for. Entry i of one call continues entry i of the last:
  /// its descriptor must stay open while it is in the set (the same number
  /// counts as the same descriptor).
  int poll(pollfd* fds, std::size_t count, int timeout_ms);

  /// As poll(), but when an answer is due within microseconds (the echo of a
  /// keystroke just written to a terminal), first checks without sleeping for
  /// up to `spin_us`: on a machine whose idle processors halt, or under a
  /// hypervisor, a sleep and the wake-up that ends it cost more than that.
  /// Checks only where the process may run on more than one processor (on
  /// one, the spin would hold up whatever is to answer) and only when the
  /// wait would sleep (timeout_ms != 0).
  int poll_expecting(pollfd* fds, std::size_t count, int timeout_ms, int spin_us);

  /// Makes entry `entry` report only changes from now on (edge-triggered):
  /// a state that lasts, such as a hang-up, is reported once instead of in
  /// every wait, and the entry is reported again when the descriptor is woken
  /// (data arrives, say). Only while registered(); plain poll() has no such
  /// mode, so a caller that relies on it must check registered() first.
  void set_edge_triggered(std::size_t entry, bool edge) {
    if (entry >= edge_.size()) {
      if (!edge) return;
      edge_.resize(entry + 1, false);
    }
    edge_[entry] = edge;
  }

  /// Forgets what entries `first` onwards held, so that the next wait
  /// registers them anew: for an entry whose descriptor was closed, or
  /// replaced by another under the same number.
  void forget_from(std::size_t first);

  /// Closes the readiness list; later calls are plain poll().
  void reset() { list_.reset(); }

  /// True while waits go through the readiness list (tests only).
  bool registered() const { return static_cast<bool>(list_); }

 private:
  bool update(const pollfd* fds, std::size_t count);

  bool edge(std::size_t entry) const { return entry < edge_.size() && edge_[entry]; }

  UniqueFd list_;
  // Per entry: what the readiness list holds for it, and whether it reports
  // changes only. Entries beyond the vectors' ends hold nothing.
  std::vector<pollfd> registered_;
  std::vector<bool> edge_;
  std::vector<bool> registered_edge_;
};

}  // namespace zelta
