// Sandbox launcher: forks and at once execs one program (the isolating launcher, for analysis
// runs) in its own session under resource limits, feeds it standard input, captures its output,
// and kills its whole process group when the run ends (stopped early, the program first gets
// SIGTERM and half a second to end).
// run_sandboxed blocks until then; it keeps no global state, so threads may call it concurrently.
// It touches no Python object: callers in an interpreter release the GIL around it.
// Launch failures are reported in the result, not thrown; only std::bad_alloc escapes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace norviai::core {

// Each captured stream keeps at most this many bytes; the rest is read and dropped so that the
// program never blocks on a full pipe.
inline constexpr std::size_t kSandboxCaptureLimit = std::size_t{8} << 20;

struct SandboxLimits {
  // Wall-clock limit. The CPU-time limit (RLIMIT_CPU) equals it, rounded up to whole seconds.
  std::chrono::milliseconds wall_time{60'000};
  std::uint64_t address_space_bytes = std::uint64_t{4} << 30;  // RLIMIT_AS
  std::uint64_t open_files = 256;                              // RLIMIT_NOFILE
};

struct SandboxRequest {
  // argv[0] is an absolute path, executed as is: no PATH search, no shell.
  std::vector<std::string> argv;
  // The complete environment as "KEY=VALUE"; nothing is inherited from the caller.
  std::vector<std::string> environment;
  // Empty keeps the caller's working directory.
  std::string working_directory;
  // Written to the program's standard input, which is then closed.
  std::string standard_input;
  SandboxLimits limits;
};

// The isolating launcher (norviai-sandbox) ends with this code when it could not set up the
// isolation, after one line on standard error starting with kLauncherNote; after the program's
// end it reports limits the whole run reached on lines with the same start.
inline constexpr int kLauncherFailureExit = 125;
inline constexpr const char* kLauncherNote = "norviai-sandbox: ";

inline constexpr char kSandboxReady = '\0';

enum class SandboxOutcome { kExited, kSignaled, kTimedOut, kFailedToStart };

struct SandboxResult {
  SandboxOutcome outcome = SandboxOutcome::kFailedToStart;
  int exit_code = -1;  // kExited
  int signal = 0;      // kSignaled: e.g. SIGSEGV, or SIGXCPU when the CPU-time limit struck first
  std::string standard_output;
  std::string standard_error;
  std::string failure;  // kFailedToStart: the step that failed and the system's error text
  std::chrono::milliseconds elapsed{0};  // from launch until the program was reaped
};

SandboxResult run_sandboxed(const SandboxRequest& request);

// A run started ahead of its input (a warm start): the program starts at once and waits for its
// standard input, which finish writes; the wall-time limit counts from then. Destroying it
// before finish kills its group and reaps it. One thread at a time; finish at most once.
class PendingSandbox {
 public:
  // Never null; a launch failure is reported by finish. request.standard_input is ignored.
  static std::unique_ptr<PendingSandbox> start(const SandboxRequest& request);
  PendingSandbox(const PendingSandbox&) = delete;
  PendingSandbox& operator=(const PendingSandbox&) = delete;
  ~PendingSandbox();

  // Whether the program already ended (or never started): it cannot take a program any more.
  bool has_exited() const;
  std::chrono::steady_clock::duration age() const;
  // With ready_within nonzero, the wall-time limit starts once the program writes its first
  // output byte (kSandboxReady, dropped), which it must do within ready_within.
  SandboxResult finish(const std::string& standard_input, std::chrono::milliseconds wall_time,
                       std::chrono::milliseconds ready_within);

 private:
  PendingSandbox();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace norviai::core
