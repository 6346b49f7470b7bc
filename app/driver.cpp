#include "app/driver.h"

#include <cstdio>

#include "image/download_image.h"
#include "link/serial_port.h"

namespace stb::app {
namespace {

using protocol::exit_failure;
using protocol::exit_success;

// Everything that lives for the whole run, in static storage: nothing is
// allocated once the program runs.
protocol::Buffers buffers;
image::ImageFile image_file;
link::SerialPort port;

void print_banner(protocol::Console& console) {
  console.out("\n\t+-------------------------------------------------------------+\n");
  console.out("\t|-- Downloading the firmware to the target stb via RS-232C. --|\n");
  console.out("\t+-------------------------------------------------------------+\n");
}

void print_port_failure(protocol::Console& console, const char* name) {
  std::array<char, 512> line{};
  std::snprintf(line.data(), line.size(), "\n\tCan't open serial port [%s]\n", name);
  console.err(line.data());
  console.err("\t\tPlease check if the com port has the following parameters.\n");
  console.err("\t\tBaudrate  : 115200bps\n");
  console.err("\t\tParity    : no parity\n");
  console.err("\t\tDatabyte  : 8 bit/data\n");
  console.err("\t\tStop bit  : 1\n");
}

// Opens and configures the port; false when it cannot be opened at all.
bool open_serial_port(protocol::Console& console, const char* name) {
  if (!port.open(name)) {
    print_port_failure(console, name);
    return false;
  }
  if (!port.configure_line()) {
    // Only reported: the download goes on with whatever the port has.
    console.out("\nUART initialization failed");
  }
  port.set_timeouts();
  return true;
}

}  // namespace

int run_download(std::span<const char* const> arguments, protocol::Console& console) {
  print_banner(console);

  if (arguments.size() < 2 || arguments[0] == nullptr || arguments[1] == nullptr) {
    console.err("\n\tUsage : stbflash <filename> <com port> (example : stbflash file.dnl com1)\n");
    return exit_failure;
  }
  const char* image_path = arguments[0];
  const char* port_name = arguments[1];

  // The image is opened before the port, so when both names are wrong only
  // the image is reported.
  if (!image_file.open(image_path)) {
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(), "\n\tCan't open input file %s\n", image_path);
    console.err(line.data());
    return exit_failure;
  }
  if (!open_serial_port(console, port_name)) {
    return exit_failure;
  }

  buffers.reply[link::token_size] = 0;
  protocol::Session session{port, image_file, console, buffers};
  if (!protocol::download(session)) {
    return exit_failure;
  }
  image_file.close();
  port.close();
  console.out(protocol::success_line);
  return exit_success;
}

}  // namespace stb::app
