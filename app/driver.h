// The driver of a whole download, from the banner to the exit status.
#pragma once

#include <span>

#include "protocol/download.h"

namespace stb::app {

// Runs `stbflash <filename> <com port>`: `arguments` are the command-line
// arguments after the program name (more than two are ignored). Returns the
// exit status: 0 only when the firmware was downloaded, burnt and verified.
int run_download(std::span<const char* const> arguments, protocol::Console& console);

}  // namespace stb::app
