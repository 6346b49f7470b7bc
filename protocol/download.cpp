// The phases of a download. Each phase that meets a failure prints its
// message where it meets it and reports the failure upward as `false`; the
// caller turns that into the exit status.

#include <cstdarg>
#include <cstdio>

#include "protocol/download.h"

namespace stb::protocol {
namespace {

using link::run_exchange;
using link::send_token;
using link::token_matches;

// Formats one message into a fixed buffer; messages are short.
class Text {
 public:
  [[gnu::format(printf, 2, 3)]] explicit Text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer_.data(), buffer_.size(), format, args);
    va_end(args);
    length_ = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), buffer_.size() - 1);
  }
  operator std::string_view() const { return {buffer_.data(), length_}; }

 private:
  std::array<char, 160> buffer_{};
  std::size_t length_ = 0;
};

// Prints a message that shows the reply buffer.
void print_reply(Console& console, const char* format, const link::ReplyBuffer& reply) {
  ReplyText text{};
  console.out(Text(format, format_reply(reply, text).data()));
}

// A record goes out in 8-byte writes, then one write for the rest.
void write_record(link::Port& port, std::span<const std::uint8_t> record) {
  constexpr std::size_t chunk = 8;
  std::size_t offset = 0;
  for (; offset + chunk <= record.size(); offset += chunk) {
    port.write(record.subspan(offset, chunk));
  }
  if (offset < record.size()) {
    port.write(record.subspan(offset));
  }
}

// Phases 2, 3 and 4 share the shape of an attempt: send the block, expect
// "2ACK3", answer "2NXT3". Anything else the box says costs the attempt
// silently; only a failed read is reported.
template <typename Send, typename OnReadFailed>
bool send_and_confirm(Session& s, Send&& send, OnReadFailed&& on_read_failed) {
  return run_exchange(s.buffers.retries, [&] {
    send();
    if (!link::read_token(s.port, s.buffers.reply).good) {
      on_read_failed();
      return false;
    }
    if (!token_matches(s.buffers.reply, link::token_ack)) {
      return false;
    }
    send_token(s.port, link::token_nxt);
    return true;
  });
}

bool fail(Session& s, std::string_view message) {
  s.console.err(message);
  return false;
}

bool fail(Session& s, image::Error error) { return fail(s, image::message(error)); }

}  // namespace

bool connect(Session& s) {
  Buffers& b = s.buffers;
  const bool connected = run_exchange(b.retries, [&] {
    if (!link::read_token(s.port, b.reply).good) {
      print_reply(s.console, "\n 1-2) error = %s", b.reply);
      s.console.out(Text("\n 1-6) retry = %d\n", b.retries));
      return false;
    }
    if (!token_matches(b.reply, link::token_qxi)) {
      print_reply(s.console, "\n 1-1) error = %s", b.reply);
      send_token(s.port, link::token_err);
      s.console.out(Text("\n 1-6) retry = %d\n", b.retries));
      return false;
    }
    // The box's opening word is accepted; it must close the handshake.
    // A failure from here on starts the next attempt without the retry
    // message, waiting for a fresh opening word.
    send_token(s.port, link::token_ack);
    if (!link::read_token(s.port, b.reply).good) {
      print_reply(s.console, "\n 1-5) error = %s", b.reply);
      return false;
    }
    if (!token_matches(b.reply, link::token_nxt)) {
      send_token(s.port, link::token_err);
      return false;
    }
    return true;
  });
  return connected || fail(s, "\n\tThe connetion failed.\n");
}

bool transfer_image(Session& s) {
  Buffers& b = s.buffers;

  const image::FileHeaderRead file_header = image::read_file_header(s.image, b.header);
  if (file_header.error != image::Error::none) {
    return fail(s, file_header.error);
  }
  b.packet_count = file_header.packet_count;

  // Phase 2: the image header, exactly as it stands in the file.
  if (!send_and_confirm(
          s, [&] { s.port.write(b.header); },
          [&] { print_reply(s.console, "\n 2-3) read ack error = %s", b.reply); })) {
    return fail(s, "\n\tThe stb does not respond.\n");
  }

  // The packet loop: it has no count of its own and ends with the image.
  for (;;) {
    const image::PacketHeaderRead packet = image::read_packet_header(s.image, b.packet_header);
    if (packet.error != image::Error::none) {
      return fail(s, packet.error);
    }
    if (packet.end) {
      return true;
    }
    b.packet_number = packet.number;
    b.payload_length = packet.payload_length;

    // Phase 3: the record's descriptor, built over the header buffer.
    build_data_header(b.packet_header, b.header);
    if (!send_and_confirm(
            s, [&] { s.port.write(b.header); },
            [&] { s.console.out(Text("\n 3-3) DN_DATA_HEADER no data (%d)", b.retries)); })) {
      return fail(s, "\n\tThe stb don't respond.\n");
    }

    // Phase 4: the record itself. It is read once; a repeated attempt
    // resends it from the transmit buffer.
    const image::Error body = image::read_packet_body(s.image, b.packet_header, b.payload_length, b.transmit);
    if (body != image::Error::none) {
      return fail(s, body);
    }
    s.console.out(Text("\r\t Program Downloading %3d%% ... ", progress_percent(b.packet_number, b.packet_count)));
    const auto record = std::span<const std::uint8_t>(b.transmit).first(image::record_size(b.payload_length));
    if (!send_and_confirm(
            s, [&] { write_record(s.port, record); },
            [&] { print_reply(s.console, "\n 4-3) no ack (%s)", b.reply); })) {
      return fail(s, "\n\tConnection aborted due to communication problems.!\n");
    }
  }
}

bool disconnect(Session& s) {
  Buffers& b = s.buffers;
  // The box's acknowledgement of the disconnect is not answered.
  const bool done = run_exchange(b.retries, [&] {
    send_token(s.port, link::token_dis);
    return link::read_token(s.port, b.reply).good && token_matches(b.reply, link::token_ack);
  });
  return done || fail(s, "\n\tConnection aborted due to communication problems.!\n");
}

bool await_completion(Session& s) {
  struct Stage {
    std::string_view token;
    std::string_view failed;
    std::string_view next;  // printed after "done"
  };
  static constexpr std::array<Stage, 3> stages{{
      {link::token_dld, "\n\t 6-2) firmware transferring failed", "\n\t Flash Burning ... "},
      {link::token_dbd, "\n\t 6-4) flash burning failed", "\n\t Program Verifying ... "},
      {link::token_dvd, "\n\t 6-6) flash verifying failed", ""},
  }};
  for (const Stage& stage : stages) {
    // Burning and verifying take as long as they take: a read that times
    // out is simply repeated. Only a port that has gone away ends the wait.
    for (;;) {
      const link::TokenRead r = link::read_token(s.port, s.buffers.reply);
      if (r.good) {
        break;
      }
      if (r.lost) {
        return fail(s, "\n\tThe serial port was disconnected.\n");
      }
    }
    if (!token_matches(s.buffers.reply, stage.token)) {
      s.console.out(stage.failed);
      return false;
    }
    s.console.out("done");
    if (!stage.next.empty()) {
      s.console.out(stage.next);
    }
  }
  return true;
}

bool download(Session& s) { return connect(s) && transfer_image(s) && disconnect(s) && await_completion(s); }

}  // namespace stb::protocol
