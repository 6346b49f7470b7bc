#include "tools/dnlinfo/report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <span>

#include "link/serial_port.h"
#include "protocol/download.h"

namespace stb::dnlinfo {
namespace {

// gnu_printf: on Windows the C runtime's own printf lacks %zu, but the
// MinGW runtime the C++ library selects has it.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((format(gnu_printf, 2, 3)))
#endif
void append(std::string& out, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  char line[256];
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof line) {
    out.append(line, static_cast<std::size_t>(n));
  } else if (n > 0) {
    // Long file names do not fit the line; format once more at full size.
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data() + start, static_cast<std::size_t>(n) + 1, format, again);
    out.resize(start + static_cast<std::size_t>(n));
  }
  va_end(again);
}

// "41 42 43" for text, "414243" for JSON.
std::string hex(std::span<const std::uint8_t> bytes, const char* separator = "") {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) {
      out += separator;
    }
    append(out, "%02X", bytes[i]);
  }
  return out;
}

// The downloader's message for a defect, without its tabs and line ends.
std::string_view bare_message(image::Error error) {
  std::string_view text = image::message(error);
  while (!text.empty() && (text.front() == '\n' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
  }
  return text;
}

std::string_view error_key(image::Error error) {
  switch (error) {
    case image::Error::none:
      break;
    case image::Error::file_read:
      return "file_read";
    case image::Error::file_header_format:
      return "file_header_format";
    case image::Error::packet_header_format:
      return "packet_header_format";
  }
  return "none";
}

std::string_view cause_key(Cause cause) {
  switch (cause) {
    case Cause::read_failed:
      return "read_failed";
    case Cause::short_file_header:
      return "short_file_header";
    case Cause::bad_file_magic:
      return "bad_file_magic";
    case Cause::bad_packet_magic:
      return "bad_packet_magic";
    case Cause::payload_too_long:
      return "payload_too_long";
    case Cause::short_packet_header:
      return "short_packet_header";
    case Cause::short_body:
      return "short_body";
  }
  return "unknown";
}

std::string_view warning_key(WarningKind kind) {
  switch (kind) {
    case WarningKind::count_mismatch:
      return "count_mismatch";
    case WarningKind::number_out_of_order:
      return "number_out_of_order";
    case WarningKind::number_not_below_count:
      return "number_not_below_count";
    case WarningKind::read_failed_at_end:
      return "read_failed_at_end";
  }
  return "unknown";
}

bool names_a_record(Cause cause) {
  return cause == Cause::bad_packet_magic || cause == Cause::payload_too_long ||
         cause == Cause::short_body;
}

// What is wrong, in one sentence after the downloader's message.
std::string describe(const Defect& defect, std::size_t record) {
  std::string out;
  switch (defect.cause) {
    case Cause::read_failed:
      append(out, "reading the file failed at offset %" PRIu64, defect.offset + defect.have);
      break;
    case Cause::short_file_header:
      append(out, "the file holds only %" PRIu64 " bytes, short of the %zu-byte header",
             defect.have, image::file_header_size);
      break;
    case Cause::bad_file_magic:
      append(out, "the file begins %02X %02X, not %02X %02X", defect.magic[0], defect.magic[1],
             image::file_magic_0, image::file_magic_1);
      break;
    case Cause::bad_packet_magic:
      append(out, "record %zu begins %02X %02X, not %02X %02X", record, defect.magic[0],
             defect.magic[1], image::packet_magic, image::packet_magic);
      break;
    case Cause::payload_too_long:
      append(out, "record %zu has a payload length of %" PRIu32 ", above the largest, %" PRIu32,
             record, defect.payload_length, image::max_payload_length);
      break;
    case Cause::short_packet_header:
      append(out, "%" PRIu64 " bytes follow the last record, short of a %zu-byte packet header",
             defect.have, image::packet_header_size);
      break;
    case Cause::short_body:
      append(out,
             "record %zu needs %" PRIu64 " bytes of payload and trailer (length %" PRIu32
             "), the file holds %" PRIu64,
             record, defect.need, defect.payload_length, defect.have);
      break;
  }
  return out;
}

std::string describe(const Warning& warning, const Report& report) {
  std::string out;
  switch (warning.kind) {
    case WarningKind::count_mismatch:
      append(out,
             "the header's count is %" PRIu32 " but the image holds %" PRIu32
             " records; the progress is figured from the count",
             warning.expected, warning.found);
      break;
    case WarningKind::number_out_of_order:
      append(out,
             "record %zu has number %" PRIu32 " where %" PRIu32
             " comes next; records are sent in file order whatever their numbers",
             warning.record, warning.found, warning.expected);
      break;
    case WarningKind::number_not_below_count:
      append(out,
             "record %zu has number %" PRIu32 ", not below the count %" PRIu32
             "; the progress shows %d %% here",
             warning.record, warning.found, warning.expected,
             protocol::progress_percent(static_cast<std::uint16_t>(warning.found),
                                        report.packet_count));
      break;
    case WarningKind::read_failed_at_end:
      out += "reading the file failed at a record boundary; stbflash takes this as the end "
             "of the image and disconnects";
      break;
  }
  return out;
}

// A number with its hexadecimal form, as offsets are shown in findings.
std::string offset_text(std::uint64_t offset) {
  std::string out;
  append(out, "%" PRIu64 " (0x%" PRIX64 ")", offset, offset);
  return out;
}

std::string duration_text(double seconds) {
  std::string out;
  if (seconds < 60) {
    append(out, "%.1f s", seconds);
  } else {
    const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
    append(out, "%" PRIu64 " min %02" PRIu64 " s", whole / 60, whole % 60);
  }
  return out;
}

const char* records_word(std::size_t n) { return n == 1 ? "record" : "records"; }

bool header_complete(const Report& report) {
  return report.header_bytes == image::file_header_size;
}

}  // namespace

