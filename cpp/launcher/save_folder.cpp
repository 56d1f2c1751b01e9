// The save folder: the program writes into a size-limited tmpfs at the folder's path and sees
// nothing of what the host folder held; once every process of the run has ended, its regular
// files and folders are copied into the host folder if they are within the limits (all or
// nothing), through a descriptor of the host folder opened before the namespaces and openat
// without following links, never through a path or a link the program made.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "core/unique_fd.hpp"
#include "launcher/launcher.hpp"

namespace norviai::launcher {
namespace {

using core::UniqueFd;

std::string size_text(std::uint64_t bytes) {
  if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

struct Budget {
  std::uint64_t bytes;
  std::uint64_t entries;
  bool size_reached = false;
  bool entries_reached = false;
  bool depth_reached = false;
  unsigned serial = 0;
};

// Entries of `folder` other than "." and "..", read before anything is created next to them.
std::vector<std::string> names_in(int folder) {
  std::vector<std::string> names;
  const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  DIR* listing = ::fdopendir(copy);
  if (listing == nullptr) {
    ::close(copy);
    return names;
  }
  // The copy shares its offset with `folder`, which an earlier listing may have moved.
  ::rewinddir(listing);
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

// Copies at most budget.bytes of `source` into a fresh file, then renames it over `name`, so
// that an existing host file is replaced, never written through (it may be a hard link to a
// file elsewhere). Only a regular file is replaced.
void copy_file(int from, int to, const std::string& name, Budget& budget) {
  const UniqueFd source(
      ::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!source.valid() || ::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size > budget.bytes) return;
  struct stat existing {};
  if (::fstatat(to, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      !S_ISREG(existing.st_mode)) {
    return;
  }
  const std::string temporary =
      ".norviai-copy-" + std::to_string(::getpid()) + "-" + std::to_string(++budget.serial);
  const UniqueFd target(
      ::openat(to, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!target.valid()) return;
  std::uint64_t copied = 0;
  bool complete = false;
  char buffer[64 * 1024];
  for (;;) {
    if (ending()) break;
    const ssize_t got = ::read(source.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      complete = got == 0;
      break;
    }
    copied += static_cast<std::uint64_t>(got);
    if (copied > budget.bytes) break;
    ssize_t written = 0;
    while (written < got) {
      const ssize_t step = ::write(target.get(), buffer + written, got - written);
      if (step < 0 && errno == EINTR) continue;
      if (step <= 0) break;
      written += step;
    }
    if (written < got) break;
  }
  if (!complete || ::renameat(to, temporary.c_str(), to, name.c_str()) != 0) {
    ::unlinkat(to, temporary.c_str(), 0);
    return;
  }
  budget.bytes -= copied;
}

// What copy_folder would copy, within the limits; sets the budget's reached flags.
void measure_folder(int from, unsigned depth, Budget& budget) {
  for (const auto& name : names_in(from)) {
    struct stat status {};
    if (::fstatat(from, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) continue;
    if (budget.entries == 0) {
      budget.entries_reached = true;
      return;
    }
    --budget.entries;
    if (S_ISREG(status.st_mode)) {
      // Hard links count once per name: each is copied as a file of its own.
      const auto size = static_cast<std::uint64_t>(status.st_size);
      if (size > budget.bytes) budget.size_reached = true;
      budget.bytes -= std::min(size, budget.bytes);
      continue;
    }
    if (depth >= kSaveFolderDepth) {
      budget.depth_reached = true;
      continue;
    }
    const UniqueFd inner(
        ::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (inner.valid()) measure_folder(inner.get(), depth + 1, budget);
  }
}

void copy_folder(int from, int to, unsigned depth, Budget& budget) {
  for (const auto& name : names_in(from)) {
    if (ending()) return;
    struct stat status {};
    if (::fstatat(from, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // Links, pipes, sockets and devices stay behind.
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) continue;
    if (budget.entries == 0) return;
    --budget.entries;
    if (S_ISREG(status.st_mode)) {
      copy_file(from, to, name, budget);
      continue;
    }
    if (depth >= kSaveFolderDepth) continue;
    const UniqueFd inner_source(
        ::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner_source.valid()) continue;
    if (::mkdirat(to, name.c_str(), 0755) != 0 && errno != EEXIST) continue;
    // A link or a file of that name on the host is left as it is, with nothing copied into it.
    const UniqueFd inner_target(
        ::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner_target.valid()) continue;
    copy_folder(inner_source.get(), inner_target.get(), depth + 1, budget);
  }
}

}  // namespace

SaveFolder::SaveFolder(const Options& options)
    : path_(options.save_folder), bytes_(options.save_bytes) {
  if (path_.empty()) return;
  host_fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (host_fd_ < 0) fail("open the save folder " + path_);
}

SaveFolder::~SaveFolder() {
  if (host_fd_ >= 0) ::close(host_fd_);
}

void SaveFolder::close_in_child() {
  if (host_fd_ >= 0) ::close(host_fd_);
  host_fd_ = -1;
}

std::vector<std::string> SaveFolder::copy_back() {
  std::vector<std::string> notes;
  if (host_fd_ < 0) return notes;
  // After the pivot this path leads into the run's view: its own tmpfs, never the host folder.
  const UniqueFd written(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct statfs system {};
  struct stat written_status {
  }, host_status{};
  if (!written.valid() || ::fstatfs(written.get(), &system) != 0 || system.f_type != TMPFS_MAGIC ||
      ::fstat(written.get(), &written_status) != 0 || ::fstat(host_fd_, &host_status) != 0 ||
      written_status.st_dev == host_status.st_dev) {
    return notes;
  }
  Budget measured{bytes_, kSaveFolderEntries};
  measure_folder(written.get(), 0, measured);
  // A full tmpfs refused a write, whether or not the program noticed.
  if (measured.size_reached || system.f_bavail == 0) {
    notes.push_back("limit reached: size of the save folder (" + size_text(bytes_) + ")");
  }
  if (measured.entries_reached || system.f_ffree == 0) {
    notes.push_back("limit reached: files in the save folder (" +
                    std::to_string(kSaveFolderEntries) + ")");
  }
  if (measured.depth_reached) {
    notes.push_back("limit reached: depth of the save folder (" + std::to_string(kSaveFolderDepth) +
                    " levels)");
  }
  // A run that reached a limit saves nothing: what it left may be cut short anywhere.
  if (notes.empty()) {
    Budget budget{bytes_, kSaveFolderEntries};
    copy_folder(written.get(), host_fd_, 0, budget);
  }
  return notes;
}

}  // namespace norviai::launcher
