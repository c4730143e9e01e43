#include "mp4/matroska.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

namespace fendral::mp4 {

namespace {

constexpr std::uint32_t kEbmlHeader = 0x1a45dfa3;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kTracks = 0x1654ae6b;
constexpr std::uint32_t kTrackEntry = 0xae;
constexpr std::uint32_t kTrackType = 0x83;
constexpr std::uint32_t kCodecId = 0x86;
constexpr std::uint32_t kAttachments = 0x1941a469;
constexpr std::uint32_t kAttachedFile = 0x61a7;
constexpr std::uint32_t kFileName = 0x466e;
constexpr std::uint32_t kFileMimeType = 0x4660;
constexpr std::uint32_t kFileData = 0x465c;
constexpr std::uint32_t kTags = 0x1254c367;
constexpr std::uint32_t kTag = 0x7373;
constexpr std::uint32_t kSimpleTag = 0x67c8;
constexpr std::uint32_t kTagName = 0x45a3;

// The codecs of text subtitle tracks, which convert into other containers' text subtitles.
constexpr std::array<std::string_view, 10> kTextSubtitleCodecs = {"S_TEXT/UTF8",
                                                                  "S_TEXT/ASCII",
                                                                  "S_TEXT/SSA",
                                                                  "S_TEXT/ASS",
                                                                  "S_SSA",
                                                                  "S_ASS",
                                                                  "S_TEXT/WEBVTT",
                                                                  "D_WEBVTT/SUBTITLES",
                                                                  "D_WEBVTT/CAPTIONS",
                                                                  "D_WEBVTT/DESCRIPTIONS"};

// The attached pictures that ffmpeg shows as covers and an MP4 file holds as one.
constexpr std::array<std::string_view, 2> kCoverTypes = {"image/jpeg", "image/png"};

// More streams than any file ffmpeg would write for the split: the list stops growing there.
constexpr std::size_t kStreamCap = 4096;

struct Element {
  std::uint32_t id = 0;
  std::uint64_t data = 0;             // where its content starts
  std::optional<std::uint64_t> size;  // nothing when the size is unknown
  std::uint64_t end() const { return data + *size; }
};

char lower(char letter) {
  return letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
}

class Reader {
 public:
  explicit Reader(ByteSource& source) : source_(source) {}

  // The element whose header starts at `offset` and ends by `limit`; nothing when it cannot be
  // read there or its content runs past `limit`.
  std::optional<Element> element_at(std::uint64_t offset, std::uint64_t limit) {
    std::array<unsigned char, 12> head{};
    if (offset >= limit) return std::nullopt;
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, head.size()));
    if (!source_.read_at(offset, head.data(), length)) return std::nullopt;
    // An identifier keeps its length marker: one to four bytes.
    const int id_length = std::countl_zero(head[0]) + 1;
    if (id_length > 4 || static_cast<std::size_t>(id_length) >= length) return std::nullopt;
    std::uint32_t id = 0;
    for (int at = 0; at < id_length; ++at) id = id << 8 | head[at];
    // A size loses its marker: one to eight bytes; every value bit set means unknown.
    const unsigned char first = head[id_length];
    const int size_length = std::countl_zero(first) + 1;
    if (size_length > 8 || static_cast<std::size_t>(id_length + size_length) > length) {
      return std::nullopt;
    }
    std::uint64_t size = first & (0xffu >> size_length);
    bool all_ones = size == (0xffu >> size_length);
    for (int at = 1; at < size_length; ++at) {
      const unsigned char byte = head[id_length + at];
      size = size << 8 | byte;
      all_ones = all_ones && byte == 0xff;
    }
    Element element{.id = id, .data = offset + id_length + size_length};
    if (!all_ones) {
      if (size > limit - element.data) return std::nullopt;
      element.size = size;
    }
    return element;
  }

  // The unsigned integer an element holds (at most eight bytes).
  std::optional<std::uint64_t> unsigned_value(const Element& element) {
    std::array<unsigned char, 8> bytes{};
    if (*element.size > bytes.size()) return std::nullopt;
    const auto length = static_cast<std::size_t>(*element.size);
    if (!source_.read_at(element.data, bytes.data(), length)) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t at = 0; at < length; ++at) value = value << 8 | bytes[at];
    return value;
  }

  // Whether an element's string is one of `texts` (a string may be padded with NUL bytes),
  // letter case aside where `any_case` says so (as ffmpeg looks up its tags).
  template <std::size_t count>
  bool holds_one_of(const Element& element, const std::array<std::string_view, count>& texts,
                    bool any_case = false) {
    std::array<char, 32> bytes{};
    if (*element.size > bytes.size()) return false;
    const auto length = static_cast<std::size_t>(*element.size);
    if (!source_.read_at(element.data, bytes.data(), length)) return false;
    std::string_view content(bytes.data(), length);
    content = content.substr(0, content.find('\0'));
    return std::any_of(texts.begin(), texts.end(), [&](std::string_view text) {
      return any_case ? std::equal(text.begin(), text.end(), content.begin(), content.end(),
                                   [](char a, char b) { return lower(a) == lower(b); })
                      : text == content;
    });
  }

 private:
  ByteSource& source_;
};

