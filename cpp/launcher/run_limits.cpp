// Whole-run memory and process limits through cgroups: a child of the launcher's own memory and
// pids cgroups (version 1 hierarchies), joined before the namespace's processes are forked,
// so that everything the program starts counts.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/launcher.hpp"

namespace norviai::launcher {
namespace {

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream file(path);
  file << text;
  file.flush();
  return static_cast<bool>(file);
}

// The calling process's cgroup path in the version 1 hierarchy holding `controller`.
std::string own_cgroup(const std::string& controller) {
  std::istringstream lines(read_text("/proc/self/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::istringstream controllers(line.substr(first + 1, second - first - 1));
    for (std::string name; std::getline(controllers, name, ',');) {
      if (name == controller) return line.substr(second + 1);
    }
  }
  return "";
}

std::string read_at(int folder, const char* file) {
  const int fd = ::openat(folder, file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  ::close(fd);
  return text;
}

void write_at(int folder, const char* file, const std::string& text) {
  const int fd = ::openat(folder, file, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  [[maybe_unused]] const auto written = ::write(fd, text.data(), text.size());
  ::close(fd);
}

// Removes folders of earlier runs whose launcher was killed (at a time limit) before it could
// clean up; a folder whose launcher still runs is another run's.
void remove_stale(const std::string& parent) {
  DIR* folder = ::opendir(parent.c_str());
  if (folder == nullptr) return;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.rfind("norviai-", 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + 8, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      ::rmdir((parent + "/" + name).c_str());
    }
  }
  ::closedir(folder);
}

// Makes parent/norviai-<pid>, writes the limits and joins it; "" when the system refuses.
std::string join_child(const std::string& parent,
                       const std::vector<std::pair<std::string, std::string>>& settings) {
  struct stat status {};
  if (parent.empty() || ::stat(parent.c_str(), &status) != 0) return "";
  remove_stale(parent);
  const std::string folder = parent + "/norviai-" + std::to_string(::getpid());
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return "";
  for (const auto& [file, value] : settings) {
    if (::access((folder + "/" + file).c_str(), F_OK) != 0) continue;
    if (!write_text(folder + "/" + file, value)) {
      ::rmdir(folder.c_str());
      return "";
    }
  }
  if (!write_text(folder + "/cgroup.procs", std::to_string(::getpid()))) {
    ::rmdir(folder.c_str());
    return "";
  }
  return folder;
}

std::uint64_t field(const std::string& text, const std::string& name) {
  std::istringstream lines(text);
  for (std::string key; lines >> key;) {
    std::uint64_t value = 0;
    if (key == name && lines >> value) return value;
  }
  return 0;
}

}  // namespace

RunLimits::RunLimits(const Options& options)
    : memory_bytes_(options.memory_bytes), processes_(options.processes) {
  const std::string memory_bytes = std::to_string(options.memory_bytes);
  // Two more than the program's count: the launcher and the namespace's first process.
  const std::string processes = std::to_string(options.processes + 2);
  // Version 1 hierarchies only: a unified hierarchy delegates controllers to a process's own
  // children only where its manager enabled them, which no system here does.
  memory_parent_ = "/sys/fs/cgroup/memory" + own_cgroup("memory");
  memory_folder_ = join_child(memory_parent_, {{"memory.limit_in_bytes", memory_bytes},
                                               {"memory.memsw.limit_in_bytes", memory_bytes}});
  pids_parent_ = "/sys/fs/cgroup/pids" + own_cgroup("pids");
  pids_folder_ = join_child(pids_parent_, {{"pids.max", processes}});
  // The namespace's first process pivots the root this process shares with it: the folders
  // are reached afterwards through descriptors opened now.
  const auto open_folder = [](const std::string& folder) {
    return folder.empty() ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  };
  memory_fd_ = open_folder(memory_folder_);
  pids_fd_ = open_folder(pids_folder_);
  memory_parent_fd_ = open_folder(memory_folder_.empty() ? "" : memory_parent_);
  pids_parent_fd_ = open_folder(pids_folder_.empty() ? "" : pids_parent_);
}

RunLimits::~RunLimits() {
  // Leave the folders first: a cgroup with a member cannot be removed.
  for (const auto& [parent_fd, folder] :
       {std::pair{memory_parent_fd_, memory_folder_}, std::pair{pids_parent_fd_, pids_folder_}}) {
    if (folder.empty()) continue;
    const std::string name = folder.substr(folder.rfind('/') + 1);
    write_at(parent_fd, "cgroup.procs", std::to_string(::getpid()));
    // Members killed a moment ago may still be leaving.
    for (int attempt = 0;
         attempt < 50 && ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno == EBUSY;
         ++attempt) {
      ::usleep(2000);
    }
  }
  for (const int fd : {memory_fd_, pids_fd_, memory_parent_fd_, pids_parent_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

std::vector<std::string> RunLimits::reached() const {
  std::vector<std::string> notes;
  if (!memory_folder_.empty() &&
      (field(read_at(memory_fd_, "memory.oom_control"), "oom_kill") > 0 ||
       field("failcnt " + read_at(memory_fd_, "memory.failcnt"), "failcnt") > 0)) {
    notes.push_back("limit reached: memory of the whole run (" +
                    std::to_string(memory_bytes_ >> 20) + " MiB)");
  }
  if (!pids_folder_.empty() && field(read_at(pids_fd_, "pids.events"), "max") > 0) {
    notes.push_back("limit reached: processes of the whole run (" + std::to_string(processes_) +
                    ")");
  }
  return notes;
}

}  // namespace norviai::launcher
