// Child processes for the benchmarks: started in a process group of their
// own, waited for with their resource usage, ended when they overstay.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace stb::bench {

struct ChildExit {
  bool exited = false;  // ended by itself (not by a signal, not still running)
  int status = -1;      // its exit status when `exited`
  rusage usage{};       // CPU time and peak resident memory of the child
  std::int64_t end_ns = 0;
};

class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Runs `argv[0]` (searched in PATH) with standard output and standard error
  // sent to `log` (appended; /dev/null when empty). False when it cannot start.
  bool start(const std::vector<std::string>& argv, const std::string& log = {});
  // Runs a shell command line the same way.
  bool start_shell(const std::string& command, const std::string& log = {});

  // Waits at most `timeout_ms`; when the child is still running then, it
  // and its group are killed and `exited` is false.
  ChildExit wait(std::int64_t timeout_ms);
  // Ends the child's whole group at once (SIGTERM, then SIGKILL) and reaps it.
  void stop();
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace stb::bench
