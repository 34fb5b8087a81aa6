// Keystroke echo and output latency with terminals taking turns. Several
// sessions run side by side: the terminal relay (bench/baselines/pty_relay.c,
// the floor of any back end in its own process) and any number of executor
// binaries. They take turns sample by sample, the first one turning each time,
// with a think time before every key, so each session has gone idle before its
// key comes, as when a person types; a burst of load hits all alike.
//
//   echo_turns_bench echo [-n SAMPLES] [-t LO_MS,HI_MS] RELAY EXECUTOR...
//     `cat` on a terminal behind each; a sample is the time from writing "x"
//     (a "stdin.write" line, or the byte itself to the relay) to reading its
//     echo; a DEL then erases it (echoed "\b \b") so the line never grows.
//   echo_turns_bench out [-n LINES] [-r ROUNDS] TICKER RELAY EXECUTOR...
//     TICKER (bench/programs/ticker.c) prints "tick <monotonic ns>" every
//     10 ms; a sample is the time from that stamp to the read that brings it.
//     Each round runs the ticker once behind every side, in turning order.
//
// Prints one line per side: "<name> <median> <p10> <p90> <p99> <max>" in
// microseconds, the relay first, then the executors in the order given.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

std::uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "echo_turns_bench: %s\n", what);
  std::exit(1);
}

// A program with its standard input and output on pipes held by this process.
struct Peer {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  std::string buffer;  // read but not yet taken
  std::uint64_t read_at = 0;

  void start(const std::vector<std::string>& args) {
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) fail("spawn");
    posix_spawn_file_actions_destroy(&actions);
    close(to[0]);
    close(from[1]);
    in = to[1];
    out = from[0];
  }

  void send(std::string_view data) const {
    while (!data.empty()) {
      const ssize_t n = write(in, data.data(), data.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("write to a side");
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Appends what one read brings to `buffer`; false at end of output.
  bool fill() {
    char chunk[65536];
    while (true) {
      const ssize_t n = read(out, chunk, sizeof chunk);
      read_at = now_ns();
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
  }

  // The next whole line (without its line feed); false at end of output.
  bool line(std::string& text) {
    std::size_t end;
    while ((end = buffer.find('\n')) == std::string::npos) {
      if (!fill()) return false;
    }
    text.assign(buffer, 0, end);
    buffer.erase(0, end + 1);
    return true;
  }

  void stop() {
    if (in >= 0) close(in);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out);
  }
};

// The "data" text of a "stdout" event line, still escaped; empty otherwise.
std::string_view stdout_data(std::string_view line) {
  constexpr std::string_view kHead = "{\"data\":\"";
  if (line.substr(0, kHead.size()) != kHead ||
      line.find("\"type\":\"stdout\"") == std::string_view::npos) {
    return {};
  }
  line.remove_prefix(kHead.size());
  const std::size_t end = line.find("\",\"run_id\"");
  return end == std::string_view::npos ? std::string_view() : line.substr(0, end);
}

std::string run_request(const std::string& run_id, const std::vector<std::string>& argv) {
  std::string line = "{\"type\":\"run.ast\",\"run_id\":\"";
  line.append(run_id).append("\",\"ast\":{\"Command\":{\"name\":\"").append(argv[0]);
  line.append("\",\"args\":[");
  for (std::size_t i = 1; i < argv.size(); ++i) {
    line.append(i > 1 ? ",\"" : "\"").append(argv[i]).append("\"");
  }
  line.append("],\"single_quoted_args\":[");
  for (std::size_t i = 1; i < argv.size(); ++i) line.append(i > 1 ? ",false" : "false");
  line.append("],\"redirects\":[]}},\"rows\":24,\"cols\":80}\n");
  return line;
}

// One side: the relay or an executor, with a command on a terminal behind it.
struct Side {
  std::string program;
  bool relay = false;
  Peer peer;
  std::string run_id;
  std::vector<double> samples;

  void start(const std::vector<std::string>& command, int index) {
    if (relay) {
      std::vector<std::string> args{program};
      args.insert(args.end(), command.begin(), command.end());
      peer.start(args);
      return;
    }
    peer.start({program});
    run_id = "t";
    run_id.append(std::to_string(index));
    peer.send(run_request(run_id, command));
    std::string line;
    while (peer.line(line)) {
      if (line.find("\"type\":\"started\"") != std::string::npos) return;
    }
    fail("the executor ended before its run started");
  }

  // Types `raw` (JSON-escaped: `escaped`) and waits until `echo_raw` (as
  // escaped in events: `echo_escaped`) has come back; returns microseconds.
  double type(std::string_view raw, std::string_view escaped, std::string_view echo_raw,
              std::string_view echo_escaped) {
    std::string request(raw);
    if (!relay) {
      request = "{\"type\":\"stdin.write\",\"run_id\":\"";
      request.append(run_id).append("\",\"data\":\"").append(escaped).append("\"}\n");
    }
    std::string seen;
    const std::uint64_t start = now_ns();
    peer.send(request);
    if (relay) {
      while (peer.buffer.find(echo_raw) == std::string::npos) {
        if (!peer.fill()) fail("the relay ended");
      }
      peer.buffer.clear();
    } else {
      // The echo may come in more than one event.
      std::string line;
      while (seen.find(echo_escaped) == std::string::npos) {
        if (!peer.line(line)) fail("the executor ended");
        seen += stdout_data(line);
      }
    }
    return static_cast<double>(peer.read_at - start) / 1e3;
  }
};

void think(unsigned& seed, double lo_ms, double hi_ms) {
  if (hi_ms <= 0) return;
  const double ms = lo_ms + (hi_ms - lo_ms) * (rand_r(&seed) / static_cast<double>(RAND_MAX));
  const timespec pause{0, static_cast<long>(ms * 1e6)};
  nanosleep(&pause, nullptr);
}

// Appends the latency of every complete "tick <ns>" line in `text` (the
// incomplete last line stays in it), as read at `read_at`.
void take_ticks(std::string& text, std::uint64_t read_at, std::vector<double>& samples) {
  std::size_t start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    const std::size_t tick = text.find("tick ", start);
    if (tick < end) {
      const std::uint64_t stamp = std::strtoull(text.c_str() + tick + 5, nullptr, 10);
      samples.push_back(static_cast<double>(read_at - stamp) / 1e3);
    }
    start = end + 1;
  }
  text.erase(0, start);
}

// The escaped line feeds of event text, as the raw ones of the relay.
void unescape_line_feeds(std::string_view data, std::string& text) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\\' && i + 1 < data.size()) {
      const char c = data[++i];
      text += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      text += data[i];
    }
  }
}

