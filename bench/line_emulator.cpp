#include "bench/line_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "bench/clock.h"

namespace stb::bench {
namespace {

constexpr std::int64_t max_wait_ns = 50'000'000;  // how often `stop` is looked at

std::size_t index_of(Side side) { return side == Side::host ? 0 : 1; }
Side other(Side side) { return side == Side::host ? Side::box : Side::host; }

bool make_raw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    return false;
  }
  ::cfmakeraw(&t);
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

// The bytes in flight from one side to the other, each with the time it is
// due at the far end: a ring of `queue_capacity` entries.
struct LineEmulator::Direction {
  Side from;
  LineSchedule schedule;
  std::array<std::uint8_t, queue_capacity> bytes{};
  std::array<std::int64_t, queue_capacity> due{};
  std::size_t head = 0;   // oldest byte not yet delivered
  std::size_t count = 0;  // bytes in flight
  bool blocked = false;   // the far slave's input is full: wait for POLLOUT

  [[nodiscard]] std::size_t room() const { return queue_capacity - count; }
  [[nodiscard]] std::int64_t next_due() const {
    return count == 0 ? std::numeric_limits<std::int64_t>::max() : due[head];
  }
};

LineEmulator::~LineEmulator() {
  for (End& end : ends_) {
    if (end.held_slave >= 0) {
      ::close(end.held_slave);
    }
    if (end.master >= 0) {
      ::close(end.master);
    }
  }
}

bool LineEmulator::open(const LineConfig& config) {
  config_ = config;
  for (End& end : ends_) {
    end.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (end.master < 0 || ::grantpt(end.master) != 0 || ::unlockpt(end.master) != 0) {
      return false;
    }
    const char* name = ::ptsname(end.master);
    if (name == nullptr) {
      return false;
    }
    end.path = name;
    // Holding the slave open keeps the master readable and writable while
    // the program at that end has not opened it yet, or has closed it.
    end.held_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (end.held_slave < 0 || !make_raw(end.held_slave)) {
      return false;
    }
  }
  return true;
}

const std::string& LineEmulator::path(Side side) const { return ends_[index_of(side)].path; }

bool LineEmulator::run(const std::atomic<bool>& stop, LineObserver* observer) {
  // Wake-ups are due to the microsecond; the default timer slack of 50 us
  // would be over half a byte time at 115200 bd.
  (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // best effort: only precision suffers

  const std::int64_t origin = now_ns();
  std::array<Direction, 2> dirs{Direction{Side::host, LineSchedule(config_.baud, config_.latency_ns)},
                                Direction{Side::box, LineSchedule(config_.baud, config_.latency_ns)}};
  std::array<std::uint8_t, queue_capacity> chunk{};

  while (!stop.load(std::memory_order_relaxed)) {
    // 1. Hand over every byte whose time has come.
    for (Direction& d : dirs) {
      const int to = ends_[index_of(other(d.from))].master;
      while (d.count > 0 && !d.blocked && d.due[d.head] <= now_ns() - origin) {
        const std::int64_t now = now_ns() - origin;
        std::size_t n = 0;
        while (n < d.count && n < queue_capacity - d.head && d.due[d.head + n] <= now) {
          ++n;
        }
        const ssize_t written = ::write(to, d.bytes.data() + d.head, n);
        if (written < 0) {
          if (errno == EAGAIN) {
            d.blocked = true;
            break;
          }
          if (errno == EINTR) {
            continue;
          }
          return false;
        }
        const auto done = static_cast<std::size_t>(written);
        if (observer != nullptr) {
          observer->delivered(d.from, std::span(d.bytes.data() + d.head, done), now_ns());
        }
        d.head = (d.head + done) % queue_capacity;
        d.count -= done;
      }
    }

    // 2. Wait for bytes to take, room to hand over, or the next due time.
    std::array<pollfd, 2> fds{};
    std::int64_t wake = max_wait_ns;
    for (std::size_t i = 0; i < 2; ++i) {
      fds[i].fd = ends_[i].master;
    }
    for (Direction& d : dirs) {
      if (d.room() > 0) {
        fds[index_of(d.from)].events |= POLLIN;
      }
      if (d.blocked) {
        fds[index_of(other(d.from))].events |= POLLOUT;
      } else if (d.count > 0) {
        wake = std::min(wake, d.next_due() - (now_ns() - origin));
      }
    }
    wake = std::max<std::int64_t>(wake, 0);
    const timespec timeout{static_cast<time_t>(wake / 1'000'000'000), static_cast<long>(wake % 1'000'000'000)};
    if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }

    // 3. Take what has arrived, as much as the queues have room for.
    for (Direction& d : dirs) {
      const pollfd& to = fds[index_of(other(d.from))];
      if ((to.revents & POLLOUT) != 0) {
        d.blocked = false;
      }
      const pollfd& from = fds[index_of(d.from)];
      if ((from.revents & (POLLIN | POLLHUP | POLLERR)) == 0 || d.room() == 0) {
        continue;
      }
      const ssize_t got = ::read(from.fd, chunk.data(), d.room());
      if (got <= 0) {
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
          continue;
        }
        return false;  // the held slave rules out a hang-up: this is real
      }
      const std::int64_t taken_at = now_ns();
      for (ssize_t k = 0; k < got; ++k) {
        const std::size_t at = (d.head + d.count) % queue_capacity;
        d.bytes[at] = chunk[static_cast<std::size_t>(k)];
        d.due[at] = d.schedule.take(taken_at - origin);
        ++d.count;
      }
      if (observer != nullptr) {
        observer->taken(d.from, std::span(chunk.data(), static_cast<std::size_t>(got)), taken_at);
      }
    }
  }
  return true;
}

}  // namespace stb::bench
