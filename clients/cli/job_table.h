// The background runs of an interactive session, numbered as a shell numbers its jobs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "clients/cli/event_router.h"

namespace zelta::client {

/// One run started with a trailing '&'.
struct Job {
  int number = 0;
  std::string run_id;
  /// The command line as typed, without the '&'.
  std::string command_line;
  /// It runs on a terminal of its own (and is given end of file once it has started).
  bool terminal_run = false;
  bool ended = false;
  int exit_code = 0;
  /// The executor's refusal, shown with the notice of its end.
  std::string error;
  /// What the run wrote, kept rather than shown: its last kKeptOutput bytes.
  std::string output;
};

/// Background runs from their start until their end has been reported. A new job
/// takes the number after the highest one in the table (1 when it is empty); the
/// latest job is marked '+', the one before it '-'.
class JobTable {
 public:
  static constexpr std::size_t kKeptOutput = 1 << 20;

  /// Adds a live run and returns its job number.
  int add(std::string run_id, std::string command_line, bool terminal_run);

  /// Records an event or a refusal of one of the table's runs. True when it is the
  /// "started" of a terminal run, which then wants end of file typed.
  bool record(const RoutedLine& line);

  /// True when `run_id` is one of the table's runs.
  bool owns(const std::string& run_id) const;
  /// Runs that have not ended.
  std::size_t live() const;
  std::vector<std::string> live_run_ids() const;

  /// Ends every live run with `exit_code` (their executor is gone).
  void end_all(int exit_code);

  /// For each run that has ended, in job order, its refusal (as an error line) and
  /// "[N]+ Done  <command line>" or "[N]+ Exit <code>  <command line>"; those jobs
  /// leave the table.
  std::string take_notices();

  /// What `jobs` prints: "[N]+ Running  <command line>" for each live run.
  std::string listing() const;

 private:
  Job* find(const std::string& run_id);
  char mark(const Job& job) const;
  std::string line_of(const Job& job) const;

  std::vector<Job> jobs_;
};

}  // namespace zelta::client
