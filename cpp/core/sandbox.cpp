#include "core/sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "core/unique_fd.hpp"

namespace norviai::core {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kChunk = 64 * 1024;
// After the group is killed its members close their pipe ends within moments; only a writer that
// escaped the group (a process that called setsid) can hold them longer.
constexpr milliseconds kDrainGrace{2000};
// Exit polling interval where pidfds are unavailable (kernels before 5.3).
constexpr milliseconds kExitCheckTick{10};
// The kernel charges processor time in whole scheduler ticks, so a program that computes without
// pause can reach a CPU limit equal to its wall time a tick or two before the wall clock does.
constexpr milliseconds kCpuAccountingSlack{50};
// How long a program stopped before its end (at the time limit, or a warm child never handed its
// input) may take to end on SIGTERM before its group is killed.
constexpr milliseconds kEndGrace{500};

std::string error_text(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);  // GNU variant: returns the text
}

std::string failure_text(const std::string& step, int error) {
  return step + ": " + error_text(error);
}

// What the child was doing when it failed; sent with errno through the report pipe.
enum class ChildStep : int { kSession, kStandardStreams, kSignals, kLimits, kChdir, kExec };

struct ChildReport {
  int step;
  int error;
};

std::string describe_step(ChildStep step, const SandboxRequest& request) {
  switch (step) {
    case ChildStep::kSession:
      return "setsid";
    case ChildStep::kStandardStreams:
      return "dup2";
    case ChildStep::kSignals:
      return "sigprocmask";
    case ChildStep::kLimits:
      return "setrlimit";
    case ChildStep::kChdir:
      return "chdir " + request.working_directory;
    case ChildStep::kExec:
      return "execve " + request.argv[0];
  }
  return "launch";
}

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Keeps a descriptor off 0-2 so the child's dup2 onto the standard streams cannot clobber it
// (the host may have closed its own standard input).
int lift_above_standard_streams(UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return 0;
  const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return errno;
  fd.reset(lifted);
  return 0;
}

// Returns 0 or errno. Both ends are close-on-exec: only the child's dup2 copies survive exec.
int make_pipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return errno;
  pipe.read_end.reset(fds[0]);
  pipe.write_end.reset(fds[1]);
  if (const int error = lift_above_standard_streams(pipe.read_end)) return error;
  return lift_above_standard_streams(pipe.write_end);
}

int set_nonblocking(const UniqueFd& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  return 0;
}

// An unprivileged process cannot raise a hard limit, so a request above the host's own hard
// limit gets the host's (stricter) one instead of failing.
rlimit bounded_limit(int resource, rlim_t soft, rlim_t hard) {
  rlimit current{};
  if (::getrlimit(resource, &current) == 0 && current.rlim_max != RLIM_INFINITY) {
    soft = std::min(soft, current.rlim_max);
    hard = std::min(hard, current.rlim_max);
  }
  return rlimit{soft, hard};
}

// Everything the child needs, prepared before fork: in a multi-threaded host only
// async-signal-safe calls are allowed between fork and exec, so no allocation happens there.
struct ChildPlan {
  char* const* argv;
  char* const* envp;
  const char* working_directory;  // nullptr: stay where the host is
  int stdin_fd;
  int stdout_fd;
  int stderr_fd;
  int report_fd;
  int max_fd;  // bound of the close loop where close_range is missing
  pid_t parent;
  rlimit cpu;
  rlimit address_space;
  rlimit open_files;
};

[[noreturn]] void fail_child(int report_fd, ChildStep step) {
  const ChildReport report{static_cast<int>(step), errno};
  // Smaller than PIPE_BUF, so the write is atomic.
  [[maybe_unused]] const ssize_t written = ::write(report_fd, &report, sizeof report);
  ::_exit(127);
}

void close_descriptor_span(unsigned first, unsigned last, int max_fd) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
  const unsigned bound = std::min(last, static_cast<unsigned>(max_fd));
  for (unsigned fd = first; fd <= bound; ++fd) ::close(static_cast<int>(fd));
}

