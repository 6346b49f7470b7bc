// The serial port on Windows: the communications calls of KERNEL32 on a
// handle opened for ordinary blocking input and output.
//
// The read rule of the interface is exactly what COMMTIMEOUTS express: a
// read ends at n bytes, at an interval of more than ReadIntervalTimeout
// between two bytes, or after ReadTotalTimeoutMultiplier * n in all. The
// driver of the port does the waiting, so there is no deadline here.
#include <windows.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <limits>

#include "link/serial_port.h"

namespace stb::link {
namespace {

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// Windows opens COM10 and above only through the device namespace, "\\.\COM10";
// that form works for COM1 to COM9 as well. A name made of "COM" (any case)
// and digits is therefore opened as "\\.\COMn"; every other name, including
// one that already is a device path, is passed unchanged.
constexpr std::size_t max_port_name = 64;
constexpr char device_prefix[] = "\\\\.\\";

bool is_com_name(const char* name) {
  if (std::strlen(name) <= 3 || std::strlen(name) >= max_port_name) {
    return false;
  }
  if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(name[2])) != 'M') {
    return false;
  }
  for (const char* c = name + 3; *c != '\0'; ++c) {
    if (std::isdigit(static_cast<unsigned char>(*c)) == 0) {
      return false;
    }
  }
  return true;
}

// The path handed to CreateFileA: "\\.\COM" and the digits, or the name.
const char* device_path(const char* name, char (&buffer)[sizeof device_prefix + max_port_name]) {
  if (!is_com_name(name)) {
    return name;
  }
  std::memcpy(buffer, device_prefix, sizeof device_prefix - 1);
  std::memcpy(buffer + sizeof device_prefix - 1, "COM", 3);
  std::strcpy(buffer + sizeof device_prefix - 1 + 3, name + 3);
  return buffer;
}

// A port whose device has gone away no longer answers a query of its state:
// a removed USB adapter fails every call, and under wine a pseudo-terminal
// whose far end has closed keeps timing out reads empty while this query
// fails with ERROR_NOT_READY.
bool port_answers(HANDLE handle) {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(handle, &errors, &status) != 0;
}

}  // namespace

SerialPort::~SerialPort() { close(); }

bool SerialPort::open(const char* name) {
  close();
  char buffer[sizeof device_prefix + max_port_name];
  // Share mode 0: no other program may hold the port while the box is
  // being written. Not overlapped: every read and write blocks until its
  // time-out.
  HANDLE handle = CreateFileA(device_path(name, buffer), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool SerialPort::configure_line() {
  // Built from scratch rather than from the port's current state, so that
  // nothing a previous program left behind (flow control, a parity, an
  // error character) survives. Every field not set here is 0.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud_rate;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.XonLim = 1;
  dcb.XoffLim = 1;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return SetCommState(as_handle(handle_), &dcb) != 0;
}

void SerialPort::set_timeouts(const Timeouts& timeouts) {
  timeouts_ = timeouts;
  COMMTIMEOUTS record{};
  record.ReadIntervalTimeout = timeouts.gap_ms;
  record.ReadTotalTimeoutMultiplier = timeouts.per_byte_ms;
  record.ReadTotalTimeoutConstant = 0;
  record.WriteTotalTimeoutMultiplier = timeouts.write_per_byte_ms;
  record.WriteTotalTimeoutConstant = timeouts.write_constant_ms;
  // Not looked at: a port that keeps other time-outs shows it only in the
  // replies it delivers.
  SetCommTimeouts(as_handle(handle_), &record);
}

void SerialPort::close() {
  if (is_open()) {
    CloseHandle(as_handle(handle_));  // nothing to do if this fails
    handle_ = invalid_handle;
  }
}

ReadResult SerialPort::read(std::span<std::uint8_t> buffer) {
  ReadResult result;
  // A port already gone fails at once rather than after another time-out.
  if (!is_open() || !port_answers(as_handle(handle_))) {
    result.lost = true;
    return result;
  }
  // The reads of the program are of 5 bytes; a larger buffer is simply
  // filled up to what one call can take.
  const DWORD wanted = buffer.size() > std::numeric_limits<DWORD>::max()
                           ? std::numeric_limits<DWORD>::max()
                           : static_cast<DWORD>(buffer.size());
  DWORD got = 0;
  result.ok = ReadFile(as_handle(handle_), buffer.data(), wanted, &got, nullptr) != 0;
  result.count = got;
  if (!result.ok) {
    // With fAbortOnError off, a failing read means the device is gone.
    result.lost = true;
  } else if (got < wanted) {
    // A short read is normally just a silent box; ask the port whether it
    // is still there, so that a vanished one ends the run instead of being
    // waited on forever.
    result.lost = !port_answers(as_handle(handle_));
  }
  if (result.lost) {
    result.ok = false;
  }
  return result;
}

void SerialPort::write(std::span<const std::uint8_t> bytes) {
  if (!is_open() || bytes.empty()) {
    return;
  }
  // One call, bounded by the write time-outs; nobody looks at the result,
  // a lost block shows up as a missing acknowledgement.
  DWORD written = 0;
  const DWORD size = bytes.size() > std::numeric_limits<DWORD>::max()
                         ? std::numeric_limits<DWORD>::max()
                         : static_cast<DWORD>(bytes.size());
  WriteFile(as_handle(handle_), bytes.data(), size, &written, nullptr);
}

}  // namespace stb::link
