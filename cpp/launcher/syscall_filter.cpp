// A classic-BPF seccomp filter: refuses, with EPERM, the system calls an analysis program never
// needs and that reach other processes, the kernel's keyrings, the mount table or new
// namespaces (unshare, setns, and clone with a CLONE_NEW* flag).
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <vector>

#include "launcher/launcher.hpp"

namespace norviai::launcher {
namespace {

constexpr int kRefused[] = {
    SYS_ptrace,
    SYS_process_vm_readv,
    SYS_process_vm_writev,
    SYS_kexec_load,
    SYS_kexec_file_load,
    SYS_bpf,
    SYS_keyctl,
    SYS_add_key,
    SYS_request_key,
    SYS_userfaultfd,
    SYS_perf_event_open,
    SYS_mount,
    SYS_umount2,
    SYS_pivot_root,
    SYS_open_tree,
    SYS_move_mount,
    SYS_fsopen,
    SYS_fsconfig,
    SYS_fsmount,
    SYS_fspick,
    SYS_mount_setattr,
    SYS_setns,
    SYS_unshare,
    SYS_open_by_handle_at,
    SYS_init_module,
    SYS_finit_module,
    SYS_delete_module,
    SYS_iopl,
    SYS_ioperm,
    SYS_swapon,
    SYS_swapoff,
    SYS_reboot,
    SYS_process_madvise,
    SYS_pidfd_getfd,
    SYS_kcmp,
};
constexpr unsigned kX32Bit = 0x40000000;
// clone flags that make new namespaces: a nested user namespace would hand the program every
// capability over a namespace of its own, and the kernel's namespace code with it.
constexpr unsigned kNewNamespaces = CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET |
                                    CLONE_NEWIPC | CLONE_NEWUTS | CLONE_NEWCGROUP;

}  // namespace

void restrict_system_calls() {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("prctl PR_SET_NO_NEW_PRIVS");
#if defined(__x86_64__)
  const unsigned refuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      // The x32 numbering would bypass every number below.
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, refuse),
  };
  for (const int number : kRefused) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, refuse));
  }
  // clone3 passes its flags in memory, out of the filter's sight: ENOSYS makes the C library
  // fall back to clone, whose flags it sees.
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)));
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3));
  // The flags' low 32 bits (little-endian), where every CLONE_NEW* flag lives.
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kNewNamespaces, 0, 1));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, refuse));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) fail("install seccomp filter");
#endif
}

}  // namespace norviai::launcher
