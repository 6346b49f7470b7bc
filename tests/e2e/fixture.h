// A download against a simulated box on a fresh pseudo-terminal.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace stb::e2e {

struct Download {
  RunResult host;
  sim::Transcript box;
  std::string port;   // the pty slave the host was given
  std::string image;  // the image file's path
};

// A name for a scratch file that no other case of this process uses.
inline std::string unique_name(const std::string& suffix) {
  static int counter = 0;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "case";
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  return name + "." + std::to_string(++counter) + suffix;
}

// Runs the host on `image_file` against a box with `settings`; `extra` are
// further arguments, `port_override` replaces the box's port name.
inline Download download(const Bytes& image_file, sim::Settings settings = {}, const RunOptions& options = {},
                         const std::vector<std::string>& extra = {}, const std::string& port_override = "") {
  Download d;
  sim::Box box(std::move(settings));
  if (!box.open_pty()) {
    ADD_FAILURE() << "no pseudo-terminal: " << box.error();
    return d;
  }
  box.start();
  d.port = port_override.empty() ? box.path() : port_override;
  d.image = scratch_file(unique_name(".dnl"), image_file);
  std::vector<std::string> args{d.image, d.port};
  args.insert(args.end(), extra.begin(), extra.end());
  d.host = run_host(args, options);
  // The box ends when the host closes the line; a host that never opened
  // it leaves the box waiting, so stop it after a moment.
  for (int i = 0; i < 300 && !box.finished(); ++i) {
    ::usleep(10'000);
  }
  box.stop();
  d.box = box.wait();
  return d;
}

inline Download download(const sim::Image& image, sim::Settings settings = {}, const RunOptions& options = {}) {
  return download(sim::image_bytes(image), std::move(settings), options);
}

inline sim::Settings with_faults(std::vector<sim::Fault> faults) {
  sim::Settings s;
  s.faults = std::move(faults);
  return s;
}

inline std::string as_text(const Bytes& b) { return {b.begin(), b.end()}; }

// Three records numbered 0, 1, 2, count 3.
inline sim::Image three_records() {
  const std::size_t sizes[] = {256, 5, 1000};
  return sim::numbered_image(3, sizes);
}

}  // namespace stb::e2e