// Closes every descriptor from `first` on, except `keep`.
void close_from_except(unsigned first, int keep, int max_fd) {
  const auto kept = static_cast<unsigned>(keep);
  if (kept > first) close_descriptor_span(first, kept - 1, max_fd);
  close_descriptor_span(std::max(first, kept + 1), ~0U, max_fd);
}

[[noreturn]] void exec_child(const ChildPlan& plan) {
  // Follows the forking thread, not the host process: the isolating launcher replaces it with a
  // watch of the host's pidfd, since a warm start outlives the thread that started it.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != plan.parent) ::_exit(127);

  // No core files: this copy of the host holds its keys until exec, and a program's dump
  // would land in its working folder.
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) < 0) fail_child(plan.report_fd, ChildStep::kLimits);
  if (::setsid() < 0) fail_child(plan.report_fd, ChildStep::kSession);

  if (::dup2(plan.stdin_fd, STDIN_FILENO) < 0 || ::dup2(plan.stdout_fd, STDOUT_FILENO) < 0 ||
      ::dup2(plan.stderr_fd, STDERR_FILENO) < 0) {
    fail_child(plan.report_fd, ChildStep::kStandardStreams);
  }
  // Everything else the host had open (sockets, database connections) stays out of reach;
  // the report pipe is close-on-exec and goes at exec.
  close_from_except(STDERR_FILENO + 1, plan.report_fd, plan.max_fd);

  // Ignored signals and the blocked mask survive exec; CPython, for one, ignores SIGPIPE.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number != SIGKILL && signal_number != SIGSTOP) {
      ::sigaction(signal_number, &default_action, nullptr);  // fails harmlessly on reserved ones
    }
  }
  sigset_t no_signals;
  sigemptyset(&no_signals);
  if (::sigprocmask(SIG_SETMASK, &no_signals, nullptr) < 0) {
    fail_child(plan.report_fd, ChildStep::kSignals);
  }

  if (::setrlimit(RLIMIT_CPU, &plan.cpu) < 0 || ::setrlimit(RLIMIT_AS, &plan.address_space) < 0 ||
      ::setrlimit(RLIMIT_NOFILE, &plan.open_files) < 0) {
    fail_child(plan.report_fd, ChildStep::kLimits);
  }
  if (plan.working_directory != nullptr && ::chdir(plan.working_directory) < 0) {
    fail_child(plan.report_fd, ChildStep::kChdir);
  }
  ::execve(plan.argv[0], plan.argv, plan.envp);
  fail_child(plan.report_fd, ChildStep::kExec);
}

