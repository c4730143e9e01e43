// A split directory: the segments ffmpeg writes and the records of the split beside them. The
// object holds the directory's lock and descriptor for the length of a call, and every file of
// the directory is named here and resolved against that descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "posix/directory_lock.hpp"
#include "posix/file.hpp"
#include "video/concat_script.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/metadata.hpp"
#include "video/segment_times.hpp"

namespace fendral::video {

// ffmpeg numbers the segments from 000; a split of a thousand or more gets wider numbers.
inline constexpr std::string_view kSegmentPattern = "chunk_%03d.mp4";
// The record of the split, which the join reads.
inline constexpr std::string_view kMetadataFileName = "metadata.json";
// The source's container metadata and chapters in ffmpeg's metadata text form, kept by the split
// for the join.
inline constexpr std::string_view kSourceMetadataFileName = "source_metadata.txt";
// ffmpeg's list of the segments in csv form: each one's name and where it starts and ends in the
// source, kept by the split so the join can place every segment where it started.
inline constexpr std::string_view kSegmentTimesFileName = "segment_times.csv";
// The streams the segments do not carry (subtitle and data streams, cover pictures) copied
// into one MP4 file by the split, which the join maps back beside the segments.
inline constexpr std::string_view kSideStreamsFileName = "streams.mp4";
// The same of a Matroska source (subtitles, attachments, cover pictures), in Matroska.
inline constexpr std::string_view kMatroskaSideStreamsFileName = "streams.mkv";

inline constexpr std::string_view side_streams_file_name(SideStreamsForm form) {
  return form == SideStreamsForm::matroska ? kMatroskaSideStreamsFileName : kSideStreamsFileName;
}
// The segments of the last join, one "file '...'" line each, left for the caller.
inline constexpr std::string_view kConcatListFileName = "concat_list.txt";

// "chunk_" + three or more digits + ".mp4": every name the segment pattern can give.
bool named_like_a_segment(std::string_view name);

// The side file a split stored, as source_metadata.txt states it, so that the join takes that
// file only: never another split's copy, nor one cut short.
struct SideStreamsStamp {
  std::string name;  // streams.mp4 or streams.mkv; empty when the split stored none
  std::uint64_t size = 0;
  std::uint32_t crc32c = 0;
  bool operator==(const SideStreamsStamp&) const = default;
};

// The source's metadata record opened when it is a regular file, with whether it holds
// QuickTime keyed tags.
struct SourceMetadata {
  posix::UniqueFd fd;
  bool quicktime_keys = false;
  std::optional<std::string> major_brand;  // the source's ftyp, as the record names it
  // Nothing for a record that states no side file at all (a split of an earlier version).
  std::optional<SideStreamsStamp> side_streams;
  // The clock of the source's chapters (1/N), when the record's first 4 KiB state one.
  std::optional<std::uint32_t> chapter_timescale;
};

class SplitDirectory {
 public:
  // A split rewrites the directory and so has it to itself; joins read it side by side.
  enum class Use { split, join };

  // Takes the directory's lock for `use` without waiting, and fails when another call holds it
  // against this one. Where the directory cannot be opened or its file system refuses locks,
  // the call goes on unlocked, and each file is then looked up by its path: a directory that
  // cannot be opened fails at its first file, as it would without the lock.
  static Result<SplitDirectory> lock(const std::string& path, Use use);

  const std::string& path() const { return path_; }

  // The locked directory's descriptor for ffmpeg to hold as well, so that the lock lasts as long
  // as ffmpeg writes there, even when this process dies first; -1 where no lock is held.
  int lock_for_child() const { return lock_.held() ? lock_.directory() : -1; }

  // Where ffmpeg writes the segments, as the split hands it over and records it: '%' doubled,
  // and a directory that could be read as an option or a URL shielded.
  std::string segment_pattern() const;

  // The paths the record gives the segments that ffmpeg names in its segment list, one a line
  // in time order (in csv form, the name first).
  std::vector<std::string> segment_paths(std::string_view segment_list) const;

  // A segment this split wrote, by its name in the segment list: opened to be measured, or
  // removed when a later cut no longer writes it.
  Result<posix::OpenRegularFile> open_segment(const std::string& name) const;
  Result<void> remove_segment(const std::string& name) const;
  // A file of the split's own without a name, on disk in the locked directory (however its
  // path reached it: a link to it, say); in memory where the directory is known only by a path
  // that may lead elsewhere by now.
  Result<posix::UniqueFd> create_unnamed_file(const char* label) const;
  // A segment this split wrote, replaced whole by `content` (written under another name and
  // renamed, as metadata.json is).
  Result<void> replace_segment(const std::string& name, std::string_view content) const;

