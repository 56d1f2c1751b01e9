#include "core/sandbox.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.hpp"

namespace norviai::core {
namespace {

using std::chrono::milliseconds;

SandboxRequest shell(const std::string& script, milliseconds wall_time = milliseconds(10'000)) {
  SandboxRequest request;
  request.argv = {"/bin/sh", "-c", script};
  request.environment = {"PATH=/usr/bin:/bin"};
  request.limits.wall_time = wall_time;
  return request;
}

// The same script run through the isolating launcher, with `options` before the program.
SandboxRequest isolated(const std::string& script, std::vector<std::string> options = {},
                        milliseconds wall_time = milliseconds(10'000)) {
  SandboxRequest request = shell(script, wall_time);
  options.insert(options.begin(), NORVIAI_LAUNCHER_PATH);
  options.push_back("--");
  request.argv.insert(request.argv.begin(), options.begin(), options.end());
  return request;
}

// The test binary starts no children of its own, so any left here is the launcher's zombie.
void expect_no_child_left() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(SandboxTest, ExitCodesAndStreams) {
  struct Case {
    std::string script;
    int exit_code;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"exit 0", 0, "", ""},
      {"exit 3", 3, "", ""},
      {"exit 255", 255, "", ""},
      {"printf 'out\\n'; printf 'err' >&2; exit 7", 7, "out\n", "err"},
      {"echo a; echo b >&2; echo c", 0, "a\nc\n", "b\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const SandboxResult result = run_sandboxed(shell(c.script));
    EXPECT_EQ(result.outcome, SandboxOutcome::kExited);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.standard_output, c.out);
    EXPECT_EQ(result.standard_error, c.err);
  }
  expect_no_child_left();
}

TEST(SandboxTest, LargeStreamsFlowBothWaysWithoutDeadlock) {
  std::string payload(3 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);

  SandboxRequest echo_back;
  echo_back.argv = {"/bin/cat"};
  echo_back.standard_input = payload;
  const SandboxResult cat = run_sandboxed(echo_back);
  EXPECT_EQ(cat.outcome, SandboxOutcome::kExited);
  EXPECT_TRUE(cat.standard_output == payload) << "got " << cat.standard_output.size() << " bytes";

  // Both output pipes full at once while input is still pending.
  SandboxRequest both = echo_back;
  both.argv = {"/usr/bin/tee", "/dev/stderr"};
  const SandboxResult tee = run_sandboxed(both);
  EXPECT_EQ(tee.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(tee.exit_code, 0);
  EXPECT_TRUE(tee.standard_output == payload);
  EXPECT_TRUE(tee.standard_error == payload);

  // A program that never reads its input must not stall or kill the launcher with SIGPIPE.
  SandboxRequest ignores_input = shell("exec 0<&-; echo done");
  ignores_input.standard_input = payload;
  const SandboxResult ignored = run_sandboxed(ignores_input);
  EXPECT_EQ(ignored.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(ignored.standard_output, "done\n");
}

TEST(SandboxTest, CaptureStopsAtTheLimitWhileTheProgramRunsOn) {
  SandboxRequest request = shell("head -c 10000000 /dev/zero; echo tail >&2");
  const SandboxResult result = run_sandboxed(request);
  EXPECT_EQ(result.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.standard_output.size(), kSandboxCaptureLimit);
  EXPECT_EQ(result.standard_error, "tail\n");
}

TEST(SandboxTest, EnvironmentIsExactlyTheGivenOne) {
  ASSERT_EQ(::setenv("NORVIAI_SANDBOX_SECRET", "leak", 1), 0);
  SandboxRequest request;
  request.argv = {"/usr/bin/env"};
  request.environment = {"A=1", "B=two words", "EMPTY="};
  EXPECT_EQ(run_sandboxed(request).standard_output, "A=1\nB=two words\nEMPTY=\n");

  request.environment.clear();
  const SandboxResult empty = run_sandboxed(request);
  EXPECT_EQ(empty.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(empty.standard_output, "");
  ::unsetenv("NORVIAI_SANDBOX_SECRET");
}

TEST(SandboxTest, WorkingDirectoryIsHonoured) {
  char pattern[] = "/tmp/norviai-sandbox-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path folder = std::filesystem::canonical(pattern);

  SandboxRequest request;
  request.argv = {"/bin/pwd", "-P"};
  request.working_directory = folder.string();
  const SandboxResult result = run_sandboxed(request);
  EXPECT_EQ(result.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(result.standard_output, folder.string() + "\n");
  std::filesystem::remove(folder);
}

TEST(SandboxTest, LimitsAndDescriptorsSeenByTheProgram) {
  // A descriptor the host left inheritable must still not reach the program.
  const UniqueFd host_file(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(host_file.valid());
  const std::string fd_path = "/proc/self/fd/" + std::to_string(host_file.get());

  SandboxRequest request = shell("ulimit -t; ulimit -v; ulimit -n; ulimit -Hc; [ -e " + fd_path +
                                 " ] && echo leaked || echo closed");
  request.limits.wall_time = milliseconds(2'500);  // CPU limit rounds up to 3 s
  request.limits.address_space_bytes = std::uint64_t{512} << 20;
  request.limits.open_files = 64;
  const SandboxResult result = run_sandboxed(request);
  EXPECT_EQ(result.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(result.standard_output, "3\n524288\n64\n0\nclosed\n");
}

TEST(SandboxTest, TimeLimitEndsTheRun) {
  const std::string scripts[] = {"while :; do :; done", "sleep 100"};
  for (const auto& script : scripts) {
    SCOPED_TRACE(script);
    const SandboxResult result = run_sandboxed(shell(script, milliseconds(1'000)));
    EXPECT_EQ(result.outcome, SandboxOutcome::kTimedOut);
    // Processor time is charged in scheduler ticks: a busy loop may meet its CPU limit a few
    // milliseconds before the wall clock reaches the limit.
    EXPECT_GE(result.elapsed, milliseconds(950));
    EXPECT_LT(result.elapsed, milliseconds(3'000));
  }
  expect_no_child_left();
}

// Whether some process runs with exactly this command line (arguments joined by NULs).
bool process_running(const std::string& command_line) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    if (text == command_line) return true;
  }
  return false;
}

bool gone_soon(const std::string& command_line) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!process_running(command_line)) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

TEST(SandboxTest, ProcessesLeftBehindDoNotOutliveTheRun) {
  struct Case {
    std::string script;
    std::string left_behind;
    SandboxOutcome outcome;
    bool isolate;
  };
  // The background sleep keeps the output pipe open, so only the kill lets the run end; one
  // that leaves the session escapes a group kill, and only the process namespace catches it.
  const Case cases[] = {
      {"sleep 1001 & echo started",
       std::string("sleep\0"
                   "1001",
                   10),
       SandboxOutcome::kExited, true},
      {"sleep 1002 & while :; do :; done",
       std::string("sleep\0"
                   "1002",
                   10),
       SandboxOutcome::kTimedOut, true},
      {"setsid sleep 1003 & echo started",
       std::string("sleep\0"
                   "1003",
                   10),
       SandboxOutcome::kExited, true},
      {"sleep 1004 & echo started",
       std::string("sleep\0"
                   "1004",
                   10),
       SandboxOutcome::kExited, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    SandboxRequest request = c.isolate ? isolated(c.script, {}, milliseconds(1'000))
                                       : shell(c.script, milliseconds(1'000));
    const SandboxResult result = run_sandboxed(request);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_LT(result.elapsed, milliseconds(4'000));
    EXPECT_TRUE(gone_soon(c.left_behind));
  }
  expect_no_child_left();
}

TEST(SandboxTest, ProgramCannotSignalTheHost) {
  // Inside its namespace the program's parent is the namespace's first process, which
  // ignores signals sent from inside; the host's own pid means nothing there.
  const std::string host = std::to_string(::getpid());
  const SandboxResult result =
      run_sandboxed(isolated("kill -KILL $PPID; kill -KILL " + host + " 2>/dev/null; echo alive"));
  EXPECT_EQ(result.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(result.standard_output, "alive\n");
}

TEST(SandboxTest, LauncherShowsTheProgramNothingOfTheHost) {
  char pattern[] = "/tmp/norviai-launcher-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  std::ofstream(folder + "/host-secret") << "secret";
  struct Case {
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"hostname; id -u", "sandbox\n1000\n"},
      {"cat " + folder + "/host-secret || echo hidden", "hidden\n"},
      // Only its own: the first process, the shells, ls and grep (the host has far more).
      {"[ $(ls /proc | grep -c '^[0-9]') -le 6 ] && echo few", "few\n"},
      {"grep -c : /proc/net/dev", "1\n"},  // one interface: its own loopback
      {"touch /usr/x 2>/dev/null || echo read-only", "read-only\n"},
      {"grep -E '^(NoNewPrivs|Seccomp):' /proc/self/status | tr -d '\\t'",
       "NoNewPrivs:1\nSeccomp:2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const SandboxResult result = run_sandboxed(isolated(c.script));
    EXPECT_EQ(result.outcome, SandboxOutcome::kExited);
    EXPECT_EQ(result.standard_output, c.out) << result.standard_error;
  }
  const SandboxResult refused = run_sandboxed(isolated("true", {"--cwd", "relative"}));
  EXPECT_EQ(refused.exit_code, kLauncherFailureExit);
  EXPECT_EQ(refused.standard_error,
            std::string(kLauncherNote) + "option --cwd needs an absolute path: relative\n");
  std::filesystem::remove_all(folder);
}

TEST(SandboxTest, DeathBySignalIsReported) {
  struct Case {
    std::string script;
    int signal;
  };
  const Case cases[] = {
      {"kill -SEGV $$", SIGSEGV},
      {"kill -KILL $$", SIGKILL},
      {"kill -TERM $$", SIGTERM},
      // The host may ignore SIGPIPE (CPython does); the program must get the default back.
      {"kill -PIPE $$", SIGPIPE},
  };
  ::signal(SIGPIPE, SIG_IGN);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const SandboxResult result = run_sandboxed(shell(c.script));
    EXPECT_EQ(result.outcome, SandboxOutcome::kSignaled);
    EXPECT_EQ(result.signal, c.signal);
  }
  ::signal(SIGPIPE, SIG_DFL);
}

TEST(SandboxTest, FailedStartsAreReported) {
  struct Case {
    std::vector<std::string> argv;
    std::string working_directory;
    std::string failure;
  };
  const Case cases[] = {
      {{"/nonexistent/program"}, "", "execve /nonexistent/program: No such file or directory"},
      {{"/etc/passwd"}, "", "execve /etc/passwd: Permission denied"},
      {{"/bin/true"}, "/nonexistent", "chdir /nonexistent: No such file or directory"},
      {{"sh", "-c", "true"}, "", "program path is not absolute: sh"},
      {{}, "", "no program given: argv is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure);
    SandboxRequest request;
    request.argv = c.argv;
    request.working_directory = c.working_directory;
    const SandboxResult result = run_sandboxed(request);
    EXPECT_EQ(result.outcome, SandboxOutcome::kFailedToStart);
    EXPECT_EQ(result.failure, c.failure);
  }
  expect_no_child_left();
}

TEST(SandboxTest, AddressSpaceLimitStopsAMemoryHog) {
  SandboxRequest request;
  request.argv = {"/usr/bin/python3", "-S", "-c", "b = bytes(1 << 30); print(len(b))"};

  request.limits.address_space_bytes = std::uint64_t{256} << 20;
  const SandboxResult limited = run_sandboxed(request);
  EXPECT_EQ(limited.outcome, SandboxOutcome::kExited);
  EXPECT_NE(limited.exit_code, 0);
  EXPECT_NE(limited.standard_error.find("MemoryError"), std::string::npos)
      << limited.standard_error;

  request.limits.address_space_bytes = std::uint64_t{4} << 30;
  const SandboxResult roomy = run_sandboxed(request);
  EXPECT_EQ(roomy.outcome, SandboxOutcome::kExited);
  EXPECT_EQ(roomy.standard_output, "1073741824\n");
}

TEST(SandboxTest, ConcurrentRunsKeepTheirOwnStreams) {
  constexpr int kRuns = 4;
  std::vector<SandboxResult> results(kRuns);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([i, &results] {
      SandboxRequest request;
      request.argv = {"/bin/cat"};
      request.standard_input = std::string(256 * 1024, static_cast<char>('a' + i));
      results[i] = run_sandboxed(request);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(results[i].outcome, SandboxOutcome::kExited);
    EXPECT_TRUE(results[i].standard_output == std::string(256 * 1024, static_cast<char>('a' + i)));
  }
}

}  // namespace
}  // namespace norviai::core
