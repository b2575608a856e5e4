// Our minimal init for a sim's PID namespace, which the runtime runs from memory in place of the sim:
//
//   nalto-sim-init STATUS_FD PROGRAM ARGS...
//
// It enters new PID and mount namespaces (without the privilege for them, in a user namespace of its
// own that maps its user and group onto themselves). Its child is the namespace's first process: it
// mounts a /proc of its own, starts the sim as its child in a session of its own, passes the signals it
// is sent on to the sim's process group and reaps every orphan. When the sim ends, it hands the sim's
// wait status to its parent and ends, and the kernel kills whatever is left in the namespace; the parent
// then ends as the sim did, by the same exit code or signal, so that the tool sees the sim's own status.
// Both die with their parent. Where the kernel refuses the namespaces, this process becomes the sim.
// Each outcome, and a failure to start the sim, goes to STATUS_FD as a start::Record.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "nalto/runtime/start_report.hpp"

namespace {

using namespace nalto::runtime::start;

// SIGTERM is what the tool sends; the others are passed on too, as a supervisor may send them.
constexpr int FORWARDED[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
constexpr std::size_t COUNT = std::size(FORWARDED);

// What the sim must find as this process found it: the signals' dispositions and the mask.
struct Inherited {
  struct sigaction forwarded[COUNT];
  struct sigaction child;
  sigset_t mask;
};

Inherited inherited() {
  Inherited found{};
  for (std::size_t i = 0; i < COUNT; ++i) sigaction(FORWARDED[i], nullptr, &found.forwarded[i]);
  sigaction(SIGCHLD, nullptr, &found.child);
  sigprocmask(SIG_SETMASK, nullptr, &found.mask);
  return found;
}

void restore(const Inherited& found) {
  for (std::size_t i = 0; i < COUNT; ++i) sigaction(FORWARDED[i], &found.forwarded[i], nullptr);
  sigaction(SIGCHLD, &found.child, nullptr);
  sigprocmask(SIG_SETMASK, &found.mask, nullptr);
}

sigset_t forwarded_and_child() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : FORWARDED) sigaddset(&set, sig);
  sigaddset(&set, SIGCHLD);
  return set;
}

void report(int status, Kind kind, int what, int error) {
  const Record record{kind, what, error};
  [[maybe_unused]] const ssize_t written = write(status, &record, sizeof record);
}

[[noreturn]] void fail(int status, Stage stage, int error) {
  report(status, Kind::failure, static_cast<int>(stage), error);
  _exit(127);
}

[[noreturn]] void exec_sim(int status, char** argv) {
  execve(argv[0], argv, environ);
  fail(status, Stage::exec, errno);
}

bool write_file(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto size = static_cast<ssize_t>(std::strlen(text));
  const bool written = write(fd, text, static_cast<std::size_t>(size)) == size;
  const int error = errno;
  close(fd);
  errno = error;
  return written;
}

struct Refusal {
  Isolation why;
  int error;
};

// Enters the namespaces, or tells why not. A user namespace that could not be given its maps would leave
// the sim without a user: that alone fails the start.
bool enter_namespaces(int status, Refusal& refusal) {
  if (unshare(CLONE_NEWPID | CLONE_NEWNS) == 0) return true;
  if (errno != EPERM) {
    refusal = {Isolation::no_pid_namespace, errno};
    return false;
  }
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  // The maps are written through /proc.
  if (access("/proc/self/uid_map", W_OK) != 0 || unshare(CLONE_NEWUSER) != 0) {
    refusal = {Isolation::no_user_namespace, errno};
    return false;
  }
  char uid_map[32], gid_map[32];
  std::snprintf(uid_map, sizeof uid_map, "%u %u 1\n", uid, uid);
  std::snprintf(gid_map, sizeof gid_map, "%u %u 1\n", gid, gid);
  if (!write_file("/proc/self/setgroups", "deny") || !write_file("/proc/self/uid_map", uid_map) ||
      !write_file("/proc/self/gid_map", gid_map))
    fail(status, Stage::isolate, errno);
  if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
    refusal = {Isolation::no_pid_namespace, errno};
    return false;
  }
  return true;
}