// Calls `visit` with each child of `parent` (of known size) in order; false when a child
// cannot be read or is of unknown size, or `visit` says so.
template <typename Visit>
bool each_child(Reader& reader, const Element& parent, Visit visit) {
  for (std::uint64_t at = parent.data; at < parent.end();) {
    const auto child = reader.element_at(at, parent.end());
    if (!child || !child->size || !visit(*child)) return false;
    at = child->end();
  }
  return true;
}

std::optional<MatroskaStream> track_kind(Reader& reader, const Element& entry) {
  std::optional<std::uint64_t> type;
  bool has_codec = false, text = false;
  const bool read = each_child(reader, entry, [&](const Element& child) {
    if (child.id == kTrackType) type = reader.unsigned_value(child);
    if (child.id == kCodecId) {
      has_codec = *child.size > 0;
      text = reader.holds_one_of(child, kTextSubtitleCodecs);
    }
    return true;
  });
  if (!read || !type || !has_codec) return std::nullopt;
  switch (*type) {
    case 1:
      return MatroskaStream::video;
    case 2:
      return MatroskaStream::audio;
    case 0x11:
      return text ? MatroskaStream::text_subtitle : MatroskaStream::subtitle;
    default:
      return std::nullopt;  // ffmpeg skips or numbers these otherwise
  }
}

// An attached file's stream: nothing unless it has a name, a type and data.
std::optional<MatroskaStream> attachment_kind(Reader& reader, const Element& file) {
  bool name = false, type = false, data = false, cover = false;
  const bool read = each_child(reader, file, [&](const Element& child) {
    name = name || child.id == kFileName;
    if (child.id == kFileMimeType) {
      type = true;
      cover = reader.holds_one_of(child, kCoverTypes);
    }
    data = data || (child.id == kFileData && *child.size > 0);
    return true;
  });
  if (!read || !name || !type || !data) return std::nullopt;
  return cover ? MatroskaStream::cover : MatroskaStream::attachment;
}

// The file's segment, of known size; nothing when the file is not Matroska.
std::optional<Element> segment_of(Reader& reader, std::uint64_t file_end) {
  const auto header = reader.element_at(0, file_end);
  if (!header || header->id != kEbmlHeader || !header->size) return std::nullopt;
  auto segment = reader.element_at(header->end(), file_end);
  if (!segment || segment->id != kSegment) return std::nullopt;
  // A segment still being written has no size: it runs to the end of the file.
  if (!segment->size) segment->size = file_end - segment->data;
  return segment;
}

}  // namespace

bool matroska_may_hold_timecode(ByteSource& source) {
  Reader reader(source);
  const auto segment = segment_of(reader, source.size());
  if (!segment) return true;
  constexpr std::array<std::string_view, 1> kTimecode = {"timecode"};
  bool found = false;
  // A tag nested in another is named after both by ffmpeg: only a tag's own count.
  const auto in_tag = [&](const Element& tag) {
    if (tag.id != kTag) return true;
    return each_child(reader, tag, [&](const Element& simple) {
      if (simple.id != kSimpleTag) return true;
      return each_child(reader, simple, [&](const Element& name) {
        found = found || (name.id == kTagName && reader.holds_one_of(name, kTimecode, true));
        return !found;
      });
    });
  };
  const bool read = each_child(reader, *segment, [&](const Element& child) {
    return child.id != kTags || each_child(reader, child, in_tag);
  });
  return found || !read;
}

std::optional<std::vector<MatroskaStream>> read_matroska_streams(ByteSource& source) {
  Reader reader(source);
  auto segment = segment_of(reader, source.size());
  if (!segment) return std::nullopt;

  std::optional<std::vector<MatroskaStream>> tracks;
  std::vector<MatroskaStream> attachments;
  const bool read = each_child(reader, *segment, [&](const Element& child) {
    if (child.id == kTracks) {
      if (tracks) return false;
      tracks.emplace();
      return each_child(reader, child, [&](const Element& entry) {
        if (entry.id != kTrackEntry) return true;
        const auto kind = track_kind(reader, entry);
        if (!kind || tracks->size() == kStreamCap) return false;
        tracks->push_back(*kind);
        return true;
      });
    }
    if (child.id == kAttachments) {
      return each_child(reader, child, [&](const Element& file) {
        if (file.id != kAttachedFile) return true;
        const auto kind = attachment_kind(reader, file);
        if (!kind || attachments.size() == kStreamCap) return false;
        attachments.push_back(*kind);
        return true;
      });
    }
    return true;
  });
  if (!read || !tracks) return std::nullopt;
  tracks->insert(tracks->end(), attachments.begin(), attachments.end());
  return tracks;
}

}  // namespace fendral::mp4
