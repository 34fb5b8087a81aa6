// The pieces of the protocol's extensions: signal names, base64, the new
// request keys and messages, the executor-wide switches and the environment.
#include "protocol/extensions.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "launch/environment.h"
#include "platform/signal_names.h"
#include "protocol/base64.h"
#include "protocol/messages.h"
#include "protocol/output.h"
#include "protocol/request_decoder.h"
#include "supervise/control.h"
#include "supervise/stdout_events.h"
#include "tree/lower.h"

namespace zelta {
namespace {

// Switches on the named extensions for one test and off again after it.
class Switched {
 public:
  explicit Switched(std::vector<std::string> names) { switch_on_extensions(names); }
  ~Switched() { reset_switches_for_testing(); }
};

TEST(SignalNames, EveryNameOfTheSystemWithOrWithoutSig) {
  struct Case {
    const char* name;
    std::optional<int> number;
  };
  const Case cases[] = {
      {"HUP", SIGHUP},
      {"SIGHUP", SIGHUP},
      {"USR1", SIGUSR1},
      {"SIGWINCH", SIGWINCH},
      {"CONT", SIGCONT},
      {"IOT", SIGABRT},
      {"RTMIN", SIGRTMIN},
      {"SIGRTMIN+2", SIGRTMIN + 2},
      {"RTMAX-1", SIGRTMAX - 1},
      {"RTMAX", SIGRTMAX},
      {"hup", std::nullopt},
      {"SIG", std::nullopt},
      {"", std::nullopt},
      {"SIGSIGHUP", std::nullopt},
      {"HUP ", std::nullopt},
      {"RTMIN+", std::nullopt},
      {"RTMIN+01", std::nullopt},
      {"RTMIN-1", std::nullopt},
      {"RTMAX+1", std::nullopt},
      {"RTMIN+99", std::nullopt},
      {"RTMIN+2x", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(signal_from_name(c.name), c.number) << c.name;
}

TEST(SignalNames, EveryNumberIsNamedAndTheNameLeadsBack) {
  EXPECT_EQ(signal_name(SIGINT), "INT");
  EXPECT_EQ(signal_name(SIGABRT), "ABRT");  // its own name, not the alias
  EXPECT_EQ(signal_name(SIGRTMIN + 1), "RTMIN+1");
  EXPECT_EQ(signal_name(SIGRTMAX - 1), "RTMAX-1");
  EXPECT_EQ(signal_name(0), "");
  EXPECT_EQ(signal_name(NSIG + 5), "");
  for (int number = 1; number < NSIG; ++number) {
    const std::string name = signal_name(number);
    if (name.empty()) continue;  // a number glibc keeps for itself
    EXPECT_EQ(signal_from_name(name), number) << name;
  }
}

TEST(SignalNames, RunSignalTakesThemOnlyOnceSwitchedOn) {
  const std::optional<std::string> absent;
  EXPECT_EQ(requested_signal(std::string("HUP")), SIGINT);
  EXPECT_EQ(requested_signal(std::string("bogus")), SIGINT);
  EXPECT_EQ(requested_signal(std::string("KILL")), SIGKILL);
  Switched on({"signals"});
  EXPECT_EQ(requested_signal(std::string("HUP")), SIGHUP);
  EXPECT_EQ(requested_signal(std::string("SIGTSTP")), SIGTSTP);
  EXPECT_EQ(requested_signal(std::string("bogus")), std::nullopt);
  EXPECT_EQ(requested_signal(absent), SIGINT);
}

TEST(Base64, EncodesAndDecodesEveryLength) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {std::string("\0\xe9\xff", 3), "AOn/"},
      {"\xfb\xff", "+/8="},
  };
  for (const auto& [bytes, text] : vectors) {
    std::string out(base64_length(bytes.size()), '?');
    EXPECT_EQ(encode_base64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            out.data()),
              text.size());
    EXPECT_EQ(out, text);
    EXPECT_EQ(decode_base64(text), bytes) << text;
  }
  // Larger than the writer's chunk, in one piece.
  std::string big;
  for (int i = 0; i < 10000; ++i) big.push_back(static_cast<char>(i * 7));
  std::string written;
  StringSink sink{written};
  write_base64(sink, big);
  EXPECT_EQ(written.size(), base64_length(big.size()));
  EXPECT_EQ(decode_base64(written), big);
}

TEST(Base64, PaddingOptionalAndAnythingElseRefused) {
  EXPECT_EQ(decode_base64("Zg"), "f");
  EXPECT_EQ(decode_base64("Zm8"), "fo");
  for (const char* bad :
       {"Z", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "====", "Zm9v\n", " Zm9v", "Zm-v", "Zm9v="}) {
    EXPECT_EQ(decode_base64(bad), std::nullopt) << bad;
  }
}

TEST(ExtensionKeys, DecodeWithTheirTypesAndRefuseOthers) {
  auto request = decode_request(
      R"({"type":"hello","extensions":["env","x"],"env_clear":true,"raw_output":false,"base64":"AA=="})");
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request->extensions, (std::vector<std::string>{"env", "x"}));
  EXPECT_EQ(request->env_clear, true);
  EXPECT_EQ(request->raw_output, false);
  EXPECT_EQ(request->base64, "AA==");
  request = decode_request(R"({"type":"a","extensions":null,"env_clear":null,"raw_output":null})");
  ASSERT_TRUE(request.ok());
  EXPECT_FALSE(request->extensions || request->env_clear || request->raw_output);
  for (const char* line :
       {R"({"type":"a","raw_output":"yes"})", R"({"type":"a","env_clear":1})",
        R"({"type":"a","extensions":[1]})", R"({"type":"a","base64":true})",
        R"({"type":"a","raw_output":true,"raw_output":true})", R"({"type":"a","rows":true})"}) {
    EXPECT_FALSE(decode_request(line).ok()) << line;
  }
}