// Owns the forked child: until it is reaped, destruction kills its group and reaps it, so no
// exit path of the launcher leaves a running program or a zombie behind.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (!reaped_) {
      ask_to_end();
      kill_group();
      reap();
    }
  }

  // SIGTERM to the child alone, and up to kEndGrace for it to end: the isolating launcher then
  // removes the cgroups it made on the host, which a group kill would leave behind.
  void ask_to_end() const {
    if (::kill(pid_, SIGTERM) != 0) return;
    const auto until = Clock::now() + kEndGrace;
    while (!has_exited() && Clock::now() < until) ::usleep(2000);
  }

  pid_t pid() const { return pid_; }

  // While the leader is unreaped its pid, and so the group id, cannot be reused: the group is
  // always killed before the reap.
  void kill_group() const { ::kill(-pid_, SIGKILL); }

  // Whether the child has ended, without reaping it.
  bool has_exited() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
  }

  // The wait status, or nothing when something else in the host (a SIGCHLD handler waiting for
  // any child) reaped it first.
  std::optional<int> reap() {
    int status = 0;
    pid_t waited;
    do {
      waited = ::waitpid(pid_, &status, 0);
    } while (waited < 0 && errno == EINTR);
    reaped_ = true;
    if (waited != pid_) return std::nullopt;
    return status;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// Blocks SIGPIPE in the calling thread while it feeds the child, so a program that stops reading
// its input yields EPIPE instead of killing the host; a SIGPIPE raised meanwhile is discarded.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_only_);
    sigaddset(&pipe_only_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_only_, &saved_);
    sigset_t pending;
    was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;
  ~SigpipeBlock() {
    if (!was_pending_) {
      const timespec no_wait{};
      ::sigtimedwait(&pipe_only_, nullptr, &no_wait);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }

 private:
  sigset_t pipe_only_;
  sigset_t saved_;
  bool was_pending_ = false;
};

UniqueFd open_exit_notifier(pid_t pid) {
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  return UniqueFd();
#endif
}

// One read from a readable pipe into `sink`, keeping at most kSandboxCaptureLimit bytes.
// Returns false once the pipe is finished (end of file or error) and should be closed.
bool read_some(const UniqueFd& fd, std::vector<char>& buffer, std::string& sink) {
  const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
  if (count > 0) {
    const std::size_t room = kSandboxCaptureLimit - std::min(kSandboxCaptureLimit, sink.size());
    sink.append(buffer.data(), std::min(static_cast<std::size_t>(count), room));
    return true;
  }
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  return false;
}

// One write of the pending input. Returns false once the input is finished: all written, or the
// program closed its end (EPIPE), which is its own business.
bool write_some(const UniqueFd& fd, const std::string& input, std::size_t& offset) {
  const std::size_t count = std::min(input.size() - offset, kChunk);
  const ssize_t written = ::write(fd.get(), input.data() + offset, count);
  if (written > 0) offset += static_cast<std::size_t>(written);
  if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
  return offset < input.size();
}

milliseconds ceil_millis(Clock::duration duration) {
  return std::chrono::ceil<milliseconds>(duration);
}

SandboxResult failed_to_start(std::string failure) {
  SandboxResult result;
  result.outcome = SandboxOutcome::kFailedToStart;
  result.failure = std::move(failure);
  return result;
}

}  // namespace

struct PendingSandbox::State {
  SandboxRequest request;
  Pipe input, output, errors, report;
  std::optional<ChildProcess> child;
  UniqueFd exit_notifier;
  std::string failure;
  Clock::time_point start;

  std::unique_ptr<PendingSandbox> fail(std::string text);
};

PendingSandbox::PendingSandbox() : state_(std::make_unique<State>()) {}
PendingSandbox::~PendingSandbox() = default;

std::unique_ptr<PendingSandbox> PendingSandbox::State::fail(std::string text) {
  failure = std::move(text);
  return nullptr;
}

bool PendingSandbox::has_exited() const {
  return !state_->child.has_value() || state_->child->has_exited();
}

std::chrono::steady_clock::duration PendingSandbox::age() const {
  return Clock::now() - state_->start;
}

