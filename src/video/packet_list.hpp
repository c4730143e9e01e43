// The packet table of a source that the MP4 reading cannot read (Matroska, MPEG-TS, ...), from
// ffprobe's packet list. Pure C++: the caller runs ffprobe and hands over what it printed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "video/fit_plan.hpp"

namespace fendral::video {

inline constexpr std::string_view kProbeProgram = "ffprobe";

// ffprobe's arguments for the streams and packets of `ffmpeg_input`, printed one per line.
std::vector<std::string> packet_list_command(const std::string& ffmpeg_input);

// The table of the tracks a split keeps (video but cover pictures, then audio), each in the
// order its packets were listed; the text of the fault when a line cannot be read.
expected<PacketTable, std::string> read_packet_list(std::string_view listing);

}  // namespace fendral::video