TEST(ExtensionMessages, ExactBytes) {
  Reply hello;
  hello.extensions = {"a", "b.c"};
  hello.version = "1.2.3";
  EXPECT_EQ(encode_reply(hello), R"({"exit_code":0,"extensions":["a","b.c"],"version":"1.2.3"})");
  EXPECT_EQ(encode_event(exit_event("r", 130, "INT", false)),
            R"({"exit_code":130,"run_id":"r","signal":"INT","type":"exit"})");
  EXPECT_EQ(encode_event(exit_event("r", 139, "SEGV", true)),
            R"({"core_dumped":true,"exit_code":139,"run_id":"r","signal":"SEGV","type":"exit"})");
  EXPECT_EQ(encode_event(foreground_event("r", 42, "vim", "/tmp")),
            R"({"cwd":"/tmp","name":"vim","pid":42,"run_id":"r","type":"foreground"})");
  EXPECT_EQ(encode_event(foreground_event("r", std::nullopt, std::nullopt, std::nullopt)),
            R"({"run_id":"r","type":"foreground"})");
  EXPECT_EQ(encode_event({{"b", false}, {"a", std::string_view("t")}}), R"({"a":"t","b":false})");
}

TEST(ExtensionRegistry, SortedListAndSwitchesOnlyForExecutorWideNames) {
  EXPECT_TRUE(std::is_sorted(kExtensionNames.begin(), kExtensionNames.end()));
  EXPECT_FALSE(executor_version().empty());
  {
    Switched on({"raw_output", "pause", "unknown", "exit_signal"});
    EXPECT_TRUE(switched_on(Switch::kExitSignal));
    EXPECT_FALSE(switched_on(Switch::kSignals));
    EXPECT_FALSE(switched_on(Switch::kEnv));
  }
  EXPECT_FALSE(switched_on(Switch::kExitSignal));
}

TEST(ExtensionEnvironment, RequestWinsOnlyWhenSwitchedOn) {
  const EnvMap env = {{"TERM", "vt100"}, {"BASH_ENV", "/x"}, {"A", "1"}};
  const EnvOverrides before = compose_environment(env, "bash", LaunchMode::kTerminal);
  EXPECT_EQ(before,
            (EnvOverrides{{"TERM", "xterm-256color"}, {"BASH_ENV", "/dev/null"}, {"A", "1"}}));
  // "env_clear" is honoured, when lowered, only with the extension on.
  Request request;
  request.type = "run.ast";
  request.ast = std::make_shared<const nlohmann::json>(nlohmann::json::parse(
      R"({"Command":{"name":"true","args":[],"single_quoted_args":[],"redirects":[]}})"));
  request.env_clear = true;
  EXPECT_TRUE(lower_run_ast(request)->inherit_environment);
  Switched on({"env"});
  EXPECT_FALSE(lower_run_ast(request)->inherit_environment);
  request.env_clear = false;
  EXPECT_TRUE(lower_run_ast(request)->inherit_environment);
  EXPECT_EQ(compose_environment(env, "bash", LaunchMode::kTerminal),
            (EnvOverrides{{"TERM", "vt100"}, {"BASH_ENV", "/x"}, {"A", "1"}}));
  EXPECT_EQ(compose_environment(EnvMap{}, "zsh", LaunchMode::kTerminal),
            (EnvOverrides{{"TERM", "xterm-256color"}, {"ZDOTDIR", "/dev/null"}}));
  // A clean block holds the overrides alone, in name order.
  auto block = EnvironmentBlock::build({{"B", "2"}, {"A", "1"}}, false);
  ASSERT_TRUE(block.ok());
  EXPECT_STREQ(block->envp()[0], "A=1");
  EXPECT_STREQ(block->envp()[1], "B=2");
  EXPECT_EQ(block->envp()[2], nullptr);
  EXPECT_EQ(block->get("PATH"), nullptr);
}

TEST(RawStdoutEvents, EachReadIsOneEventOfItsExactBytes) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  set_output_fd_for_testing(fds[1]);
  {
    StdoutEvents events("r\"1", true);
    events.write("\xe9", 1);  // the start of a character is not held back
    events.write("", 0);
    events.write("\xff\n\0", 3);
    events.finish();
  }
  set_output_fd_for_testing(1);
  char buffer[512];
  const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0),
            "{\"base64\":\"6Q==\",\"run_id\":\"r\\\"1\",\"type\":\"stdout\"}\n"
            "{\"base64\":\"/woA\",\"run_id\":\"r\\\"1\",\"type\":\"stdout\"}\n");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace zelta
