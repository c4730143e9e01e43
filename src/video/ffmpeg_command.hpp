// The command lines the split and the join hand to ffmpeg, and how a descriptor handed to it is
// named there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fendral::video {

inline constexpr std::string_view kProgram = "ffmpeg";

// The places of SpawnOptions::passed_fds, the descriptors of ours that ffmpeg is handed.
enum class PassedSlot { first, second };
// Whether ffmpeg writes what it is handed there or reads it.
enum class PassedFileUse { written, read };

// The name under which ffmpeg finds a descriptor handed to it.
std::string passed_file(PassedSlot slot, PassedFileUse use);

struct SplitCommand {
  std::string input;            // as input_for_ffmpeg gives it
  std::string segment_pattern;  // the segments' path, its '%' escaped
  std::uint32_t time_limit_sec = 0;
  bool quicktime = false;  // the input is in QuickTime form
};

// ffmpeg's arguments for a split: the segment list is written to the first passed descriptor,
// the source's metadata to the second.
std::vector<std::string> split_command(const SplitCommand& command);

struct JoinCommand {
  std::string output_file;       // as JoinOutput writes it
  bool source_metadata = false;  // the source's metadata record is handed over second
  bool quicktime_keys = false;   // that record holds QuickTime keyed tags
  bool keep_timestamps = false;  // the first segment's edit list hides frames before its start
};

// ffmpeg's arguments for a join: the concat script is read from the first passed descriptor.
std::vector<std::string> join_command(const JoinCommand& command);

}  // namespace fendral::video
