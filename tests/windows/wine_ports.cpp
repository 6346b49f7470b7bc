#include "tests/windows/wine_ports.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/e2e/harness.h"

namespace stb::windows_e2e {
namespace {

constexpr const char* ports_key = "HKLM\\Software\\Wine\\Ports";

bool run_wine(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"wine"};
  argv.insert(argv.end(), args.begin(), args.end());
  e2e::Process p;
  if (!p.start(argv)) {
    return false;
  }
  return p.finish().status == 0;
}

}  // namespace

std::string wine_prefix() {
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
    return prefix;
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.wine";
}

int com_number_for(const std::string& pty_path) {
  const std::string prefix = "/dev/pts/";
  if (pty_path.rfind(prefix, 0) != 0) {
    return 0;
  }
  return 10 + std::atoi(pty_path.c_str() + prefix.size());
}

ComPort::ComPort(int number, const std::string& target)
    : number_(number), link_(wine_prefix() + "/dosdevices/com" + std::to_string(number)) {
  const std::string name = "COM" + std::to_string(number);
  if (!run_wine({"reg", "add", ports_key, "/v", name, "/t", "REG_SZ", "/d", target, "/f"})) {
    error_ = "wine reg add " + name + " failed";
    return;
  }
  (void)::unlink(link_.c_str());
  if (::symlink(target.c_str(), link_.c_str()) != 0) {
    error_ = "symlink " + link_ + ": " + std::strerror(errno);
    return;
  }
  ok_ = true;
}

ComPort::~ComPort() {
  (void)::unlink(link_.c_str());
  (void)run_wine({"reg", "delete", ports_key, "/v", "COM" + std::to_string(number_), "/f"});
}

}  // namespace stb::windows_e2e
