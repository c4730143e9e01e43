#include "video/split_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <new>
#include <set>

#include "base/crc32c.hpp"
#include "base/propagate.hpp"
#include "base/utf8.hpp"
#include "posix/fs.hpp"
#include "posix/memory.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/segment_location.hpp"
#include "video/segment_times.hpp"

namespace fendral::video {

namespace {

constexpr std::string_view kInputIsASegment =
    "Failed to split: the input is one of the segment files this split would write";

// The file ffmpeg will read, when it is one on this machine: the one it opens for the name it
// is handed, "file:" URLs included.
std::optional<posix::FileIdentity> input_identity(const std::string& input_file) {
  if (reads_standard_input(input_file)) return posix::descriptor_identity(STDIN_FILENO);
  const auto local_file = local_file_opened(input_for_ffmpeg(input_file));
  if (!local_file) return std::nullopt;
  return posix::file_identity(*local_file);
}

// True when the text holds a tag of QuickTime's keyed form ("com.apple.quicktime." starting a
// line). Read in blocks up to the size seen at the open: the file may be large or growing.
posix::IoResult<bool> holds_quicktime_keys(int fd, std::uint64_t size) {
  constexpr std::string_view kKeyStart = "\ncom.apple.quicktime.";
  constexpr std::size_t kBlockSize = 64 * 1024;
  std::string window = "\n";  // as if a line ended just before the file
  std::vector<char> block(kBlockSize);
  for (std::uint64_t offset = 0; offset < size;) {
    FENDRAL_TRY(const std::size_t got, posix::read_full_at(fd, block.data(), block.size(), offset));
    if (got == 0) break;
    offset += got;
    window.append(block.data(), got);
    if (window.find(kKeyStart) != std::string::npos) return true;
    // Keep only the tail that may still begin a match.
    if (window.size() >= kKeyStart.size()) window.erase(0, window.size() - kKeyStart.size() + 1);
  }
  return false;
}

// The first 4 KiB of the record, where ffmetadata writes the first tags and the split its stamp
// of the side file.
posix::IoResult<std::string> record_head(int fd) {
  std::string head(4096, '\0');
  FENDRAL_TRY(const std::size_t got, posix::read_full_at(fd, head.data(), head.size(), 0));
  head.resize(got);
  head.insert(0, "\n");  // as if a line ended just before the file
  return head;
}

// The source's major brand (ftyp), which ffmetadata writes among the first tags.
std::optional<std::string> major_brand(std::string_view head) {
  constexpr std::string_view kTag = "\nmajor_brand=";
  const std::size_t at = head.find(kTag);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t start = at + kTag.size();
  const std::size_t end = head.find('\n', start);
  if (end == std::string::npos) return std::nullopt;
  return std::string(head.substr(start, end - start));
}

// The clock of the first chapter, "TIMEBASE=1/N" in ffmetadata's form.
std::optional<std::uint32_t> chapter_timescale(std::string_view head) {
  constexpr std::string_view kChapter = "\n[CHAPTER]\n", kTimebase = "\nTIMEBASE=1/";
  const std::size_t chapter = head.find(kChapter);
  if (chapter == std::string_view::npos) return std::nullopt;
  const std::size_t at = head.find(kTimebase, chapter);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view digits = head.substr(at + kTimebase.size());
  std::uint32_t timescale = 0;
  const auto read = std::from_chars(digits.data(), digits.data() + digits.size(), timescale);
  if (read.ec != std::errc() || read.ptr == digits.data() + digits.size() || *read.ptr != '\n' ||
      timescale == 0) {
    return std::nullopt;
  }
  return timescale;
}

// The side file's stamp in source_metadata.txt: ";side streams: NAME SIZE CRC32C" in the text's
// first 4 KiB, or ";side streams: none".
constexpr std::string_view kStampTag = "\n;side streams: ";
constexpr std::string_view kNoSideStreams = "none";

std::string crc_text(std::uint32_t crc) {
  std::array<char, 9> text{};
  std::snprintf(text.data(), text.size(), "%08x", static_cast<unsigned>(crc));
  return text.data();
}

std::string stamp_line(const SideStreamsStamp& stamp) {
  std::string line(kStampTag.substr(1));
  if (stamp.name.empty()) return line.append(kNoSideStreams).append("\n");
  return line + stamp.name + " " + std::to_string(stamp.size) + " " + crc_text(stamp.crc32c) + "\n";
}

std::optional<SideStreamsStamp> parse_stamp(std::string_view head) {
  const std::size_t at = head.find(kStampTag);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view line = head.substr(at + kStampTag.size());
  line = line.substr(0, line.find('\n'));
  if (line == kNoSideStreams) return SideStreamsStamp{};
  const std::size_t first_space = line.find(' ');
  const std::size_t last_space = line.rfind(' ');
  if (first_space == std::string_view::npos || first_space == last_space) return std::nullopt;
  SideStreamsStamp stamp{.name = std::string(line.substr(0, first_space))};
  const std::string_view size = line.substr(first_space + 1, last_space - first_space - 1);
  const std::string_view crc = line.substr(last_space + 1);
  const auto size_read = std::from_chars(size.data(), size.data() + size.size(), stamp.size);
  const auto crc_read = std::from_chars(crc.data(), crc.data() + crc.size(), stamp.crc32c, 16);
  if (size_read.ptr != size.data() + size.size() || crc_read.ptr != crc.data() + crc.size() ||
      crc.size() != 8 || size_read.ec != std::errc() || crc_read.ec != std::errc()) {
    return std::nullopt;
  }
  return stamp;
}

// The CRC32C of a file's first `size` bytes, read in blocks; nothing when it is shorter.
posix::IoResult<std::optional<std::uint32_t>> crc_of_file(int fd, std::uint64_t size) {
  constexpr std::size_t kBlockSize = 256 * 1024;
  std::vector<unsigned char> block(kBlockSize);
  std::uint32_t crc = 0;
  for (std::uint64_t offset = 0; offset < size;) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size - offset));
    FENDRAL_TRY(const std::size_t got, posix::read_full_at(fd, block.data(), wanted, offset));
    if (got < wanted) return std::nullopt;
    crc = crc32c::extend(crc, block.data(), got);
    offset += got;
  }
  return crc;
}

