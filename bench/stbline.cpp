// stbline: an emulated serial cable between two pseudo-terminals.
//
//   stbline [--baud 115200] [--latency-ms 1] [--host-link PATH] [--box-link PATH]
//
// Prints "host <path>" and "box <path>" once the line is up, then carries
// bytes until it is interrupted. With the link options it also makes those
// symbolic links to the two slaves, so a script can name them in advance.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "bench/line_emulator.h"
#include "bench/options.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int) { stop_requested.store(true); }

bool link_to(const std::optional<std::string>& link, const std::string& target) {
  if (!link) {
    return true;
  }
  (void)::unlink(link->c_str());  // a link left by an earlier run; absent is fine
  if (::symlink(target.c_str(), link->c_str()) != 0) {
    std::perror(link->c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace stb::bench;
  Options options;
  if (!options.parse(argc, argv, 1, {"baud", "latency-ms", "host-link", "box-link"})) {
    return 2;
  }
  const auto baud = options.number("baud", 115200);
  const auto latency = options.number("latency-ms", 0);
  if (!baud || !latency) {
    return 2;
  }
  LineEmulator line;
  if (!line.open({static_cast<std::uint32_t>(*baud), ms_to_ns(*latency)})) {
    std::perror("pseudo-terminal");
    return 1;
  }
  const auto host_link = options.text("host-link");
  const auto box_link = options.text("box-link");
  if (!link_to(host_link, line.path(Side::host)) || !link_to(box_link, line.path(Side::box))) {
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  std::printf("host %s\nbox %s\n", line.path(Side::host).c_str(), line.path(Side::box).c_str());
  std::fflush(stdout);
  const bool ok = line.run(stop_requested, nullptr);
  if (host_link) {
    (void)::unlink(host_link->c_str());  // best effort tidying
  }
  if (box_link) {
    (void)::unlink(box_link->c_str());
  }
  if (!ok) {
    std::perror("line");
    return 1;
  }
  return 0;
}
