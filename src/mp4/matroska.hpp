// Reading which streams ffmpeg makes of a Matroska (or WebM) file: the split orders a side
// file's streams by them, and the join checks that side file by them. Only element headers and
// the track, attachment and tag entries are read, never the blocks.
#pragma once

#include <optional>
#include <vector>

#include "mp4/byte_source.hpp"

namespace fendral::mp4 {

// Text subtitles (SubRip, ASS and SSA, WebVTT) apart from others (pictures), and attached JPEG
// and PNG pictures (covers, which ffmpeg shows as video streams) apart from other attachments:
// those cross into the MP4 family.
enum class MatroskaStream { video, audio, subtitle, text_subtitle, attachment, cover };

// ffmpeg's streams of the file, in ffmpeg's order: one a track entry in file order, then one an
// attached file (a cover picture among them: ffmpeg shows it as a video stream). Nothing when
// the file holds what ffmpeg would number otherwise or that is not followed here: a track of
// another type or without a codec, an attachment without a name, type or data, an element of
// unknown size other than the segment, a second track list; or when it is not Matroska.
std::optional<std::vector<MatroskaStream>> read_matroska_streams(ByteSource& source);

// Whether ffmpeg may find a timecode in the file: a tag named TIMECODE, of the file or of a
// track. True also where the file's tags cannot all be read.
bool matroska_may_hold_timecode(ByteSource& source);

}  // namespace fendral::mp4
