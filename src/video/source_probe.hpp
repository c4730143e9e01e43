// What a split needs to know of its source, read once: the container's form, the video clock,
// the Matroska stream list, and whether there can be streams or a timecode for the split to
// keep beside the segments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mp4/matroska.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/fit_plan.hpp"

namespace fendral::video {

struct SourceProbe {
  enum class Form { mp4, quicktime, matroska, other };
  // Whether a movie file's sample tables are read too, for a plan by packets.
  enum class Tables { skipped, read };
  // The input as ffmpeg is handed it (see input_for_ffmpeg).
  std::string ffmpeg_input;
  // A source read from standard input, which can be read only once.
  bool reads_standard_input = false;
  // `other` for anything that is not a local regular file read here (a URL, a pipe).
  Form form = Form::other;
  // The clock of the first video track of an MP4 or QuickTime source that tells one.
  std::optional<std::uint32_t> video_timescale;
  // ffmpeg's streams of a Matroska source whose lists are followed (see read_matroska_streams).
  std::optional<std::vector<mp4::MatroskaStream>> matroska_streams;
  // False where the reading tells that the source holds nothing but video and audio tracks the
  // segments carry (no subtitle, data or attachment, no cover picture), and for standard input.
  bool may_hold_side_streams = true;
  // False only for a movie file read here without a timecode track, a Matroska file without a
  // timecode tag, and an MPEG transport stream.
  bool may_hold_timecode = true;
  // Per audio track of a movie file, in ffmpeg's order, its last packet where the file tells it.
  std::vector<std::optional<LastPacket>> last_audio_packets;
  // A movie file's sample tables as packets, every video track then every audio track, where
  // they were asked for and read.
  std::optional<PacketTable> packet_table;
};

// The split's `input_file`, opened once when it names a local regular file.
SourceProbe probe_source(const std::string& input_file,
                         SourceProbe::Tables tables = SourceProbe::Tables::skipped);

}  // namespace fendral::video
