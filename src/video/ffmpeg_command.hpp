// What the split and the join share in talking to ffmpeg: its name, the file names of a split
// directory, and paths made safe to hand over on a command line.
#pragma once

#include <string>
#include <string_view>

#include "base/expected.hpp"
#include "base/failure.hpp"

namespace fendral::video {

inline constexpr std::string_view kProgram = "ffmpeg";
inline constexpr std::string_view kSegmentPattern = "chunk_%03d.mp4";
inline constexpr std::string_view kMetadataFileName = "metadata.json";
inline constexpr std::string_view kConcatListFileName = "concat_list.txt";
inline constexpr std::string_view kSourceMetadataFileName = "source_metadata.txt";

unexpected<Failure> runtime_failure(std::string message);

// ffmpeg expands '%' directives anywhere in the pattern, so the directory's own '%' are doubled.
std::string escape_percent(std::string_view text);

// A relative path handed to ffmpeg as a file, shielded from being read as an option. Exactly "-"
// is ffmpeg's own name for a standard stream and stays.
std::string option_safe(const std::string& path);

// The output directory as the start of paths handed to ffmpeg: a directory such as "a:b" must
// not turn its files into URLs.
std::string directory_for_ffmpeg(const std::string& output_dir);

// The input as handed to ffmpeg. A local file named like "take-10:30.mp4" gets "./"; URLs and
// protocol names such as "pipe:0" name no local file and pass unchanged.
std::string input_for_ffmpeg(const std::string& input_file);

// The inputs by which ffmpeg is asked to read the caller's standard input. Any other run gets
// /dev/null there, so ffmpeg cannot eat the caller's input or stop on a 'q' in it.
bool reads_standard_input(std::string_view input_file);

}  // namespace fendral::video
