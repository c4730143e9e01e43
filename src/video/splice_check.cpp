// The checks a file with re-encoded frames passes before it is kept, and the source's frame
// hashes they compare with.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/head_reencode.hpp"
#include "video/reencode_steps.hpp"

namespace fendral::video {
namespace {

// Below this, a re-encoded picture is no longer taken for the source's.
constexpr double kLeastPsnr = 40;

// The picture hashes of framemd5's lines of stream 0, in order.
std::vector<std::string> stream_zero_hashes(std::string_view listing) {
  std::vector<std::string> hashes;
  for (const std::string_view line : steps::lines(listing)) {
    if (line.empty() || line.front() == '#') continue;
    const std::size_t comma = line.find(',');
    if (comma == line.npos || steps::trimmed(line.substr(0, comma)) != "0") continue;
    hashes.emplace_back(steps::trimmed(line.substr(line.rfind(',') + 1)));
  }
  return hashes;
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
      if (equals != text.npos)
        values->push_back(std::string(steps::trimmed(text.substr(equals + 2))));
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
  for (const std::string_view line : steps::lines(stats)) {
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
  auto arguments = steps::with_quiet({});
  const auto source = steps::from_keyframe(keyframe_frame, keyframe_microseconds, ffmpeg_input);
  arguments.insert(arguments.end(), source.begin(), source.end());
  steps::add(arguments, {"-map", "0:v:0"});
  if (frames) steps::add(arguments, {"-frames:v", std::to_string(*frames)});
  steps::add(arguments, {"-f", "framemd5", steps::pipe_name(0)});
  FENDRAL_CHECK(steps::run_only(kProgram, arguments, {listing.get(), -1, -1, -1}, -1, observer,
                                environment, "ffmpeg failed to decode the source"));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  // Numbered as in the whole source: the frames before the keyframe are not decoded.
  std::vector<std::string> hashes(keyframe_frame);
  const std::vector<std::string> decoded = stream_zero_hashes(text);
  hashes.insert(hashes.end(), decoded.begin(), decoded.end());
  return hashes;
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
  // One read of the file decodes it, hashes its pictures, traces its parameter sets and
  // measures its re-encoded frames against the source's: each ffmpeg run costs a start-up that
  // outweighs a short segment's decode.
  FENDRAL_TRY(const auto decoded, posix::create_anonymous_file("fendral-seam-hashes"));
  FENDRAL_TRY(const auto stats, posix::create_anonymous_file("fendral-seam-psnr"));
  // Paired by their order, not their times: a clock of milliseconds (Matroska) rounds the
  // segment's and the source's differently, and psnr would pair a frame with its neighbour. A
  // second apart, so no muxer clock puts two of them on one tick (which it logs as an error).
  const std::uint64_t from_key = check.source_first - check.keyframe_frame;
  const std::string compared =
      "[0:v:0]trim=end_frame=" + std::to_string(check.compared) +
      ",settb=AVTB,setpts=N*1000000[head];[1:v:0]select=between(n\\," + std::to_string(from_key) +
      "\\," + std::to_string(from_key + check.compared - 1) +
      "),settb=AVTB,setpts=N*1000000[source];[head][source]psnr=stats_file=" + steps::fd_name(1) +
      "[compared]";
  const auto segment_input = std::vector<std::string>{
      "-hide_banner", "-nostats", "-loglevel", "level+info", "-i", steps::fd_name(3)};
  // The null muxer refuses times that do not increase, as a player would stumble on them.
  const auto every_stream = std::vector<std::string>{"-map", "0", "-f", "null", "-"};
  auto decode = segment_input;
  const auto source =
      steps::from_keyframe(check.keyframe_frame, check.keyframe_microseconds, ffmpeg_input);
  decode.insert(decode.end(), source.begin(), source.end());
  steps::add(decode, {"-filter_complex", compared});
  decode.insert(decode.end(), every_stream.begin(), every_stream.end());
  steps::add(decode, {"-map", "0:v:0", "-f", "framemd5", steps::pipe_name(0), "-map", "0:v:0", "-c",
                      "copy", "-bsf:v",
                      // The sequence parameter sets: H.264's NAL type 7, HEVC's 33.
                      std::string("filter_units=pass_types=") +
                          (check.codec == "hevc" ? "33" : "7") + ",trace_headers",
                      "-f", "null", "-",
                      // Up to the last frame compared: the source may run on for hours.
                      "-map", "[compared]", "-frames:v", std::to_string(check.compared), "-f",
                      "null", "-"});
  ParameterSetReader reader(observer);
  FENDRAL_TRY(const ReportedRun decode_run,
              steps::run_step(kProgram, decode, {decoded.get(), stats.get(), -1, file}, -1, reader,
                              environment, failed));
  std::string errors = decode_run.last_errors;
  if (!errors.empty()) {
    // The source may log errors of its own where a seek lands before its keyframe (MPEG-TS
    // seeks by bytes and decodes frames it then drops): a read of the file alone tells whose.
    auto alone = segment_input;
    alone.insert(alone.end(), every_stream.begin(), every_stream.end());
    FENDRAL_TRY(const ReportedRun alone_run, steps::run_step(kProgram, alone, {-1, -1, -1, file},
                                                             -1, observer, environment, failed));
    errors = alone_run.last_errors;
  }
  if (!errors.empty()) {
    return runtime_failure(failed + ": it decodes with errors: " + errors);
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

  FENDRAL_TRY(const auto stats_text, posix::read_from_start(stats.get()));
  const auto [least, measured] = least_psnr(stats_text);
  if (measured != check.compared || !(least >= kLeastPsnr)) {
    return runtime_failure(failed + ": its re-encoded frames reach " + std::to_string(least) +
                           " dB PSNR over " + std::to_string(measured) + " frames");
  }

  if (!reader.agree()) {
    return runtime_failure(failed + ": its parameter sets differ in profile or level");
  }
  return {};
}

}  // namespace fendral::video
