// host_overhead: the downloader at full speed against the bare pseudo-terminal.
//
//   host_overhead raw --bytes N [--write-size 8] [--reader box|drain]
//       A child process writes N bytes to a pseudo-terminal slave in writes
//       of the given size while this process reads the master: like the
//       simulated box (non-blocking reads of 4 KiB, poll() when empty) or in
//       blocking 64 KiB reads (the fastest a reader can drain it). Prints the
//       throughput and the writer's CPU time.
//
//   host_overhead download --stbflash PATH --image FILE --box CMD
//                          --image-bytes N --log FILE
//       Starts the box command, which makes a pseudo-terminal and prints
//       "ready on PATH" (its output goes to FILE.box), then the downloader on
//       PATH, with no pacing; the downloader's output goes to FILE. Prints the downloader's
//       wall time from start to exit, its CPU time and its peak resident
//       memory.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/clock.h"
#include "bench/options.h"

namespace stb::bench {
namespace {

constexpr double mib = 1024.0 * 1024.0;
constexpr std::size_t drain_size = 65536;
constexpr std::size_t box_read_size = 4096;
constexpr std::int64_t port_wait_ms = 10'000;

double cpu_seconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The writer: what the downloader does to its port, minus the protocol.
[[noreturn]] void write_raw(const char* slave, std::size_t bytes, std::size_t write_size) {
  const int fd = ::open(slave, O_RDWR | O_NOCTTY);
  termios t{};
  if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
    ::_exit(3);
  }
  ::cfmakeraw(&t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    ::_exit(3);
  }
  std::vector<std::uint8_t> block(write_size, 0xA5);
  for (std::size_t sent = 0; sent < bytes;) {
    const ssize_t n = ::write(fd, block.data(), std::min(write_size, bytes - sent));
    if (n < 0) {
      ::_exit(4);
    }
    sent += static_cast<std::size_t>(n);
  }
  ::_exit(0);
}

int run_raw(const Options& options) {
  const auto bytes = options.number("bytes", 64 * mib);
  const auto write_size = options.number("write-size", 8);
  if (!bytes || !write_size || *write_size < 1) {
    return 2;
  }
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  const std::string slave = ::ptsname(master);
  const auto total = static_cast<std::size_t>(*bytes);
  const std::int64_t start = now_ns();
  const pid_t writer = ::fork();
  if (writer == 0) {
    write_raw(slave.c_str(), total, static_cast<std::size_t>(*write_size));
  }
  if (writer < 0) {
    std::perror("fork");
    return 1;
  }
  const bool like_box = options.text("reader").value_or("box") == "box";
  if (like_box) {
    (void)::fcntl(master, F_SETFL, O_NONBLOCK);  // best effort: a blocking read only drains faster
  }
  std::vector<std::uint8_t> buffer(like_box ? box_read_size : drain_size);
  std::size_t got = 0;
  while (got < total) {
    const ssize_t n = ::read(master, buffer.data(), buffer.size());
    if (n < 0 && errno == EAGAIN) {
      pollfd p{master, POLLIN, 0};
      (void)::poll(&p, 1, 100);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EIO) {
      // No slave open yet: EIO until the child opens it.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  const std::int64_t end = now_ns();
  int status = 0;
  rusage usage{};
  (void)::wait4(writer, &status, 0, &usage);
  ::close(master);
  const double seconds = static_cast<double>(end - start) / 1e9;
  const bool ok = got == total && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("raw reader=%s bytes=%zu write_size=%.0f seconds=%.4f mib_per_s=%.3f writer_cpu_s_per_mib=%.5f status=%s\n",
              like_box ? "box" : "drain", got, *write_size, seconds, static_cast<double>(got) / mib / seconds,
              cpu_seconds(usage) / (static_cast<double>(got) / mib), ok ? "ok" : "invalid");
  return ok ? 0 : 1;
}

// The box announces its port with a line "... ready on PATH" in the log.
std::string wait_for_port(const std::string& log) {
  constexpr std::string_view marker = "ready on ";
  const std::int64_t deadline = now_ns() + port_wait_ms * 1'000'000;
  while (now_ns() < deadline) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find(marker);
      if (at != std::string::npos) {
        return line.substr(at + marker.size());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return {};
}

int run_download(const Options& options) {
  const auto stbflash = options.text("stbflash");
  const auto image = options.text("image");
  const auto box_cmd = options.text("box");
  const auto image_bytes = options.number("image-bytes", 0);
  const auto log = options.text("log");
  if (!stbflash || !image || !box_cmd || !image_bytes || !log) {
    return 2;
  }
  Child box;
  const std::string box_log = *log + ".box";
  std::remove(box_log.c_str());  // a log of an earlier run; absent is fine
  const std::string port = box.start_shell(*box_cmd, box_log) ? wait_for_port(box_log) : "";
  if (port.empty()) {
    std::fprintf(stderr, "host_overhead: the box did not say where it is ready\n");
    return 1;
  }
  Child host;
  const std::int64_t start = now_ns();
  if (!host.start({*stbflash, *image, port}, *log)) {
    std::perror("stbflash");
    return 1;
  }
  const ChildExit end = host.wait(900'000);
  (void)box.wait(2'000);  // the box ends once the host has closed the line
  std::ifstream text(*log);
  const std::string output((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
  const bool ok = end.exited && output.find("Firmware was downloaded successfully.") != std::string::npos;
  const double seconds = static_cast<double>(end.end_ns - start) / 1e9;
  const double image_mib = *image_bytes / mib;
  std::printf("download image_bytes=%.0f seconds=%.4f mib_per_s=%.3f cpu_s=%.4f cpu_ms_per_mib=%.3f "
              "peak_rss_kib=%ld status=%s\n",
              *image_bytes, seconds, image_mib / seconds, cpu_seconds(end.usage),
              1000 * cpu_seconds(end.usage) / image_mib, end.usage.ru_maxrss, ok ? "ok" : "invalid");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace stb::bench

int main(int argc, char** argv) {
  using namespace stb::bench;
  const std::string what = argc > 1 ? argv[1] : "";
  Options options;
  if (what == "raw" && options.parse(argc, argv, 2, {"bytes", "write-size", "reader"})) {
    return run_raw(options);
  }
  if (what == "download" &&
      options.parse(argc, argv, 2, {"stbflash", "image", "box", "image-bytes", "log"})) {
    return run_download(options);
  }
  std::fprintf(stderr, "usage: host_overhead raw|download ... (see the comment at the top of host_overhead.cpp)\n");
  return 2;
}
