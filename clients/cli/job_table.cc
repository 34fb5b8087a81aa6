// Job numbers, marks and the shell-like lines that report background runs.
#include "clients/cli/job_table.h"

#include <algorithm>
#include <utility>

namespace zelta::client {

int JobTable::add(std::string run_id, std::string command_line, bool terminal_run) {
  const int number = jobs_.empty() ? 1 : jobs_.back().number + 1;
  Job job;
  job.number = number;
  job.run_id = std::move(run_id);
  job.command_line = std::move(command_line);
  job.terminal_run = terminal_run;
  jobs_.push_back(std::move(job));
  return number;
}

Job* JobTable::find(const std::string& run_id) {
  for (Job& job : jobs_) {
    if (job.run_id == run_id) return &job;
  }
  return nullptr;
}

bool JobTable::owns(const std::string& run_id) const {
  return std::any_of(jobs_.begin(), jobs_.end(),
                     [&](const Job& job) { return job.run_id == run_id; });
}

bool JobTable::record(const RoutedLine& line) {
  Job* job = find(line.run_id);
  if (job == nullptr || job->ended) return false;
  if (line.kind == RoutedLine::Kind::kRefusal) {
    job->ended = true;
    job->exit_code = exit_code_field(line.message);
    job->error = text_field(line.message, "error");
    return false;
  }
  if (line.kind != RoutedLine::Kind::kEvent) return false;
  const std::string& type = text_field(line.message, "type");
  if (type == "started") return job->terminal_run;
  if (type == "stdout" || type == "stderr") {
    job->output += text_field(line.message, "data");
    if (job->output.size() > kKeptOutput) {
      job->output.erase(0, job->output.size() - kKeptOutput);
    }
  } else if (type == "exit") {
    job->ended = true;
    job->exit_code = exit_code_field(line.message);
  }
  return false;
}

std::size_t JobTable::live() const {
  return static_cast<std::size_t>(
      std::count_if(jobs_.begin(), jobs_.end(), [](const Job& job) { return !job.ended; }));
}

std::vector<std::string> JobTable::live_run_ids() const {
  std::vector<std::string> ids;
  for (const Job& job : jobs_) {
    if (!job.ended) ids.push_back(job.run_id);
  }
  return ids;
}

void JobTable::end_all(int exit_code) {
  for (Job& job : jobs_) {
    if (job.ended) continue;
    job.ended = true;
    job.exit_code = exit_code;
  }
}

char JobTable::mark(const Job& job) const {
  // Numbers only grow along the table, so the last two entries are the latest jobs.
  if (&job == &jobs_.back()) return '+';
  if (jobs_.size() > 1 && &job == &jobs_[jobs_.size() - 2]) return '-';
  return ' ';
}

std::string JobTable::line_of(const Job& job) const {
  const std::string state = !job.ended           ? "Running"
                            : job.exit_code == 0 ? "Done"
                                                 : "Exit " + std::to_string(job.exit_code);
  return "[" + std::to_string(job.number) + "]" + mark(job) + " " + state + "  " +
         job.command_line + "\n";
}

std::string JobTable::take_notices() {
  std::string text;
  for (const Job& job : jobs_) {
    if (!job.ended) continue;
    if (!job.error.empty()) text += "stdio_client: " + job.error + "\n";
    text += line_of(job);
  }
  std::erase_if(jobs_, [](const Job& job) { return job.ended; });
  return text;
}

std::string JobTable::listing() const {
  std::string text;
  for (const Job& job : jobs_) {
    if (!job.ended) text += line_of(job);
  }
  return text;
}

}  // namespace zelta::client