posix::IoResult<void> write_concat_line(int fd, const std::string& quoted_path) {
  const std::array<iovec, 3> pieces{{
      {const_cast<char*>(kLineStart.data()), kLineStart.size()},
      {const_cast<char*>(quoted_path.data()), quoted_path.size()},
      {const_cast<char*>(kLineEnd.data()), kLineEnd.size()},
  }};
  return posix::write_all_vectored(fd, pieces);
}

}  // namespace

bool named_like_a_segment(std::string_view name) {
  constexpr std::string_view kPrefix = "chunk_";
  constexpr std::string_view kSuffix = ".mp4";
  if (name.size() < kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return false;
  }
  const std::string_view digits =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return digits.size() >= 3 && std::all_of(digits.begin(), digits.end(),
                                           [](char byte) { return byte >= '0' && byte <= '9'; });
}

Result<SplitDirectory> SplitDirectory::lock(const std::string& path, Use use) {
  auto lock =
      posix::DirectoryLock::try_lock(path, use == Use::split ? posix::DirectoryLock::Mode::Exclusive
                                                             : posix::DirectoryLock::Mode::Shared);
  if (!lock) {
    return runtime_failure(use == Use::split
                               ? "Failed to split: another split is writing into " + path
                               : "Failed to join: a split is writing into " + path);
  }
  return SplitDirectory(std::move(*lock), path);
}

SplitDirectory::FileAt SplitDirectory::at(std::string_view name) const {
  if (lock_.directory() < 0 || by_path_) return {AT_FDCWD, posix::join_path(path_, name)};
  return {lock_.directory(), std::string(name)};
}

