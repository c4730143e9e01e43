// The streams the segments do not carry, kept beside them for the join.
#pragma once

#include <string>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/source_probe.hpp"
#include "video/split_directory.hpp"

namespace fendral::video {

// The source's subtitle and data streams, cover pictures and (of a Matroska source)
// attachments, copied by a second run of ffmpeg into streams.mp4, or streams.mkv for a Matroska
// or WebM source. A run that exits with a failure stores nothing: the source has no such stream
// (the usual case), or none that the side file's container holds, and the split goes on as it
// would without them. One killed by a signal fails the split, which cannot tell whether there
// was anything to keep. A source read from standard input cannot be read twice. A side file
// that ffmpeg cannot read back whole is not stored either. Gives the stamp for the record.
// The run starts only when `source` may hold such streams.
Result<SideStreamsStamp> store_side_streams(const SplitDirectory& directory,
                                            const SourceProbe& source,
                                            const posix::Environment& environment);

}  // namespace fendral::video