void ticker_round(Side& side, const std::vector<std::string>& command, int index) {
  side.start(command, index);
  std::string text;
  if (side.relay) {
    while (side.peer.fill()) {
      text += side.peer.buffer;
      side.peer.buffer.clear();
      take_ticks(text, side.peer.read_at, side.samples);
    }
  } else {
    std::string line;
    while (side.peer.line(line) && line.find("\"type\":\"exit\"") == std::string::npos) {
      unescape_line_feeds(stdout_data(line), text);
      take_ticks(text, side.peer.read_at, side.samples);
    }
  }
  side.peer.stop();
  side.peer = Peer();
}

void report(std::vector<Side>& sides) {
  for (Side& side : sides) {
    std::vector<double>& v = side.samples;
    if (v.empty()) fail("no samples");
    std::sort(v.begin(), v.end());
    auto at = [&](double p) {
      return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
    };
    const double median =
        v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    std::printf("%s %.1f %.1f %.1f %.1f %.1f\n", side.relay ? "relay" : side.program.c_str(),
                median, at(0.10), at(0.90), at(0.99), v.back());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  int count = mode == "echo" ? 400 : 100;
  int rounds = 3;
  double lo_ms = 0.2, hi_ms = 2.2;
  int opt;
  optind = 2;
  while ((opt = getopt(argc, argv, "n:r:t:")) != -1) {
    if (opt == 'n') {
      count = std::atoi(optarg);
    } else if (opt == 'r') {
      rounds = std::atoi(optarg);
    } else if (opt == 't') {
      if (std::sscanf(optarg, "%lf,%lf", &lo_ms, &hi_ms) != 2) return 2;
    } else {
      return 2;
    }
  }
  std::vector<std::string> command;
  if (mode == "out") {
    if (optind >= argc) return 2;
    // Absolute, so the executor does not look it up in PATH.
    char* ticker = realpath(argv[optind++], nullptr);
    if (ticker == nullptr) fail("no such ticker");
    command = {ticker, std::to_string(count)};
    std::free(ticker);
  } else if (mode == "echo") {
    command = {"cat"};
  } else {
    return 2;
  }
  if (argc - optind < 2) return 2;
  std::vector<Side> sides(static_cast<std::size_t>(argc - optind));
  for (std::size_t k = 0; k < sides.size(); ++k) {
    sides[k].program = argv[optind + static_cast<int>(k)];
    sides[k].relay = k == 0;
  }
  const std::size_t n = sides.size();

  if (mode == "out") {
    for (int r = 0; r < rounds; ++r) {
      for (std::size_t j = 0; j < n; ++j) {
        const std::size_t k = (static_cast<std::size_t>(r) + j) % n;
        ticker_round(sides[k], command, r);
      }
    }
  } else {
    for (std::size_t k = 0; k < n; ++k) sides[k].start(command, static_cast<int>(k));
    unsigned seed = 5;
    constexpr int kWarm = 20;
    for (int i = 0; i < kWarm + count; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        Side& side = sides[(static_cast<std::size_t>(i) + j) % n];
        think(seed, lo_ms, hi_ms);
        const double us = side.type("x", "x", "x", "x");
        side.type("\x7f", "\\u007f", "\b \b", "\\b \\b");
        if (i >= kWarm) side.samples.push_back(us);
      }
    }
    for (Side& side : sides) side.peer.stop();
  }
  report(sides);
  return 0;
}
