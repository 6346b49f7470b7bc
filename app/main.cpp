// stbflash <filename> <com port>: downloads a firmware image to a set-top
// box over a serial line and follows it while it burns and verifies flash.

#include <cstdlib>
#include <span>

#include "app/console.h"
#include "app/driver.h"
#include "app/process.h"

int main(int argc, char** argv) {
  stb::app::prepare_process();
  stb::app::StdioConsole console;
  const auto arguments = argc > 1 ? std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
                                  : std::span<const char* const>();
  return stb::app::run_download(arguments, console);
}
