#include "video/head_reencode.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <utility>
#include <vector>

#include "base/propagate.hpp"
#include "base/uint128.hpp"
#include "posix/file.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/packet_list.hpp"
#include "video/reencode_steps.hpp"
#include "video/reported_run.hpp"
#include "video/segment_file.hpp"

namespace fendral::video {

namespace {

// The intermediate streams start this far into their clock, so that a head's B-frames, decoded
// before the first of them presents, still have a time MPEG-TS can hold.
constexpr std::int64_t kLeadSeconds = kSpanLeadSeconds;
constexpr std::int64_t kLeadMicroseconds = kLeadSeconds * 1'000'000;
// The encoders' quality for a head (x264's and x265's crf): well above the least PSNR on the
// content measured.
constexpr std::string_view kHeadQuality = "12";

std::optional<long long> number(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool stated(const std::string& value) {
  return !value.empty() && value != "unknown";
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
  auto arguments = steps::with_quiet({"-copyts"});
  const auto source = steps::from_keyframe(seam, input);
  arguments.insert(arguments.end(), source.begin(), source.end());
  steps::add(arguments, {"-map",
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
    steps::add(arguments,
               {"-level:v",
                std::to_string(parameters.level / 10) + "." + std::to_string(parameters.level % 10),
                "-refs", std::to_string(std::max(1, parameters.refs))});
  }
  if (stated(parameters.color_range))
    steps::add(arguments, {"-color_range", parameters.color_range});
  if (stated(parameters.color_space))
    steps::add(arguments, {"-colorspace", parameters.color_space});
  if (stated(parameters.color_transfer))
    steps::add(arguments, {"-color_trc", parameters.color_transfer});
  if (stated(parameters.color_primaries)) {
    steps::add(arguments, {"-color_primaries", parameters.color_primaries});
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
    steps::add(arguments, {"-x265-params",
                           "open-gop=0:repeat-headers=1:scenecut=0:keyint=" + keyint +
                               ":min-keyint=" + keyint + ":level-idc=" + level + ":ref=" +
                               std::to_string(std::max(1, parameters.refs)) + ":log-level=error"});
  } else {
    steps::add(arguments,
               {"-x264-params", "open-gop=0:repeat-headers=1:scenecut=0:keyint=" + keyint});
  }
  steps::add(arguments, {"-muxdelay", "0", "-muxpreload", "0", "-output_ts_offset",
                         std::to_string(kLeadSeconds), "-avoid_negative_ts", "disabled", "-f",
                         "mpegts", steps::pipe_name(0)});
  return arguments;
}

// The copied rest of the segment, its parameter sets put in the stream ahead of its keyframes.
std::vector<std::string> tail_command(const Seam& seam, const std::string& input,
                                      const std::string& codec) {
  const std::uint64_t first = seam.first_packet + seam.reencoded;
  const std::uint64_t last = seam.first_packet + seam.frames - 1;
  return steps::with_quiet({"-copyts",
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
                            steps::pipe_name(1)});
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
  std::string video = "concat:" + steps::fd_name(0);
  if (has_tail) video += "|" + steps::fd_name(1);
  // The head and the copied rest on the segment's clock, which starts at its earliest picture;
  // the copied segment's sound moved by as much as its zero was later.
  const std::int64_t lead = kLeadMicroseconds * seam.timescale / 1'000'000;
  auto arguments = steps::with_quiet(
      {"-copyts", "-itsoffset", seconds_text(-(lead + seam.zero_ticks), seam.timescale), "-i",
       video, "-itsoffset", seconds_text(seam.copied_zero_ticks - seam.zero_ticks, seam.timescale),
       "-i", steps::fd_name(2), "-map", "0:v", "-map", "1:a?", "-c", "copy", "-strict",
       "unofficial", "-movie_timescale", "90000"});
  if (video_timescale) {
    steps::add(arguments, {"-video_track_timescale", std::to_string(*video_timescale)});
    // MPEG-TS states no duration, and the movie's edit list, on a clock of its own, would leave
    // out a last frame without one: the source's, in the track's ticks.
    const int128 ticks = static_cast<int128>(seam.last_frame_ticks) * *video_timescale /
                         std::max<std::uint32_t>(seam.timescale, 1);
    steps::add(arguments, {"-bsf:v", "setts=pts=PTS:dts=DTS:duration=if(DURATION\\,DURATION\\," +
                                         std::to_string(static_cast<long long>(ticks)) + ")"});
  }
  steps::add(arguments, {"-avoid_negative_ts", "disabled", "-f", seam.quicktime ? "mov" : "mp4",
                         "-y", steps::fd_name(3)});
  return arguments;
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
  FENDRAL_CHECK(steps::run_only(kProbeProgram, arguments, {-1, -1, -1, -1}, listing.get(), observer,
                                environment, "ffprobe failed"));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  VideoParameters parameters;
  for (const std::string_view line : steps::lines(text)) {
    const std::size_t equals = line.find('=');
    if (equals == line.npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string value(steps::trimmed(line.substr(equals + 1)));
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

Result<std::vector<bool>> copy_starts_of(const std::string& ffmpeg_input,
                                         const VideoParameters& parameters,
                                         const std::vector<Packet>& packets,
                                         SplitObserver& observer,
                                         const posix::Environment& environment) {
  const std::vector<bool> structural = copy_starts(packets);
  if (parameters.codec != "h264") return structural;
  // Each packet numbered by its place in decoding, then all but the IDR slices (NAL type 5)
  // dropped, and the packets left empty with them: the numbers left are the IDR pictures'.
  FENDRAL_TRY(const auto listing, posix::create_anonymous_file("fendral-idr-packets"));
  auto arguments = steps::with_quiet({"-i", ffmpeg_input});
  steps::add(arguments, {"-map", "0:v:0", "-c", "copy", "-bsf:v",
                         "setts=pts=N:dts=N,filter_units=pass_types=5", "-f", "framecrc",
                         steps::pipe_name(0)});
  FENDRAL_CHECK(steps::run_only(kProgram, arguments, {listing.get(), -1, -1, -1}, -1, observer,
                                environment, "ffmpeg failed to list the IDR pictures"));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  std::vector<bool> starts(packets.size(), false);
  for (const std::string_view line : steps::lines(text)) {
    if (line.empty() || line.front() == '#') continue;
    // "0,         30,         30,       33,     1960, 0x4c77c9bc": stream, dts, pts, ...
    const std::size_t comma = line.find(',');
    if (comma == line.npos) continue;
    std::string_view rest = steps::trimmed(line.substr(comma + 1));
    rest = rest.substr(0, rest.find(','));
    const auto index = number(steps::trimmed(rest));
    if (index && *index >= 0 && static_cast<std::uint64_t>(*index) < packets.size()) {
      const auto at = static_cast<std::size_t>(*index);
      starts[at] = structural[at];
    }
  }
  return starts;
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

Result<EncodedHead> encode_head(const Seam& seam, const std::string& ffmpeg_input,
                                const VideoParameters& parameters, const SplitDirectory& kept_in,
                                SplitObserver& observer, const posix::Environment& environment) {
  const std::string failed = "Failed to re-encode the head of segment " + seam.path;
  FENDRAL_TRY(auto head, kept_in.create_unnamed_file("fendral-head"));
  // Frame numbers of the source as read from the keyframe before the cut.
  const std::uint64_t from_key =
      seam.first_packet - std::min(seam.first_packet, seam.keyframe_packet);
  FENDRAL_CHECK(steps::run_only(kProgram, head_command(seam, ffmpeg_input, parameters, from_key),
                                {head.get(), -1, -1, -1}, -1, observer, environment, failed));
  FENDRAL_TRY(const auto listing, posix::create_anonymous_file("fendral-head-packets"));
  FENDRAL_CHECK(steps::run_only(kProbeProgram, packet_list_command(steps::fd_name(0)),
                                {head.get(), -1, -1, -1}, listing.get(), observer, environment,
                                failed));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  auto table = read_packet_list(text);
  if (!table || table->tracks.empty()) {
    return runtime_failure(failed + ": its packets cannot be listed");
  }
  // Each frame's bytes in display order; ties keep decode order.
  const std::vector<Packet>& packets = table->tracks[0].packets;
  std::vector<std::size_t> by_display(packets.size());
  std::iota(by_display.begin(), by_display.end(), 0);
  std::sort(by_display.begin(), by_display.end(), [&](std::size_t a, std::size_t b) {
    return std::pair(packets[a].presentation_time, a) < std::pair(packets[b].presentation_time, b);
  });
  EncodedHead encoded{
      .stream = std::move(head), .frames = seam.reencoded, .codec = parameters.codec};
  for (const std::size_t index : by_display) encoded.frame_bytes.push_back(packets[index].size);
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
              encode_head(seam, ffmpeg_input, parameters, directory, observer, environment));
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
  // Read from its movie box: a copy keeps the source's codec, and the clock is all it changes.
  VideoParameters copied_parameters{.codec = head.codec};
  const auto copied_movie = movie_of(copied.fd.get());
  if (copied_movie && copied_movie->video_timescale) {
    copied_parameters.timescale = copied_movie->video_timescale;
  } else {
    FENDRAL_TRY(copied_parameters, read_video_parameters(seam.path, observer, environment));
  }
  const bool has_tail = seam.reencoded < seam.frames;
  if (has_tail) {
    FENDRAL_CHECK(steps::run_only(kProgram,
                                  tail_command(seam, ffmpeg_input, copied_parameters.codec),
                                  {-1, tail.get(), -1, -1}, -1, observer, environment, failed));
  }
  const std::array<int, posix::kPassedFdCount> seam_fds = {head.stream.get(), tail.get(),
                                                           copied.fd.get(), joined.get(), -1};
  FENDRAL_CHECK(steps::run_only(kProgram, seam_command(seam, copied_parameters.timescale, has_tail),
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
