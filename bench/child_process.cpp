#include "bench/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "bench/clock.h"

extern char** environ;

namespace stb::bench {
namespace {

constexpr std::int64_t poll_step_ms = 2;
constexpr std::int64_t grace_ms = 500;  // between SIGTERM and SIGKILL

}  // namespace

Child::~Child() { stop(); }

bool Child::start(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&files);
  posix_spawnattr_init(&attributes);
  const std::string target = log.empty() ? "/dev/null" : log;
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, target.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
  // A group of its own, so that stop() also reaches what a shell started.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  const int error = ::posix_spawnp(&pid_, args[0], &files, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    pid_ = -1;
    errno = error;
    return false;
  }
  return true;
}

bool Child::start_shell(const std::string& command, const std::string& log) {
  return start({"/bin/sh", "-c", command}, log);
}

ChildExit Child::wait(std::int64_t timeout_ms) {
  ChildExit result;
  if (pid_ < 0) {
    return result;
  }
  // A pidfd wakes the wait the moment the child ends, so the end time is
  // exact, and still lets the wait give up at the time-out.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  const std::int64_t deadline = now_ns() + timeout_ms * 1'000'000;
  for (;;) {
    const std::int64_t left_ms = (deadline - now_ns()) / 1'000'000;
    if (pidfd >= 0 && left_ms > 0) {
      pollfd p{pidfd, POLLIN, 0};
      (void)::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left_ms, 1000)));
    } else if (left_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(poll_step_ms));
    }
    int status = 0;
    const pid_t done = ::wait4(pid_, &status, WNOHANG, &result.usage);
    if (done == pid_) {
      result.end_ns = now_ns();
      pid_ = -1;
      result.exited = WIFEXITED(status);
      result.status = result.exited ? WEXITSTATUS(status) : -1;
      break;
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      break;
    }
    if (now_ns() >= deadline) {
      stop();
      break;
    }
  }
  if (pidfd >= 0) {
    ::close(pidfd);
  }
  return result;
}

void Child::stop() {
  if (pid_ < 0) {
    return;
  }
  (void)::kill(-pid_, SIGTERM);  // the group may already be gone
  const std::int64_t deadline = now_ns() + grace_ms * 1'000'000;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (now_ns() >= deadline) {
      (void)::kill(-pid_, SIGKILL);
      (void)::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_step_ms));
  }
  pid_ = -1;
}

}  // namespace stb::bench
