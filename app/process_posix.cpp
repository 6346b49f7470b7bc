#include <csignal>
#include <unistd.h>

#include "app/process.h"

namespace stb::app {

void prepare_process() {
  // With SIGPIPE ignored, writing to a closed pipe only fails; the download
  // goes on and the exit status still tells what happened to the box.
  std::signal(SIGPIPE, SIG_IGN);
}

bool stream_is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

}  // namespace stb::app
