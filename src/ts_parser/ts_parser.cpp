#include "ts_parser/ts_parser.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/codec.hpp"
#include "core/annexb.hpp"
#include "ts_parser/audio_frames.hpp"
#include "ts_parser/psi.hpp"
#include "ts_parser/stream_choice.hpp"

namespace quaver {

namespace {

constexpr std::size_t kPacketSize = 188;
constexpr std::size_t kM2tsPacketSize = 192;  // a 4-byte arrival timestamp, then the packet
constexpr std::size_t kPids = 8192;
// Packets the survey waits for the first packet of a stream the choice hangs
// on (3 MB: seconds of a broadcast) before it counts the stream as clear, as
// it would at the end of the input: a map may list a stream that never comes.
constexpr std::size_t kPatience = std::size_t{1} << 14;

constexpr ParameterSet kParameterSets[] = {ParameterSet::kVideo, ParameterSet::kSequence, ParameterSet::kPicture};
constexpr std::size_t kParameterSetKinds = 4;  // with ParameterSet::kNone
constexpr std::size_t index_of(ParameterSet kind) { return static_cast<std::size_t>(kind); }

// Transport packet header fields (ISO/IEC 13818-1).
struct PacketHeader {
  const std::uint8_t* p;
  bool payload_unit_start() const { return p[1] & 0x40; }           // 1 bit
  std::uint16_t pid() const { return static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }  // 13 bits
  bool scrambled() const { return (p[3] & 0xC0) != 0; }             // transport_scrambling_control, 2 bits
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

// 192-byte packets (M2TS): the sync byte at `first` opens a run of them (up
// to four more, as many as the input holds), and the place a 188-byte
// packet would follow holds none.
bool opens_m2ts(ByteView data, std::size_t first) {
  constexpr std::size_t kRun = 4;
  if (first + kM2tsPacketSize >= data.size() || data[first + kPacketSize] == 0x47) return false;
  for (std::size_t k = 1; k <= kRun && first + k * kM2tsPacketSize < data.size(); ++k) {
    if (data[first + k * kM2tsPacketSize] != 0x47) return false;
  }
  return true;
}

// What the walk does with a PID's packets: one table lookup per packet. The
// role sits in the top three bits of an entry, an index (of the audio track,
// or of the PMT PID) in the low thirteen; an ignored PID keeps there what
// its first packet with a payload said (a Payload), once it was watched.
enum class Role : std::uint16_t { kIgnore, kPat, kPmt, kWatch, kVideo, kAudio };
constexpr std::uint16_t entry(Role role, std::size_t index = 0) {
  return static_cast<std::uint16_t>((static_cast<std::uint16_t>(role) << 13) | (index & 0x1FFF));
}
constexpr Role role_of(std::uint16_t entry) { return static_cast<Role>(entry >> 13); }
constexpr std::size_t index_in(std::uint16_t entry) { return entry & 0x1FFF; }
constexpr std::uint16_t kFirstActive = entry(Role::kPat);  // entries below it are ignored PIDs

class Demuxer {
 public:
  Demuxer(ByteView data, Report& report, const DemuxOptions& options)
      : data_(data), report_(report), options_(options) {}

  Result<MediaData> run();

 private:
  template <class Visit>
  void walk(std::size_t pos, Visit&& visit);
  void route(const std::uint8_t* packet, std::size_t pos);
  void table_packet(std::uint16_t entry, std::uint16_t pid, ByteView payload, bool unit_start, bool scrambled,
                    std::size_t pos);
  void read_pat(ByteView section);
  void read_pmt(std::size_t index, ByteView section, std::size_t next_packet);
  void first_payload(std::uint16_t pid, bool scrambled, ByteView payload, bool unit_start);
  Payload payload_of(std::uint16_t pid) const;
  void reconsider(std::optional<std::uint16_t> pid);
  void settle(std::variant<WaitFor, StreamChoice, Error> outcome);
  Payload as_surveyed(std::uint16_t pid) const;
  void take();
  void video_packet(ByteView payload, bool unit_start);
  void audio_packet(std::size_t k, ByteView payload, bool unit_start, bool scrambled);
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
  const DemuxOptions& options_;
  std::size_t stride_ = kPacketSize;
  // The report is handed over in one piece when the walk is done: one write
  // for all of a call's lines, which small segments would otherwise pay for
  // line by line.
  std::string report_text_;
  void report_line(std::string_view text) {
    report_text_.append(text);
    report_text_.push_back('\n');
  }

