// Paths made safe to hand to ffmpeg on a command line: it reads a leading '-' as an option,
// "name:rest" as a URL, and '%' in an output pattern as a directive.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fendral::video {

// ffmpeg expands '%' directives anywhere in the pattern, so the directory's own '%' are doubled.
std::string escape_percent(std::string_view text);

// A name in ASCII lower case, as file name extensions are compared.
std::string lowercase(std::string_view text);

// A pattern's text as the path it stands for: ffmpeg reads "%%" as one '%'.
std::string unescape_percent(std::string_view text);

// A relative path handed to ffmpeg as a file, shielded from being read as an option. Exactly "-"
// is ffmpeg's own name for a standard stream and stays.
std::string option_safe(const std::string& path);

// The output directory as the start of paths handed to ffmpeg: a directory such as "a:b" must
// not turn its files into URLs.
std::string directory_for_ffmpeg(const std::string& output_dir);

// The input as handed to ffmpeg. A local file named like "take-10:30.mp4" gets "./"; URLs and
// protocol names such as "pipe:0" name no local file and pass unchanged.
std::string input_for_ffmpeg(const std::string& input_file);

// The local file ffmpeg opens for `ffmpeg_name` (as input_for_ffmpeg or option_safe give it):
// the name itself, or what follows "file:", which its file protocol takes as the path as it
// stands ("file:///a" and "file://a" are "///a" and "//a"). Nothing for a name it reads through
// another protocol or from a standard stream.
std::optional<std::string> local_file_opened(std::string_view ffmpeg_name);

// The inputs by which ffmpeg is asked to read the caller's standard input. Any other run gets
// /dev/null there, so ffmpeg cannot eat the caller's input or stop on a 'q' in it.
bool reads_standard_input(std::string_view input_file);

}  // namespace fendral::video