std::string text_report(const Report& report, std::string_view name) {
  const auto& h = report.header;
  std::string out;
  append(out, "image    %.*s: %" PRIu64 " bytes read\n", static_cast<int>(name.size()), name.data(),
         report.bytes_read);
  if (header_complete(report)) {
    append(out, "header   %s, count %u; passed on unchanged: bytes 2-7 %s, bytes 10-13 %s\n",
           hex(std::span(h).subspan(0, 2), " ").c_str(),
           unsigned{image::packet_count_of(h)},
           hex(std::span(h).subspan(2, 6), " ").c_str(),
           hex(std::span(h).subspan(10, 4), " ").c_str());
  }

  if (!report.records.empty()) {
    out += "\n  record  number   length      offset  bytes 4-7    trailer\n";
    for (std::size_t i = 0; i < report.records.size(); ++i) {
      const Record& r = report.records[i];
      append(out, "%8zu  %6u  %7" PRIu32 "  %10" PRIu64 "  %s  %s\n", i, unsigned{r.number},
             r.payload_length, r.offset, hex(r.field, " ").c_str(), hex(r.trailer, " ").c_str());
    }
    out += '\n';
  }

  if (header_complete(report) && (!report.defect || report.defect->cause != Cause::bad_file_magic)) {
    const Totals totals = totals_of(report);
    append(out, "total    %zu %s, %" PRIu64 " payload bytes, %" PRIu64 " bytes in records\n",
           report.records.size(), records_word(report.records.size()), totals.payload_bytes,
           totals.record_bytes);
    append(out,
           "time     %s on the line at %" PRIu32 " baud (%" PRIu64
           " bytes both ways), plus the box's burn and verify\n",
           duration_text(totals.seconds).c_str(), link::baud_rate, totals.wire_bytes);
  }

  for (const Warning& warning : report.warnings) {
    append(out, "warning  at %s: %s\n", offset_text(warning.offset).c_str(),
           describe(warning, report).c_str());
  }

  if (report.defect) {
    const Defect& d = *report.defect;
    const std::string_view message = bare_message(d.error);
    append(out, "defect   at %s: \"%.*s\" %s\n", offset_text(d.offset).c_str(),
           static_cast<int>(message.size()), message.data(),
           describe(d, report.records.size()).c_str());
    append(out,
           "verdict  stbflash stops there with status 1, after sending %zu whole %s; "
           "the box is not told the image has ended\n",
           report.records.size(), records_word(report.records.size()));
  } else {
    append(out, "verdict  stbflash sends the whole image, %zu %s\n", report.records.size(),
           records_word(report.records.size()));
  }
  return out;
}