void SplitDirectory::follow_path_if_moved() {
  if (lock_.directory() < 0) return;
  const auto named = posix::file_identity(path_.empty() ? "." : path_);
  by_path_ = !named || named != posix::descriptor_identity(lock_.directory());
}

std::string SplitDirectory::segment_pattern() const {
  return posix::join_path(escape_percent(directory_for_ffmpeg(path_)), kSegmentPattern);
}

std::vector<std::string> SplitDirectory::segment_paths(std::string_view segment_list) const {
  std::vector<std::string> paths;
  for (const std::string& name : segment_list_names(segment_list)) {
    paths.push_back(lossy_utf8(posix::join_path(path_, name)));
  }
  return paths;
}

Result<posix::OpenRegularFile> SplitDirectory::open_segment(const std::string& name) const {
  const FileAt segment = at(name);
  FENDRAL_TRY(auto opened, posix::open_regular_file_at(segment.directory, segment.name));
  return opened;
}

Result<posix::UniqueFd> SplitDirectory::create_unnamed_file(const char* label) const {
  if (lock_.directory() < 0 || by_path_) {
    FENDRAL_TRY(auto file, posix::create_anonymous_file(label));
    return file;
  }
  FENDRAL_TRY(auto file, posix::create_unnamed_file_at(lock_.directory(), label));
  return file;
}

Result<void> SplitDirectory::remove_segment(const std::string& name) const {
  const FileAt segment = at(name);
  FENDRAL_CHECK(posix::remove_entry_at(segment.directory, segment.name));
  return {};
}

Result<std::vector<std::string>> SplitDirectory::entries_to_clear(
    const std::string& input_file) const {
  posix::UniqueFd reopened;
  if (lock_.directory() < 0) {
    FENDRAL_TRY(reopened, posix::open_directory(path_));
  }
  FENDRAL_TRY(const auto names,
              posix::list_directory(reopened ? reopened.get() : lock_.directory()));
  const auto input = input_identity(input_file);
  // The names of this directory's segments that the record lists; none when it cannot be read.
  std::set<std::string, std::less<>> recorded;
  if (const auto record = load_record()) {
    const std::string directory = recorded_segment_directory(record->output_prefix);
    for (const std::string& chunk_path : record->chunk_paths) {
      const auto name = place_in_directory(chunk_path, directory);
      if (name && name->find('/') == std::string_view::npos) recorded.emplace(*name);
    }
  }
  std::vector<std::string> entries;
  for (const std::string& name : names) {
    if (!named_like_a_segment(name)) continue;
    const FileAt segment = at(name);
    if (input && posix::file_identity_at(segment.directory, segment.name) == input) {
      return runtime_failure(std::string(kInputIsASegment));
    }
    const mode_t kind = posix::entry_kind_at(segment.directory, segment.name).type;
    if (kind == S_IFLNK || (kind == S_IFREG && recorded.contains(name))) entries.push_back(name);
  }
  return entries;
}

Result<void> SplitDirectory::clear_for_ffmpeg(const std::vector<std::string>& entries) const {
  for (const std::string& entry : entries) {
    const FileAt found = at(entry);
    FENDRAL_CHECK(posix::remove_entry_at(found.directory, found.name));
  }
  for (const std::string_view record :
       {kMetadataFileName, kSourceMetadataFileName, kSegmentTimesFileName, kSideStreamsFileName,
        kMatroskaSideStreamsFileName}) {
    const FileAt found = at(record);
    FENDRAL_CHECK(posix::remove_entry_at(found.directory, found.name));
  }
  return {};
}

