// COM ports of wine mapped onto pseudo-terminals, for running the Windows
// build against the simulated box.
//
// Wine finds COMn as the symbolic link dosdevices/comn of its prefix. Its
// mount manager owns those links: whenever the wineserver starts, it writes
// them afresh from the registry value HKLM\Software\Wine\Ports\COMn. A
// mapping therefore goes into both: the link takes effect at once while the
// wineserver keeps running (the suite holds one open for its whole run), and
// the registry keeps it should the wineserver start again.
#pragma once

#include <string>

namespace stb::windows_e2e {

// The wine prefix in use: $WINEPREFIX, or ~/.wine.
std::string wine_prefix();

// A COM number no other live case takes: every live pseudo-terminal has its
// own number, so /dev/pts/N becomes COM(N + 10). From 10 up, the port opens
// only through the "\\.\COMn" form.
int com_number_for(const std::string& pty_path);

class ComPort {
 public:
  // Maps COM`number` onto the device at `target`.
  ComPort(int number, const std::string& target);
  ~ComPort();
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] int number() const { return number_; }

 private:
  int number_;
  std::string link_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace stb::windows_e2e
