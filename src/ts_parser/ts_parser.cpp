#include "ts_parser/ts_parser.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/annexb.hpp"
#include "ts_parser/audio_frames.hpp"
#include "ts_parser/bit_reader.hpp"
#include "ts_parser/hevc.hpp"
#include "ts_parser/stream_choice.hpp"

namespace quaver {

namespace {

constexpr std::size_t kPacketSize = 188;

constexpr ParameterSet kParameterSets[] = {ParameterSet::kVideo, ParameterSet::kSequence, ParameterSet::kPicture};
constexpr std::size_t kParameterSetKinds = 4;  // with ParameterSet::kNone
constexpr std::size_t index_of(ParameterSet kind) { return static_cast<std::size_t>(kind); }

// Transport packet header fields (ISO/IEC 13818-1).
struct PacketHeader {
  const std::uint8_t* p;
  bool payload_unit_start() const { return p[1] & 0x40; }           // 1 bit
  std::uint16_t pid() const { return static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }  // 13 bits
  bool has_adaptation() const { return p[3] & 0x20; }                // 1 bit
  bool has_payload() const { return p[3] & 0x10; }                   // 1 bit
  // Offset of the payload within the packet; may exceed 187 in damaged packets.
  std::size_t payload_offset() const { return has_adaptation() ? 5 + std::size_t{p[4]} : 4; }
};

Timestamp read_timestamp(const std::uint8_t* b) {
  return (std::int64_t{b[0] & 0x0E} << 29) | (std::int64_t{b[1]} << 22) | (std::int64_t{b[2] & 0xFE} << 14) |
         (std::int64_t{b[3]} << 7) | (b[4] >> 1);
}

bool has_pes_start_code(ByteView pes) {
  return pes.size() >= 3 && pes[0] == 0 && pes[1] == 0 && pes[2] == 1;
}

// Elementary-stream bytes after the PES header, or nothing when the payload
// does not start with a complete PES header followed by at least one byte.
std::optional<ByteView> pes_body(ByteView payload) {
  if (payload.size() < 9 || !has_pes_start_code(payload)) return std::nullopt;
  std::size_t header_end = 9 + std::size_t{payload[8]};
  if (payload.size() <= header_end) return std::nullopt;
  return payload.subspan(header_end);
}

std::string seconds_text(Timestamp ticks) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(ticks) / 90000.0);
  return buf;
}

class Demuxer {
 public:
  Demuxer(ByteView data, Report& report) : data_(data), report_(report) {}

  Result<MediaData> run();

 private:
  void route(const std::uint8_t* packet);
  void read_pat(ByteView payload);
  void read_pmt(ByteView payload);
  void video_packet(ByteView payload, bool unit_start);
  void audio_packet(ByteView payload, bool unit_start);
  std::size_t cut_audio();
  void drain_audio(std::size_t consumed);
  TimestampPair unwrap(TimestampPair t);
  Timestamp unwrap(Timestamp raw);
  std::optional<std::vector<std::uint8_t>>* parameter_set_slot(ParameterSet kind);
  bool has_every_parameter_set();
  void capture_parameter_sets(ByteView es);
  void recover_parameter_sets();
  void read_picture_size();
  void finish();

  ByteView data_;
  Report& report_;
  // The report is handed over in one piece when the walk is done: one write
  // for all of a call's lines, which small segments would otherwise pay for
  // line by line.
  std::string report_text_;
  void report_line(std::string_view text) {
    report_text_.append(text);
    report_text_.push_back('\n');
  }
  MediaData md_;
  std::optional<std::uint16_t> pmt_pid_;
  bool pids_found_ = false;
  // The captured parameter set (by ParameterSet) ran to the end of the bytes
  // scanned in its packet and may continue in the next one.
  bool set_cut_[kParameterSetKinds] = {};
  AudioFrameCutter audio_cutter_;
  // R: the first timestamp read on the video or audio PID.
  std::optional<Timestamp> reference_;
};

