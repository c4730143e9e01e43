#include "video/ffmpeg_command.hpp"

#include <initializer_list>

#include "posix/spawn.hpp"
#include "video/ffmpeg_paths.hpp"

namespace fendral::video {

namespace {

void add(std::vector<std::string>& arguments, std::initializer_list<std::string> more) {
  arguments.insert(arguments.end(), more);
}

}  // namespace

// What ffmpeg writes goes to "pipe:N", which writes to the descriptor itself; a path would be
// opened anew and truncated. What it reads is named as a path, "/dev/fd/N": the concat demuxer
// resolves the list's entries against the list's own name, which a "pipe:" URL would break.
std::string passed_file(PassedSlot slot, PassedFileUse use) {
  const int number = posix::kFirstPassedFd + (slot == PassedSlot::first ? 0 : 1);
  return (use == PassedFileUse::written ? "pipe:" : "/dev/fd/") + std::to_string(number);
}

std::vector<std::string> split_command(const SplitCommand& command) {
  std::vector<std::string> arguments;
  add(arguments, {"-i", command.input});
  // The source's tags and chapters, which the segments cannot all hold (they get no chapters,
  // and MP4 boxes take no QuickTime keys), go to a second output as text for the join.
  add(arguments, {"-map_metadata", "0", "-f", "ffmetadata",
                  passed_file(PassedSlot::second, PassedFileUse::written)});
  // Every video stream but cover pictures, and every audio stream (ffmpeg would keep one each).
  add(arguments, {"-map", "0:V?", "-map", "0:a?"});
  add(arguments, {"-c:v", "copy", "-c:a", "copy"});  // copied, never re-encoded
  add(arguments, {"-f", "segment"});
  // ffmpeg's mp4 muxer refuses what only QuickTime holds (PCM audio, for one).
  add(arguments, {"-segment_format", command.quicktime ? "mov" : "mp4"});
  add(arguments, {"-segment_time", std::to_string(command.time_limit_sec)});
  // Lets the segment muxer write 360 and stereo 3D boxes; a plain -strict does not reach it.
  add(arguments, {"-segment_format_options", "strict=unofficial"});
  add(arguments, {"-increment_tc", "1"});  // each segment gets its own start timecode
  // Every segment starts at 0, so segments play alone and join back without gaps.
  add(arguments, {"-reset_timestamps", "1"});
  // Shifting negative timestamps would delay the first segment's B-frames and lengthen the join.
  add(arguments, {"-avoid_negative_ts", "disabled"});
  // The finished segments' names, one a line, to a descriptor rather than a file of the
  // directory: nothing there can be listed by mistake, and no link can redirect the writes.
  add(arguments, {"-segment_list", passed_file(PassedSlot::first, PassedFileUse::written),
                  "-segment_list_type", "flat"});
  add(arguments, {command.segment_pattern});
  return arguments;
}

std::vector<std::string> join_command(const JoinCommand& command) {
  std::vector<std::string> arguments;
  // The script names segments by absolute path, which the concat demuxer takes only unsafe.
  add(arguments, {"-f", "concat", "-safe", "0"});
  // Packets stay as they are: no parameter sets are added to keyframes.
  add(arguments, {"-auto_convert", "0"});
  add(arguments, {"-i", passed_file(PassedSlot::first, PassedFileUse::read)});
  if (command.source_metadata) {
    // The source's tags and chapters come from the record, the streams still only from the
    // segments.
    add(arguments, {"-f", "ffmetadata", "-i", passed_file(PassedSlot::second, PassedFileUse::read),
                    "-map_metadata", "1", "-map_chapters", "1"});
    // A timecode track of the segments, which -map 0 cannot copy, is skipped; the output
    // rebuilds it from the video's own timecode.
    add(arguments, {"-ignore_unknown"});
    add(arguments, {"-strict", "unofficial"});  // writes the 360 and stereo 3D boxes
    // QuickTime keys survive only when every tag goes in keyed form, so only then.
    if (command.quicktime_keys) add(arguments, {"-movflags", "use_metadata_tags"});
  }
  add(arguments, {"-map", "0"});  // every stream of the segments
  add(arguments, {"-c", "copy"});
  // ffmpeg starts its output at the earliest timestamp it reads, which would show frames the
  // first segment's edit list hides (a trimmed clip); the segments' own timestamps keep them
  // hidden. Only then: it also hides AAC's priming, and the output's edit list, on a clock of
  // milliseconds, can then hide a last audio packet shorter than that.
  if (command.keep_timestamps) add(arguments, {"-copyts"});
  add(arguments, {option_safe(command.output_file)});
  return arguments;
}

}  // namespace fendral::video
