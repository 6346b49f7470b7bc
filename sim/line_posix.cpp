// The box's line on POSIX systems: a pseudo-terminal master or a tty device.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/line.h"

namespace stb::sim {
namespace {

int poll_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1000));
}

std::string failed(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

// Raw bytes both ways: no echo, no translation, no signals, no flow control.
bool make_raw(int fd, bool set_speed) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    return false;
  }
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (set_speed && (::cfsetispeed(&t, B115200) != 0 || ::cfsetospeed(&t, B115200) != 0)) {
    return false;
  }
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

Line::Line() {
  if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    stop_pipe_[0] = stop_pipe_[1] = -1;
  }
}

Line::~Line() {
  hang_up();
  for (int& fd : stop_pipe_) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool Line::open_pty() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error_ = failed("posix_openpt");
    return false;
  }
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
    error_ = failed("grantpt/unlockpt");
    ::close(fd);
    return false;
  }
  const char* name = ::ptsname(fd);
  if (name == nullptr) {
    error_ = failed("ptsname");
    ::close(fd);
    return false;
  }
  path_ = name;
  // Set from the master before the host starts, so that nothing the box
  // sends is echoed back or translated on the way.
  if (!make_raw(fd, false)) {
    error_ = failed("tcsetattr");
    ::close(fd);
    return false;
  }
  // A master whose slave was never opened does not report a hang-up; once
  // the slave has been opened and closed it does, until the host opens it.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    error_ = failed("open slave");
    ::close(fd);
    return false;
  }
  ::close(slave);
  fd_ = fd;
  pty_master_ = true;
  return true;
}

bool Line::open_device(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error_ = failed("open");
    return false;
  }
  if (!make_raw(fd, true)) {
    error_ = failed("tcsetattr");
    ::close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  pty_master_ = false;
  return true;
}

void Line::adopt(int fd) {
  hang_up();
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) {
    (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  fd_ = fd;
  pty_master_ = false;
}

Wait Line::wait_for_host(Clock::time_point deadline) {
  if (fd_ < 0) {
    return Wait::gone;
  }
  if (!pty_master_) {
    return Wait::ready;
  }
  for (;;) {
    if (stopping()) {
      return Wait::stopped;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0) {
      return Wait::ready;
    }
    if (Clock::now() >= deadline) {
      return Wait::timeout;
    }
    // The master keeps reporting the hang-up while no slave is open, so
    // poll() cannot sleep here: look again shortly.
    const auto nap = Clock::now() + std::chrono::milliseconds(2);
    pollfd p2{stop_pipe_[0], POLLIN, 0};
    (void)::poll(&p2, 1, poll_ms(nap));
  }
}

Wait Line::read(std::span<std::uint8_t> buffer, std::size_t& count, Clock::time_point deadline) {
  count = 0;
  for (;;) {
    if (fd_ < 0) {
      return Wait::gone;
    }
    if (stopping()) {
      return Wait::stopped;
    }
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n > 0) {
      count = static_cast<std::size_t>(n);
      return Wait::ready;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return Wait::gone;  // EIO on a master whose slave closed; end of file elsewhere
    }
    if (Clock::now() >= deadline) {
      return Wait::timeout;
    }
    pollfd p[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    const int r = ::poll(p, 2, poll_ms(deadline));
    if (r > 0 && (p[0].revents & POLLIN) == 0 && (p[0].revents & (POLLHUP | POLLERR)) != 0) {
      return Wait::gone;
    }
  }
}

bool Line::write(std::span<const std::uint8_t> bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (fd_ < 0 || stopping()) {
      return false;
    }
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    pollfd p{fd_, POLLOUT, 0};
    (void)::poll(&p, 1, poll_ms(deadline));
  }
  return true;
}

Wait Line::pause(std::chrono::milliseconds ms) {
  const auto deadline = Clock::now() + ms;
  for (;;) {
    if (stopping()) {
      return Wait::stopped;
    }
    if (fd_ < 0) {
      return Wait::gone;
    }
    if (Clock::now() >= deadline) {
      return Wait::ready;
    }
    // No events asked on the line: poll() still reports its hang-up.
    pollfd p[2] = {{fd_, 0, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(p, 2, poll_ms(deadline)) > 0 && (p[0].revents & POLLHUP) != 0) {
      return Wait::gone;
    }
  }
}

void Line::hang_up() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void Line::stop() {
  stop_requested_.store(true);
  if (stop_pipe_[1] >= 0) {
    const char b = 1;
    (void)!::write(stop_pipe_[1], &b, 1);
  }
}

}  // namespace stb::sim
