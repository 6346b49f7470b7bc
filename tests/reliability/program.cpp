#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace stb::reliability {
namespace {

std::vector<std::string> wrapper() {
  std::vector<std::string> words;
  if (const char* w = std::getenv("STB_RUN_WRAPPER"); w != nullptr) {
    std::istringstream in(w);
    for (std::string word; in >> word;) {
      words.push_back(word);
    }
  }
  return words;
}

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

bool Program::wrapped() { return !wrapper().empty(); }

Program::~Program() {
  close_fd(out_);
  close_fd(err_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Program::start(const std::vector<std::string>& arguments, bool close_stdout) {
  std::vector<std::string> command = wrapper();
  command.push_back(STBFLASH_PATH);
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : command) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return false;
  }
  pid_ = ::fork();
  if (pid_ < 0) {
    return false;
  }
  if (pid_ == 0) {
    // A test runner may have left signals ignored or blocked; a user at a
    // console has neither.
    for (int s : {SIGINT, SIGPIPE, SIGTERM, SIGQUIT}) {
      ::signal(s, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (close_stdout) {
    close_fd(out_);
  }
  return true;
}

void Program::send_signal(int signal) const {
  if (pid_ > 0) {
    ::kill(pid_, signal);
  }
}

Ended Program::wait() {
  Ended ended;
  char chunk[4096];
  while (out_ >= 0 || err_ >= 0) {
    pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_ : err_;
      if (fd < 0 || p[i].revents == 0) {
        continue;
      }
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? ended.out : ended.err).append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close_fd(fd);
      }
    }
  }
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
    if (WIFEXITED(status)) {
      ended.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      ended.signal = WTERMSIG(status);
    }
  }
  pid_ = -1;
  return ended;
}

}  // namespace stb::reliability