Result<MediaData> Demuxer::run() {
  const std::uint8_t* base = data_.data();
  const std::size_t n = data_.size();
  const void* first = n ? std::memchr(base, 0x47, n) : nullptr;
  if (!first) return Error{"No valid TS sync byte found", ErrorKind::kUnsupported};
  std::size_t pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(first) - base);

  while (pos + kPacketSize <= n) {
    if (base[pos] != 0x47) {
      const void* next = pos + 1 < n ? std::memchr(base + pos + 1, 0x47, n - pos - 1) : nullptr;
      if (!next) break;
      pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - base);
      if (pos + kPacketSize > n) break;
    }
    route(base + pos);
    pos += kPacketSize;
  }
  finish();
  return std::move(md_);
}

void Demuxer::route(const std::uint8_t* packet) {
  PacketHeader h{packet};
  std::size_t offset = h.payload_offset();
  if (!h.has_payload() || offset > kPacketSize - 1) return;
  ByteView payload(packet + offset, kPacketSize - offset);
  const std::uint16_t pid = h.pid();
  const bool unit_start = h.payload_unit_start();

  if (pid == 0 && !pids_found_) {
    if (unit_start && offset <= 175) read_pat(payload);
  } else if (pmt_pid_ && !pids_found_ && pid == *pmt_pid_) {
    if (unit_start && offset <= 172) read_pmt(payload);
  } else if (md_.video_pid && pid == *md_.video_pid) {
    video_packet(payload, unit_start);
  } else if (md_.audio_pid && pid == *md_.audio_pid) {
    audio_packet(payload, unit_start);
  }
}

void Demuxer::read_pat(ByteView p) {
  const std::size_t ptr = p[0];  // pointer_field
  if (!(ptr + 13 < p.size()) || p[ptr + 1] != 0) return;
  const auto program_number = [&](std::size_t e) { return load_be16(&p[e]); };
  const auto entry_pid = [&](std::size_t e) {
    return static_cast<std::uint16_t>(((p[e + 2] & 0x1F) << 8) | p[e + 3]);
  };
  // Program 0 names the network information table, not a programme map:
  // broadcast captures list it first, so look past it for a real programme.
  std::size_t e = ptr + 9;
  if (program_number(e) != 0) {
    pmt_pid_ = entry_pid(e);
    return;
  }
  const std::size_t section_length = ((p[ptr + 2] & 0x0F) << 8) | p[ptr + 3];
  const std::size_t crc_start = ptr + section_length;
  for (e = ptr + 13; e + 4 <= p.size() && e + 4 <= crc_start; e += 4) {
    if (program_number(e) != 0) {
      pmt_pid_ = entry_pid(e);
      return;
    }
  }
}

void Demuxer::read_pmt(ByteView p) {
  const std::size_t ptr = p[0];
  if (!(ptr + 13 < p.size()) || p[ptr + 1] != 2) return;
  const std::size_t section_length = ((p[ptr + 2] & 0x0F) << 8) | p[ptr + 3];
  const std::size_t program_info_length = ((p[ptr + 11] & 0x0F) << 8) | p[ptr + 12];
  const std::size_t entries_end = ptr + section_length;  // where the CRC_32 begins
  std::size_t e = ptr + 13 + program_info_length;
  if (e + 5 > p.size() || e >= entries_end) return;

  StreamChooser chooser;
  for (;;) {
    const std::uint8_t stream_type = p[e];
    const auto pid = static_cast<std::uint16_t>(((p[e + 1] & 0x1F) << 8) | p[e + 2]);
    const std::size_t es_info_length = ((p[e + 3] & 0x0F) << 8) | p[e + 4];
    const std::size_t info = e + 5;
    chooser.add(stream_type, pid, p.subspan(info, std::min(es_info_length, p.size() - info)));
    e += 5 + es_info_length;
    if (e + 5 > p.size() || e >= entries_end) break;
  }
  const StreamChoice choice = chooser.choose();
  if (!choice.video_pid) return;
  md_.video_pid = choice.video_pid;
  md_.video_codec = choice.video_codec;
  md_.audio_pid = choice.audio_pid;
  md_.audio_codec = choice.audio_codec;
  audio_cutter_.set_codec(choice.audio_codec);
  pids_found_ = true;
  // At most one video slice per packet still to come.
  md_.video_data.reserve((data_.size() - static_cast<std::size_t>(p.data() - data_.data())) / kPacketSize + 1);
  report_line("Found PIDs - Video: " + std::to_string(*choice.video_pid) +
              ", Audio: " + (choice.audio_pid ? std::to_string(*choice.audio_pid) : std::string("none")));
}