  // ffmpeg writes the segments by path. When that path no longer names the locked directory
  // once it has run (the directory was moved, removed or replaced meanwhile), the records
  // follow the path as the segments did, and fail as a path there fails.
  void follow_path_if_moved();

  // The entries a split removes before ffmpeg starts: those ffmpeg may write over that are
  // symbolic links (it would write through them into whatever they point to), and the segments
  // the directory's record lists (regular files of the directory with a segment's name), since
  // a directory holds one split. Refused when an entry named like a segment is the input
  // itself, which ffmpeg would cut short while reading it.
  Result<std::vector<std::string>> entries_to_clear(const std::string& input_file) const;

  // Once ffmpeg starts, the directory's records no longer tell the truth: the entries are
  // removed (a link itself, never what it points to), and the records too, so a split that
  // fails from here on leaves none rather than one naming segments that ffmpeg has rewritten.
  Result<void> clear_for_ffmpeg(const std::vector<std::string>& entries) const;

  // metadata.json read and parsed. A file larger than this process can hold is refused unread.
  Result<Mp4ChunkMetadata> load_record() const;

  // metadata.json written whole under another name and then renamed: a link planted under the
  // name is replaced, not followed, and a reader never sees half a record.
  Result<void> write_record(const Mp4ChunkMetadata& record) const;

  // source_metadata.txt, written as metadata.json is, with the stamp of the side file (a
  // comment line, which ffmpeg skips) after its first line; nothing is stored for an empty text.
  Result<void> store_source_metadata(std::string_view text, const SideStreamsStamp& stamp) const;

  // segment_times.csv, ffmpeg's segment list as it wrote it, stored as metadata.json is;
  // nothing is stored for an empty list.
  Result<void> store_segment_times(std::string_view list) const;

  // streams.mp4 or streams.mkv, written as metadata.json is; nothing is stored for an empty
  // file. Gives the stamp for the record.
  Result<SideStreamsStamp> store_side_streams(SideStreamsForm form, std::string_view content) const;

  // That file opened when it is a regular file, as source_metadata.txt is; nothing otherwise,
  // and the join then maps the segments' streams alone. Where the record states the side file
  // (`stamp`), one that is not the file the split stored fails, naming it.
  Result<std::optional<posix::UniqueFd>> open_side_streams(
      SideStreamsForm form, const std::optional<SideStreamsStamp>& stamp) const;

  // Where each of `chunk_paths` starts and ends in the source, from segment_times.csv: only when
  // it is a regular file (a link is not followed, a FIFO does not stall the open) that names the
  // listed segments, by file name, in the same order, so that a moved directory still matches
  // it. Nothing otherwise: the join then places the segments by their own spans.
  std::optional<std::vector<SegmentSpan>> segment_spans(
      const std::vector<std::string>& chunk_paths) const;

  // source_metadata.txt when it is a regular file. A link there is not followed, and a FIFO,
  // device or directory neither stalls the open nor is handed on: the join then goes as it
  // would without the record.
  Result<std::optional<SourceMetadata>> open_source_metadata() const;

  // The file to join for `recorded`, an entry of chunk_paths, whose split wrote its segments to
  // `recorded_directory` (see recorded_segment_directory). An entry inside that directory has a
  // second candidate: the same place under this one. The entry as written wins when both name
  // one file or nothing is found at the other place, so a join that finds the segments where
  // the split left them lists them exactly as it always did; otherwise the segment here is the
  // one meant (a moved directory, or a copy).
  std::string locate(const std::string& recorded, std::string_view recorded_directory) const;

  // concat_list.txt, the entries' lines, written under another name and renamed into place once
  // complete, as metadata.json is.
  Result<void> write_concat_list(const std::vector<ConcatEntry>& entries) const;

 private:
  SplitDirectory(posix::DirectoryLock lock, std::string path)
      : lock_(std::move(lock)), path_(std::move(path)) {}

  // A file of the directory as the *_at calls take it: its name in the locked directory, or,
  // where the directory could not be opened, its path from the working directory.
  struct FileAt {
    int directory;
    std::string name;
  };
  FileAt at(std::string_view name) const;

  posix::DirectoryLock lock_;
  std::string path_;
  bool by_path_ = false;  // names resolved from path_ although the directory is open
};

}  // namespace fendral::video
