// Internal interface of norviai-sandbox, the program the host's child execs at once to isolate an
// analysis run: the options it takes, the root view it builds, the limits it sets. Single-
// threaded process; every function either succeeds or throws LaunchError naming the step.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace norviai::launcher {

// A set-up step that failed; main prints it and ends with core::kLauncherFailureExit.
class LaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "<step>: <strerror(errno)>" as a LaunchError.
[[noreturn]] void fail(const std::string& step);
[[noreturn]] void fail(const std::string& step, int error);

struct Options {
  std::vector<std::string> read_only;  // host paths shown read-only at the same path
  std::string save_folder;             // the one writable host folder, at the same path
  std::string working_directory;       // inside the view; "/" when empty
  std::uint64_t memory_bytes = std::uint64_t{4} << 30;     // whole run
  std::uint64_t processes = 64;                            // whole run
  std::uint64_t scratch_bytes = std::uint64_t{256} << 20;  // each of /tmp, /dev/shm, HOME
  std::uint64_t save_bytes = std::uint64_t{512} << 20;     // written to the save folder
  std::vector<std::string> program;                        // absolute path, then arguments
  // Set by the launcher: a pids cgroup counts the run's processes (and reports reaching the
  // limit), so the per-user process limit only backs it up.
  bool processes_in_cgroup = false;
};

// Whether the host asked the run to end early (SIGTERM): nothing more is saved.
bool ending();

// Parses the command line; LaunchError on anything unexpected.
Options parse_options(int argc, char** argv);

// The user id and group id the program has inside its user namespace.
inline constexpr unsigned kInsideId = 1000;
inline constexpr const char* kInsideHome = "/home/sandbox";

// In the new mount namespace, from the first process of the new PID namespace: replaces the
// root with a tmpfs holding only the given folders, system libraries, a fresh /proc, minimal
// /dev, private size-limited /tmp, /dev/shm and HOME, and the save folder's own tmpfs.
void build_root_view(const Options& options);

// The save folder's limits besides its size: entries (files and folders) and folder depth.
inline constexpr std::uint64_t kSaveFolderEntries = 10000;
inline constexpr unsigned kSaveFolderDepth = 32;

// In build_root_view: an empty tmpfs of options.save_bytes at the save folder's path.
void mount_save_folder(const Options& options);

// The host side of the save folder, in the launcher's outermost process: the host folder is
// opened before the namespaces (afterwards no path leads to it), and after the run copy_back
// copies what the program left in its tmpfs into it, within the limits.
class SaveFolder {
 public:
  explicit SaveFolder(const Options& options);
  SaveFolder(const SaveFolder&) = delete;
  SaveFolder& operator=(const SaveFolder&) = delete;
  ~SaveFolder();
  // The namespace's processes have no use for the host folder.
  void close_in_child();
  // Only once no process of the run is left; lines for standard error about limits reached.
  std::vector<std::string> copy_back();

 private:
  std::string path_;
  std::uint64_t bytes_;
  int host_fd_ = -1;
};

// Brings up the namespace's own loopback interface and names the host "sandbox".
void set_up_network_and_name();

// Whole-run limits: a cgroup where one can be made (memory and processes), joined by the calling
// process before it forks the namespace's processes. Falls back to nothing (the per-process
// limits remain) and says so through `describe()`.
class RunLimits {
 public:
  explicit RunLimits(const Options& options);
  RunLimits(const RunLimits&) = delete;
  RunLimits& operator=(const RunLimits&) = delete;
  ~RunLimits();
  // Lines for standard error about limits that were reached during the run.
  std::vector<std::string> reached() const;
  bool counts_processes() const { return !pids_folder_.empty(); }

 private:
  std::string memory_folder_;
  std::string pids_folder_;
  std::string memory_parent_;
  std::string pids_parent_;
  std::uint64_t memory_bytes_;
  std::uint64_t processes_;
  int memory_fd_ = -1;
  int pids_fd_ = -1;
  int memory_parent_fd_ = -1;
  int pids_parent_fd_ = -1;
};

// For the program just before exec: no new privileges, and a filter refusing the system calls
// that reach other processes' memory, the kernel's keyrings, mount tables or new namespaces.
void restrict_system_calls();

}  // namespace norviai::launcher