// A 33-bit clock wraps every 26.5 hours. Every timestamp is taken as the
// value congruent to it modulo 2^33 nearest to the first one read (on a tie
// the larger), so a stream crossing the wrap keeps counting up. The
// reference never moves: one damaged timestamp cannot shift all later ones.
Timestamp Demuxer::unwrap(Timestamp raw) {
  constexpr Timestamp kWrap = Timestamp{1} << 33;
  constexpr Timestamp kHalf = Timestamp{1} << 32;
  if (!reference_) reference_ = raw;
  const Timestamp d = raw - *reference_;
  if (d > kHalf) return raw - kWrap;
  if (d <= -kHalf) return raw + kWrap;
  return raw;
}

TimestampPair Demuxer::unwrap(TimestampPair t) {
  if (t.pts) t.pts = unwrap(*t.pts);  // a header's PTS is read before its DTS
  if (t.dts) t.dts = unwrap(*t.dts);
  return t;
}

void Demuxer::video_packet(ByteView payload, bool unit_start) {
  if (!unit_start) {
    md_.video_data.append(payload.data(), payload.size());
    return;
  }
  if (payload.size() < 9) return;  // too short for a PES header: dropped whole
  md_.video_timestamps.push_back(unwrap(extract_pes_timestamps(payload)));
  auto es = pes_body(payload);
  if (!es) return;
  if (es->size() >= 4) capture_parameter_sets(*es);
  md_.video_pes_starts.push_back(md_.video_data.size());
  md_.video_data.append(es->data(), es->size());
}

// The record's slot for a parameter set of this kind; only HEVC has a VPS.
std::optional<std::vector<std::uint8_t>>* Demuxer::parameter_set_slot(ParameterSet kind) {
  switch (kind) {
    case ParameterSet::kVideo: return md_.video_codec == VideoCodec::kHevc ? &md_.vps : nullptr;
    case ParameterSet::kSequence: return &md_.sps;
    case ParameterSet::kPicture: return &md_.pps;
    default: return nullptr;
  }
}

bool Demuxer::has_every_parameter_set() {
  for (ParameterSet kind : kParameterSets) {
    const auto* slot = parameter_set_slot(kind);
    if (slot && !*slot) return false;
  }
  return true;
}

void Demuxer::capture_parameter_sets(ByteView es) {
  if (has_every_parameter_set()) return;
  const NalSyntax& syntax = md_.video_syntax();
  annexb::for_each_captured_unit(FlatBytes(es), [&](annexb::CapturedUnit u) {
    const ParameterSet kind = syntax.parameter_set(syntax.type_of(u.header));
    auto* slot = parameter_set_slot(kind);
    if (slot && !*slot) {
      slot->emplace(es.begin() + static_cast<std::ptrdiff_t>(u.start),
                    es.begin() + static_cast<std::ptrdiff_t>(u.end));
      set_cut_[index_of(kind)] = u.end == es.size();
    }
    return true;
  });
}

// A parameter set that is missing, or that may have been cut off at the end
// of its packet, is taken instead from the whole reassembled stream, where it
// is complete; otherwise the output would carry no usable decoder configuration.
void Demuxer::recover_parameter_sets() {
  bool want[kParameterSetKinds] = {};
  std::optional<std::vector<std::uint8_t>> found[kParameterSetKinds];
  std::size_t missing = 0;
  for (ParameterSet kind : kParameterSets) {
    const auto* slot = parameter_set_slot(kind);
    want[index_of(kind)] = slot && (!*slot || set_cut_[index_of(kind)]);
    missing += want[index_of(kind)];
  }
  if (missing == 0) return;
  const NalSyntax& syntax = md_.video_syntax();
  const ChunkedBytes& v = md_.video_data;
  annexb::for_each_captured_unit(v, [&](annexb::CapturedUnit u) {
    const std::size_t k = index_of(syntax.parameter_set(syntax.type_of(u.header)));
    if (want[k] && !found[k]) {
      found[k].emplace();
      v.append_to(*found[k], u.start, u.end - u.start);
      --missing;
    }
    return missing > 0;
  });
  for (ParameterSet kind : kParameterSets) {
    if (found[index_of(kind)]) *parameter_set_slot(kind) = std::move(found[index_of(kind)]);
  }
}

