// End-to-end harness: runs the host program as a child process against a
// simulated box, collects its standard output and standard error apart (or
// together in one file), its exit status, all under a hard deadline; plus
// the console texts of the host that the cases compare against.
//
// The host command is the stbflash built here, or the words of the
// environment variable STB_E2E_HOST (for example "wine /path/stbflash.exe"),
// to which the image path and the port name are appended.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "sim/box.h"
#include "sim/image_builder.h"

namespace stb::e2e {

using sim::Bytes;

struct RunOptions {
  std::chrono::milliseconds deadline{200'000};  // then the child is killed
  // When set, standard output and standard error both go to this file (one
  // open file, as with "> file 2>&1"), and `out` holds the file afterwards.
  std::string combined_file;
};

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;         // exit status; -1 when killed or signalled
  bool killed = false;     // the deadline passed
  double seconds = 0;      // wall time from start to exit
};

// A child process with its output on pipes.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] (looked up on PATH) with the arguments.
  bool start(const std::vector<std::string>& argv, const RunOptions& options = {});
  // Reads standard output up to the first line end (kept in the output),
  // at most until `deadline` from now; empty on failure.
  std::string read_line(std::chrono::milliseconds deadline);
  // Collects the rest of the output and waits for the exit.
  RunResult finish();

 private:
  int pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  RunOptions options_;
  std::string out_;
  std::string err_;
  std::chrono::steady_clock::time_point started_;
};

// The host command, without its two arguments.
std::vector<std::string> host_command();
// Runs the host with these arguments.
RunResult run_host(const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh directory for this test process; files put there live until exit.
std::string scratch_dir();
// Writes bytes to a file in the scratch directory and returns its path.
std::string scratch_file(const std::string& name, const Bytes& bytes);
std::string read_text(const std::string& path);

// Everything the host sends to a box that answers every block at once.
Bytes healthy_wire(const sim::Image& image);
// The whole standard output of a successful download of `image`.
std::string success_out(const sim::Image& image);
// The progress lines of the records, in order.
std::string progress(const sim::Image& image, std::size_t records);
// The progress line of one record.
std::string progress_line(std::uint16_t number, std::uint16_t count);

Bytes text_bytes(std::string_view text);

// The host's console texts.
namespace text {
inline constexpr std::string_view banner =
    "\n\t+-------------------------------------------------------------+\n"
    "\t|-- Downloading the firmware to the target stb via RS-232C. --|\n"
    "\t+-------------------------------------------------------------+\n";
inline constexpr std::string_view usage =
    "\n\tUsage : stbflash <filename> <com port> (example : stbflash file.dnl com1)\n";
inline constexpr std::string_view uart_failed = "\nUART initialization failed";
inline constexpr std::string_view connection_failed = "\n\tThe connetion failed.\n";
inline constexpr std::string_view stb_does_not_respond = "\n\tThe stb does not respond.\n";
inline constexpr std::string_view stb_dont_respond = "\n\tThe stb don't respond.\n";
inline constexpr std::string_view aborted = "\n\tConnection aborted due to communication problems.!\n";
inline constexpr std::string_view port_lost = "\n\tThe serial port was disconnected.\n";
inline constexpr std::string_view file_read_error = "\n\tFile read error.\n";
inline constexpr std::string_view file_header_format = "\n\tThe file header format is not correct.\n";
inline constexpr std::string_view packet_header_format = "\n\tThe packet header format is not correct.\n";
inline constexpr std::string_view done_tail =
    "done\n\t Flash Burning ... done\n\t Program Verifying ... done\n\t Firmware was downloaded successfully.\n";
inline constexpr std::string_view transferring_failed = "\n\t 6-2) firmware transferring failed";
inline constexpr std::string_view burning_failed = "\n\t 6-4) flash burning failed";
inline constexpr std::string_view verifying_failed = "\n\t 6-6) flash verifying failed";

std::string cannot_open_image(const std::string& path);
std::string cannot_open_port(const std::string& port);
}  // namespace text

}  // namespace stb::e2e
