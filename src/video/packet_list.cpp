#include "video/packet_list.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>

namespace fendral::video {

namespace {

// One line of ffprobe's compact output: "section|key=value|key=value".
class Fields {
 public:
  explicit Fields(std::string_view line) : rest_(line) {}

  // The next key and value; false at the end of the line.
  bool next(std::string_view& key, std::string_view& value) {
    while (!rest_.empty()) {
      const std::size_t bar = rest_.find('|');
      const std::string_view field = rest_.substr(0, bar);
      rest_.remove_prefix(bar == std::string_view::npos ? rest_.size() : bar + 1);
      const std::size_t equals = field.find('=');
      if (equals == std::string_view::npos) continue;  // a nested section's name
      key = field.substr(0, equals);
      value = field.substr(equals + 1);
      return true;
    }
    return false;
  }

 private:
  std::string_view rest_;
};

template <class Integer>
std::optional<Integer> integer(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct ListedStream {
  std::optional<StreamKind> kind;
  bool cover_picture = false;
  std::int64_t tick_factor = 1;  // the time base's numerator
  std::uint32_t timescale = 0;
  std::vector<Packet> packets;
};

std::optional<std::int64_t> scaled(std::optional<std::int64_t> ticks, std::int64_t factor) {
  if (!ticks) return std::nullopt;
  std::int64_t product;
  if (__builtin_mul_overflow(*ticks, factor, &product)) return std::nullopt;
  return product;
}

}  // namespace

std::vector<std::string> packet_list_command(const std::string& ffmpeg_input) {
  return {"-loglevel",
          "level+error",
          "-show_entries",
          "stream=index,codec_type,time_base:stream_disposition=attached_pic:"
          "packet=stream_index,pts,dts,duration,size,flags",
          "-of",
          "compact",
          ffmpeg_input};
}

expected<PacketTable, std::string> read_packet_list(std::string_view listing) {
  std::map<std::int64_t, ListedStream> streams;
  // Packets are listed before their stream; times are scaled once the time base is known.
  struct RawTimes {
    std::optional<std::int64_t> decode, presentation, duration;
  };
  std::map<std::int64_t, std::vector<RawTimes>> times;
  std::size_t line_number = 0;
  while (!listing.empty()) {
    ++line_number;
    const std::size_t end = listing.find('\n');
    const std::string_view line = listing.substr(0, end);
    listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
    const auto bad_line = [&] {
      return unexpected("ffprobe's packet list cannot be read at line " +
                        std::to_string(line_number));
    };
    std::string_view key, value;
    if (line.starts_with("packet|")) {
      Fields fields(line.substr(7));
      std::optional<std::int64_t> stream;
      RawTimes raw;
      Packet packet;
      while (fields.next(key, value)) {
        if (key == "stream_index") {
          stream = integer<std::int64_t>(value);
        } else if (key == "pts") {
          raw.presentation = integer<std::int64_t>(value);
        } else if (key == "dts") {
          raw.decode = integer<std::int64_t>(value);
        } else if (key == "duration") {
          raw.duration = integer<std::int64_t>(value);
        } else if (key == "size") {
          auto size = integer<std::uint32_t>(value);
          if (!size) return bad_line();
          packet.size = *size;
        } else if (key == "flags") {
          packet.sync = value.starts_with('K');
        }
      }
      if (!stream) return bad_line();
      streams[*stream].packets.push_back(packet);
      times[*stream].push_back(raw);
    } else if (line.starts_with("stream|")) {
      Fields fields(line.substr(7));
      std::optional<std::int64_t> index;
      ListedStream described;
      while (fields.next(key, value)) {
        if (key == "index") {
          index = integer<std::int64_t>(value);
        } else if (key == "codec_type") {
          if (value == "video") described.kind = StreamKind::video;
          if (value == "audio") described.kind = StreamKind::audio;
        } else if (key == "time_base") {
          const std::size_t slash = value.find('/');
          if (slash == std::string_view::npos) return bad_line();
          const auto numerator = integer<std::int64_t>(value.substr(0, slash));
          const auto denominator = integer<std::uint32_t>(value.substr(slash + 1));
          if (!numerator || !denominator || *numerator <= 0 || *denominator == 0) {
            return bad_line();
          }
          described.tick_factor = *numerator;
          described.timescale = *denominator;
        } else if (key == "disposition:attached_pic") {
          described.cover_picture = value == "1";
        }
      }
      if (!index) return bad_line();
      ListedStream& stream = streams[*index];
      stream.kind = described.kind;
      stream.cover_picture = described.cover_picture;
      stream.tick_factor = described.tick_factor;
      stream.timescale = described.timescale;
    }
  }

  PacketTable table;
  for (const StreamKind kind : {StreamKind::video, StreamKind::audio}) {
    for (auto& [index, stream] : streams) {
      if (stream.kind != kind || stream.cover_picture || stream.timescale == 0) continue;
      PacketTrack track{.kind = kind, .timescale = stream.timescale};
      const std::vector<RawTimes>& raw = times[index];
      std::optional<std::int64_t> previous_end;
      for (std::size_t at = 0; at < stream.packets.size(); ++at) {
        Packet packet = stream.packets[at];
        // A container without decode times (Matroska) lists presentation times only; a
        // packet without either follows on where the one before it ended.
        auto presentation = scaled(raw[at].presentation, stream.tick_factor);
        auto decode = scaled(raw[at].decode, stream.tick_factor);
        if (!presentation) presentation = decode ? decode : previous_end;
        if (!decode) decode = presentation;
        if (!presentation) presentation = decode = 0;
        const auto duration = scaled(raw[at].duration, stream.tick_factor);
        packet.presentation_time = *presentation;
        packet.decode_time = *decode;
        packet.duration = duration && *duration > 0 && *duration <= UINT32_MAX
                              ? static_cast<std::uint32_t>(*duration)
                              : 0;
        track.has_composition_offsets |= packet.presentation_time != packet.decode_time;
        previous_end = packet.presentation_time + packet.duration;
        track.packets.push_back(packet);
      }
      table.tracks.push_back(std::move(track));
    }
  }
  return table;
}

}  // namespace fendral::video