Result<Mp4ChunkMetadata> SplitDirectory::load_record() const {
  const std::string path = posix::join_path(path_, kMetadataFileName);  // as messages name it
  const auto unreadable = as_runtime_error("Failed to read metadata.json: ");
  const FileAt record = at(kMetadataFileName);
  FENDRAL_TRY(
      const auto opened,
      posix::open_regular_file_at(record.directory, record.name).transform_error(unreadable));
  if (auto refusal = posix::beyond_memory(path, opened.size)) {
    return fail(Failure::memory_error(std::move(*refusal)));
  }
  try {
    FENDRAL_TRY(const auto text,
                posix::read_from_start(opened.fd.get()).transform_error(unreadable));
    if (!is_valid_utf8(text)) return fail(unreadable(posix::kInvalidUtf8));
    return read_metadata(text).transform_error(as_runtime_error("Serde error: "));
  } catch (const std::bad_alloc&) {
    return fail(Failure::memory_error(posix::out_of_memory_reading(path)));
  }
}

Result<void> SplitDirectory::write_record(const Mp4ChunkMetadata& record) const {
  const FileAt file = at(kMetadataFileName);
  FENDRAL_CHECK(posix::replace_file_at(file.directory, file.name, metadata_to_json(record)));
  return {};
}

Result<void> SplitDirectory::store_source_metadata(std::string_view text,
                                                   const SideStreamsStamp& stamp) const {
  if (text.empty()) return {};
  // After ffmetadata's header line, so that it falls in the part the join reads.
  const std::size_t header_end = std::min(text.find('\n'), text.size());
  std::string stamped(text.substr(0, header_end));
  stamped.append("\n").append(stamp_line(stamp));
  if (header_end < text.size()) stamped.append(text.substr(header_end + 1));
  const FileAt file = at(kSourceMetadataFileName);
  FENDRAL_CHECK(posix::replace_file_at(file.directory, file.name, stamped));
  return {};
}

Result<void> SplitDirectory::replace_segment(const std::string& name,
                                             std::string_view content) const {
  const FileAt file = at(name);
  FENDRAL_CHECK(posix::replace_file_at(file.directory, file.name, content));
  return {};
}

Result<void> SplitDirectory::store_segment_times(std::string_view list) const {
  if (list.empty()) return {};
  const FileAt file = at(kSegmentTimesFileName);
  FENDRAL_CHECK(posix::replace_file_at(file.directory, file.name, list));
  return {};
}

Result<SideStreamsStamp> SplitDirectory::store_side_streams(SideStreamsForm form,
                                                            std::string_view content) const {
  if (content.empty()) return SideStreamsStamp{};
  const std::string_view name = side_streams_file_name(form);
  const FileAt file = at(name);
  FENDRAL_CHECK(posix::replace_file_at(file.directory, file.name, content));
  return SideStreamsStamp{
      .name = std::string(name),
      .size = content.size(),
      .crc32c = crc32c::of(reinterpret_cast<const unsigned char*>(content.data()), content.size())};
}

