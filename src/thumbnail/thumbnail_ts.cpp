#include "core/annexb.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/ts_parser.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// The first key picture of an MPEG-2 video stream, its headers in front,
// as it stands in the stream: it carries its sequence header itself.
Result<OutBuffer> key_picture_of(const MediaData& md, OutputAllocator& alloc) {
  std::optional<mpeg2_video::Picture> key;
  mpeg2_video::for_each_picture(md.video_data, [&](const mpeg2_video::Picture& p) {
    if (p.key) key = p;
    return !key;
  });
  if (!key) return Error{"No I-frame found in video stream", ErrorKind::kNothingToDo};
  OutBuffer out = OutBuffer::allocate(key->end - key->begin, alloc);
  FixedWriter w(out);
  md.video_data.copy_to(w.room(key->end - key->begin), key->begin, key->end - key->begin);
  w.finish();
  return out;
}

struct KeyPicture {
  std::size_t begin;  // first byte of the first slice's start code
  std::size_t end;    // one past the last slice kept
};

// Extends the picture whose first slice ends at picture.end by the slices
// of the same picture that follow it: a picture coded in several slices
// decodes whole only with all of them. Filler between them is kept; the
// picture ends at any other unit, at a slice that starts a new picture (its
// first bit after the header, first_mb_in_slice = 0 or
// first_slice_segment_in_pic_flag, is set), at one `same` refuses, or at
// the end of the bytes. Returns the unit it stopped at, if any was refused
// by `same` alone.
template <class Same>
std::optional<std::size_t> take_rest_of_picture(const ChunkedBytes& v, const NalSyntax& syntax, KeyPicture& picture,
                                                Same&& same) {
  const std::size_t n = v.size();
  for (std::size_t q = picture.end; q < n;) {
    // q is where a start code begins: 00 00 01, else 00 00 00 01.
    const std::size_t header = q + (v.at(q + 2) == 1 ? 3 : 4);
    if (header >= n) break;
    const std::uint8_t type = syntax.type_of(v.at(header));
    const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kCapture);
    if (type != syntax.filler) {
      if (!syntax.is_slice(type)) break;
      const std::size_t first_bit = header + syntax.header_length;
      if (first_bit < n && (v.at(first_bit) & 0x80)) break;
      if (!same(header, end, type)) return header;
      picture.end = end;
    }
    q = end;
  }
  return std::nullopt;
}

// The first random access picture after a start code (the 3-byte form
// tested first at each position, each needing a byte after it): a key slice
// with the slices of the same picture after it, or the slices of the first
// picture after a unit marking a recovery point, from that unit on.
std::optional<KeyPicture> find_first_key_picture(const ChunkedBytes& v, const NalSyntax& syntax) {
  const std::size_t n = v.size();
  std::optional<KeyPicture> picture;
  std::optional<std::size_t> marked;  // where the marker unit's start code begins
  std::vector<std::uint8_t> buf;
  for (std::size_t pos = 0; !picture;) {
    const std::size_t q = v.find_start3(pos);
    if (q >= n || q + 3 >= n) return std::nullopt;
    const std::size_t header = q + 3;
    const std::uint8_t type = syntax.type_of(v.nal_header(header));
    const std::size_t begin = q > pos && v.zero_before(q) ? q - 1 : q;
    if (syntax.is_key(type)) {
      picture = KeyPicture{begin, annexb::unit_end(v, header, annexb::EndRule::kCapture)};
      take_rest_of_picture(v, syntax, *picture,
                           [&](std::size_t, std::size_t, std::uint8_t t) { return syntax.is_key(t); });
    } else if (type == syntax.marker && !marked) {
      const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kCapture);
      if (syntax.marks_random_access(annexb::unit_head(v, header, end, kMarkerBytes, buf))) marked = begin;
    } else if (syntax.is_slice(type) && marked) {
      picture = KeyPicture{*marked, annexb::unit_end(v, header, annexb::EndRule::kCapture)};
      take_rest_of_picture(v, syntax, *picture, [](std::size_t, std::size_t, std::uint8_t) { return true; });
    }
    pos = q + 1;
  }
  return picture;
}

// The first picture whose slices are all intra, for a stream without key
// slices or markers, where the codec's slice heads tell.
std::optional<KeyPicture> find_first_intra_picture(const ChunkedBytes& v, const NalSyntax& syntax,
                                                   const SliceCoding& coding) {
  const std::size_t n = v.size();
  std::vector<std::uint8_t> buf;
  const auto head_of = [&](std::size_t header, std::size_t end) {
    return syntax.slice_head(annexb::unit_head(v, header, end, kSliceHeadBytes, buf), coding);
  };
  for (std::size_t pos = 0;;) {
    const std::size_t q = v.find_start3(pos);
    if (q >= n || q + 3 >= n) return std::nullopt;
    const std::size_t header = q + 3;
    pos = q + 1;
    if (!syntax.is_slice(syntax.type_of(v.nal_header(header)))) continue;
    const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kCapture);
    const std::optional<SliceHead> head = head_of(header, end);
    if (!head || !head->intra || !head->first_in_picture) continue;
    const std::size_t begin = q > 0 && v.zero_before(q) ? q - 1 : q;
    KeyPicture picture{begin, end};
    const std::optional<std::size_t> refused =
        take_rest_of_picture(v, syntax, picture, [&](std::size_t h, std::size_t e, std::uint8_t) {
          const std::optional<SliceHead> rest = head_of(h, e);
          return rest && rest->intra;
        });
    if (!refused) return picture;
    pos = *refused;
  }
}

}  // namespace

Result<OutBuffer> extract_thumbnail_from_ts(ByteView data, OutputAllocator& alloc, Report& report, VideoCodec* codec) {
  Result<MediaData> parsed = parse_ts_packets(data, report);
  if (!parsed.ok()) return parsed.error();
  return key_frame_of(parsed.value(), alloc, codec);
}

Result<OutBuffer> key_frame_of(const MediaData& md, OutputAllocator& alloc, VideoCodec* codec) {
  if (md.video_data.empty()) return Error{"No video data found", ErrorKind::kNothingToDo};
  if (md.video_codec == VideoCodec::kMpeg2Video) {
    Result<OutBuffer> key = key_picture_of(md, alloc);
    if (key.ok() && codec) *codec = md.video_codec;
    return key;
  }
  const NalSyntax* syntax = nal_syntax(md.video_codec);
  if (!syntax) fault("no key-picture search for the stream's video codec");
  std::optional<KeyPicture> key = find_first_key_picture(md.video_data, *syntax);
  if (!key && syntax->slice_coding && md.parameter_sets.sps) {
    if (const auto coding = syntax->slice_coding(bytes_of(md.parameter_sets.sps))) {
      key = find_first_intra_picture(md.video_data, *syntax, *coding);
    }
  }
  if (!key) return Error{"No I-frame found in video stream", ErrorKind::kNothingToDo};
  if (codec) *codec = md.video_codec;

  const std::size_t picture = key->end - key->begin;
  std::size_t total = picture;
  for (const auto* set : md.parameter_sets.in_order()) total += *set ? 4 + (*set)->size() : 0;
  OutBuffer out = OutBuffer::allocate(total, alloc);
  FixedWriter w(out);
  for (const auto* set : md.parameter_sets.in_order()) {
    if (!*set) continue;
    w.bytes(kStartCode, 4);
    w.bytes((*set)->data(), (*set)->size());
  }
  md.video_data.copy_to(w.room(picture), key->begin, picture);
  w.finish();
  return out;
}

}  // namespace quaver
