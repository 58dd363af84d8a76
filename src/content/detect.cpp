#include "content/detect.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "mp4_parser/box.hpp"

namespace quaver {

namespace {

constexpr std::size_t kPacket = 188;
constexpr std::size_t kM2tsPacket = 192;  // a 4-byte arrival timestamp in front of each packet
constexpr std::uint8_t kSync = 0x47;
// Packet starts checked before a stream counts as a transport stream.
constexpr std::size_t kSyncRun = 5;
// How far into the input a transport stream's first packet is looked for.
constexpr std::size_t kJunkScan = 64 * 1024 + kPacket;

// Box types that can open an MP4 file or one of its segments.
constexpr FourCC kOpeningBoxes[] = {
    fourcc("ftyp"), fourcc("styp"), fourcc("moov"), fourcc("moof"), fourcc("mdat"), fourcc("free"),
    fourcc("skip"), fourcc("wide"), fourcc("sidx"), fourcc("uuid"), fourcc("emsg"), fourcc("prft"),
    fourcc("pdin"), fourcc("meta"), fourcc("mfra"),
};

bool starts_with(ByteView data, std::string_view prefix) {
  return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin(),
                                                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

// Sync bytes at `first` and every `period` bytes after it, for up to
// kSyncRun packets, the first of them complete.
bool sync_run(ByteView data, std::size_t first, std::size_t period) {
  if (first >= data.size() || data.size() - first < period) return false;
  for (std::size_t k = 0, at = first; k < kSyncRun && at < data.size(); ++k, at += period) {
    if (data[at] != kSync) return false;
  }
  return true;
}

// Where a transport stream starts: the first position, within the first
// 64 KiB and one packet, that opens kSyncRun sync bytes a packet apart,
// 188 bytes or (M2TS) 192. A stream that ends sooner counts when it starts
// in the first packet's width, so that a short stream is still taken;
// further in, junk is more likely than such a stream, so the whole run is
// needed. An M2TS stream starts at the sync byte of its first packet.
struct StreamStart {
  std::size_t at;
  std::size_t packet;
};

std::optional<StreamStart> transport_stream_start(ByteView data) {
  const std::size_t scan = std::min(data.size(), kJunkScan);
  for (std::size_t first = 0; first < scan; ++first) {
    const void* sync = std::memchr(data.data() + first, kSync, scan - first);
    if (!sync) return std::nullopt;
    first = static_cast<std::size_t>(static_cast<const std::uint8_t*>(sync) - data.data());
    for (std::size_t packet : {kPacket, kM2tsPacket}) {
      const bool whole_run = data.size() - first > (kSyncRun - 1) * packet;
      if ((whole_run || first < packet) && sync_run(data, first, packet)) return StreamStart{first, packet};
    }
  }
  return std::nullopt;
}

bool opens_as_mp4(ByteView data) {
  if (data.size() < 8) return false;
  const std::uint32_t size = load_be32(data.data());
  if (size != 0 && size != 1 && size < 8) return false;
  const FourCC type{{data[4], data[5], data[6], data[7]}};
  return std::find(std::begin(kOpeningBoxes), std::end(kOpeningBoxes), type) != std::end(kOpeningBoxes);
}

// What a refused input looks like, with what to do about it.
std::string recognised_as(ByteView data) {
  struct Signature {
    std::string_view prefix;
    std::string_view what;
  };
  static constexpr Signature kSignatures[] = {
      {"\x1A\x45\xDF\xA3", "a Matroska or WebM file; remux it to MP4 with ffmpeg first"},
      {"RIFF", "a RIFF file (AVI or WAV)"},
      {"FLV", "an FLV file; remux it to MP4 with ffmpeg first"},
      {"OggS", "an Ogg file"},
      {"fLaC", "a FLAC file"},
      {"ID3", "an MP3 file (ID3 tag)"},
      {"#EXTM3U", "an HLS playlist; give the segments it lists instead"},
      {"<?xml", "an XML document (a DASH manifest?); give the segments it lists instead"},
      {"\x89PNG", "a PNG image"},
      {"\xFF\xD8\xFF", "a JPEG image"},
      {"GIF8", "a GIF image"},
      {std::string_view("\x00\x00\x01\xBA", 4), "an MPEG program stream"},
      {std::string_view("\x00\x00\x00\x01", 4), "a raw video elementary stream; wrap it in a container first"},
  };
  for (const Signature& s : kSignatures) {
    if (starts_with(data, s.prefix)) return std::string(s.what);
  }
  if (data.size() >= 2 && data[0] == 0xFF && (data[1] & 0xF6) == 0xF0) return "a raw AAC (ADTS) stream";
  if (data.size() >= 2 && data[0] == 0xFF && (data[1] & 0xE0) == 0xE0) return "an MPEG audio stream (MP3)";
  std::string first = "unrecognised content, first bytes";
  for (std::size_t i = 0; i < std::min<std::size_t>(data.size(), 8); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", data[i]);
    first += hex;
  }
  return first;
}

}  // namespace

namespace {

// The package layer's short name of each kind, and the words that say what
// such an input is.
struct KindWords {
  std::string_view name;
  std::string_view description;
};

KindWords words(InputKind kind) {
  switch (kind) {
    case InputKind::kTransportStream:
      return {"ts", "an MPEG-TS"};
    case InputKind::kFragmentedMp4:
      return {"fmp4", "a fragmented MP4"};
    case InputKind::kMediaSegment:
      return {"segment", "a fragmented MP4 media segment without its initialisation segment"};
    case InputKind::kRegularMp4:
      return {"mp4", "an MP4 without fragments (a regular file, or an initialisation segment alone)"};
  }
  fault("unknown input kind");
}

}  // namespace

std::string_view kind_name(InputKind kind) { return words(kind).name; }

Result<DetectedInput> detect_input(ByteView data) {
  if (data.empty()) return Error{"empty input", ErrorKind::kNothingToDo};
  if (opens_as_mp4(data)) {
    // The walk stops once a moov and a moof have been seen, or at a box it
    // cannot read: a file damaged after the boxes that tell its kind goes to
    // the job for that kind, which names the damage; one damaged before
    // them is refused in the box layer's own words.
    bool moov = false, moof = false;
    TopLevelBoxes boxes(data);
    while (!(moov && moof)) {
      Result<std::optional<BoxInfo>> box = boxes.next();
      if (!box.ok()) {
        if (moov || moof) break;
        return box.error();
      }
      if (!box.value()) break;
      moov |= box.value()->is(box_types::moov);
      moof |= box.value()->is(box_types::moof);
    }
    if (moof) return DetectedInput{moov ? InputKind::kFragmentedMp4 : InputKind::kMediaSegment, data};
    if (moov) return DetectedInput{InputKind::kRegularMp4, data};
    return Error{"an MP4 without a moov box: nothing describes its samples", ErrorKind::kUnsupported};
  }
  if (std::optional<StreamStart> start = transport_stream_start(data)) {
    return DetectedInput{InputKind::kTransportStream, data.subspan(start->at)};
  }
  return Error{"not a transport stream or an MP4: " + recognised_as(data), ErrorKind::kUnsupported};
}

Result<InputKind> detect_input_kind(ByteView data) {
  Result<DetectedInput> detected = detect_input(data);
  if (!detected.ok()) return detected.error();
  return detected.value().kind;
}

std::string describe_input(ByteView data) {
  Result<InputKind> kind = detect_input_kind(data);
  if (!kind.ok()) {
    if (data.empty()) return "empty";
    if (opens_as_mp4(data)) return "an MP4 that cannot be read (" + kind.message() + ")";
    return recognised_as(data);
  }
  return std::string(words(kind.value()).description);
}

std::optional<std::string_view> sniff_container(ByteView head) {
  if (opens_as_mp4(head)) return "mp4";
  if (std::optional<StreamStart> start = transport_stream_start(head)) {
    return start->packet == kM2tsPacket ? "m2ts" : "ts";
  }
  return std::nullopt;
}

}  // namespace quaver
