// The command lines the split and the join hand to ffmpeg, and how a descriptor handed to it is
// named there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mp4/matroska.hpp"

namespace fendral::video {

inline constexpr std::string_view kProgram = "ffmpeg";

// The clock of a joined movie file, on which its edit lists are stated: at ffmpeg's default of
// milliseconds an edit can end before a last audio packet shorter than one; no packet of audio
// sampled at up to 90 kHz is shorter than one tick of this.
inline constexpr std::uint32_t kJoinMovieTimescale = 90000;

// The places of SpawnOptions::passed_fds, the descriptors of ours that ffmpeg is handed. The
// third holds the split directory's lock, which ffmpeg keeps but never names; the fourth, the
// source's other streams that a join maps back; the fifth, the concat script of the segments
// from the first that holds a late-starting track.
enum class PassedSlot { first, second, third, fourth, fifth };
// Whether ffmpeg writes what it is handed there or reads it.
enum class PassedFileUse { written, read };

// The name under which ffmpeg finds a descriptor handed to it.
std::string passed_file(PassedSlot slot, PassedFileUse use);

// An audio stream's last packet: its number from 0 in the stream, and how long it lasts, in
// ticks of `clock` per second.
struct LastPacket {
  std::uint64_t index = 0;
  std::uint64_t duration = 0;
  std::uint64_t clock = 1;
};

struct SplitCommand {
  std::string input;            // as input_for_ffmpeg gives it
  std::string segment_pattern;  // the segments' path, its '%' escaped
  std::uint32_t time_limit_sec = 0;
  // Where to cut instead of every time_limit_sec: the frame numbers of the first stream that
  // start a segment, comma-separated.
  std::string segment_frames;
  bool quicktime = false;  // the input is in QuickTime form
  // ffmpeg's messages with their level, and its progress on standard output, for a caller that
  // reads both.
  bool reported = false;
  // The clock of the input's first video track, when it is a movie file that tells.
  std::optional<std::uint32_t> video_timescale;
  // Whether the input may hold a timecode, which each segment then starts anew.
  bool timecode = true;
  // Whether a segment may start at a frame that is not a keyframe (its head re-encoded after,
  // which only H.264 and HEVC streams are).
  bool break_non_keyframes = false;
  // The first video stream's codec, as ffprobe names it ("h264", "hevc").
  std::string video_codec = "h264";
  // Per audio stream, its last packet, where the source tells it.
  std::vector<std::optional<LastPacket>> last_audio_packets;
};

// ffmpeg's arguments for a split: the segment list (in csv form: name, start, end) is written to
// the first passed descriptor, the source's metadata to the second.
std::vector<std::string> split_command(const SplitCommand& command);

// The container of the split's side file: the source's own family, which holds its streams.
enum class SideStreamsForm {
  mp4,       // streams.mp4, of an MP4 or QuickTime source (or any other)
  matroska,  // streams.mkv, of a Matroska or WebM source
};

// ffmpeg's arguments for storing the streams the segments do not carry (subtitle and data
// streams and cover pictures, a timecode track left out) in one MP4 file, copied, at the name
// the first passed descriptor is given for reading (the file is rewritten there).
std::vector<std::string> side_streams_command(const std::string& input);

// ffmpeg reading a side file handed over as the first descriptor whole, writing nothing: it
// fails when the file does not read.
std::vector<std::string> side_streams_check_command();

// The same for a Matroska source whose streams ffmpeg numbers as `streams` says, into one
// Matroska file: first its video and audio streams in the segments' order (all video, then all
// audio) without their packets, which carry those tracks' tags for the join (MP4 segments keep
// no title); then every subtitle track and attachment (fonts, cover pictures) as they are.
std::vector<std::string> matroska_side_streams_command(
    const std::string& input, const std::vector<mp4::MatroskaStream>& streams);

struct JoinCommand {
  std::string output_file;       // as JoinOutput writes it
  bool source_metadata = false;  // the source's metadata record is handed over second
  bool quicktime_keys = false;   // that record holds QuickTime keyed tags
  // The clock of the first segment's video track, kept in the joined file.
  std::optional<std::uint32_t> video_timescale;
  // The source's major brand, kept in an MP4 output when it is one of the MP4 family's.
  std::optional<std::string> major_brand;
  // The split's side file of the streams the segments do not carry is handed over fourth and
  // read as an input.
  bool side_streams = false;
  // A Matroska side file whose first `carriers` streams only carry the tags of the segments'
  // streams, in their order, of `streams` in all: every stream of the join takes its tags
  // from the side file's stream of the same number.
  struct TagCarriers {
    std::size_t carriers = 0;
    std::size_t streams = 0;
  };
  std::optional<TagCarriers> tag_carriers;
  // A side file into another family: only what the output holds is mapped, every subtitle
  // stream or those numbered `streams` (text subtitles, covers); subtitles are converted to
  // `subtitle_codec`.
  struct CrossedStreams {
    std::optional<std::string> subtitle_codec;
    bool all_subtitles = false;
    std::vector<std::size_t> streams;
  };
  CrossedStreams crossed;
  // Cover pictures of an MP4 side file (handed over fourth, read or not) that a Matroska output
  // takes as attachments: where each image lies in that file, and its MIME type.
  struct AttachedCover {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string mime_type;
  };
  std::vector<AttachedCover> attached_covers;
  // Per audio track, the joined stream's last packet, as the last segment states it (nothing
  // where unknown). ffmpeg hands that packet on without a duration when the
  // segment's sound starts after an empty edit (Opus's 312-sample remainder was lost), or with a
  // whole frame's (an MP3's last 889 samples came back as 1152), and the MP4 muxer ends the edit
  // list by it.
  std::vector<std::optional<LastPacket>> last_audio_packets;
  // Audio tracks the first segment lacks: the concat demuxer takes its streams from its first
  // file, so they come from a second concat input, handed over fifth, over the segments from
  // the first that holds them, shifted to where that segment starts. `audio_ranks` are the
  // tracks' ranks among the audio tracks of that segment.
  struct LateTracks {
    std::string offset;  // seconds, as seconds_text writes them
    std::vector<std::size_t> audio_ranks;
  };
  std::optional<LateTracks> late_tracks;
  // Dispositions set on output streams (`-disposition:STREAM VALUE`): the concat demuxer hands
  // on none, which a movie file's muxer makes up for and Matroska's does not, and a Matroska
  // side file holds its covers as one-picture video tracks.
  struct Disposition {
    std::string stream;  // a stream specifier of the output
    std::string value;
  };
  std::vector<Disposition> dispositions;
};

// Which of the split's side files a join into `output_file` maps back: the MP4 one into the MP4
// and QuickTime family, which holds what that file holds, but not into a fragmented one, whose
// movie box the join's read-back takes as the whole file; the Matroska one into Matroska. None
// into anything else (WebM takes only some of Matroska's codecs, MPEG-TS neither's subtitles).
std::optional<SideStreamsForm> side_streams_form_for(std::string_view output_file);

// Whether ffmpeg writes `output_file` with its Matroska muxer (.mkv, .mka, .webm), ignoring case.
bool writes_matroska_file(std::string_view output_file);

// The movie boxes ffmpeg writes start at 0 for these: the muxer of an MP4 or QuickTime family
// name takes the clock options of a join. Compared as ffmpeg compares, ignoring case.
bool writes_movie_file(std::string_view output_file);

// ffmpeg's arguments for a join: the concat script is read from the first passed descriptor.
std::vector<std::string> join_command(const JoinCommand& command);

}  // namespace fendral::video
