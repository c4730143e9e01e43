// Which container a file's first box says it is, as far as choosing ffmpeg's muxer needs.
#pragma once

#include "mp4/byte_source.hpp"

namespace fendral::mp4 {

// True when the file is in QuickTime form: an ftyp box of major brand "qt  " or, in an older
// file, one of a movie's top-level boxes first. Only the first twelve bytes are read, and box
// sizes are not judged (the muxer is chosen here, ffmpeg judges the file). A file that cannot
// be read is taken as MP4.
bool is_quicktime(ByteSource& source);

// True when the file starts with the EBML header's identifier, as every Matroska and WebM file
// does.
bool is_matroska(ByteSource& source);

}  // namespace fendral::mp4
