#include "video/ffmpeg_command.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <initializer_list>

#include "posix/spawn.hpp"
#include "video/ffmpeg_paths.hpp"

namespace fendral::video {

namespace {

void add(std::vector<std::string>& arguments, std::initializer_list<std::string> more) {
  arguments.insert(arguments.end(), more);
}

// The major brands of the ISO base media family that an MP4 file may carry besides isom, the
// muxer's own: the segments all say isom, so a source of another (an mp42 phone video) would come
// back isom.
constexpr std::array<std::string_view, 9> kMp4Brands = {"iso2", "iso3", "iso4", "iso5", "iso6",
                                                        "mp41", "mp42", "avc1", "dash"};

// Names ffmpeg gives to its MP4 and QuickTime family muxers.
constexpr std::array<std::string_view, 11> kMovieFileExtensions = {
    "mp4", "m4v", "m4a", "m4b", "mov", "3gp", "3g2", "psp", "ismv", "isma", "f4v"};

// Names ffmpeg gives to its Matroska muxers (not WebM's).
constexpr std::array<std::string_view, 2> kMatroskaExtensions = {"mkv", "mka"};

// The clock a duration set by the filter below is read on.
enum class FilterClock {
  filter,        // the one it is told (TB): the input's, which a copy into a movie file keeps
  milliseconds,  // Matroska's: ffmpeg 5.1 hands its filters packets on it, telling them the input's
};

// Gives each audio stream's last packet its own duration (`exact_last`: a movie muxer ends the
// edit by it, and ffmpeg may hand it on with a whole frame's), and any packet read without one
// that one's (the last of a track that starts after an empty edit: a movie muxer writes 0, and
// the edit then ends where that packet starts, hiding it). The commas are escaped from the list
// of filters.
void add_last_durations(std::vector<std::string>& arguments,
                        const std::vector<std::optional<LastPacket>>& lasts, bool exact_last,
                        FilterClock clock = FilterClock::filter) {
  for (std::size_t rank = 0; rank < lasts.size(); ++rank) {
    if (const auto& last = lasts[rank]) {
      const std::string ticks = std::to_string(last->duration);
      const std::string per_second = std::to_string(last->clock);
      const std::string duration = clock == FilterClock::filter
                                       ? "round(" + ticks + "/" + per_second + "/TB)"
                                       : "round(" + ticks + "*1000/" + per_second + ")";
      const std::string fill = "if(DURATION\\,DURATION\\," + duration + ")";
      add(arguments, {"-bsf:a:" + std::to_string(rank),
                      "setts=duration=" + (exact_last ? "if(eq(N\\," + std::to_string(last->index) +
                                                            ")\\," + duration + "\\," + fill + ")"
                                                      : fill)});
    }
  }
}

}  // namespace

// What ffmpeg writes goes to "pipe:N", which writes to the descriptor itself; a path would be
// opened anew and truncated. What it reads is named as a path, "/dev/fd/N": the concat demuxer
// resolves the list's entries against the list's own name, which a "pipe:" URL would break.
std::string passed_file(PassedSlot slot, PassedFileUse use) {
  const int number = posix::kFirstPassedFd + static_cast<int>(slot);
  return (use == PassedFileUse::written ? "pipe:" : "/dev/fd/") + std::to_string(number);
}

std::vector<std::string> split_command(const SplitCommand& command) {
  std::vector<std::string> arguments;
  if (command.reported) {
    // Each message tagged with its level, no banner and no status line (the progress report
    // replaces it), and progress as key=value lines on standard output.
    add(arguments, {"-hide_banner", "-nostats", "-loglevel", "level+info", "-progress", "pipe:1"});
  }
  add(arguments, {"-i", command.input});
  // The source's tags and chapters, which the segments cannot all hold (they get no chapters,
  // and MP4 boxes take no QuickTime keys), go to a second output as text for the join.
  add(arguments, {"-map_metadata", "0", "-f", "ffmetadata",
                  passed_file(PassedSlot::second, PassedFileUse::written)});
  // Every video stream but cover pictures, and every audio stream (ffmpeg would keep one each).
  add(arguments, {"-map", "0:V?", "-map", "0:a?"});
  add(arguments, {"-c:v", "copy", "-c:a", "copy"});  // copied, never re-encoded
  // Only where ffmpeg reads none: a whole-file remux keeps what it reads (a whole AAC frame for a
  // last sample the table says is shorter), and so do the segments.
  add_last_durations(arguments, command.last_audio_packets, false);
  // The streams keep the input's time bases, so the segments' clocks are those a whole-file
  // remux would choose (a Matroska source's 1/1000 gave 1/10240, its remux 1/16000).
  add(arguments, {"-copytb", "1"});
  add(arguments, {"-f", "segment"});
  // ffmpeg's mp4 muxer refuses what only QuickTime holds (PCM audio, for one).
  add(arguments, {"-segment_format", command.quicktime ? "mov" : "mp4"});
  if (command.segment_frames.empty()) {
    add(arguments, {"-segment_time", std::to_string(command.time_limit_sec)});
  } else {
    // Frame numbers, where a time would be rounded onto the next keyframe.
    add(arguments, {"-segment_frames", command.segment_frames});
  }
  if (command.break_non_keyframes) {
    // Each keyframe carries its parameter sets, so that a join's decoder, switched to a
    // re-encoded head's own, switches back at the next copied keyframe.
    add(arguments, {"-break_non_keyframes", "1", "-bsf:v", command.video_codec + "_mp4toannexb"});
  }
  // Lets the segment muxer write 360 and stereo 3D boxes (a plain -strict does not reach it),
  // states the edit lists on a clock fine enough that a track starting a little after the cut
  // starts where it did (in milliseconds, a segment's sound moved by up to one), and keeps the
  // video's clock, which the muxer would otherwise choose anew (1/600 became 1/15360).
  std::string format_options =
      "strict=unofficial:movie_timescale=" + std::to_string(kJoinMovieTimescale);
  if (command.video_timescale) {
    format_options += ":video_track_timescale=" + std::to_string(*command.video_timescale);
  }
  add(arguments, {"-segment_format_options", format_options});
  // Each segment gets its own start timecode. Asked for without one, ffmpeg warns once a segment.
  if (command.timecode) add(arguments, {"-increment_tc", "1"});
  // Every segment starts at 0, so segments play alone and join back without gaps.
  add(arguments, {"-reset_timestamps", "1"});
  // Shifting negative timestamps would delay the first segment's B-frames and lengthen the join.
  add(arguments, {"-avoid_negative_ts", "disabled"});
  // The finished segments, one a line with where each starts and ends in the source, to a
  // descriptor rather than a file of the directory: nothing there can be listed by mistake, and
  // no link can redirect the writes.
  add(arguments, {"-segment_list", passed_file(PassedSlot::first, PassedFileUse::written),
                  "-segment_list_type", "csv"});
  add(arguments, {command.segment_pattern});
  return arguments;
}

std::vector<std::string> matroska_side_streams_command(
    const std::string& input, const std::vector<mp4::MatroskaStream>& streams) {
  std::vector<std::string> arguments;
  add(arguments, {"-v", "quiet", "-i", input});
  const auto carried = [](mp4::MatroskaStream kind) {
    return kind == mp4::MatroskaStream::video || kind == mp4::MatroskaStream::audio;
  };
  std::size_t carriers = 0;
  for (const auto kind : {mp4::MatroskaStream::video, mp4::MatroskaStream::audio}) {
    for (std::size_t index = 0; index < streams.size(); ++index) {
      if (streams[index] != kind) continue;
      add(arguments, {"-map", "0:" + std::to_string(index)});
      ++carriers;
    }
  }
  for (std::size_t index = 0; index < streams.size(); ++index) {
    if (!carried(streams[index])) add(arguments, {"-map", "0:" + std::to_string(index)});
  }
  // The chapters travel in source_metadata.txt.
  add(arguments, {"-map_chapters", "-1", "-c", "copy"});
  // The carriers' headers, tags included, are what the join takes from them. Each keeps its
  // first packet: a Matroska file in which no track has any packet is written unreadable
  // (ffmpeg 5.1 sizes its reserved space wrongly then). Dropped by a filter rather than
  // stopped by -frames, which would end the whole file, the side streams with it.
  for (std::size_t index = 0; index < carriers; ++index) {
    add(arguments, {"-bsf:" + std::to_string(index), "noise=drop=gt(n\\,0)"});
  }
  // The side streams keep the source's times, which the join expects: a kept video packet
  // decoded before its time (B-frames) would otherwise shift the whole file.
  add(arguments, {"-avoid_negative_ts", "disabled"});
  add(arguments, {"-f", "matroska", "-y", passed_file(PassedSlot::first, PassedFileUse::read)});
  return arguments;
}

std::vector<std::string> side_streams_command(const std::string& input) {
  std::vector<std::string> arguments;
  // Nothing to store is the usual case, and ffmpeg then says so and fails: that is no fault.
  add(arguments, {"-v", "quiet", "-i", input});
  // A timecode track carries its time as a tag; MP4 cannot take it as data (the output rebuilds
  // it from the video's own timecode). Cover pictures are the video streams -map 0:V leaves.
  // Attachments are not asked for: MP4 holds none, and one would fail the whole file.
  // (Every stream less those, rather than each kind asked for: with no map matching, ffmpeg
  // would choose streams itself.)
  add(arguments,
      {"-map", "0", "-map", "-0:V?", "-map", "-0:a?", "-map", "-0:t?", "-map", "-0:d:m:timecode?"});
  // Nor the chapters: they travel in source_metadata.txt, and the join's muxer writes them as a
  // text track. The source's own chapter track is a data stream too (with the handler name
  // ffmpeg gives it), which a second copy would duplicate.
  add(arguments, {"-map", "-0:d:m:handler_name:SubtitleHandler?", "-map_chapters", "-1"});
  add(arguments,
      {"-c", "copy", "-f", "mp4", "-y", passed_file(PassedSlot::first, PassedFileUse::read)});
  return arguments;
}

std::vector<std::string> side_streams_check_command() {
  // Attachments hold no packets, and a null output refuses them.
  return {"-v",   "quiet", "-i",   passed_file(PassedSlot::first, PassedFileUse::read),
          "-map", "0",     "-map", "-0:t?",
          "-c",   "copy",  "-f",   "null",
          "-"};
}

std::vector<std::string> join_command(const JoinCommand& command) {
  std::vector<std::string> arguments;
  const auto add_concat_input = [&](PassedSlot slot) {
    // The script names segments by absolute path, which the concat demuxer takes only unsafe.
    add(arguments, {"-f", "concat", "-safe", "0"});
    // Packets stay as they are: no parameter sets are added to keyframes.
    add(arguments, {"-auto_convert", "0"});
    add(arguments, {"-i", passed_file(slot, PassedFileUse::read)});
  };
  add_concat_input(PassedSlot::first);
  if (command.source_metadata) {
    add(arguments,
        {"-f", "ffmetadata", "-i", passed_file(PassedSlot::second, PassedFileUse::read)});
  }
  if (command.side_streams) {
    add(arguments, {"-i", passed_file(PassedSlot::fourth, PassedFileUse::read)});
  }
  if (command.late_tracks) {
    add(arguments, {"-itsoffset", command.late_tracks->offset});
    add_concat_input(PassedSlot::fifth);
  }
  if (command.source_metadata) {
    // The source's tags and chapters come from the record, the streams from the segments and
    // the side file.
    add(arguments, {"-map_metadata", "1", "-map_chapters", "1"});
    // A timecode track of the segments, which -map 0 cannot copy, is skipped; the output
    // rebuilds it from the video's own timecode.
    add(arguments, {"-ignore_unknown"});
    add(arguments, {"-strict", "unofficial"});  // writes the 360 and stereo 3D boxes
    // QuickTime keys survive only when every tag goes in keyed form, so only then.
    if (command.quicktime_keys) add(arguments, {"-movflags", "use_metadata_tags"});
  }
  add(arguments, {"-map", "0"});  // every stream of the segments
  if (command.late_tracks) {
    // Next to the segments' own, as the source orders its tracks.
    const std::string late =
        std::to_string(1 + int{command.source_metadata} + int{command.side_streams});
    for (const std::size_t rank : command.late_tracks->audio_ranks) {
      add(arguments, {"-map", late + ":a:" + std::to_string(rank)});
    }
  }
  if (command.side_streams) {
    // Subtitles, data tracks and cover pictures, with their tags and dispositions, after the
    // segments' streams as a remux orders them.
    const std::string side = command.source_metadata ? "2" : "1";
    if (command.crossed.all_subtitles || !command.crossed.streams.empty()) {
      if (command.crossed.all_subtitles) add(arguments, {"-map", side + ":s"});
      for (const std::size_t index : command.crossed.streams) {
        add(arguments, {"-map", side + ":" + std::to_string(index)});
      }
    } else if (!command.tag_carriers) {
      add(arguments, {"-map", side});
    } else {
      const auto [carriers, streams] = *command.tag_carriers;
      for (std::size_t index = carriers; index < streams; ++index) {
        add(arguments, {"-map", side + ":" + std::to_string(index)});
      }
      // Mapping one stream's tags stops ffmpeg copying any other's, so each is mapped.
      for (std::size_t index = 0; index < streams; ++index) {
        add(arguments,
            {"-map_metadata:s:" + std::to_string(index), side + ":s:" + std::to_string(index)});
      }
    }
  }
  add(arguments, {"-c", "copy"});
  for (const auto& [stream, value] : command.dispositions) {
    add(arguments, {"-disposition:" + stream, value});
  }
  // Text subtitles convert without loss of their text and times.
  if (const auto& codec = command.crossed.subtitle_codec) add(arguments, {"-c:s", *codec});
  for (std::size_t index = 0; index < command.attached_covers.size(); ++index) {
    const JoinCommand::AttachedCover& cover = command.attached_covers[index];
    // The image's bytes where they lie in the side file, without a copy of them.
    add(arguments, {"-attach", "subfile,,start," + std::to_string(cover.offset) + ",end," +
                                   std::to_string(cover.offset + cover.size) +
                                   ",,:" + passed_file(PassedSlot::fourth, PassedFileUse::read)});
    const std::string stream = "-metadata:s:t:" + std::to_string(index);
    const std::string extension = cover.mime_type == "image/png" ? ".png" : ".jpg";
    add(arguments, {stream, "mimetype=" + cover.mime_type, stream,
                    "filename=cover" + (index ? std::to_string(index + 1) : "") + extension});
  }
  // Into a movie file on the filter's clock; into Matroska in milliseconds (told in ticks of the
  // input's, an Opus's last 312 samples came out 312 ms long). Nothing into any other output,
  // whose clock the filter is not known to see.
  if (writes_movie_file(command.output_file)) {
    add_last_durations(arguments, command.last_audio_packets, true);
  } else if (writes_matroska_file(command.output_file)) {
    add_last_durations(arguments, command.last_audio_packets, true, FilterClock::milliseconds);
  }
  // ffmpeg would start its output at the earliest timestamp it reads, showing what the segments'
  // edit lists hide: AAC's priming, Opus's pre-skip, a trimmed clip's cut-away start. The
  // segments' own timestamps keep it hidden.
  add(arguments, {"-copyts"});
  if (writes_movie_file(command.output_file)) {
    add(arguments, {"-movie_timescale", std::to_string(kJoinMovieTimescale)});
    if (command.video_timescale) {
      add(arguments, {"-video_track_timescale", std::to_string(*command.video_timescale)});
    }
    if (command.major_brand && lowercase(command.output_file).ends_with(".mp4") &&
        std::find(kMp4Brands.begin(), kMp4Brands.end(), *command.major_brand) != kMp4Brands.end()) {
      add(arguments, {"-brand", *command.major_brand});
    }
  }
  add(arguments, {option_safe(command.output_file)});
  return arguments;
}

namespace {

// The name's extension, lowercase, as ffmpeg picks a muxer by it; "" for none.
std::string extension_of(std::string_view output_file) {
  const std::size_t dot = output_file.rfind('.');
  if (dot == std::string_view::npos || output_file.find('/', dot) != std::string_view::npos) {
    return "";
  }
  return lowercase(output_file.substr(dot + 1));
}

template <std::size_t count>
bool one_of(const std::string& extension, const std::array<std::string_view, count>& names) {
  return std::find(names.begin(), names.end(), extension) != names.end();
}

}  // namespace

std::optional<SideStreamsForm> side_streams_form_for(std::string_view output_file) {
  const std::string extension = extension_of(output_file);
  if (one_of(extension, kMovieFileExtensions)) {
    if (extension == "ismv" || extension == "isma") return std::nullopt;
    return SideStreamsForm::mp4;
  }
  if (one_of(extension, kMatroskaExtensions)) return SideStreamsForm::matroska;
  return std::nullopt;
}

bool writes_matroska_file(std::string_view output_file) {
  const std::string extension = extension_of(output_file);
  return one_of(extension, kMatroskaExtensions) || extension == "webm";
}

bool writes_movie_file(std::string_view output_file) {
  return one_of(extension_of(output_file), kMovieFileExtensions);
}

}  // namespace fendral::video