std::string json_report(const Report& report, std::string_view name) {
  const auto& h = report.header;
  std::string out = "{\n";
  append(out, "  \"file\": %s,\n  \"opened\": true,\n", json_string(name).c_str());
  append(out, "  \"bytes_read\": %" PRIu64 ",\n", report.bytes_read);
  if (header_complete(report)) {
    append(out,
           "  \"header\": {\"magic\": \"%s\", \"packet_count\": %u, \"bytes_2_7\": \"%s\", "
           "\"bytes_10_13\": \"%s\"},\n",
           hex(std::span(h).subspan(0, 2)).c_str(), unsigned{image::packet_count_of(h)},
           hex(std::span(h).subspan(2, 6)).c_str(), hex(std::span(h).subspan(10, 4)).c_str());
  } else {
    out += "  \"header\": null,\n";
  }

  out += "  \"records\": [";
  for (std::size_t i = 0; i < report.records.size(); ++i) {
    const Record& r = report.records[i];
    append(out,
           "%s\n    {\"record\": %zu, \"offset\": %" PRIu64 ", \"number\": %u, \"payload_length\": %" PRIu32
           ", \"bytes_4_7\": \"%s\", \"trailer\": \"%s\"}",
           i == 0 ? "" : ",", i, r.offset, unsigned{r.number}, r.payload_length,
           hex(r.field).c_str(), hex(r.trailer).c_str());
  }
  out += report.records.empty() ? "],\n" : "\n  ],\n";

  const Totals totals = totals_of(report);
  append(out,
         "  \"totals\": {\"records\": %zu, \"payload_bytes\": %" PRIu64 ", \"record_bytes\": %" PRIu64
         ", \"wire_bytes\": %" PRIu64 ", \"baud\": %" PRIu32 ", \"seconds\": %.3f},\n",
         report.records.size(), totals.payload_bytes, totals.record_bytes, totals.wire_bytes,
         link::baud_rate, totals.seconds);

  out += "  \"warnings\": [";
  for (std::size_t i = 0; i < report.warnings.size(); ++i) {
    const Warning& w = report.warnings[i];
    append(out, "%s\n    {\"kind\": \"%.*s\", \"offset\": %" PRIu64 ", ", i == 0 ? "" : ",",
           static_cast<int>(warning_key(w.kind).size()), warning_key(w.kind).data(), w.offset);
    if (w.kind == WarningKind::count_mismatch) {
      append(out, "\"records\": %" PRIu32 ", \"packet_count\": %" PRIu32 ", ", w.found, w.expected);
    } else if (w.kind == WarningKind::number_out_of_order) {
      append(out, "\"record\": %zu, \"number\": %" PRIu32 ", \"expected\": %" PRIu32 ", ", w.record,
             w.found, w.expected);
    } else if (w.kind == WarningKind::number_not_below_count) {
      append(out, "\"record\": %zu, \"number\": %" PRIu32 ", \"packet_count\": %" PRIu32 ", ",
             w.record, w.found, w.expected);
    }
    append(out, "\"text\": %s}", json_string(describe(w, report)).c_str());
  }
  out += report.warnings.empty() ? "],\n" : "\n  ],\n";

  if (report.defect) {
    const Defect& d = *report.defect;
    append(out, "  \"defect\": {\"error\": \"%.*s\", \"message\": %s, \"cause\": \"%.*s\", \"offset\": %" PRIu64,
           static_cast<int>(error_key(d.error).size()), error_key(d.error).data(),
           json_string(bare_message(d.error)).c_str(), static_cast<int>(cause_key(d.cause).size()),
           cause_key(d.cause).data(), d.offset);
    if (names_a_record(d.cause)) {
      append(out, ", \"record\": %zu", report.records.size());
    }
    append(out, ", \"text\": %s},\n", json_string(describe(d, report.records.size())).c_str());
  } else {
    out += "  \"defect\": null,\n";
  }
  append(out, "  \"sends_whole\": %s\n}\n", report.sends_whole() ? "true" : "false");
  return out;
}

std::string json_open_failure(std::string_view name) {
  std::string out = "{\n";
  append(out, "  \"file\": %s,\n  \"opened\": false,\n  \"sends_whole\": false\n}\n",
         json_string(name).c_str());
  return out;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      append(out, "\\u%04x", c);
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // Length of the sequence this lead byte announces, and the smallest
      // code point it may carry (anything below is an overlong form).
      std::size_t length = 0;
      std::uint32_t point = 0;
      std::uint32_t least = 0;
      if (c >= 0xC2 && c <= 0xDF) {
        length = 2, point = c & 0x1Fu, least = 0x80;
      } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, point = c & 0x0Fu, least = 0x800;
      } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, point = c & 0x07u, least = 0x10000;
      }
      bool valid = length != 0 && i + length <= size;
      for (std::size_t k = 1; valid && k < length; ++k) {
        valid = (bytes[i + k] & 0xC0u) == 0x80;
        point = point << 6 | (bytes[i + k] & 0x3Fu);
      }
      valid = valid && point >= least && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
      if (valid) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += "\xEF\xBF\xBD";  // U+FFFD, the replacement character
        ++i;
      }
    }
  }
  out += '"';
  return out;
}

}  // namespace stb::dnlinfo
