// norviai-sandbox: execs straight from the host's child, so nothing of the host's memory or
// environment exists in it; isolates itself (namespaces, root view, limits) and execs the
// program. Three processes: this one stays outside the new PID namespace and passes the
// program's end on; the namespace's first process builds the view, reaps and reports; the
// program runs under it. Exits with the program's status, or kLauncherFailureExit after one
// "norviai-sandbox: " line on standard error saying which set-up step failed.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/sandbox.hpp"
#include "launcher/launcher.hpp"

extern char** environ;

namespace norviai::launcher {
namespace {

volatile sig_atomic_t end_requested = 0;

void request_end(int) { end_requested = 1; }

}  // namespace

bool ending() { return end_requested != 0; }

namespace {

constexpr int kNamespaces =
    CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS;

void write_file(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) fail("open " + path);
  const auto written = ::write(fd, text.data(), text.size());
  const int error = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) fail("write " + path, error);
}

void enter_namespaces() {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(kNamespaces) != 0) {
    const int error = errno;
    throw LaunchError(
        std::string("cannot isolate the analysis run: creating user, process, mount and network "
                    "namespaces failed (") +
        std::strerror(error) +
        "). Allow user namespaces (sysctl kernel.unprivileged_userns_clone=1 and "
        "user.max_user_namespaces > 0; in a container, a seccomp or AppArmor profile that permits "
        "unshare/clone with CLONE_NEWUSER), or set NORVIAI_SANDBOX=off to run analysis code "
        "without isolation (unsafe)");
  }
  write_file("/proc/self/setgroups", "deny");
  write_file("/proc/self/uid_map", std::to_string(kInsideId) + " " + std::to_string(uid) + " 1");
  write_file("/proc/self/gid_map", std::to_string(kInsideId) + " " + std::to_string(gid) + " 1");
}

[[noreturn]] void exec_program(const Options& options) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Counted per user in this namespace, so it bounds the whole run, these two processes included.
  // Behind a pids cgroup it leaves room, so that the cgroup strikes first and says so.
  const rlim_t count = options.processes + (options.processes_in_cgroup ? 8 : 2);
  const rlimit processes{count, count};
  if (::setrlimit(RLIMIT_NPROC, &processes) != 0) fail("setrlimit RLIMIT_NPROC");
  const std::string& cwd = options.working_directory.empty() ? "/" : options.working_directory;
  if (::chdir(cwd.c_str()) != 0) fail("chdir " + cwd);
  restrict_system_calls();
  std::vector<char*> argv;
  for (const auto& argument : options.program) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ::execve(argv[0], argv.data(), environ);
  fail("execve " + options.program[0]);
}

// Pid 1 of the namespace: when it ends, the kernel kills whatever else runs there.
[[noreturn]] void run_first_process(const Options& options, int status_fd) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  build_root_view(options);
  set_up_network_and_name();
  const pid_t program = ::fork();
  if (program < 0) fail("fork");
  if (program == 0) {
    ::close(status_fd);
    try {
      exec_program(options);
    } catch (const LaunchError& error) {
      std::fprintf(stderr, "%s%s\n", core::kLauncherNote, error.what());
      ::_exit(core::kLauncherFailureExit);
    }
  }
  for (;;) {
    int status = 0;
    const pid_t ended = ::wait(&status);
    if (ended == program) {
      [[maybe_unused]] const auto written = ::write(status_fd, &status, sizeof status);
      ::_exit(0);
    }
    if (ended < 0 && errno != EINTR) ::_exit(core::kLauncherFailureExit);
  }
}

[[noreturn]] void exit_like(int status) {
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  const int signal_number = WTERMSIG(status);
  ::signal(signal_number, SIG_DFL);
  sigset_t only_that;
  sigemptyset(&only_that);
  sigaddset(&only_that, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &only_that, nullptr);
  ::kill(::getpid(), signal_number);
  ::_exit(128 + signal_number);
}

// The host, watched through a pidfd rather than the parent-death signal: that signal follows
// the host thread that forked the launcher, and a warm start outlives that thread. -1 when the
// host is gone already (the signal, still set until here, covers the gap).
int watch_host() {
  const pid_t host = ::getppid();
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, host, 0));
  if (fd < 0) return -2;  // no pidfds: keep the parent-death signal
  ::prctl(PR_SET_PDEATHSIG, 0);
  if (::getppid() != host) {
    ::close(fd);
    return -1;
  }
  return fd;  // close-on-exec
}

// Waits for the program's status on `status_fd`; false when the host asked the run to end or
// went away first.
bool wait_for_status(int status_fd, int host_fd, int& status) {
  for (;;) {
    if (end_requested != 0) return false;
    pollfd fds[2] = {{status_fd, POLLIN, 0}, {host_fd, POLLIN, 0}};
    const int ready = ::poll(fds, host_fd >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (host_fd >= 0 && fds[1].revents != 0)) return false;
    const ssize_t got = ::read(status_fd, &status, sizeof status);
    if (got < 0 && errno == EINTR) continue;
    return got == static_cast<ssize_t>(sizeof status);
  }
}

int launch(Options options) {
  // SIGTERM from the host (a time limit, an abandoned warm start) ends the run without saving,
  // but lets the destructors remove the cgroups. No SA_RESTART: it interrupts the wait.
  struct sigaction on_end {};
  on_end.sa_handler = request_end;
  sigemptyset(&on_end.sa_mask);
  ::sigaction(SIGTERM, &on_end, nullptr);
  int status = 0;
  std::vector<std::string> notes;
  const int host_fd = watch_host();
  if (host_fd == -1) return core::kLauncherFailureExit;
  {
    SaveFolder save(options);
    RunLimits limits(options);
    options.processes_in_cgroup = limits.counts_processes();
    enter_namespaces();
    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) fail("pipe");
    const pid_t first = ::fork();
    if (first < 0) fail("fork");
    if (first == 0) {
      ::signal(SIGTERM, SIG_DFL);
      if (host_fd >= 0) ::close(host_fd);
      ::close(status_pipe[0]);
      save.close_in_child();
      try {
        run_first_process(options, status_pipe[1]);
      } catch (const LaunchError& error) {
        std::fprintf(stderr, "%s%s\n", core::kLauncherNote, error.what());
        ::_exit(core::kLauncherFailureExit);
      }
    }
    ::close(status_pipe[1]);
    const bool ran = wait_for_status(status_pipe[0], host_fd, status);
    if (!ran) ::kill(first, SIGKILL);
    int first_status = 0;
    while (::waitpid(first, &first_status, 0) < 0 && errno == EINTR) {
    }
    // Only a run whose view was built has a save folder of its own to copy from; by now the
    // namespace's first process has ended, and with it every process of the run.
    if (ran && end_requested == 0) {
      notes = save.copy_back();
    } else {
      status = first_status;
    }
    for (auto& note : limits.reached()) notes.push_back(std::move(note));
  }
  for (const auto& note : notes) std::fprintf(stderr, "%s%s\n", core::kLauncherNote, note.c_str());
  std::fflush(stderr);
  exit_like(status);
}

}  // namespace
}  // namespace norviai::launcher

int main(int argc, char** argv) {
  using namespace norviai;
  try {
    return launcher::launch(launcher::parse_options(argc, argv));
  } catch (const launcher::LaunchError& error) {
    std::fprintf(stderr, "%s%s\n", core::kLauncherNote, error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s%s\n", core::kLauncherNote, error.what());
  }
  return core::kLauncherFailureExit;
}
