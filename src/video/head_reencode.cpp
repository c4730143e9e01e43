#include "video/head_reencode.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/propagate.hpp"
#include "base/uint128.hpp"
#include "posix/file.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/packet_list.hpp"
#include "video/reported_run.hpp"

namespace fendral::video {

namespace {

// The intermediate streams start this far into their clock, so that a head's B-frames, decoded
// before the first of them presents, still have a time MPEG-TS can hold.
constexpr std::int64_t kLeadSeconds = kSpanLeadSeconds;
constexpr std::int64_t kLeadMicroseconds = kLeadSeconds * 1'000'000;
// Below this, a re-encoded picture is no longer taken for the source's.
constexpr double kLeastPsnr = 40;
// x264's quality for a head: well above the least PSNR on the content measured.
constexpr std::string_view kHeadQuality = "12";

constexpr std::string_view kQuiet[] = {"-hide_banner", "-nostats", "-loglevel", "level+warning"};

std::vector<std::string> with_quiet(std::initializer_list<std::string> more) {
  std::vector<std::string> arguments(std::begin(kQuiet), std::end(kQuiet));
  arguments.insert(arguments.end(), more);
  return arguments;
}

void add(std::vector<std::string>& arguments, std::initializer_list<std::string> more) {
  arguments.insert(arguments.end(), more);
}

std::string fd_name(int fd) {
  return "/dev/fd/" + std::to_string(posix::kFirstPassedFd + fd);
}

std::string pipe_name(int fd) {
  return "pipe:" + std::to_string(posix::kFirstPassedFd + fd);
}

// Runs one step of the re-encode; a failure names the step and the segment.
Result<ReportedRun> run_step(std::string_view program, const std::vector<std::string>& arguments,
                             const std::array<int, posix::kPassedFdCount>& fds, int stdout_fd,
                             SplitObserver& observer, const posix::Environment& environment,
                             const std::string& what) {
  const posix::SpawnOptions options{.environment = environment,
                                    .stdin_from_null = true,
                                    .passed_fds = fds,
                                    .stdout_fd = stdout_fd};
  FENDRAL_TRY(ReportedRun run, run_reported(program, arguments, options, observer, std::nullopt));
  if (!run.status.success()) return runtime_failure(failure_text(what, run));
  return run;
}

Result<void> run_only(std::string_view program, const std::vector<std::string>& arguments,
                      const std::array<int, posix::kPassedFdCount>& fds, int stdout_fd,
                      SplitObserver& observer, const posix::Environment& environment,
                      const std::string& what) {
  FENDRAL_TRY(const ReportedRun run,
              run_step(program, arguments, fds, stdout_fd, observer, environment, what));
  static_cast<void>(run);
  return {};
}

std::optional<long long> number(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> found;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    found.push_back(text.substr(0, end));
    text = end == text.npos ? std::string_view() : text.substr(end + 1);
  }
  return found;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The picture hashes of framemd5's lines of stream 0, in order.
std::vector<std::string> stream_zero_hashes(std::string_view listing) {
  std::vector<std::string> hashes;
  for (const std::string_view line : lines(listing)) {
    if (line.empty() || line.front() == '#') continue;
    const std::size_t comma = line.find(',');
    if (comma == line.npos || trimmed(line.substr(0, comma)) != "0") continue;
    hashes.emplace_back(trimmed(line.substr(line.rfind(',') + 1)));
  }
  return hashes;
}

bool stated(const std::string& value) {
  return !value.empty() && value != "unknown";
}

// The source read from the keyframe before the cut: an input seek lands on a keyframe at or
// before the time, and frames before it are dropped, so frame numbers count from the keyframe.
// A millisecond early, so a time rounded to microseconds still keeps the keyframe.
std::vector<std::string> from_keyframe(std::uint64_t keyframe, std::int64_t keyframe_microseconds,
                                       const std::string& input) {
  if (keyframe == 0) return {"-i", input};
  const std::int64_t at = std::max<std::int64_t>(0, keyframe_microseconds - 1000);
  return {
      "-ss",
      std::to_string(at / 1'000'000) + "." + std::to_string(1'000'000 + at % 1'000'000).substr(1),
      "-i", input};
}

std::vector<std::string> from_keyframe(const Seam& seam, const std::string& input) {
  return from_keyframe(seam.keyframe_packet, seam.keyframe_microseconds, input);
}

std::vector<std::string> head_command(const Seam& seam, const std::string& input,
                                      const VideoParameters& parameters,
                                      std::uint64_t first_displayed) {
  const std::uint64_t last = first_displayed + seam.reencoded - 1;
  std::string filters =
      "select=between(n\\," + std::to_string(first_displayed) + "\\," + std::to_string(last) + ")";
  if (stated(parameters.sample_aspect_ratio) && parameters.sample_aspect_ratio != "0:1") {
    std::string ratio = parameters.sample_aspect_ratio;
    std::replace(ratio.begin(), ratio.end(), ':', '/');
    filters += ",setsar=" + ratio;
  }
  std::string profile = parameters.profile;
  std::transform(profile.begin(), profile.end(), profile.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (profile == "constrained baseline") profile = "baseline";
  std::erase(profile, ' ');  // x265's "main10"
  const bool hevc = parameters.codec == "hevc";
  auto arguments = with_quiet({"-copyts"});
  const auto source = from_keyframe(seam, input);
  arguments.insert(arguments.end(), source.begin(), source.end());
  add(arguments, {"-map",
                  "0:v:0",
                  "-vf",
                  filters,
                  "-fps_mode",
                  "passthrough",
                  "-enc_time_base:v",
                  "-1",
                  "-frames:v",
                  std::to_string(seam.reencoded),
                  "-c:v",
                  hevc ? "libx265" : "libx264",
                  "-profile:v",
                  profile,
                  "-pix_fmt",
                  parameters.pix_fmt,
                  "-crf",
                  std::string(kHeadQuality),
                  "-bf",
                  std::to_string(parameters.reorder_depth)});
  if (!hevc) {
    add(arguments,
        {"-level:v",
         std::to_string(parameters.level / 10) + "." + std::to_string(parameters.level % 10),
         "-refs", std::to_string(std::max(1, parameters.refs))});
  }
  if (stated(parameters.color_range)) add(arguments, {"-color_range", parameters.color_range});
  if (stated(parameters.color_space)) add(arguments, {"-colorspace", parameters.color_space});
  if (stated(parameters.color_transfer)) add(arguments, {"-color_trc", parameters.color_transfer});
  if (stated(parameters.color_primaries)) {
    add(arguments, {"-color_primaries", parameters.color_primaries});
  }
  // Each frame keeps the source's time on the source's clock (-enc_time_base above: on x264's
  // clock of frames, a Matroska source's milliseconds were rounded onto the copied frames'
  // times). A closed group, one keyframe only, and the parameter sets in the stream, so a decoder
  // that meets the head after the copied frames of the segment before switches to them.
  const std::string keyint = std::to_string(seam.reencoded + 1);
  if (hevc) {
    // HEVC's level is 30 times its number; x265 takes it as the number.
    const std::string level =
        std::to_string(parameters.level / 30) + "." + std::to_string(parameters.level % 30 / 3);
    add(arguments, {"-x265-params", "open-gop=0:repeat-headers=1:scenecut=0:keyint=" + keyint +
                                        ":min-keyint=" + keyint + ":level-idc=" + level +
                                        ":ref=" + std::to_string(std::max(1, parameters.refs)) +
                                        ":log-level=error"});
  } else {
    add(arguments, {"-x264-params", "open-gop=0:repeat-headers=1:scenecut=0:keyint=" + keyint});
  }
  add(arguments,
      {"-muxdelay", "0", "-muxpreload", "0", "-output_ts_offset", std::to_string(kLeadSeconds),
       "-avoid_negative_ts", "disabled", "-f", "mpegts", pipe_name(0)});
  return arguments;
}

// The copied rest of the segment, its parameter sets put in the stream ahead of its keyframes.
std::vector<std::string> tail_command(const Seam& seam, const std::string& input,
                                      const std::string& codec) {
  const std::uint64_t first = seam.first_packet + seam.reencoded;
  const std::uint64_t last = seam.first_packet + seam.frames - 1;
  return with_quiet({"-copyts",
                     "-i",
                     input,
                     "-map",
                     "0:v:0",
                     "-c:v",
                     "copy",
                     "-bsf:v",
                     "noise=drop=not(between(n\\," + std::to_string(first) + "\\," +
                         std::to_string(last) + "))," + codec + "_mp4toannexb",
                     "-muxdelay",
                     "0",
                     "-muxpreload",
                     "0",
                     "-output_ts_offset",
                     std::to_string(kLeadSeconds),
                     "-avoid_negative_ts",
                     "disabled",
                     "-f",
                     "mpegts",
                     pipe_name(1)});
}

// "1.360000": ticks of `timescale` as seconds, to the nearest microsecond.
std::string seconds_text(std::int64_t ticks, std::uint32_t timescale) {
  const int128 scaled = static_cast<int128>(ticks < 0 ? -ticks : ticks) * 1'000'000;
  const int128 microseconds = (scaled + timescale / 2) / timescale;
  const auto whole = static_cast<long long>(microseconds / 1'000'000);
  std::string fraction = std::to_string(static_cast<long long>(microseconds % 1'000'000));
  return (ticks < 0 ? "-" : "") + std::to_string(whole) + "." +
         std::string(6 - fraction.size(), '0') + fraction;
}

std::vector<std::string> seam_command(const Seam& seam,
                                      std::optional<std::uint32_t> video_timescale, bool has_tail) {
  std::string video = "concat:" + fd_name(0);
  if (has_tail) video += "|" + fd_name(1);
  // The head and the copied rest on the segment's clock, which starts at its earliest picture;
  // the copied segment's sound moved by as much as its zero was later.
  const std::int64_t lead = kLeadMicroseconds * seam.timescale / 1'000'000;
  auto arguments = with_quiet(
      {"-copyts", "-itsoffset", seconds_text(-(lead + seam.zero_ticks), seam.timescale), "-i",
       video, "-itsoffset", seconds_text(seam.copied_zero_ticks - seam.zero_ticks, seam.timescale),
       "-i", fd_name(2), "-map", "0:v", "-map", "1:a?", "-c", "copy", "-strict", "unofficial",
       "-movie_timescale", "90000"});
  if (video_timescale) {
    add(arguments, {"-video_track_timescale", std::to_string(*video_timescale)});
    // MPEG-TS states no duration, and the movie's edit list, on a clock of its own, would leave
    // out a last frame without one: the source's, in the track's ticks.
    const int128 ticks = static_cast<int128>(seam.last_frame_ticks) * *video_timescale /
                         std::max<std::uint32_t>(seam.timescale, 1);
    add(arguments, {"-bsf:v", "setts=pts=PTS:dts=DTS:duration=if(DURATION\\,DURATION\\," +
                                  std::to_string(static_cast<long long>(ticks)) + ")"});
  }
  add(arguments,
      {"-avoid_negative_ts", "disabled", "-f", seam.quicktime ? "mov" : "mp4", "-y", fd_name(3)});
  return arguments;
}

// Keeps the profile and level of every parameter set that trace_headers prints, and hands on
// what else ffmpeg warns of.
class ParameterSetReader final : public SplitObserver {
 public:
  explicit ParameterSetReader(SplitObserver& next) : next_(next) {}

  bool message(std::string_view level, std::string_view text) override {
    // H.264's fields, and HEVC's of its general profile, tier and level.
    for (const auto& [field, values] :
         {std::pair{std::string_view(" profile_idc "), &profiles_},
          std::pair{std::string_view(" level_idc "), &levels_},
          std::pair{std::string_view(" general_profile_idc "), &profiles_},
          std::pair{std::string_view(" general_level_idc "), &levels_}}) {
      if (text.find(field) == text.npos) continue;
      const std::size_t equals = text.rfind("= ");
      if (equals != text.npos) values->push_back(std::string(trimmed(text.substr(equals + 2))));
    }
    // trace_headers prints every field at info: only warnings and errors are told on.
    if (level != "warning" && level != "error" && level != "fatal" && level != "panic") {
      return true;
    }
    return next_.message(level, text);
  }
  bool progress(std::uint64_t done, std::uint64_t total) override {
    return next_.progress(done, total);
  }

  // One profile and one level, in at least the container's header and one parameter set.
  bool agree() const {
    const auto one = [](const std::vector<std::string>& values) {
      return values.size() >= 2 &&
             std::all_of(values.begin(), values.end(),
                         [&](const std::string& value) { return value == values.front(); });
    };
    return one(profiles_) && one(levels_);
  }

 private:
  SplitObserver& next_;
  std::vector<std::string> profiles_;
  std::vector<std::string> levels_;
};

// The least PSNR of the frames psnr's stats file lists, with their count; identical frames
// count as infinite.
std::pair<double, std::size_t> least_psnr(std::string_view stats) {
  double least = INFINITY;
  std::size_t frames = 0;
  for (const std::string_view line : lines(stats)) {
    const std::size_t at = line.find("psnr_avg:");
    if (at == line.npos) continue;
    ++frames;
    std::string_view value = line.substr(at + 9);
    value = value.substr(0, value.find(' '));
    if (value == "inf") continue;
    least = std::min(least, std::strtod(std::string(value).c_str(), nullptr));
  }
  return {least, frames};
}

}  // namespace

Result<VideoParameters> read_video_parameters(const std::string& ffmpeg_input,
                                              SplitObserver& observer,
                                              const posix::Environment& environment) {
  FENDRAL_TRY(const auto listing, posix::create_anonymous_file("fendral-video-parameters"));
  const std::vector<std::string> arguments = {
      "-loglevel",
      "level+error",
      "-select_streams",
      "v:0",
      "-show_entries",
      "stream=codec_name,profile,level,pix_fmt,color_range,color_space,color_transfer,"
      "color_primaries,sample_aspect_ratio,field_order,has_b_frames,refs,time_base",
      "-of",
      "default=noprint_wrappers=1",
      ffmpeg_input};
  FENDRAL_CHECK(run_only(kProbeProgram, arguments, {-1, -1, -1, -1}, listing.get(), observer,
                         environment, "ffprobe failed"));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  VideoParameters parameters;
  for (const std::string_view line : lines(text)) {
    const std::size_t equals = line.find('=');
    if (equals == line.npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string value(trimmed(line.substr(equals + 1)));
    if (key == "codec_name") parameters.codec = value;
    if (key == "profile") parameters.profile = value;
    if (key == "level") parameters.level = static_cast<int>(number(value).value_or(0));
    if (key == "pix_fmt") parameters.pix_fmt = value;
    if (key == "color_range") parameters.color_range = value;
    if (key == "color_space") parameters.color_space = value;
    if (key == "color_transfer") parameters.color_transfer = value;
    if (key == "color_primaries") parameters.color_primaries = value;
    if (key == "sample_aspect_ratio") parameters.sample_aspect_ratio = value;
    if (key == "field_order") parameters.field_order = value;
    if (key == "has_b_frames") {
      parameters.reorder_depth = static_cast<int>(std::clamp(number(value).value_or(0), 0LL, 16LL));
    }
    if (key == "refs") {
      parameters.refs = static_cast<int>(std::clamp(number(value).value_or(1), 1LL, 16LL));
    }
    if (key == "time_base" && value.starts_with("1/")) {
      const auto clock = number(std::string_view(value).substr(2));
      if (clock && *clock > 0 && *clock <= UINT32_MAX) {
        parameters.timescale = static_cast<std::uint32_t>(*clock);
      }
    }
  }
  return parameters;
}

std::optional<std::string> unmatched(const VideoParameters& parameters) {
  if (parameters.codec == "hevc") {
    // Main and Main 10 only: x265 would write the range extensions' other profiles.
    if (parameters.profile != "Main" && parameters.profile != "Main 10") {
      return "hevc " + parameters.profile +
             " video cannot be re-encoded to match its copied frames";
    }
    if (stated(parameters.field_order) && parameters.field_order != "progressive") {
      return "interlaced hevc video cannot be re-encoded to match its copied frames";
    }
    if (parameters.pix_fmt != (parameters.profile == "Main" ? "yuv420p" : "yuv420p10le")) {
      return "hevc video in " + parameters.pix_fmt +
             " cannot be re-encoded to match its copied frames";
    }
    return std::nullopt;
  }
  if (parameters.codec != "h264") {
    return (parameters.codec.empty() ? std::string("this") : parameters.codec) +
           " video cannot be re-encoded to match its copied frames";
  }
  static constexpr std::string_view kProfiles[] = {"Constrained Baseline", "Baseline", "Main",
                                                   "High"};
  if (std::find(std::begin(kProfiles), std::end(kProfiles), parameters.profile) ==
      std::end(kProfiles)) {
    return "h264 " + parameters.profile + " video cannot be re-encoded to match its copied frames";
  }
  if (stated(parameters.field_order) && parameters.field_order != "progressive") {
    return "interlaced h264 video cannot be re-encoded to match its copied frames";
  }
  if (parameters.pix_fmt != "yuv420p" && parameters.pix_fmt != "yuvj420p") {
    return "h264 video in " + parameters.pix_fmt +
           " cannot be re-encoded to match its copied frames";
  }
  return std::nullopt;
}

Result<std::vector<std::string>> source_frame_hashes(const std::string& ffmpeg_input,
                                                     SplitObserver& observer,
                                                     const posix::Environment& environment) {
  return source_frame_hashes(ffmpeg_input, 0, 0, std::nullopt, observer, environment);
}

Result<std::vector<std::string>> source_frame_hashes(const std::string& ffmpeg_input,
                                                     std::uint64_t keyframe_frame,
                                                     std::int64_t keyframe_microseconds,
                                                     std::optional<std::uint64_t> frames,
                                                     SplitObserver& observer,
                                                     const posix::Environment& environment) {
  FENDRAL_TRY(const auto listing, posix::create_anonymous_file("fendral-source-hashes"));
  auto arguments = with_quiet({});
  const auto source = from_keyframe(keyframe_frame, keyframe_microseconds, ffmpeg_input);
  arguments.insert(arguments.end(), source.begin(), source.end());
  add(arguments, {"-map", "0:v:0"});
  if (frames) add(arguments, {"-frames:v", std::to_string(*frames)});
  add(arguments, {"-f", "framemd5", pipe_name(0)});
  FENDRAL_CHECK(run_only(kProgram, arguments, {listing.get(), -1, -1, -1}, -1, observer,
                         environment, "ffmpeg failed to decode the source"));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  // Numbered as in the whole source: the frames before the keyframe are not decoded.
  std::vector<std::string> hashes(keyframe_frame);
  const std::vector<std::string> decoded = stream_zero_hashes(text);
  hashes.insert(hashes.end(), decoded.begin(), decoded.end());
  return hashes;
}

Result<EncodedHead> encode_head(const Seam& seam, const std::string& ffmpeg_input,
                                const VideoParameters& parameters, SplitObserver& observer,
                                const posix::Environment& environment) {
  const std::string failed = "Failed to re-encode the head of segment " + seam.path;
  FENDRAL_TRY(auto head, posix::create_anonymous_file("fendral-head"));
  // Frame numbers of the source as read from the keyframe before the cut.
  const std::uint64_t from_key =
      seam.first_packet - std::min(seam.first_packet, seam.keyframe_packet);
  FENDRAL_CHECK(run_only(kProgram, head_command(seam, ffmpeg_input, parameters, from_key),
                         {head.get(), -1, -1, -1}, -1, observer, environment, failed));
  FENDRAL_TRY(const auto listing, posix::create_anonymous_file("fendral-head-packets"));
  FENDRAL_CHECK(run_only(kProbeProgram, packet_list_command(fd_name(0)), {head.get(), -1, -1, -1},
                         listing.get(), observer, environment, failed));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  auto table = read_packet_list(text);
  if (!table || table->tracks.empty()) {
    return runtime_failure(failed + ": its packets cannot be listed");
  }
  std::vector<Packet> packets = std::move(table->tracks[0].packets);
  std::stable_sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) {
    return a.presentation_time < b.presentation_time;
  });
  EncodedHead encoded{.stream = std::move(head), .frames = seam.reencoded};
  for (const Packet& packet : packets) encoded.frame_bytes.push_back(packet.size);
  if (encoded.frame_bytes.size() != seam.reencoded) {
    return runtime_failure(failed + ": it encoded " + std::to_string(encoded.frame_bytes.size()) +
                           " frames where " + std::to_string(seam.reencoded) + " were asked for");
  }
  return encoded;
}

Result<std::uint64_t> reencode_head(const Seam& seam, const std::string& ffmpeg_input,
                                    const VideoParameters& parameters,
                                    const std::vector<std::string>& hashes,
                                    const SplitDirectory& directory, SplitObserver& observer,
                                    const posix::Environment& environment) {
  FENDRAL_TRY(const EncodedHead head,
              encode_head(seam, ffmpeg_input, parameters, observer, environment));
  return reencode_head(seam, ffmpeg_input, head, hashes, directory, observer, environment);
}

Result<std::uint64_t> reencode_head(const Seam& seam, const std::string& ffmpeg_input,
                                    const EncodedHead& head, const std::vector<std::string>& hashes,
                                    const SplitDirectory& directory, SplitObserver& observer,
                                    const posix::Environment& environment) {
  const std::string failed = "Failed to re-encode the head of segment " + seam.path;
  // A clean cut: the frames decoded before the segment are those displayed before it.
  const std::uint64_t first_displayed = seam.first_packet;
  if (first_displayed + seam.frames > hashes.size()) {
    return runtime_failure(failed + ": the source decodes to " + std::to_string(hashes.size()) +
                           " frames");
  }
  if (head.frames != seam.reencoded) {
    return runtime_failure(failed + ": its head was encoded to " + std::to_string(head.frames) +
                           " frames");
  }
  FENDRAL_TRY(const auto tail, posix::create_anonymous_file("fendral-tail"));
  FENDRAL_TRY(const auto joined, posix::create_anonymous_file("fendral-seam"));
  FENDRAL_TRY(const auto copied, directory.open_segment(seam.name));
  // The copied segment's video clock, which the joined one keeps: a join takes every segment's
  // packets on the first one's clock (a Matroska source's 1/1000 became 1/16000 in the copy).
  FENDRAL_TRY(const VideoParameters copied_parameters,
              read_video_parameters(seam.path, observer, environment));
  const bool has_tail = seam.reencoded < seam.frames;
  if (has_tail) {
    FENDRAL_CHECK(run_only(kProgram, tail_command(seam, ffmpeg_input, copied_parameters.codec),
                           {-1, tail.get(), -1, -1}, -1, observer, environment, failed));
  }
  const std::array<int, posix::kPassedFdCount> seam_fds = {head.stream.get(), tail.get(),
                                                           copied.fd.get(), joined.get(), -1};
  FENDRAL_CHECK(run_only(kProgram, seam_command(seam, copied_parameters.timescale, has_tail),
                         seam_fds, -1, observer, environment, failed));

  FENDRAL_CHECK(check_splice(joined.get(),
                             {.failed = failed,
                              .frames = seam.frames,
                              .source_first = first_displayed,
                              .copied_first = seam.reencoded,
                              .copied_end = seam.frames,
                              .compared = seam.reencoded,
                              .keyframe_frame = seam.keyframe_packet,
                              .keyframe_microseconds = seam.keyframe_microseconds,
                              .codec = copied_parameters.codec},
                             ffmpeg_input, hashes, observer, environment));

  FENDRAL_TRY(const auto content, posix::read_from_start(joined.get()));
  FENDRAL_CHECK(directory.replace_segment(seam.name, content));
  return copied.size;
}

Result<void> check_splice(int file, const SpliceCheck& check, const std::string& ffmpeg_input,
                          const std::vector<std::string>& hashes, SplitObserver& observer,
                          const posix::Environment& environment) {
  const std::string& failed = check.failed;
  if (check.source_first + check.frames > hashes.size() ||
      check.keyframe_frame > check.source_first) {
    return runtime_failure(failed + ": the source decodes to " + std::to_string(hashes.size()) +
                           " frames");
  }
  FENDRAL_TRY(const auto decoded, posix::create_anonymous_file("fendral-seam-hashes"));
  const auto decode = std::vector<std::string>{
      "-hide_banner", "-nostats", "-loglevel", "level+error", "-i", fd_name(3),
      // The null muxer refuses times that do not increase, as a player would stumble on them.
      "-map", "0", "-f", "null", "-", "-map", "0:v:0", "-f", "framemd5", pipe_name(0)};
  FENDRAL_TRY(
      const ReportedRun decode_run,
      run_step(kProgram, decode, {decoded.get(), -1, -1, file}, -1, observer, environment, failed));
  if (!decode_run.last_errors.empty()) {
    return runtime_failure(failed + ": it decodes with errors: " + decode_run.last_errors);
  }
  FENDRAL_TRY(const auto listing, posix::read_from_start(decoded.get()));
  const std::vector<std::string> frames = stream_zero_hashes(listing);
  if (frames.size() != check.frames) {
    return runtime_failure(failed + ": it decodes to " + std::to_string(frames.size()) +
                           " frames where the source has " + std::to_string(check.frames));
  }
  for (std::uint64_t index = check.copied_first; index < check.copied_end; ++index) {
    if (frames[index] != hashes[check.source_first + index]) {
      return runtime_failure(failed + ": its copied frame " + std::to_string(index) +
                             " differs from the source's");
    }
  }

  // Paired by their order, not their times: a clock of milliseconds (Matroska) rounds the
  // segment's and the source's differently, and psnr would pair a frame with its neighbour. A
  // second apart, so no muxer clock puts two of them on one tick (which it logs as an error).
  const std::uint64_t from_key = check.source_first - check.keyframe_frame;
  FENDRAL_TRY(const auto stats, posix::create_anonymous_file("fendral-seam-psnr"));
  const std::string compared =
      "[0:v:0]trim=end_frame=" + std::to_string(check.compared) +
      ",settb=AVTB,setpts=N*1000000[head];[1:v:0]select=between(n\\," + std::to_string(from_key) +
      "\\," + std::to_string(from_key + check.compared - 1) +
      "),settb=AVTB,setpts=N*1000000[source];[head][source]psnr=stats_file=" + fd_name(0);
  auto measure = with_quiet({"-i", fd_name(3)});
  const auto source =
      from_keyframe(check.keyframe_frame, check.keyframe_microseconds, ffmpeg_input);
  measure.insert(measure.end(), source.begin(), source.end());
  // Up to the last frame compared: the source may run on for hours.
  add(measure, {"-filter_complex", compared, "-frames:v", std::to_string(check.compared), "-f",
                "null", "-"});
  FENDRAL_CHECK(
      run_only(kProgram, measure, {stats.get(), -1, -1, file}, -1, observer, environment, failed));
  FENDRAL_TRY(const auto stats_text, posix::read_from_start(stats.get()));
  const auto [least, measured] = least_psnr(stats_text);
  if (measured != check.compared || !(least >= kLeastPsnr)) {
    return runtime_failure(failed + ": its re-encoded frames reach " + std::to_string(least) +
                           " dB PSNR over " + std::to_string(measured) + " frames");
  }

  ParameterSetReader reader(observer);
  const auto trace =
      std::vector<std::string>{"-hide_banner", "-nostats", "-loglevel", "level+info", "-i",
                               fd_name(3), "-map", "0:v:0", "-c", "copy", "-bsf:v",
                               // The sequence parameter sets: H.264's NAL type 7, HEVC's 33.
                               std::string("filter_units=pass_types=") +
                                   (check.codec == "hevc" ? "33" : "7") + ",trace_headers",
                               "-f", "null", "-"};
  FENDRAL_CHECK(run_step(kProgram, trace, {-1, -1, -1, file}, -1, reader, environment, failed));
  if (!reader.agree()) {
    return runtime_failure(failed + ": its parameter sets differ in profile or level");
  }
  return {};
}

std::vector<std::string> encode_frames_command(const Seam& span, const std::string& ffmpeg_input,
                                               const VideoParameters& parameters) {
  return head_command(span, ffmpeg_input, parameters,
                      span.first_packet - std::min(span.first_packet, span.keyframe_packet));
}

std::vector<std::string> copy_packets_command(const Seam& span, const std::string& ffmpeg_input,
                                              const std::string& codec) {
  return tail_command(span, ffmpeg_input, codec);
}

std::string ticks_as_seconds(std::int64_t ticks, std::uint32_t timescale) {
  return seconds_text(ticks, timescale);
}

}  // namespace fendral::video
