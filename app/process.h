// The few process-wide settings that differ between platforms.
#pragma once

#include <cstdio>

namespace stb::app {

// Called once at start. A closed standard output must not kill a download
// halfway (no SIGPIPE); interrupt keys keep their default effect.
void prepare_process();
// True when the stream is an interactive console rather than a file or pipe.
bool stream_is_terminal(std::FILE* stream);

}  // namespace stb::app
