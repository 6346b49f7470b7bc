// dnlinfo: inspects a download image before it is flashed, without a port.

#include <cstdio>
#include <string>
#include <string_view>

#include "image/download_image.h"
#include "tools/dnlinfo/inspect.h"
#include "tools/dnlinfo/report.h"

#ifndef DNLINFO_VERSION
#define DNLINFO_VERSION "unknown"
#endif

namespace {

// Exit statuses: 0 and 1 answer the question scripts ask (will the image go
// out whole?); a wrong command line is told apart from a bad image.
constexpr int status_sound = 0;
constexpr int status_defective = 1;
constexpr int status_usage = 2;

constexpr std::string_view usage_text =
    "Usage: dnlinfo [--json] <filename>\n"
    "Shows what a download image holds and whether stbflash sends it whole.\n"
    "\n"
    "  --json      print the findings as one JSON object\n"
    "  --help      print this text and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Exit status: 0 when stbflash sends the image whole, 1 when it would stop\n"
    "on a defect or the file cannot be opened, 2 for a wrong command line.\n";

void write(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

int usage_error(std::string_view problem) {
  std::fprintf(stderr, "dnlinfo: %.*s\n", static_cast<int>(problem.size()), problem.data());
  std::fputs("Try 'dnlinfo --help' for more information.\n", stderr);
  return status_usage;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool options_done = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg == "--help") {
      write(stdout, usage_text);
      return status_sound;
    } else if (!options_done && arg == "--version") {
      std::fputs("dnlinfo " DNLINFO_VERSION "\n", stdout);
      return status_sound;
    } else if (!options_done && arg == "--json") {
      json = true;
    } else if (!options_done && arg.size() > 1 && arg.front() == '-') {
      return usage_error("unknown option '" + std::string(arg) + "'");
    } else if (path == nullptr) {
      path = argv[i];
    } else {
      return usage_error("only one image at a time");
    }
  }
  if (path == nullptr) {
    return usage_error("no image named");
  }

  // Opened as stbflash opens it, so a file it cannot open fails here too.
  stb::image::ImageFile file;
  if (!file.open(path)) {
    std::fprintf(stderr, "dnlinfo: Can't open input file %s\n", path);
    if (json) {
      write(stdout, stb::dnlinfo::json_open_failure(path));
    }
    return status_defective;
  }
  const stb::dnlinfo::Report report = stb::dnlinfo::inspect(file);
  file.close();

  write(stdout, json ? stb::dnlinfo::json_report(report, path)
                     : stb::dnlinfo::text_report(report, path));
  if (std::fflush(stdout) != 0) {
    return status_defective;
  }
  return report.sends_whole() ? status_sound : status_defective;
}