std::unique_ptr<PendingSandbox> PendingSandbox::start(const SandboxRequest& given) {
  std::unique_ptr<PendingSandbox> owner(new PendingSandbox());
  State& pending = *owner->state_;
  pending.request = given;
  pending.request.standard_input.clear();
  pending.start = Clock::now();
  const SandboxRequest& request = pending.request;
  Pipe& input = pending.input;
  Pipe& output = pending.output;
  Pipe& errors = pending.errors;
  Pipe& report = pending.report;
  [&]() -> std::unique_ptr<PendingSandbox> {
    if (request.argv.empty()) return pending.fail("no program given: argv is empty");
    if (request.argv[0].empty() || request.argv[0].front() != '/') {
      return pending.fail("program path is not absolute: " + request.argv[0]);
    }

    // execve takes char* const[] but does not write through it.
    std::vector<char*> argv;
    argv.reserve(request.argv.size() + 1);
    for (const auto& argument : request.argv) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(request.environment.size() + 1);
    for (const auto& entry : request.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    for (Pipe* pipe : {&input, &output, &errors, &report}) {
      if (const int error = make_pipe(*pipe)) return pending.fail(failure_text("pipe", error));
    }
    for (const UniqueFd* fd :
         {&input.write_end, &output.read_end, &errors.read_end, &report.read_end}) {
      if (const int error = set_nonblocking(*fd)) {
        return pending.fail(failure_text("fcntl", error));
      }
    }

    const SandboxLimits& limits = request.limits;
    const auto cpu_seconds =
        static_cast<rlim_t>(std::max<std::int64_t>(1, (limits.wall_time.count() + 999) / 1000));
    const long open_max = ::sysconf(_SC_OPEN_MAX);
    const ChildPlan plan{
        .argv = argv.data(),
        .envp = envp.data(),
        .working_directory =
            request.working_directory.empty() ? nullptr : request.working_directory.c_str(),
        .stdin_fd = input.read_end.get(),
        .stdout_fd = output.write_end.get(),
        .stderr_fd = errors.write_end.get(),
        .report_fd = report.write_end.get(),
        .max_fd = open_max > 0 ? static_cast<int>(std::min<long>(open_max, 1 << 20)) : 65536,
        .parent = ::getpid(),
        // SIGXCPU at the soft limit, SIGKILL a second later if the program catches it.
        .cpu = bounded_limit(RLIMIT_CPU, cpu_seconds, cpu_seconds + 1),
        .address_space =
            bounded_limit(RLIMIT_AS, limits.address_space_bytes, limits.address_space_bytes),
        .open_files = bounded_limit(RLIMIT_NOFILE, limits.open_files, limits.open_files),
    };

    const pid_t pid = ::fork();
    if (pid < 0) return pending.fail(failure_text("fork", errno));
    if (pid == 0) exec_child(plan);
    pending.child.emplace(pid);
    input.read_end.reset();
    output.write_end.reset();
    errors.write_end.reset();
    report.write_end.reset();
    pending.exit_notifier = open_exit_notifier(pid);
    return nullptr;
  }();
  return owner;
}

SandboxResult PendingSandbox::finish(const std::string& standard_input,
                                     std::chrono::milliseconds wall_time,
                                     std::chrono::milliseconds ready_within) {
  State& pending = *state_;
  if (!pending.child.has_value()) {
    return failed_to_start(pending.failure.empty() ? "not started" : pending.failure);
  }
  const SandboxRequest& request = pending.request;
  Pipe& input = pending.input;
  Pipe& output = pending.output;
  Pipe& errors = pending.errors;
  Pipe& report = pending.report;
  ChildProcess& child = *pending.child;
  const UniqueFd& exit_notifier = pending.exit_notifier;
  SigpipeBlock sigpipe_block;
  const auto start = Clock::now();
  // Until the program reports ready (its first output byte, kSandboxReady) only the wait for
  // that is bounded; the wall-time limit starts then.
  bool program_ready = ready_within.count() == 0;
  auto deadline = start + (program_ready ? wall_time : ready_within);
  SandboxResult result;
  std::vector<char> buffer(kChunk);
  std::size_t input_offset = 0;
  if (standard_input.empty()) input.write_end.reset();

  // Feed and drain the pipes together until the program ends or its time is up: feeding first
  // and reading afterwards would deadlock as soon as both sides fill a pipe.
  bool timed_out = false;
  bool exited = false;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) {
      timed_out = true;
      break;
    }
    milliseconds wait = ceil_millis(deadline - now);
    if (!exit_notifier.valid()) wait = std::min(wait, kExitCheckTick);

    pollfd fds[4];
    nfds_t count = 0;
    int input_slot = -1, output_slot = -1, errors_slot = -1, exit_slot = -1;
    if (input.write_end.valid()) {
      input_slot = static_cast<int>(count);
      fds[count++] = {input.write_end.get(), POLLOUT, 0};
    }
    if (output.read_end.valid()) {
      output_slot = static_cast<int>(count);
      fds[count++] = {output.read_end.get(), POLLIN, 0};
    }
    if (errors.read_end.valid()) {
      errors_slot = static_cast<int>(count);
      fds[count++] = {errors.read_end.get(), POLLIN, 0};
    }
    if (exit_notifier.valid()) {
      exit_slot = static_cast<int>(count);
      fds[count++] = {exit_notifier.get(), POLLIN, 0};
    }
    const int ready = ::poll(fds, count, static_cast<int>(wait.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;  // cannot watch the program any more: it is killed below
    }
    if (input_slot >= 0 && fds[input_slot].revents != 0 &&
        !write_some(input.write_end, standard_input, input_offset)) {
      input.write_end.reset();  // end of input for the program
    }
    if (output_slot >= 0 && fds[output_slot].revents != 0 &&
        !read_some(output.read_end, buffer, result.standard_output)) {
      output.read_end.reset();
    }
    if (!program_ready && !result.standard_output.empty()) {
      program_ready = true;
      if (result.standard_output.front() == kSandboxReady) result.standard_output.erase(0, 1);
      deadline = Clock::now() + wall_time;
    }
    if (errors_slot >= 0 && fds[errors_slot].revents != 0 &&
        !read_some(errors.read_end, buffer, result.standard_error)) {
      errors.read_end.reset();
    }
    exited = exit_slot >= 0 ? fds[exit_slot].revents != 0 : child.has_exited();
    if (exited) break;
  }
  const auto ended = Clock::now();

  if (!exited) child.ask_to_end();
  // Also on a normal end: whatever the program left running in its group goes with it.
  child.kill_group();
  const std::optional<int> status = child.reap();
  result.elapsed = ceil_millis(Clock::now() - start);

  const auto drain_deadline = Clock::now() + kDrainGrace;
  while (output.read_end.valid() || errors.read_end.valid()) {
    const auto now = Clock::now();
    if (now >= drain_deadline) break;
    pollfd fds[2];
    nfds_t count = 0;
    UniqueFd* owners[2];
    std::string* sinks[2];
    if (output.read_end.valid()) {
      owners[count] = &output.read_end;
      sinks[count] = &result.standard_output;
      fds[count++] = {output.read_end.get(), POLLIN, 0};
    }
    if (errors.read_end.valid()) {
      owners[count] = &errors.read_end;
      sinks[count] = &result.standard_error;
      fds[count++] = {errors.read_end.get(), POLLIN, 0};
    }
    const auto wait = ceil_millis(drain_deadline - now);
    const int ready = ::poll(fds, count, static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t slot = 0; slot < count && ready > 0; ++slot) {
      if (fds[slot].revents != 0 && !read_some(*owners[slot], buffer, *sinks[slot])) {
        owners[slot]->reset();
      }
    }
  }

  ChildReport child_report{};
  if (::read(report.read_end.get(), &child_report, sizeof child_report) ==
      static_cast<ssize_t>(sizeof child_report)) {
    result.outcome = SandboxOutcome::kFailedToStart;
    result.failure = failure_text(describe_step(static_cast<ChildStep>(child_report.step), request),
                                  child_report.error);
    return result;
  }

  if (timed_out) {
    result.outcome = SandboxOutcome::kTimedOut;
  } else if (!status.has_value()) {
    result.outcome = SandboxOutcome::kExited;  // status lost to another reaper: exit_code stays -1
  } else if (WIFEXITED(*status)) {
    result.outcome = SandboxOutcome::kExited;
    result.exit_code = WEXITSTATUS(*status);
  } else {
    const int signal_number = WTERMSIG(*status);
    // A single thread's CPU time cannot run ahead of the wall clock (but for tick rounding), so
    // the CPU limit striking at the deadline only beat our own check to it; the program ran out
    // of time.
    const bool cpu_limit = signal_number == SIGXCPU || signal_number == SIGKILL;
    if (cpu_limit && ended + kCpuAccountingSlack >= deadline) {
      result.outcome = SandboxOutcome::kTimedOut;
    } else {
      result.outcome = SandboxOutcome::kSignaled;
      result.signal = signal_number;
    }
  }
  return result;
}

SandboxResult run_sandboxed(const SandboxRequest& request) {
  const auto pending = PendingSandbox::start(request);
  return pending->finish(request.standard_input, request.limits.wall_time, milliseconds{0});
}

}  // namespace norviai::core