// The namespace's /proc shows its own processes only. Its mounts are made private first, so that the
// new /proc cannot reach the system's mount namespace.
void mount_own_proc(int status) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
    report(status, Kind::isolation, static_cast<int>(Isolation::own_namespace), 0);
  } else {
    report(status, Kind::isolation, static_cast<int>(Isolation::namespace_system_proc), errno);
  }
}

void ignore(int) {}

// The namespace's first process.
[[noreturn]] void run_first(int status, int result, char** sim, const Inherited& found) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A parent that died before that leaves no reader of `result`.
  pollfd parent{result, POLLOUT, 0};
  if (poll(&parent, 1, 0) == 1 && (parent.revents & POLLERR)) _exit(1);
  mount_own_proc(status);
  // The namespace's first process is sent only the signals it handles; they stay blocked, to be
  // taken by sigwaitinfo.
  struct sigaction handled {};
  handled.sa_handler = ignore;
  for (const int sig : FORWARDED) sigaction(sig, &handled, nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    restore(found);
    exec_sim(status, sim);
  }
  if (child < 0) fail(status, Stage::exec, errno);
  close(status);
  const sigset_t waited = forwarded_and_child();
  for (;;) {
    siginfo_t info;
    const int sig = sigwaitinfo(&waited, &info);
    if (sig == SIGCHLD) {
      int wait_status = 0;
      for (pid_t pid; (pid = waitpid(-1, &wait_status, WNOHANG)) > 0;) {
        if (pid != child) continue;
        [[maybe_unused]] const ssize_t written = write(result, &wait_status, sizeof wait_status);
        _exit(0);
      }
    } else if (sig > 0) {
      kill(-child, sig);
    }
  }
}

// Ends this process as `wait_status` says the sim ended.
[[noreturn]] void end_as(int wait_status) {
  if (WIFEXITED(wait_status)) _exit(WEXITSTATUS(wait_status));
  const int sig = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : SIGKILL;
  // A core dump of this process would pass for the sim's.
  prctl(PR_SET_DUMPABLE, 0);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  kill(getpid(), sig);
  _exit(128 + sig);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 127;
  // Run from memory, it would be named after its descriptor.
  prctl(PR_SET_NAME, "nalto-sim-init");
  const int status = std::atoi(argv[1]);
  char** sim = argv + 2;
  fcntl(status, F_SETFD, FD_CLOEXEC);
  const Inherited found = inherited();
  // The tool's SIGTERM to the sim's process group reaches this process too, which must outlive it to
  // hand back the sim's status.
  const sigset_t blocked = forwarded_and_child();
  sigprocmask(SIG_BLOCK, &blocked, nullptr);

  Refusal refusal{};
  if (!enter_namespaces(status, refusal)) {
    restore(found);
    report(status, Kind::isolation, static_cast<int>(refusal.why), refusal.error);
    exec_sim(status, sim);
  }
  int result[2];
  if (pipe2(result, O_CLOEXEC) != 0) fail(status, Stage::exec, errno);
  signal(SIGCHLD, SIG_DFL);
  const pid_t first = fork();
  if (first == 0) {
    close(result[0]);
    run_first(status, result[1], sim, found);
  }
  if (first < 0) fail(status, Stage::exec, errno);
  close(result[1]);
  close(status);
  int wait_status = 0;
  while (waitpid(first, &wait_status, 0) < 0 && errno == EINTR) {
  }
  int sim_status = 0;
  if (read(result[0], &sim_status, sizeof sim_status) == static_cast<ssize_t>(sizeof sim_status))
    wait_status = sim_status;
  end_as(wait_status);
}
