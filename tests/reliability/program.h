// Runs the real stbflash as a child process: its standard output and error
// collected (or its standard output closed before it starts), its end told
// apart as an exit status or a signal. STB_RUN_WRAPPER, when set, is a
// command put in front of it (for example a memory checker), split at
// spaces.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace stb::reliability {

struct Ended {
  int status = -1;  // exit status, or -1 when a signal ended it
  int signal = 0;   // the signal that ended it, or 0
  std::string out;
  std::string err;
};

class Program {
 public:
  Program() = default;
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Starts stbflash with the arguments, with the default action for every
  // signal, as from an interactive shell. With `close_stdout` its standard
  // output is a pipe whose reading end is already closed.
  bool start(const std::vector<std::string>& arguments, bool close_stdout = false);
  void send_signal(int signal) const;
  // Collects the output until the child closes it, then reaps the child.
  Ended wait();
  [[nodiscard]] static bool wrapped();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

}  // namespace stb::reliability
