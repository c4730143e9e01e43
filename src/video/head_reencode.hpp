// Re-encoding the head of a segment that starts inside a picture group: the frames from the cut
// to the next keyframe are encoded anew with the source stream's own parameters, the rest of
// the segment is copied, and the two are joined into one segment file that is checked against
// the source before it is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "posix/file.hpp"
#include "posix/spawn.hpp"
#include "video/fit_plan.hpp"
#include "video/split_directory.hpp"
#include "video/split_to_fit.hpp"

namespace fendral::video {

// What an encoder must match of the source's first video stream, as ffprobe states it.
struct VideoParameters {
  std::string codec;    // "h264", "hevc", "vp9", ...
  std::string profile;  // "Main", "High", ...
  int level = 0;        // ffprobe's level: 30 for H.264's 3.0, 90 for HEVC's
  std::string pix_fmt;
  std::string color_range, color_space, color_transfer, color_primaries;
  std::string sample_aspect_ratio;  // "1:1", or empty when unstated
  std::string field_order;          // "progressive", "tt", ... or empty
  int reorder_depth = 0;            // has_b_frames
  int refs = 1;
  std::optional<std::uint32_t> timescale;  // the stream's clock, when its time base is 1/N
};

Result<VideoParameters> read_video_parameters(const std::string& ffmpeg_input,
                                              SplitObserver& observer,
                                              const posix::Environment& environment);

// Where re-encoded frames may give way to copied ones, packet by packet of the first video
// stream (`packets`, in decode order): copy_starts, and for H.264 only at an IDR picture, since
// only one makes the copied parameter sets active and the pictures after another I-frame may
// refer to pictures before it.
Result<std::vector<bool>> copy_starts_of(const std::string& ffmpeg_input,
                                         const VideoParameters& parameters,
                                         const std::vector<Packet>& packets,
                                         SplitObserver& observer,
                                         const posix::Environment& environment);

// Why the stream cannot be re-encoded to match its copied frames, for the ValueError; nothing
// when it can.
std::optional<std::string> unmatched(const VideoParameters& parameters);

// The source's decoded pictures, one hash each in display order, for the copied frames' check.
Result<std::vector<std::string>> source_frame_hashes(const std::string& ffmpeg_input,
                                                     SplitObserver& observer,
                                                     const posix::Environment& environment);

// The same for `frames` frames (to the end without) from the keyframe `keyframe_frame`, which
// shows at `keyframe_microseconds`: the decode starts there, and the hashes before it are left
// empty.
Result<std::vector<std::string>> source_frame_hashes(const std::string& ffmpeg_input,
                                                     std::uint64_t keyframe_frame,
                                                     std::int64_t keyframe_microseconds,
                                                     std::optional<std::uint64_t> frames,
                                                     SplitObserver& observer,
                                                     const posix::Environment& environment);

// One segment whose head is re-encoded: it starts at the first video track's packet
// `first_packet`, holds `frames` frames, the first `reencoded` of them encoded anew. Its zero is
// its earliest presentation (`zero_ticks`, in ticks of `timescale`); the copied segment's was
// its first packet's (`copied_zero_ticks`), which the segment muxer takes, later with B-frames.
struct Seam {
  std::string name;  // the segment file, as the segment muxer wrote it whole (copied)
  std::string path;
  std::uint64_t first_packet = 0;
  std::int64_t zero_ticks = 0;
  std::int64_t copied_zero_ticks = 0;
  std::uint32_t timescale = 1;
  std::uint64_t frames = 0;
  std::uint64_t reencoded = 0;
  // The keyframe at or before the cut, where decoding the source for the head starts, and its
  // time from the source's start.
  std::uint64_t keyframe_packet = 0;
  std::int64_t keyframe_microseconds = 0;
  // The source's duration of the segment's last frame, in ticks of `timescale`.
  std::int64_t last_frame_ticks = 0;
  bool quicktime = false;
};

// A head encoded ahead of its seam, as MPEG-TS: `frames` frames, each one's bytes in display
// order (what a planner takes a head of fewer of them to hold, about).
struct EncodedHead {
  posix::UniqueFd stream;
  std::uint64_t frames = 0;
  std::vector<std::uint64_t> frame_bytes;
  std::string codec = "h264";  // the source's, as ffprobe names it
};

// Encodes the first `seam.reencoded` frames from `seam.first_packet` on, as reencode_head does,
// into an unnamed file of the split directory `kept_in` (on disk: a split may hold the heads of
// all its segments at once).
Result<EncodedHead> encode_head(const Seam& seam, const std::string& ffmpeg_input,
                                const VideoParameters& parameters, const SplitDirectory& kept_in,
                                SplitObserver& observer, const posix::Environment& environment);

// Replaces the copied segment with one whose head is re-encoded and whose sound is the copied
// segment's, after checking it: a full decode with no error, `frames` frames, the copied frames'
// pictures equal to the source's (`hashes`), the re-encoded ones at 40 dB PSNR at least, and one
// profile and level in the container's header and in every parameter set of the stream. A
// segment that fails is a RuntimeError naming it, and the copied one is left as it was. Gives
// the copied segment's size.
Result<std::uint64_t> reencode_head(const Seam& seam, const std::string& ffmpeg_input,
                                    const VideoParameters& parameters,
                                    const std::vector<std::string>& hashes,
                                    const SplitDirectory& directory, SplitObserver& observer,
                                    const posix::Environment& environment);
// The same with the head encoded already (`head.frames` equal to `seam.reencoded`).
Result<std::uint64_t> reencode_head(const Seam& seam, const std::string& ffmpeg_input,
                                    const EncodedHead& head, const std::vector<std::string>& hashes,
                                    const SplitDirectory& directory, SplitObserver& observer,
                                    const posix::Environment& environment);

// What a file with re-encoded frames must show before it is kept. Its frames in display order
// are the source's from `source_first` on; those in [copied_first, copied_end) are copied.
struct SpliceCheck {
  std::string failed;  // the opening words of the RuntimeError
  std::uint64_t frames = 0;
  std::uint64_t source_first = 0;
  std::uint64_t copied_first = 0;
  std::uint64_t copied_end = 0;
  // Its first `compared` frames are held to the least PSNR against the source's (copied ones
  // among them come out identical), decoded from the source's keyframe `keyframe_frame`, which
  // shows at `keyframe_microseconds` from the source's start.
  std::uint64_t compared = 0;
  std::uint64_t keyframe_frame = 0;
  std::int64_t keyframe_microseconds = 0;
  std::string codec = "h264";  // the stream's, as ffprobe names it
};

// The checks of reencode_head on the file behind `file`: a full decode with no error and
// increasing times, the frame count, the copied frames' pictures equal to `hashes`, the PSNR,
// one profile and level in the container's header and in every parameter set.
Result<void> check_splice(int file, const SpliceCheck& check, const std::string& ffmpeg_input,
                          const std::vector<std::string>& hashes, SplitObserver& observer,
                          const posix::Environment& environment);

// ffmpeg's arguments that write the frames [first_packet, first_packet + reencoded) of the
// source in display order, decoded from `keyframe_packet`, encoded as reencode_head encodes a
// head, to MPEG-TS on passed descriptor 0; the time of every frame moved by the seam's lead.
std::vector<std::string> encode_frames_command(const Seam& span, const std::string& ffmpeg_input,
                                               const VideoParameters& parameters);

// ffmpeg's arguments that copy the video packets [first_packet + reencoded, first_packet +
// frames) in decode order, to MPEG-TS on passed descriptor 1, with the same lead.
std::vector<std::string> copy_packets_command(const Seam& span, const std::string& ffmpeg_input,
                                              const std::string& codec);

// The lead of the MPEG-TS streams above, which the run that joins them takes off.
inline constexpr std::int64_t kSpanLeadSeconds = 10;

// "1.360000": ticks of `timescale` as seconds, to the nearest microsecond, as ffmpeg's time
// options take them.
std::string ticks_as_seconds(std::int64_t ticks, std::uint32_t timescale);

}  // namespace fendral::video