// The picture size the SPS kept declares (1920x1080 when it cannot be read).
void Demuxer::read_picture_size() {
  if (!md_.sps) return;
  const ByteView sps(md_.sps->data(), md_.sps->size());
  if (md_.video_codec == VideoCodec::kHevc) {
    md_.hevc_sps = hevc::read_sps(sps);
    if (md_.hevc_sps) {
      md_.width = md_.hevc_sps->width;
      md_.height = md_.hevc_sps->height;
    }
  } else if (auto size = sps_picture_size(sps)) {
    md_.width = size->width;
    md_.height = size->height;
  }
}

std::size_t Demuxer::cut_audio() { return audio_cutter_.cut(md_); }

void Demuxer::drain_audio(std::size_t consumed) {
  if (consumed == 0) return;
  auto& b = md_.audio_buffer;
  b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(consumed));
  audio_cutter_.drained(consumed);
}

void Demuxer::audio_packet(ByteView payload, bool unit_start) {
  auto& b = md_.audio_buffer;
  if (!unit_start) {
    b.insert(b.end(), payload.begin(), payload.end());
    drain_audio(cut_audio());
    return;
  }
  if (payload.size() < 9) return;  // dropped whole: no flush, no timestamp
  // Frames completed by now belong to the previous PES.
  if (!b.empty()) drain_audio(cut_audio());
  md_.audio_pts = extract_pes_timestamps(payload).pts;
  if (md_.audio_pts) md_.audio_pts = unwrap(*md_.audio_pts);
  audio_cutter_.pes_start(md_, md_.audio_pts);
  if (auto es = pes_body(payload)) b.insert(b.end(), es->begin(), es->end());
  drain_audio(cut_audio());
}

void Demuxer::finish() {
  if (!md_.audio_buffer.empty()) cut_audio();  // whatever is left stays in audio_buffer
  recover_parameter_sets();
  read_picture_size();

  report_line("Total audio frames collected: " + std::to_string(md_.audio_frame_sizes.size()));
  report_line("Total video frames collected: " + std::to_string(md_.video_timestamps.size()));
  const auto range = [&](const char* what, std::optional<Timestamp> a, std::optional<Timestamp> b) {
    if (!a || !b) return;
    report_line(std::string(what) + " PTS range: " + std::to_string(*a) + " - " + std::to_string(*b) + " (" +
                seconds_text(*a) + " - " + seconds_text(*b) + " sec)");
  };
  if (!md_.audio_frame_sizes.empty()) range("Audio", md_.audio_report_first, md_.audio_report_last);
  if (!md_.video_timestamps.empty())
    range("Video", md_.video_timestamps.front().pts, md_.video_timestamps.back().pts);
  report_.lines(report_text_);
}

}  // namespace

TimestampPair extract_pes_timestamps(ByteView pes) {
  if (pes.size() < 9 || !has_pes_start_code(pes)) return {};
  const std::size_t header_length = pes[8];
  if (9 + header_length > pes.size()) return {};
  const std::uint8_t flags = pes[7];
  TimestampPair t;
  if ((flags & 0x80) && header_length >= 5) t.pts = read_timestamp(&pes[9]);
  if (flags >= 0xC0 && header_length >= 10) t.dts = read_timestamp(&pes[14]);
  return t;
}

Result<MediaData> parse_ts_packets(ByteView data, Report& report) {
  return Demuxer(data, report).run();
}

}  // namespace quaver