  std::array<std::uint16_t, kPids> roles_{};  // by PID: every one ignored (0) at first
  SectionAssembler pat_;
  struct PmtPid {
    std::uint16_t pid;
    SectionAssembler sections;
  };
  std::vector<PmtPid> pmts_;
  TsInventory inventory_;
  std::vector<std::size_t> map_order_;     // programmes, in the order their maps were read
  std::vector<std::size_t> map_position_;  // by programme: where the packet after its map's last one starts
  // The choice: looked for while `surveying_`, on each event it may hang on.
  bool surveying_ = true;
  WaitFor waiting_;
  std::size_t surveyed_ = 0;        // packets walked by the survey
  std::size_t waiting_since_ = 0;   // the packet from which it waits for waiting_.pid
  std::vector<std::uint16_t> given_up_;  // streams it stopped waiting for
  // The choice, or why the streams asked for cannot be taken, once settled.
  std::optional<Result<StreamChoice>> settled_;

  MediaData md_;
  Payload video_payload_ = Payload::kUnseen;  // of the video PID taken, as its role replaced its watch
  std::vector<AudioFrameCutter> cutters_;     // one per md_.audio track
  std::vector<Payload> audio_payload_;        // by audio track: its first packet, unseen until it comes
  // The captured parameter set (by ParameterSet) ran to the end of the bytes
  // scanned in its packet and may continue in the next one.
  bool set_cut_[kParameterSetKinds] = {};
  // R: the first timestamp read on the video or audio PID.
  std::optional<Timestamp> reference_;
};

template <class Visit>
void Demuxer::walk(std::size_t pos, Visit&& visit) {
  const std::uint8_t* base = data_.data();
  const std::size_t n = data_.size();
  while (pos + kPacketSize <= n) {
    if (base[pos] != 0x47) {
      const void* next = pos + 1 < n ? std::memchr(base + pos + 1, 0x47, n - pos - 1) : nullptr;
      if (!next) break;
      pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - base);
      if (pos + kPacketSize > n) break;
    }
    if (!visit(pos)) return;
    pos += stride_;
  }
}

// Two walks: a survey of the tables and of each listed stream's first
// packet until the choice is settled (for most streams a few packets), then
// the demultiplexing proper, from the packet after the chosen programme's
// map, as if the choice had been made there.
Result<MediaData> Demuxer::run() {
  const std::uint8_t* base = data_.data();
  const std::size_t n = data_.size();
  const void* found = n ? std::memchr(base, 0x47, n) : nullptr;
  if (!found) return Error{"No valid TS sync byte found", ErrorKind::kUnsupported};
  const std::size_t first = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - base);
  if (opens_m2ts(data_, first)) stride_ = kM2tsPacketSize;
  inventory_.packet_size = stride_ == kM2tsPacketSize ? kM2tsPacketSize : kPacketSize;
  roles_[0] = entry(Role::kPat);

