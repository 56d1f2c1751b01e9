// The program's file system: a read-only tmpfs root holding only bind mounts of what the
// interpreter needs, fresh /proc, a few devices, private scratch tmpfs and the save folder.
#include <fcntl.h>
#include <linux/mount.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/launcher.hpp"

namespace norviai::launcher {
namespace {

constexpr const char* kOldRoot = "/oldroot";

// System folders every interpreter needs; on merged-/usr systems most are symlinks into /usr.
constexpr const char* kSystemPaths[] = {"/usr",   "/bin",   "/sbin",  "/lib",
                                        "/lib64", "/lib32", "/libx32"};
// Of /etc only what the dynamic loader, fontconfig and time zones read: no host secrets.
constexpr const char* kEtcPaths[] = {"/etc/ld.so.cache",   "/etc/ld.so.conf", "/etc/ld.so.conf.d",
                                     "/etc/fonts",         "/etc/localtime",  "/etc/alternatives",
                                     "/etc/nsswitch.conf", "/etc/mime.types"};
constexpr const char* kDevices[] = {"null", "zero", "full", "random", "urandom"};

int mount_setattr(const char* path, unsigned flags, std::uint64_t set) {
  mount_attr attributes{};
  attributes.attr_set = set;
  return static_cast<int>(
      ::syscall(SYS_mount_setattr, AT_FDCWD, path, flags, &attributes, sizeof attributes));
}

void make_folders(const std::string& path, mode_t mode = 0755) {
  if (path.size() < 2) return;  // "" or "/"
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) fail("mkdir " + prefix);
  }
}

void mount_tmpfs(const std::string& target, std::uint64_t bytes, const char* mode,
                 unsigned long flags, const std::string& more = "") {
  make_folders(target);
  const std::string data = "size=" + std::to_string(bytes) + ",mode=" + mode +
                           ",uid=" + std::to_string(kInsideId) +
                           ",gid=" + std::to_string(kInsideId) + more;
  if (::mount("tmpfs", target.c_str(), "tmpfs", flags | MS_NOSUID | MS_NODEV, data.c_str()) != 0) {
    fail("mount tmpfs on " + target);
  }
}

bool covered(const std::vector<std::string>& shown, const std::string& path) {
  for (const auto& folder : shown) {
    if (path == folder ||
        (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/')) {
      return true;
    }
  }
  return false;
}

// Shows host `path` read-only at the same path. Symlinks are recreated (for /lib -> usr/lib),
// missing paths skipped.
void bind(const std::string& path, std::vector<std::string>& shown) {
  if (covered(shown, path)) return;
  const std::string source = kOldRoot + path;
  struct stat status {};
  if (::lstat(source.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    fail("stat " + path);
  }
  if (S_ISLNK(status.st_mode)) {
    char target[4096];
    const ssize_t length = ::readlink(source.c_str(), target, sizeof target - 1);
    if (length < 0) fail("readlink " + path);
    target[length] = '\0';
    make_folders(path.substr(0, path.rfind('/')));
    if (::symlink(target, path.c_str()) != 0 && errno != EEXIST) fail("symlink " + path);
    return;
  }
  if (S_ISDIR(status.st_mode)) {
    make_folders(path);
  } else {
    make_folders(path.substr(0, path.rfind('/')));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) fail("create " + path);
    if (fd >= 0) ::close(fd);
  }
  if (::mount(source.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    fail("bind " + path);
  }
  const std::uint64_t attributes = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_RDONLY;
  if (mount_setattr(path.c_str(), AT_RECURSIVE, attributes) != 0) fail("mount_setattr " + path);
  shown.push_back(path);
}

void write_text(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("create " + path);
  const auto written = ::write(fd, text.data(), text.size());
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) fail("write " + path);
}

void build_devices(const Options& options) {
  mount_tmpfs("/dev", 1 << 20, "0755", MS_NOEXEC);
  for (const char* device : kDevices) {
    const std::string path = std::string("/dev/") + device;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail("create " + path);
    ::close(fd);
    if (::mount((kOldRoot + path).c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      fail("bind " + path);
    }
  }
  const std::pair<const char*, const char*> links[] = {{"/proc/self/fd", "/dev/fd"},
                                                       {"/proc/self/fd/0", "/dev/stdin"},
                                                       {"/proc/self/fd/1", "/dev/stdout"},
                                                       {"/proc/self/fd/2", "/dev/stderr"}};
  for (const auto& [target, link] : links) {
    if (::symlink(target, link) != 0) fail(std::string("symlink ") + link);
  }
  mount_tmpfs("/dev/shm", options.scratch_bytes, "1777", MS_NOEXEC);
  if (mount_setattr("/dev", 0, MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NOEXEC) != 0) {
    fail("mount_setattr /dev");
  }
}

}  // namespace

void mount_save_folder(const Options& options) {
  // One inode more than the entries: the folder itself.
  mount_tmpfs(options.save_folder, options.save_bytes, "0755", MS_NOEXEC,
              ",nr_inodes=" + std::to_string(kSaveFolderEntries + 1));
}

void build_root_view(const Options& options) {
  // Nothing done here may reach the host's mount table.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("make / private");
  // The new root starts as a tmpfs on /tmp; pivoting moves it to /, which uncovers the host's
  // /tmp under the old root again (the save folder may live there).
  if (::mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0755") != 0) {
    fail("mount the new root");
  }
  if (::mkdir("/tmp/oldroot", 0700) != 0) fail("mkdir /oldroot");
  if (::syscall(SYS_pivot_root, "/tmp", "/tmp/oldroot") != 0) fail("pivot_root");
  if (::chdir("/") != 0) fail("chdir /");

  // Scratch first, so that read-only folders under /tmp are shown on top of it.
  mount_tmpfs("/tmp", options.scratch_bytes, "1777", MS_NOEXEC);
  mount_tmpfs(kInsideHome, options.scratch_bytes, "0700", MS_NOEXEC);
  std::vector<std::string> shown;
  for (const char* path : kSystemPaths) bind(path, shown);
  make_folders("/etc");
  for (const char* path : kEtcPaths) bind(path, shown);
  for (const auto& path : options.read_only) bind(path, shown);
  write_text("/etc/passwd",
             "sandbox:x:1000:1000:sandbox:" + std::string(kInsideHome) + ":/bin/sh\n");
  write_text("/etc/group", "sandbox:x:1000:\n");
  write_text("/etc/hostname", "sandbox\n");

  make_folders("/proc");
  if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    fail("mount /proc");
  }
  build_devices(options);
  if (!options.save_folder.empty()) mount_save_folder(options);
  if (!options.working_directory.empty()) make_folders(options.working_directory);

  if (::umount2(kOldRoot, MNT_DETACH) != 0) fail("detach the old root");
  if (::rmdir(kOldRoot) != 0) fail("rmdir /oldroot");
  if (mount_setattr("/", 0, MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV) != 0) {
    fail("make / read-only");
  }
}

void set_up_network_and_name() {
  if (::sethostname("sandbox", 7) != 0) fail("sethostname");
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  const int error = errno;
  ::close(fd);
  if (!up) fail("bring up loopback", error);
}

}  // namespace norviai::launcher
