#include "mp4_parser/encryption.hpp"

#include <optional>
#include <string>
#include <vector>

#include "codec/sample_entry.hpp"
#include "mp4_parser/box.hpp"

namespace quaver {

namespace {

// The first child of the type among the boxes of a body; none in a body
// that cannot be read.
std::optional<Mp4Box> child(ByteView body, FourCC type) {
  Result<std::vector<Mp4Box>> children = parse_container_box(body);
  const Mp4Box* found = children.ok() ? first_child(children.value(), type) : nullptr;
  return found ? std::optional<Mp4Box>(*found) : std::nullopt;
}

// Where the child boxes of a protected sample entry start: after the fields
// of the kind of entry it stands for. A sound entry of version 1 or 2 (the
// QuickTime layouts) has 16 or 36 bytes more.
std::optional<std::size_t> children_at(const Mp4Box& entry) {
  const FourCC t = entry.box_type;
  if (t == fourcc("encv")) return kVisualEntryFields;
  if (t == fourcc("enca")) return audio_entry_fields_length(entry.data);
  if (t == fourcc("enct") || t == fourcc("encs") || t == fourcc("encm") || t == fourcc("encf")) return 8;
  return std::nullopt;
}

// The scheme type of the entry's first sinf, as four printable characters.
std::optional<std::string> scheme_of(const Mp4Box& entry, std::size_t at) {
  if (at > entry.data.size()) return std::nullopt;
  const std::optional<Mp4Box> sinf = child(entry.data.subspan(at), fourcc("sinf"));
  const std::optional<Mp4Box> schm = sinf ? child(sinf->data, fourcc("schm")) : std::nullopt;
  // version and flags, then the scheme type
  if (!schm || schm->data.size() < 8) return std::nullopt;
  std::string scheme(reinterpret_cast<const char*>(schm->data.data() + 4), 4);
  for (char c : scheme) {
    if (c < 0x20 || c > 0x7E) return std::nullopt;
  }
  return scheme;
}

}  // namespace

Result<void> refuse_encrypted(ByteView stsd_body, std::uint32_t track_id) {
  // version and flags, the entry count, then the entries
  if (stsd_body.size() < 8) return {};
  BoxWalk entries(stsd_body.subspan(8), BoxHeaders::kAll, Overrun::kEnd);
  for (;;) {
    Result<std::optional<Mp4Box>> entry = entries.next();
    if (!entry.ok() || !entry.value()) return {};
    const std::optional<std::size_t> at = children_at(*entry.value());
    if (!at) continue;
    const std::optional<std::string> scheme = scheme_of(*entry.value(), *at);
    return Error{"Encrypted track " + std::to_string(track_id) + " (scheme " +
                     (scheme ? "\"" + *scheme + "\"" : std::string("unknown")) + "): quaver does not decrypt",
                 ErrorKind::kUnsupported};
  }
}

}  // namespace quaver