  walk(first, [&](std::size_t pos) {
    route(base + pos, pos);
    ++surveyed_;
    if (!settled_ && waiting_.pid && surveyed_ - waiting_since_ > kPatience) {
      given_up_.push_back(*waiting_.pid);
      reconsider(std::nullopt);
    }
    return !settled_;
  });
  if (!settled_) {
    settle(choose_streams(inventory_, map_order_, [this](std::uint16_t pid) { return as_surveyed(pid); }, options_,
                          true));
  }
  if (!settled_) fault("the stream choice still waits at the end of the input");
  if (!settled_->ok()) return settled_->error();
  surveying_ = false;
  take();
  if (settled_->value().program) {
    for (PmtPid& p : pmts_) p.sections = SectionAssembler();
    walk(map_position_[*settled_->value().program], [&](std::size_t pos) {
      route(base + pos, pos);
      return true;
    });
  }
  finish();
  return std::move(md_);
}

// Every packet passes here: the streams taken are dealt with first, the
// rest (tables, first packets) out of line.
[[gnu::always_inline]] inline void Demuxer::route(const std::uint8_t* packet, std::size_t pos) {
  PacketHeader h{packet};
  const std::size_t offset = h.payload_offset();
  if (!h.has_payload() || offset > kPacketSize - 1) return;
  const std::uint16_t pid = h.pid();
  const std::uint16_t e = roles_[pid];
  if (e < kFirstActive) return;
  const ByteView payload(packet + offset, kPacketSize - offset);
  const bool unit_start = h.payload_unit_start();
  if (role_of(e) == Role::kVideo) {
    video_packet(payload, unit_start);
  } else if (role_of(e) == Role::kAudio) {
    audio_packet(index_in(e), payload, unit_start, h.scrambled());
  } else {
    table_packet(e, pid, payload, unit_start, h.scrambled(), pos);
  }
}

void Demuxer::table_packet(std::uint16_t e, std::uint16_t pid, ByteView payload, bool unit_start, bool scrambled,
                           std::size_t pos) {
  switch (role_of(e)) {
    case Role::kPat:
      pat_.feed(payload, unit_start, [&](ByteView section) { read_pat(section); });
      return;
    case Role::kPmt: {
      const std::size_t k = index_in(e);
      pmts_[k].sections.feed(payload, unit_start, [&](ByteView section) { read_pmt(k, section, pos + stride_); });
      return;
    }
    case Role::kWatch: first_payload(pid, scrambled, payload, unit_start); return;
    default: return;
  }
}

// The first PAT section that checks: its programmes, each with the PID of
// its map. Program 0 names the network information table, not a map.
void Demuxer::read_pat(ByteView s) {
  if (s[0] != 0x00) return;
  const std::size_t end = s.size() - 4;  // the CRC_32
  for (std::size_t e = 8; e + 4 <= end; e += 4) {
    const std::uint16_t number = load_be16(&s[e]);
    const auto pid = static_cast<std::uint16_t>(((s[e + 2] & 0x1F) << 8) | s[e + 3]);
    if (number == 0 || pid == 0) continue;
    if (std::any_of(inventory_.programs.begin(), inventory_.programs.end(),
                    [&](const TsProgram& p) { return p.number == number; }))
      continue;
    const std::uint16_t role = roles_[pid];
    if (role_of(role) != Role::kPmt && role != entry(Role::kIgnore)) continue;  // another stream's PID
    TsProgram p;
    p.number = number;
    p.pmt_pid = pid;
    inventory_.programs.push_back(p);
    map_position_.push_back(0);
    if (role_of(role) != Role::kPmt) {
      roles_[pid] = entry(Role::kPmt, pmts_.size());
      pmts_.push_back({pid, SectionAssembler()});
    }
  }
  // A PAT that names no programme (the network table alone) leaves the next one to be read.
  if (!inventory_.programs.empty()) roles_[0] = entry(Role::kIgnore);
  if (surveying_) reconsider(std::nullopt);
}

void Demuxer::read_pmt(std::size_t index, ByteView s, std::size_t next_packet) {
  const std::uint16_t pmt_pid = pmts_[index].pid;
  if (s[0] != 0x02) return;
  const std::uint16_t number = load_be16(&s[3]);
  auto& programs = inventory_.programs;
  const auto program = std::find_if(programs.begin(), programs.end(), [&](const TsProgram& p) {
    return p.number == number && p.pmt_pid == pmt_pid && !p.mapped;
  });
  if (program == programs.end()) return;
  const std::size_t p = static_cast<std::size_t>(program - programs.begin());
  const std::size_t end = s.size() - 4;  // the CRC_32
  const std::size_t program_info_length = ((s[10] & 0x0F) << 8) | s[11];
  std::uint8_t count[3] = {};  // streams of each kind so far
  programs[p].first_stream = inventory_.streams.size();
  for (std::size_t e = 12 + program_info_length; e + 5 <= end;) {
    const std::size_t es_info_length = ((s[e + 3] & 0x0F) << 8) | s[e + 4];
    const std::size_t info = e + 5;
    const ByteView descriptors = s.subspan(info, std::min(es_info_length, end - info));
    TsStream stream;
    stream.pid = static_cast<std::uint16_t>(((s[e + 1] & 0x1F) << 8) | s[e + 2]);
    stream.program = number;
    stream.stream_type = s[e];
    stream.format = classify_stream(stream.stream_type, descriptors);
    stream.language = language_of(descriptors);
    if (stream.format == StreamFormat::kOpus) stream.channels = opus::declared_channels(descriptors);
    std::uint8_t& seen = count[static_cast<std::size_t>(stream.kind())];
    stream.ordinal = seen < 0xFF ? ++seen : seen;
    // Watched from now on, unless its first packet was seen already (an
    // earlier map lists it too) or it has a role.
    if (roles_[stream.pid] == entry(Role::kIgnore)) roles_[stream.pid] = entry(Role::kWatch);
    inventory_.streams.push_back(stream);
    e = info + es_info_length;
  }
  programs[p].stream_count = inventory_.streams.size() - programs[p].first_stream;
  programs[p].mapped = true;
  map_order_.push_back(p);
  map_position_[p] = next_packet;
  // A map PID is read until every programme it serves is mapped.
  if (std::none_of(programs.begin(), programs.end(),
                   [&](const TsProgram& q) { return q.pmt_pid == pmt_pid && !q.mapped; })) {
    roles_[pmt_pid] = entry(Role::kIgnore);
  }
  if (surveying_) reconsider(std::nullopt);
}

// A stream's first packet with a payload: whether it is scrambled, and, for
// private data whose map names no format, whether its PES are audio (an MPEG
// audio stream_id), so that dropping it is said.
void Demuxer::first_payload(std::uint16_t pid, bool scrambled, ByteView payload, bool unit_start) {
  roles_[pid] = entry(Role::kIgnore, static_cast<std::size_t>(scrambled ? Payload::kScrambled : Payload::kClear));
  if (!scrambled && unit_start && has_pes_start_code(payload) && payload.size() > 3 && (payload[3] & 0xE0) == 0xC0) {
    for (TsStream& s : inventory_.streams) {
      if (s.pid == pid && s.format == StreamFormat::kPrivateData) s.format = StreamFormat::kUndeclaredAudio;
    }
  }
  if (surveying_) reconsider(pid);
}

Payload Demuxer::payload_of(std::uint16_t pid) const {
  const std::uint16_t e = roles_[pid];
  switch (role_of(e)) {
    case Role::kIgnore: return static_cast<Payload>(index_in(e));
    case Role::kVideo: return video_payload_;
    case Role::kAudio: return audio_payload_[index_in(e)];
    default: return Payload::kUnseen;
  }
}

// What the choice goes by: a stream the survey stopped waiting for counts
// as clear. Its packets, when they come, are checked then (audio_packet).
Payload Demuxer::as_surveyed(std::uint16_t pid) const {
  const Payload p = payload_of(pid);
  const bool given_up = std::find(given_up_.begin(), given_up_.end(), pid) != given_up_.end();
  return p == Payload::kUnseen && given_up ? Payload::kClear : p;
}

// Looks for the choice again after an event it may have waited on: any map
// read, the first packet of the stream it waits for, or the end of its
// patience with that stream.
void Demuxer::reconsider(std::optional<std::uint16_t> pid) {
  if (pid && waiting_.pid != pid) return;
  settle(choose_streams(inventory_, map_order_, [this](std::uint16_t p) { return as_surveyed(p); }, options_,
                        false));
}

// Takes an outcome of the choice: it waits on, or is settled.
void Demuxer::settle(std::variant<WaitFor, StreamChoice, Error> outcome) {
  if (auto* w = std::get_if<WaitFor>(&outcome)) {
    if (w->pid != waiting_.pid) waiting_since_ = surveyed_;
    waiting_ = *w;
  } else if (auto* e = std::get_if<Error>(&outcome)) {
    settled_.emplace(std::move(*e));
  } else {
    settled_.emplace(std::move(std::get<StreamChoice>(outcome)));
  }
}

// Sets the walk up to demultiplex the chosen streams.
void Demuxer::take() {
  const StreamChoice& c = settled_->value();
  if (c.video_pid) {
    md_.video_pid = c.video_pid;
    md_.video_codec = c.video_codec;
    video_payload_ = payload_of(*c.video_pid);
    roles_[*c.video_pid] = entry(Role::kVideo);
    // At most one video slice per packet still to come.
    md_.video_data.reserve((data_.size() - map_position_[*c.program]) / stride_ + 1);
  }
  for (const auto* list : {&c.audio, &c.extra_audio}) {
    for (const ChosenAudio& a : *list) {
      AudioTrack& track = md_.audio.emplace_back();
      track.pid = a.pid;
      track.codec = a.codec;
      track.language = a.language;
      cutters_.emplace_back(a.codec, a.channels);
      audio_payload_.push_back(payload_of(a.pid));
      roles_[a.pid] = entry(Role::kAudio, md_.audio.size() - 1);
    }
  }
  md_.carried_audio = c.audio.size();
  if (c.video_pid || (!c.audio.empty() && options_.audio_only)) {
    std::string audio;
    for (const ChosenAudio& a : c.audio) audio += (audio.empty() ? "" : ", ") + std::to_string(a.pid);
    report_line("Found PIDs - Video: " + (c.video_pid ? std::to_string(*c.video_pid) : std::string("none")) +
                ", Audio: " + (audio.empty() ? std::string("none") : audio));
  }
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
    case ParameterSet::kVideo: return md_.video_codec == VideoCodec::kHevc ? &md_.parameter_sets.vps : nullptr;
    case ParameterSet::kSequence: return &md_.parameter_sets.sps;
    case ParameterSet::kPicture: return &md_.parameter_sets.pps;
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
  const NalSyntax* syntax = nal_syntax(md_.video_codec);
  if (!syntax) return;
  annexb::for_each_captured_unit(FlatBytes(es), [&](annexb::CapturedUnit u) {
    const ParameterSet kind = syntax->parameter_set(syntax->type_of(u.header));
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
  const NalSyntax* syntax = nal_syntax(md_.video_codec);
  if (!syntax && md_.video_codec == VideoCodec::kMpeg2Video) {
    // The decoder configuration is the first sequence header with its extensions.
    if (const auto range = mpeg2_video::find_sequence_header(md_.video_data)) {
      md_.video_data.append_to(md_.parameter_sets.sps.emplace(), range->first, range->second - range->first);
    }
    return;
  }
  if (missing == 0 || !syntax) return;
  const ChunkedBytes& v = md_.video_data;
  annexb::for_each_captured_unit(v, [&](annexb::CapturedUnit u) {
    const std::size_t k = index_of(syntax->parameter_set(syntax->type_of(u.header)));
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

// The picture size the SPS (or MPEG-2 sequence header) kept declares
// (1920x1080 when it cannot be read).
void Demuxer::read_picture_size() {
  if (!md_.parameter_sets.sps) return;
  const ByteView sps = bytes_of(md_.parameter_sets.sps);
  if (md_.video_codec == VideoCodec::kHevc) {
    if (const std::optional<hevc::SpsInfo> info = hevc::read_sps(sps)) md_.picture = {info->width, info->height};
  } else if (md_.video_codec == VideoCodec::kMpeg2Video) {
    if (const std::optional<mpeg2_video::Sequence> seq = mpeg2_video::read_sequence(sps)) md_.picture = seq->size;
  } else if (const std::optional<PictureSize> size = h264::read_picture_size(sps)) {
    md_.picture = *size;
  }
}

void Demuxer::audio_packet(std::size_t k, ByteView payload, bool unit_start, bool scrambled) {
  if (audio_payload_[k] != Payload::kClear) {
    // A stream read for a look only, chosen before its first packet was
    // seen: a scrambled one is not read.
    if (audio_payload_[k] == Payload::kScrambled) return;
    audio_payload_[k] = scrambled ? Payload::kScrambled : Payload::kClear;
    if (scrambled) return;
  }
  AudioTrack& track = md_.audio[k];
  if (!unit_start) {
    cutters_[k].append(track, payload);
    return;
  }
  if (payload.size() < 9) return;  // dropped whole: no flush, no timestamp
  std::optional<Timestamp> pts = extract_pes_timestamps(payload).pts;
  if (pts) pts = unwrap(*pts);
  cutters_[k].pes_start(track, pts, pes_body(payload).value_or(ByteView()));
}

void Demuxer::finish() {
  for (std::size_t k = 0; k < md_.audio.size(); ++k) cutters_[k].finish(md_.audio[k]);
  recover_parameter_sets();
  read_picture_size();

  const std::vector<AudioTrack>& audio = md_.audio;
  const std::size_t carried = md_.carried_audio;
  std::string frames = carried == 0 ? "0" : std::to_string(audio[0].samples());
  if (carried > 1) {
    frames.clear();
    for (std::size_t k = 0; k < carried; ++k) {
      frames += (k ? ", " : "") + std::to_string(audio[k].samples()) + " (PID " + std::to_string(audio[k].pid) + ")";
    }
  }
  report_line("Total audio frames collected: " + frames);
  report_line("Total video frames collected: " + std::to_string(md_.video_timestamps.size()));
  const auto range = [&](const char* what, std::optional<Timestamp> a, std::optional<Timestamp> b) {
    if (!a || !b) return;
    report_line(std::string(what) + " PTS range: " + std::to_string(*a) + " - " + std::to_string(*b) + " (" +
                seconds_text(*a) + " - " + seconds_text(*b) + " sec)");
  };
  if (carried > 0 && audio[0].samples() > 0) range("Audio", audio[0].report_first, audio[0].report_last);
  if (!md_.video_timestamps.empty())
    range("Video", md_.video_timestamps.front().pts, md_.video_timestamps.back().pts);

  std::vector<std::size_t> audio_frames;
  for (std::size_t k = 0; k < carried; ++k) audio_frames.push_back(audio[k].samples());
  for (TsStream& s : inventory_.streams) s.payload = payload_of(s.pid);
  settle_inventory(inventory_, settled_->value(), options_, !md_.video_data.empty(), audio_frames);
  if (options_.left_out_lines) {
    for (const std::string& line : left_out_lines(inventory_)) report_line(line);
  }
  md_.inventory = std::move(inventory_);
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

Result<MediaData> parse_ts_packets(ByteView data, Report& report, const DemuxOptions& options) {
  return Demuxer(data, report, options).run();
}

}  // namespace quaver