Result<std::optional<posix::UniqueFd>> SplitDirectory::open_side_streams(
    SideStreamsForm form, const std::optional<SideStreamsStamp>& stamp) const {
  const std::string_view name = side_streams_file_name(form);
  const FileAt file = at(name);
  auto opened = posix::open_file_at(file.directory, file.name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (!opened) return std::nullopt;
  struct stat info;
  if (::fstat(opened->get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
    return std::nullopt;
  }
  if (!stamp) return std::optional(std::move(*opened));
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::optional<std::uint32_t> crc;
  if (stamp->name == name && stamp->size == size) {
    FENDRAL_TRY(
        crc, crc_of_file(opened->get(), size)
                 .transform_error(as_runtime_error("Failed to read " + std::string(name) + ": ")));
  }
  if (crc && *crc == stamp->crc32c) return std::optional(std::move(*opened));
  std::string recorded = "the split stored no side file";
  if (!stamp->name.empty()) {
    recorded = "the split stored " + stamp->name + " of " + std::to_string(stamp->size) +
               " bytes with CRC32C " + crc_text(stamp->crc32c);
  }
  std::string found = std::to_string(size) + " bytes";
  if (crc) found += " with CRC32C " + crc_text(*crc);
  return runtime_failure(std::string(name) + " is not the side file of this split: " + recorded +
                         ", the file holds " + found);
}

std::optional<std::vector<SegmentSpan>> SplitDirectory::segment_spans(
    const std::vector<std::string>& chunk_paths) const {
  // A list larger than this is not one ffmpeg wrote for a split: it is not read.
  constexpr std::int64_t kCap = 64 << 20;
  const FileAt file = at(kSegmentTimesFileName);
  auto opened = posix::open_file_at(file.directory, file.name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (!opened) return std::nullopt;
  struct stat info;
  if (::fstat(opened->get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kCap) {
    return std::nullopt;
  }
  auto text = posix::read_from_start(opened->get());
  if (!text) return std::nullopt;
  const auto times = read_segment_times(*text);
  if (!times || times->size() != chunk_paths.size()) return std::nullopt;
  std::vector<SegmentSpan> spans;
  spans.reserve(times->size());
  for (std::size_t index = 0; index < chunk_paths.size(); ++index) {
    const std::string_view path = chunk_paths[index];
    const std::size_t slash = path.rfind('/');
    if (path.substr(slash == std::string_view::npos ? 0 : slash + 1) != (*times)[index].name) {
      return std::nullopt;
    }
    spans.push_back((*times)[index].span);
  }
  return spans;
}

Result<std::optional<SourceMetadata>> SplitDirectory::open_source_metadata() const {
  const auto unreadable = as_runtime_error("Failed to read source_metadata.txt: ");
  const FileAt file = at(kSourceMetadataFileName);
  auto opened = posix::open_file_at(file.directory, file.name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (!opened) {
    // Absent, a link, or a socket: no record to map.
    const int code = opened.error().os_code().value_or(0);
    if (code == ENOENT || code == ELOOP || code == ENXIO) return std::nullopt;
    return fail(unreadable(opened.error()));
  }
  struct stat info;
  if (::fstat(opened->get(), &info) != 0) {
    return fail(unreadable(posix::IoError::from_errno(errno)));
  }
  if (!S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  FENDRAL_TRY(const bool keyed,
              holds_quicktime_keys(opened->get(), static_cast<std::uint64_t>(info.st_size))
                  .transform_error(unreadable));
  FENDRAL_TRY(const std::string head, record_head(opened->get()).transform_error(unreadable));
  return SourceMetadata{std::move(*opened), keyed, major_brand(head), parse_stamp(head),
                        chapter_timescale(head)};
}

std::string SplitDirectory::locate(const std::string& recorded,
                                   std::string_view recorded_directory) const {
  const auto rest = place_in_directory(recorded, recorded_directory);
  if (!rest) return recorded;
  std::string relocated = posix::join_path(path_, *rest);
  if (relocated == recorded) return recorded;
  const FileAt here = at(*rest);
  if (!posix::entry_exists_at(here.directory, here.name)) return recorded;
  const auto identity = posix::file_identity(recorded);
  if (identity && identity == posix::file_identity_at(here.directory, here.name)) return recorded;
  return relocated;
}

Result<void> SplitDirectory::write_concat_list(const std::vector<ConcatEntry>& entries) const {
  const auto not_created = as_runtime_error("Failed to create concat list file: ");
  const auto unwritable = as_runtime_error("Failed to write concat list: ");
  const FileAt list = at(kConcatListFileName);
  FENDRAL_TRY(
      auto file,
      posix::ReplacementFile::create_at(list.directory, list.name).transform_error(not_created));
  for (const ConcatEntry& line : entries) {
    FENDRAL_CHECK(write_concat_line(file.fd(), line.quoted_path).transform_error(unwritable));
  }
  FENDRAL_CHECK(file.commit().transform_error(not_created));
  return {};
}

}  // namespace fendral::video
