#include "video/source_probe.hpp"

#include <algorithm>

#include "mp4/boxes.hpp"
#include "mp4/container.hpp"
#include "mp4/movie.hpp"
#include "mp4/track.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/segment_file.hpp"

namespace fendral::video {

namespace {

void probe_matroska(mp4::ByteSource& file, SourceProbe& probe) {
  probe.form = SourceProbe::Form::matroska;
  probe.matroska_streams = mp4::read_matroska_streams(file);
  probe.may_hold_timecode = mp4::matroska_may_hold_timecode(file);
  // Even a file of video and audio alone has something to keep: its tracks' titles and encoder
  // tags, which MP4 segments lose and the side file carries. Without a stream list there is no
  // side file to make.
  probe.may_hold_side_streams = probe.matroska_streams && !probe.matroska_streams->empty();
}

PacketTable table_from_movie(std::vector<mp4::MovieTrack> tracks) {
  PacketTable table;
  for (const std::uint32_t handler : {mp4::kVideoHandler, mp4::kAudioHandler}) {
    for (mp4::MovieTrack& track : tracks) {
      if (track.handler != handler) continue;
      PacketTrack packets{
          .kind = handler == mp4::kVideoHandler ? StreamKind::video : StreamKind::audio,
          .timescale = track.timescale,
          .has_composition_offsets = track.samples.has_composition_offsets,
          .packets = std::move(track.samples.samples)};
      table.tracks.push_back(std::move(packets));
    }
  }
  return table;
}

void probe_movie(mp4::ByteSource& file, SourceProbe& probe, SourceProbe::Tables tables) {
  probe.form = mp4::is_quicktime(file) ? SourceProbe::Form::quicktime : SourceProbe::Form::mp4;
  if (tables == SourceProbe::Tables::read) {
    if (auto read = mp4::read_sample_tables(file); read && read->tracks) {
      probe.packet_table = table_from_movie(std::move(*read->tracks));
    }
  }
  const auto movie = mp4::read_movie(file);
  if (!movie) return;
  probe.video_timescale = movie->video_timescale;
  if (!movie->tracks_known) return;
  using mp4::boxes::box_type;
  const auto kind_is = [&](std::uint32_t handler) {
    return std::any_of(movie->tracks.begin(), movie->tracks.end(),
                       [&](const mp4::TrackPackets& track) { return track.handler == handler; });
  };
  probe.may_hold_timecode = kind_is(box_type("tmcd"));
  for (const mp4::TrackPackets& track : movie->tracks) {
    if (track.handler != mp4::kAudioHandler) continue;
    const auto last = mp4::last_packet_duration(track);
    probe.last_audio_packets.push_back(
        last ? std::optional(LastPacket{
                   .index = track.packets - 1, .duration = last->ticks, .clock = last->timescale})
             : std::nullopt);
  }
  // A chapter track is not among the tracks: the join's muxer rebuilds it from the chapters.
  const bool other_track =
      std::any_of(movie->tracks.begin(), movie->tracks.end(), [](const mp4::TrackPackets& track) {
        return track.handler != box_type("vide") && track.handler != box_type("soun") &&
               track.handler != box_type("tmcd");
      });
  probe.may_hold_side_streams = other_track || movie->has_cover;
}

// An MPEG transport stream, of 188-byte packets or of 192 with a time before each: ffmpeg
// reads no timecode from one.
bool is_transport_stream(mp4::ByteSource& file) {
  constexpr unsigned char kSync = 0x47;
  const auto synced_every = [&](std::uint64_t first, std::uint64_t packet) {
    for (std::uint64_t at = first; at < first + 3 * packet; at += packet) {
      unsigned char byte = 0;
      if (!file.read_at(at, &byte, 1) || byte != kSync) return false;
    }
    return true;
  };
  return synced_every(0, 188) || synced_every(4, 192);
}

}  // namespace

SourceProbe probe_source(const std::string& input_file, SourceProbe::Tables tables) {
  SourceProbe probe{.ffmpeg_input = input_for_ffmpeg(input_file),
                    .reads_standard_input = reads_standard_input(input_file)};
  if (probe.reads_standard_input) {
    probe.may_hold_side_streams = false;
    return probe;
  }
  const auto local_file = local_file_opened(probe.ffmpeg_input);
  if (!local_file) return probe;
  auto opened = posix::open_nonempty_regular_file(*local_file);
  if (!opened) return probe;
  SegmentFile file(std::move(*opened));
  if (mp4::is_matroska(file)) {
    probe_matroska(file, probe);
  } else if (is_transport_stream(file)) {
    probe.may_hold_timecode = false;
  } else {
    probe_movie(file, probe, tables);
  }
  return probe;
}

}  // namespace fendral::video
