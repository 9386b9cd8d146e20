// Runs a 32-bit x86 program as if on Linux 2.6.22, the oldest kernel of the
// players the program is made for:
//
//   old_kernel PROGRAM [ARG...]
//
// It installs a seccomp filter for the x86 (32-bit) system calls and execs
// PROGRAM, which keeps the filter, as do its children (daemon mode). Under
// it, as on 2.6.22:
//   - every call added later (number above eventfd, 323) fails with ENOSYS,
//     the direct socket calls (socket = 359 and up, Linux 4.3) among them;
//   - socketcall sub-calls above recvmsg (17) fail with EINVAL: accept4 (18,
//     2.6.28), recvmmsg, sendmmsg;
//   - fcntl(F_DUPFD_CLOEXEC) (2.6.24) fails with EINVAL, as an unknown
//     command did.
// What a BPF filter cannot see: socketcall passes the socket calls' own
// arguments in memory, so socket type flags (SOCK_NONBLOCK, SOCK_CLOEXEC:
// EINVAL before 2.6.27) and setsockopt(TCP_USER_TIMEOUT) (ENOPROTOOPT
// before 2.6.37) are not refused here; the system-call audit of the
// emulated ARM and MIPS runs, whose socket calls are direct, covers them.
// Calls of any other architecture (this launcher's own exec) pass.
// Needs Linux 3.5 or later on the machine that runs the tests.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

enum {
  kLastSyscall = 323,  // eventfd: the last call of 2.6.22 on i386
  kSocketcall = 102,
  kLastSocketcall = 17,  // SYS_RECVMSG
  kFcntl = 55,
  kFcntl64 = 221,
  kDupfdCloexec = 1030,  // F_DUPFD_CLOEXEC
};

#define LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, field))
#define FAIL(error) BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error))
#define ALLOW BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)

static struct sock_filter kFilter[] = {
    LOAD(arch),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 1, 0),
    ALLOW,
    LOAD(nr),
    BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kLastSyscall, 0, 1),
    FAIL(ENOSYS),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kSocketcall, 0, 3),
    LOAD(args[0]),  // the sub-call (low 32 bits: little-endian)
    BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kLastSocketcall, 0, 1),
    FAIL(EINVAL),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kFcntl, 1, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kFcntl64, 0, 3),
    LOAD(args[1]),  // the command
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kDupfdCloexec, 0, 1),
    FAIL(EINVAL),
    ALLOW,
};

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: old_kernel PROGRAM [ARG...]\n");
    return 2;
  }
  struct sock_fprog program = {sizeof kFilter / sizeof kFilter[0], kFilter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    fprintf(stderr, "old_kernel: cannot install the filter: %s\n", strerror(errno));
    return 127;
  }
  execv(argv[1], argv + 1);
  fprintf(stderr, "old_kernel: cannot run %s: %s\n", argv[1], strerror(errno));
  return 127;
}
