"""Small pure-Python builders and readers shared by the quaver test suite.

Every test that needs a crafted input (TS packets, PSI tables, PES, ADTS, H.264
NAL units, MP4 boxes) or needs to look inside our MP4 output uses this module;
do not copy these helpers into test files.  Contents:

* MPEG-TS: ``ts_packet``, ``pat``, ``pmt``, ``pes``, ``packetize``, ``ts_stream``,
  ``ts_program``, ``rewrite_pes``, ``pes_times``, ``drop_pes``, ``crc32_mpeg2``, ``AC3_DESCRIPTOR``,
  ``EAC3_DESCRIPTOR``.
* AAC: ``adts_frame``, ``loas_frame`` (LATM in LOAS), ``loas_payload``.
* Opus in TS: ``opus_packet``, ``opus_toc``, ``opus_descriptor``, ``OPUS_REGISTRATION``.
* MPEG-2 video: ``mpeg2_sequence_header``, ``mpeg2_picture``, ``mpeg2_unit``.
* AC-3, E-AC-3, MPEG audio: ``ac3_frame``, ``ac3_frame_size``, ``eac3_frame``,
  ``mpeg_audio_frame``, ``mpeg_audio_info``.
* H.264: ``BitWriter``, ``BitReader``, ``sps``, ``pps``, ``parse_sps``,
  ``picture_size``, ``nal``, ``aud``, ``split_annexb``, ``length_prefixed_nals``,
  ``add_emulation_prevention``, ``remove_emulation_prevention``.
* HEVC: ``hevc_nal``, ``hevc_nal_type``, ``hevc_sps``, ``hevc_vps``, ``hevc_pps``, ``hevc_slice``,
  ``hevc_key_unit``.
* MP4: ``box``, ``full_box``, ``iter_boxes``, ``find_box``, ``find_all``,
  ``u16``/``u32``/``s32``/``u64``, ``mp4_sample_table``, ``parse_avcc``,
  ``parse_hvcc``, ``hvcc_box``, ``lhvc_box``, ``protected_entry``, ``parse_dac3``, ``parse_dec3``,
  ``audio_config``, ``decoder_config``, ``parse_tfhd``, ``parse_tfdt``, ``parse_trun``.
* Fragmented MP4: ``mvhd``, ``tkhd``, ``mdhd``, ``init_trak``, ``trex``, ``init_moov``, ``tfhd``,
  ``trun``, ``traf``, ``moof``, ``placed_moof``, ``fragment``, ``partially_fragmented``; rewrites
  of real files: ``set_track_id``, ``wide_mdats`` (64-bit mdat headers, a box before each mdat),
  ``defaults_in_trex`` (sample defaults left to the trex boxes), ``shift_decode_times`` (one
  track's tfdts later), ``packager_layout`` (tfhd base data offsets, runs without data offsets,
  no tfdt), ``nal_length_size`` (NAL length fields of 1 or 2 bytes), ``wide_chunk_offsets`` (co64
  and a 64-bit mdat header).
* Reading back with PyAV: ``presentation``, ``check_presentation``.

Conventions: all times are in 90 kHz ticks unless a name says otherwise, PIDs
and stream types are plain ints, everything returned is ``bytes``.
"""

import struct

TS_SIZE = 188
START = b"\x00\x00\x00\x01"  # Annex B start code used by default

# --------------------------------------------------------------------------
# MPEG-TS
# --------------------------------------------------------------------------


def crc32_mpeg2(data):
    """CRC-32/MPEG-2 (poly 0x04C11DB7, init 0xFFFFFFFF, not reflected, no final xor)."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def _pcr_bytes(pcr):
    """6-byte PCR field from a 27 MHz clock value (base = pcr // 300, ext = pcr % 300)."""
    base, ext = (pcr // 300) & ((1 << 33) - 1), pcr % 300
    return ((base << 15) | (0x3F << 9) | ext).to_bytes(6, "big")


def ts_packet(pid, payload=b"", *, pusi=False, cc=0, adaptation=None, pad=True,
              pcr=None, rai=False, scrambling=0):
    """One 188-byte TS packet.

    ``adaptation``: None (no adaptation field unless one is needed) or an int n =
    adaptation_field_length; the field holds a flags byte (0x00, or with the
    random_access / PCR flags when ``rai`` / ``pcr`` are given) then 0xFF stuffing.
    ``pcr`` is a 27 MHz value.  ``pad=True``: a payload shorter than the room
    left is completed by growing (or adding) the adaptation field with stuffing,
    as real muxers do for PES.  ``pad=False``: the room after the payload is
    filled with 0xFF bytes instead (the PSI-section style).  An empty payload
    gives an adaptation-only packet.  ``scrambling``: the 2-bit
    transport_scrambling_control.  Raises ValueError if the payload is too long.
    """
    flags = (0x40 if rai else 0) | (0x10 if pcr is not None else 0)
    af_body = bytes([flags]) + (_pcr_bytes(pcr) if pcr is not None else b"")
    n = adaptation
    if n is None and (pcr is not None or rai):
        n = len(af_body)
    if n is not None:
        n = max(n, len(af_body)) if (pcr is not None or rai) else n
    room = 184 - (0 if n is None else n + 1)
    if len(payload) > room:
        raise ValueError(f"payload of {len(payload)} bytes does not fit ({room} left)")
    if not payload:
        n = 183
    elif pad and len(payload) < room:
        n = 183 - len(payload)
    af = b""
    if n is not None:
        af = bytes([n]) + (af_body + b"\xff" * n)[:n] if n else b"\x00"
    afc = (2 if n is not None else 0) | (1 if payload else 0)
    head = bytes([0x47, (0x40 if pusi else 0) | ((pid >> 8) & 0x1F), pid & 0xFF,
                  (scrambling << 6) | (afc << 4) | (cc & 0x0F)])
    pkt = head + af + payload
    return pkt + b"\xff" * (TS_SIZE - len(pkt))


def psi_section(table_id, table_id_extension, body, *, version=0):
    """A long-form PSI section with pointer_field 0 in front and the CRC at the end."""
    length = 5 + len(body) + 4
    sec = bytes([table_id, 0xB0 | (length >> 8), length & 0xFF]) + struct.pack(
        ">HBBB", table_id_extension, 0xC1 | ((version & 0x1F) << 1), 0, 0) + body
    return b"\x00" + sec + struct.pack(">I", crc32_mpeg2(sec))


def pat(pmt_pid, *, program_number=1, entries=None, transport_stream_id=1, version=0):
    """PAT payload (pointer_field included).  ``entries``: list of (program_number, pid)
    replacing the single (program_number, pmt_pid) entry, e.g. [(0, 0x10), (1, 0x1000)]."""
    entries = entries if entries is not None else [(program_number, pmt_pid)]
    body = b"".join(struct.pack(">HH", num, 0xE000 | pid) for num, pid in entries)
    return psi_section(0x00, transport_stream_id, body, version=version)


def pmt(streams, *, pcr_pid=0x100, program_info=b"", program_number=1, version=0):
    """PMT payload (pointer_field included).  ``streams``: (stream_type, pid) or
    (stream_type, pid, es_info_bytes) tuples, in order."""
    body = struct.pack(">HH", 0xE000 | pcr_pid, 0xF000 | len(program_info)) + program_info
    for st in streams:
        stype, pid, info = (tuple(st) + (b"",))[:3]
        body += struct.pack(">BHH", stype, 0xE000 | pid, 0xF000 | len(info)) + info
    return psi_section(0x02, program_number, body, version=version)


def _timestamp(prefix, value):
    """5-byte PTS/DTS field: 4-bit prefix, 33-bit value split 3/15/15 with marker bits."""
    v = value & ((1 << 33) - 1)
    return bytes([(prefix << 4) | ((v >> 29) & 0x0E) | 1]) + struct.pack(
        ">HH", ((v >> 14) & 0xFFFE) | 1, ((v << 1) & 0xFFFE) | 1)


def _clock_fields(clip):
    """Where the clocks of a transport stream sit: (packet, offset, kind) for every
    PCR ("pcr"), PTS and DTS ("pes") field, and each packet's PID and whether it
    carries a payload (the continuity counter counts those)."""
    fields, pids, payload = [], [], []
    for n in range(len(clip) // TS_SIZE):
        p = clip[n * TS_SIZE:(n + 1) * TS_SIZE]
        pid = ((p[1] & 0x1F) << 8) | p[2]
        pids.append(pid)
        payload.append(bool(p[3] & 0x10))
        at = 4
        if p[3] & 0x20:
            if p[4] > 0 and p[5] & 0x10:
                fields.append((n, 6, "pcr"))
            at = 5 + p[4]
        if p[1] & 0x40 and p[3] & 0x10 and p[at:at + 3] == b"\x00\x00\x01" and p[at + 3] >= 0xBC:
            flags = p[at + 7]
            if flags & 0x80:
                fields.append((n, at + 9, "pes"))
            if flags & 0x40:
                fields.append((n, at + 14, "pes"))
    return fields, pids, payload


def repeat_ts(clip, path, min_size, *, period, block=64 << 20):
    """Writes `clip` (a transport stream) to `path` over and over until the file
    holds at least `min_size` bytes, as one stream whose clock runs on: repeat k
    has every PCR, PTS and DTS moved on by k * `period` ticks and its continuity
    counters carried on. Whole blocks of repeats are rewritten at once with
    numpy, so gigabytes take seconds. Returns the number of repeats."""
    import numpy as np

    packets = np.frombuffer(clip, np.uint8).reshape(-1, TS_SIZE)
    fields, pids, payload = _clock_fields(clip)
    pids, payload = np.array(pids), np.array(payload)
    # Each PID's counter moves on by the number of its packets with a payload.
    steps = np.zeros(len(packets), np.int64)
    for pid in set(pids.tolist()):
        steps[pids == pid] = int(payload[pids == pid].sum())
    base_cc = (packets[:, 3] & 0x0F).astype(np.int64)
    pcr_base = {}
    pes_value = {}
    for n, off, kind in fields:
        b = [int(x) for x in clip[n * TS_SIZE + off:n * TS_SIZE + off + 6]]
        if kind == "pcr":
            pcr_base[(n, off)] = (b[0] << 25) | (b[1] << 17) | (b[2] << 9) | (b[3] << 1) | (b[4] >> 7)
        else:
            pes_value[(n, off)] = (((b[0] >> 1) & 7) << 30) | (b[1] << 22) | ((b[2] >> 1) << 15) | (b[3] << 7) | (b[4] >> 1)
    per_block = max(1, block // len(clip))
    repeats = -(-min_size // len(clip))
    mask33 = (1 << 33) - 1
    with open(path, "wb") as out:
        for first in range(0, repeats, per_block):
            k = np.arange(first, min(first + per_block, repeats), dtype=np.int64)
            chunk = np.repeat(packets[None], len(k), axis=0)
            chunk[:, :, 3] = (chunk[:, :, 3] & 0xF0) | ((base_cc[None] + k[:, None] * steps[None]) & 0x0F).astype(np.uint8)
            for (n, off), value in pcr_base.items():
                v = (value + k * period) & mask33
                chunk[:, n, off] = v >> 25
                chunk[:, n, off + 1] = (v >> 17) & 0xFF
                chunk[:, n, off + 2] = (v >> 9) & 0xFF
                chunk[:, n, off + 3] = (v >> 1) & 0xFF
                chunk[:, n, off + 4] = ((v & 1) << 7) | (chunk[:, n, off + 4] & 0x7F)
            for (n, off), value in pes_value.items():
                v = (value + k * period) & mask33
                chunk[:, n, off] = (chunk[:, n, off] & 0xF1) | ((v >> 29) & 0x0E)
                chunk[:, n, off + 1] = (v >> 22) & 0xFF
                chunk[:, n, off + 2] = ((v >> 14) & 0xFE) | 1
                chunk[:, n, off + 3] = (v >> 7) & 0xFF
                chunk[:, n, off + 4] = ((v << 1) & 0xFE) | 1
            out.write(chunk.tobytes())
    return repeats


def pes(payload, *, pts=None, dts=None, stream_id=0xE0, packet_length=None):
    """A PES packet.  PES_packet_length is 0 for video stream ids 0xE0-0xEF (and when
    the real length does not fit 16 bits), else the real length; ``packet_length``
    forces a value.  PTS only: flags 0x80; PTS and DTS: 0xC0; neither: 0x00."""
    if dts is not None and pts is None:
        raise ValueError("a DTS needs a PTS")
    if dts is not None:
        fields, ptsdts = _timestamp(3, pts) + _timestamp(1, dts), 0xC0
    elif pts is not None:
        fields, ptsdts = _timestamp(2, pts), 0x80
    else:
        fields, ptsdts = b"", 0x00
    rest = bytes([0x80, ptsdts, len(fields)]) + fields + payload
    if packet_length is None:
        video = 0xE0 <= stream_id <= 0xEF
        packet_length = 0 if video or len(rest) > 0xFFFF else len(rest)
    return b"\x00\x00\x01" + bytes([stream_id]) + struct.pack(">H", packet_length) + rest


def packetize(pid, pes_bytes, *, cc_start=0, pcr=None):
    """Split one PES into TS packets: the first has pusi=True (and the PCR if given),
    the last is padded with adaptation-field stuffing.  Counters run from cc_start."""
    out, pos = [], 0
    while pos < len(pes_bytes) or not out:
        first = not out
        room = 184 - (8 if first and pcr is not None else 0)
        chunk = pes_bytes[pos:pos + room]
        out.append(ts_packet(pid, chunk, pusi=first, cc=cc_start + len(out),
                             pcr=pcr if first else None))
        pos += len(chunk)
    return out


def ts_stream(video_pes_list, audio_pes_list=(), *, video_pid=0x100, audio_pid=0x101,
              video_type=0x1B, audio_type=0x0F, audio_info=b"", with_tables=True, pmt_pid=0x1000):
    """A whole TS: PAT (pid 0) and PMT (``pmt_pid``) first, then the PES, alternating
    one video PES and one audio PES (v0 a0 v1 a1 ...; the rest of the longer list
    follows).  Continuity counters run per PID.  The PMT lists video then audio (the
    audio entry, with the descriptors ``audio_info``, only when ``audio_pes_list`` is
    not empty); PCR_PID = video_pid."""
    out = []
    if with_tables:
        streams = [(video_type, video_pid)] + ([(audio_type, audio_pid, audio_info)] if audio_pes_list else [])
        out += [ts_packet(0, pat(pmt_pid), pusi=True),
                ts_packet(pmt_pid, pmt(streams, pcr_pid=video_pid), pusi=True)]
    cc = {video_pid: 0, audio_pid: 0}
    order = []
    for i in range(max(len(video_pes_list), len(audio_pes_list))):
        order += [(video_pid, p) for p in video_pes_list[i:i + 1]]
        order += [(audio_pid, p) for p in audio_pes_list[i:i + 1]]
    for pid, p in order:
        pkts = packetize(pid, p, cc_start=cc[pid])
        cc[pid] += len(pkts)
        out += pkts
    return b"".join(out)


def rewrite_pes(ts, pid, fn):
    """A copy of a whole TS (188-byte packets from offset 0) whose PES packets on
    ``pid`` are passed through ``fn(pes) -> pes`` and packetized again where their
    first packet stood (counters renumbered, PCRs dropped); every other packet
    stays as it is."""
    packets = [ts[i:i + TS_SIZE] for i in range(0, len(ts) - TS_SIZE + 1, TS_SIZE)]
    starts, current = {}, None
    for i, p in enumerate(packets):
        if ((p[1] & 0x1F) << 8 | p[2]) != pid or not p[3] & 0x10:
            continue
        if p[1] & 0x40:
            current = starts[i] = bytearray()
        if current is not None:
            current += p[4 + (1 + p[4] if p[3] & 0x20 else 0):]
    out, cc = [], 0
    for i, p in enumerate(packets):
        if ((p[1] & 0x1F) << 8 | p[2]) != pid:
            out.append(p)
        elif i in starts:
            new = packetize(pid, fn(bytes(starts[i])), cc_start=cc)
            cc += len(new)
            out += new
    return b"".join(out)


def started_inside_pes(ts, pid, k):
    """A whole TS (188-byte packets from offset 0) as a recording started at an
    arbitrary packet has it: from the packet after the one that starts PES k on
    ``pid`` (k counting from 0), the rest of that PES arriving headless."""
    n = -1
    for i in range(0, len(ts) - TS_SIZE + 1, TS_SIZE):
        p = ts[i:i + TS_SIZE]
        if ((p[1] & 0x1F) << 8 | p[2]) == pid and p[1] & 0x40:
            n += 1
            if n == k:
                return ts[i + TS_SIZE:]
    raise ValueError("no such PES")


def without_nal_units(pes_bytes, types):
    """A video PES whose H.264 NAL units of the given types are taken out (the
    rest with 4-byte start codes); a PES without a header stays as it is."""
    if pes_bytes[:3] != b"\x00\x00\x01" or len(pes_bytes) < 9:
        return pes_bytes
    head = 9 + pes_bytes[8]
    units = split_annexb(pes_bytes[head:])
    return pes_bytes[:head] + b"".join(START + u for u in units if u[0] & 0x1F not in types)


def pes_times(pes):
    """(PTS, DTS) of the PES header at the start of ``pes``, each None when absent."""
    def read(b):
        high, mid, low = b[0] >> 1 & 7, struct.unpack(">H", b[1:3])[0] >> 1, struct.unpack(">H", b[3:5])[0] >> 1
        return high << 30 | mid << 15 | low
    flags = pes[7] >> 6 if len(pes) >= 9 and pes[:3] == b"\x00\x00\x01" else 0
    return (read(pes[9:14]) if flags & 2 else None), (read(pes[14:19]) if flags == 3 else None)


def drop_pes(ts, pid, drop):
    """A copy of a whole TS (188-byte packets from offset 0) without every packet of
    the PES on ``pid`` for which ``drop(k, pts, dts)`` is true, k counting that PID's
    PES from 0 and the times read from its header: lost as a network loses them,
    the continuity counters left with the gap."""
    out, k, dropping = [], -1, False
    for i in range(0, len(ts) - TS_SIZE + 1, TS_SIZE):
        p = ts[i:i + TS_SIZE]
        if ((p[1] & 0x1F) << 8 | p[2]) == pid and p[3] & 0x10:
            if p[1] & 0x40:
                k += 1
                dropping = drop(k, *pes_times(p[4 + (1 + p[4] if p[3] & 0x20 else 0):]))
            if dropping:
                continue
        out.append(p)
    return b"".join(out)


def psi_packets(pid, section, *, cc_start=0):
    """A PSI payload (pointer_field first) over as many packets as it needs, the
    room after it filled with 0xFF."""
    return b"".join(ts_packet(pid, section[i:i + 184], pusi=i == 0, cc=cc_start + i // 184, pad=False)
                    for i in range(0, len(section), 184))


def ts_program(streams, *, pmt_pid=0x1000):
    """A whole TS with one programme: PAT, then a PMT listing ``streams`` in order, then
    their PES round-robin (the first PES of each stream, then the second, ...).
    ``streams``: (stream_type, pid, es_info_bytes, [pes, ...]) tuples; PCR_PID is the
    first stream's PID."""
    return ts_programs([(1, pmt_pid, streams)])


def ts_programs(programs, *, pat_entries=None, scrambled=(), tables=None):
    """A whole TS of several programmes: the PAT, each PMT (over as many packets as
    it needs), then the PES of every stream round-robin, programme after programme.
    ``programs``: (program_number, pmt_pid, streams) with ``streams`` as for
    ts_program; ``pat_entries`` replaces the PAT's list (programmes without a map in
    the stream, say); the packets of PIDs in ``scrambled`` carry
    transport_scrambling_control 2; ``tables`` replaces the PAT and PMT packets."""
    entries = pat_entries if pat_entries is not None else [(n, pmt_pid) for n, pmt_pid, _ in programs]
    out = [tables] if tables is not None else [ts_packet(0, pat(0, entries=entries), pusi=True)] + [
        psi_packets(pmt_pid, pmt([(t, pid, info) for t, pid, info, _ in streams], pcr_pid=streams[0][1],
                                 program_number=n)) for n, pmt_pid, streams in programs]
    streams = [s for _, _, program_streams in programs for s in program_streams]
    cc = {}
    for i in range(max(len(pes_list) for *_, pes_list in streams)):
        for _, pid, _, pes_list in streams:
            for p in pes_list[i:i + 1]:
                pkts = packetize(pid, p, cc_start=cc.get(pid, 0))
                cc[pid] = cc.get(pid, 0) + len(pkts)
                if pid in scrambled:
                    pkts = [k[:3] + bytes([k[3] | 0x80]) + k[4:] for k in pkts]
                out += pkts
    return b"".join(out)


AC3_DESCRIPTOR = b"\x6a\x01\x00"  # DVB AC-3 descriptor (tag 0x6A), no optional fields
EAC3_DESCRIPTOR = b"\x7a\x01\x00"  # DVB enhanced AC-3 descriptor (tag 0x7A)


# --------------------------------------------------------------------------
# AAC
# --------------------------------------------------------------------------

ADTS_RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000,
              11025, 8000, 7350]


def adts_frame(payload, *, profile=1, sf_index=3, channels=2, crc=False, frame_length=None):
    """ADTS header + payload.  ``profile`` is the raw 2-bit ADTS field (1 = AAC-LC,
    i.e. audio object type minus 1); ``sf_index`` indexes ADTS_RATES (3 = 48 kHz,
    4 = 44.1 kHz).  crc=True clears protection_absent and writes a dummy CRC (9-byte
    header).  frame_length (header included) is computed unless forced."""
    head_len = 9 if crc else 7
    w = BitWriter()
    w.u(12, 0xFFF); w.u(1, 0); w.u(2, 0); w.u(1, 0 if crc else 1)
    w.u(2, profile); w.u(4, sf_index); w.u(1, 0); w.u(3, channels)
    w.u(4, 0)  # original_copy, home, copyright id bit, copyright id start
    w.u(13, frame_length if frame_length is not None else head_len + len(payload))
    w.u(11, 0x7FF); w.u(2, 0)
    if crc:
        w.u(16, 0)
    return w.bytes() + payload


def loas_frame(payload, *, asc=b"\x11\x90", asc_bits=16, same_mux=False, version=0, sub_frames=None,
               other_data_bits=None, crc=None):
    """A LOAS frame (sync word 0x2B7 and length) holding one AudioMuxElement with the
    payload (or a list of payloads, one per sub-frame; ``sub_frames`` says how many the
    configuration declares, less one, when it should differ).  Unless ``same_mux``, it
    carries a StreamMuxConfig of one program and layer, payload lengths in bytes
    (frameLengthType 0) and ``asc_bits`` bits of ``asc`` as the AudioSpecificConfig (for
    ``version`` 1 behind its length); ``other_data_bits`` and ``crc`` add those fields."""
    payloads = payload if isinstance(payload, list) else [payload]
    sub_frames = len(payloads) - 1 if sub_frames is None else sub_frames
    w = BitWriter()
    w.u(1, 1 if same_mux else 0)
    if not same_mux:
        w.u(1, version)
        if version:
            w.u(1, 0).u(2, 0).u(8, 0xFF)  # audioMuxVersionA, taraBufferFullness in one byte
        w.u(1, 1).u(6, sub_frames).u(4, 0).u(3, 0)
        if version:
            w.u(2, 0).u(8, asc_bits)
        for i in range(asc_bits):
            w.u(1, (asc[i // 8] >> (7 - i % 8)) & 1)
        w.u(3, 0).u(8, 0xFF)  # frameLengthType 0, latmBufferFullness
        w.u(1, 0 if other_data_bits is None else 1)
        if other_data_bits is not None:
            if version:
                w.u(2, 0).u(8, other_data_bits)
            else:
                w.u(1, 0).u(8, other_data_bits)
        w.u(1, 0 if crc is None else 1)
        if crc is not None:
            w.u(8, crc)
    for payload in payloads:
        n = len(payload)
        while n >= 255:
            w.u(8, 255)
            n -= 255
        w.u(8, n)
        for b in payload:
            w.u(8, b)
    element = w.bytes()
    return bytes([0x56, 0xE0 | (len(element) >> 8), len(element) & 0xFF]) + element


def loas_payload(frame):
    """The AAC payload of a LOAS frame with one program, layer and payload, whose
    StreamMuxConfig (audioMuxVersion 0) holds a 16-bit AudioSpecificConfig, as ffmpeg
    writes AAC-LC."""
    r = BitReader(frame, 24)
    if r.u(1) == 0:
        assert r.u(1) == 0 and r.u(1) == 1 and r.u(6 + 4 + 3) == 0
        r.u(16)
        assert r.u(3) == 0 and r.u(8) is not None and r.u(1) == 0
        if r.u(1):
            r.u(8)
    n = 0
    while True:
        b = r.u(8)
        n += b
        if b != 255:
            return bytes(r.u(8) for _ in range(n))


# --------------------------------------------------------------------------
# Opus in transport streams
# --------------------------------------------------------------------------

OPUS_REGISTRATION = b"\x05\x04Opus"


def opus_descriptor(channel_config_code=2):
    """The registration descriptor and the Opus audio extension descriptor of a map entry."""
    return OPUS_REGISTRATION + bytes([0x7F, 0x02, 0x80, channel_config_code])


def opus_packet(packet, *, start_trim=None, end_trim=None, extension=None):
    """An Opus packet (TOC byte first) behind its transport-stream control header."""
    flags = (0x10 if start_trim is not None else 0) | (0x08 if end_trim is not None else 0) | \
            (0x04 if extension is not None else 0)
    n, size = len(packet), b""
    while n >= 255:
        size += b"\xff"
        n -= 255
    out = bytes([0x7F, 0xE0 | flags]) + size + bytes([n])
    for trim in (start_trim, end_trim):
        if trim is not None:
            out += struct.pack(">H", trim & 0x1FFF)
    if extension is not None:
        out += bytes([len(extension)]) + extension
    return out + packet


def opus_toc(config=19, stereo=True, code=0, frames=None):
    """A TOC byte (and for code 3 the frame count byte): ``config`` 19 is CELT 20 ms."""
    toc = bytes([(config << 3) | (4 if stereo else 0) | code])
    return toc + (bytes([frames]) if code == 3 else b"")


# --------------------------------------------------------------------------
# AC-3, E-AC-3 and MPEG audio frames
# --------------------------------------------------------------------------

AC3_KBPS = [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640]
AC3_RATES = [48000, 44100, 32000]
EAC3_REDUCED_RATES = [24000, 22050, 16000]


def ac3_frame_size(fscod, frmsizecod):
    """Bytes of an AC-3 frame: 1536 samples at the nominal rate, in 16-bit words."""
    kbps = AC3_KBPS[frmsizecod >> 1]
    words = {0: 2 * kbps, 1: kbps * 320 // 147 + (frmsizecod & 1), 2: 3 * kbps}[fscod]
    return 2 * words


def ac3_frame(*, fscod=0, frmsizecod=8, bsid=8, bsmod=0, acmod=2, lfeon=0, fill=0x55, size=None):
    """One AC-3 syncframe: sync word, crc1 0, fscod/frmsizecod, the bit stream information
    up to lfeon (with the mix-level fields the acmod calls for), then ``fill`` bytes up to
    the size the header declares, or to ``size`` (a frame whose header lies)."""
    w = BitWriter().u(16, 0x0B77).u(16, 0).u(2, fscod).u(6, frmsizecod).u(5, bsid).u(3, bsmod).u(3, acmod)
    if acmod & 1 and acmod != 1:
        w.u(2, 1)  # cmixlev
    if acmod & 4:
        w.u(2, 1)  # surmixlev
    if acmod == 2:
        w.u(2, 0)  # dsurmod
    w.u(1, lfeon)
    head = w.bytes()
    total = ac3_frame_size(fscod, frmsizecod) if size is None else size
    return head + bytes([fill]) * (total - len(head))


def eac3_frame(*, strmtyp=0, substreamid=0, blocks=6, fscod=0, fscod2=0, acmod=2, lfeon=0, bsid=16,
               chanmap=None, bsmod=None, mixing=False, size=256, fill=0x66, frmsiz=None):
    """One E-AC-3 syncframe of ``size`` bytes (even).  ``fscod`` 3 selects the reduced rate
    ``fscod2`` (six blocks).  ``chanmap`` (16 bits) is written for dependent frames
    (strmtyp 1); ``bsmod`` given writes informational metadata opening with it;
    ``mixing`` writes a mixing-metadata section that uses every optional field the
    acmod allows (the reader must step over it to reach bsmod).  ``frmsiz`` forces the
    coded size field (a frame whose header lies)."""
    numblkscod = {1: 0, 2: 1, 3: 2, 6: 3}[blocks]
    w = BitWriter().u(16, 0x0B77).u(2, strmtyp).u(3, substreamid)
    w.u(11, size // 2 - 1 if frmsiz is None else frmsiz).u(2, fscod)
    w.u(2, fscod2 if fscod == 3 else numblkscod).u(3, acmod).u(1, lfeon).u(5, bsid)
    w.u(5, 27).u(1, 1).u(8, 0xA5)  # dialnorm, compre, compr
    if acmod == 0:
        w.u(5, 27).u(1, 0)  # dialnorm2, compr2e
    if strmtyp == 1:
        w.u(1, chanmap is not None)
        if chanmap is not None:
            w.u(16, chanmap)
    w.u(1, mixing)
    if mixing:
        if acmod > 2:
            w.u(2, 1)
        if acmod > 2 and acmod & 1:
            w.u(3, 4).u(3, 4)
        if acmod & 4:
            w.u(3, 4).u(3, 4)
        if lfeon:
            w.u(1, 1).u(5, 10)
        if strmtyp == 0:
            for _ in range(2 if acmod == 0 else 1):
                w.u(1, 1).u(6, 33)  # programme scale factor
            w.u(1, 1).u(6, 33)  # external programme scale factor
            w.u(2, 3).u(5, 1).u(24, 0xABCDEF)  # mixdef 3: (1 + 2) bytes of mixing data
            if acmod < 2:
                for _ in range(2 if acmod == 0 else 1):
                    w.u(1, 1).u(8, 0x80).u(6, 0)  # pan information
            w.u(1, 1)  # mixing configuration
            for _ in range(blocks):
                if blocks == 1:
                    w.u(5, 7)
                else:
                    w.u(1, 1).u(5, 7)
    w.u(1, bsmod is not None)
    if bsmod is not None:
        w.u(3, bsmod).u(1, 0).u(1, 0).u(2, 0)  # bsmod, copyright, original, then more
    head = w.bytes()
    return head + bytes([fill]) * (size - len(head))


MPA_KBPS = {  # (MPEG-1?, layer) -> kbit/s by bit rate index 1..14
    (True, 1): [32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448],
    (True, 2): [32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384],
    (True, 3): [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
    (False, 1): [32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256],
    (False, 2): [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
    (False, 3): [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
}
MPA_RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def mpeg_audio_info(version=3, layer=2, bitrate_index=8, rate_index=1, padding=0):
    """(frame length in bytes, samples per frame, sample rate, bit/s) of an MPEG audio header.
    ``version``: the 2-bit field (3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5)."""
    mpeg1 = version == 3
    rate = MPA_RATES[version][rate_index]
    bps = MPA_KBPS[(mpeg1, layer)][bitrate_index - 1] * 1000
    if layer == 1:
        return (12 * bps // rate + padding) * 4, 384, rate, bps
    spf = 576 if layer == 3 and not mpeg1 else 1152
    return spf // 8 * bps // rate + padding, spf, rate, bps


def mpeg_audio_frame(*, version=3, layer=2, bitrate_index=8, rate_index=1, padding=0, mode=0, fill=0x33,
                     size=None):
    """One MPEG audio frame: the 4-byte header (no CRC) then ``fill`` bytes up to the length
    the header gives, or to ``size``.  ``mode`` 3 is mono.  Layer I frames can only be
    made this way: ffmpeg has no layer I encoder."""
    w = BitWriter().u(11, 0x7FF).u(2, version).u(2, 4 - layer).u(1, 1)
    w.u(4, bitrate_index).u(2, rate_index).u(1, padding).u(1, 0).u(2, mode).u(2, 0).u(1, 0).u(1, 1).u(2, 0)
    total = mpeg_audio_info(version, layer, bitrate_index, rate_index, padding)[0] if size is None else size
    return w.bytes() + bytes([fill]) * (total - 4)

# --------------------------------------------------------------------------
# H.264 bit strings and NAL units
# --------------------------------------------------------------------------


class BitWriter:
    """MSB-first bit writer with Exp-Golomb codes."""

    def __init__(self):
        self.bits = []

    def u(self, nbits, value):
        self.bits += [(value >> (nbits - 1 - i)) & 1 for i in range(nbits)]
        return self

    def ue(self, v):
        n = (v + 1).bit_length()
        return self.u(n - 1, 0).u(n, v + 1)

    def se(self, v):
        return self.ue(2 * v - 1 if v > 0 else -2 * v)

    def trailing(self):
        """rbsp_stop_one_bit then zero bits up to the byte boundary."""
        self.u(1, 1)
        return self.u(-len(self.bits) % 8, 0)

    def bytes(self):
        """The bits written so far, zero-padded to a whole byte."""
        bits = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


class BitReader:
    """MSB-first bit reader with Exp-Golomb codes (reads RBSP, no emulation bytes)."""

    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos  # pos counts bits

    def u(self, nbits):
        v = 0
        for _ in range(nbits):
            v = (v << 1) | ((self.data[self.pos >> 3] >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return v

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
        return (1 << zeros) - 1 + self.u(zeros)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)


HIGH_PROFILES = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135}


def add_emulation_prevention(rbsp):
    """Insert 0x03 after every 00 00 that is followed by a byte <= 0x03."""
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def remove_emulation_prevention(ebsp):
    """Drop the 0x03 of every 00 00 03 sequence."""
    out, zeros = bytearray(), 0
    for b in ebsp:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def sps(*, profile_idc=100, constraint=0, level=40, sps_id=0, chroma_format_idc=1,
        separate_colour_plane=0, bit_depth_luma_minus8=0, bit_depth_chroma_minus8=0,
        qpprime_y_zero_transform_bypass=0, scaling=None, log2_max_frame_num_minus4=0,
        poc_type=0, log2_max_poc_lsb_minus4=2, delta_pic_order_always_zero=0,
        offset_for_non_ref_pic=0, offset_for_top_to_bottom_field=0, offset_for_ref_frame=(),
        max_num_ref_frames=1, gaps_in_frame_num_allowed=0, pic_width_in_mbs_minus1=19,
        pic_height_in_map_units_minus1=14, frame_mbs_only=1, mb_adaptive_frame_field=0,
        direct_8x8_inference=1, crop=(0, 0, 0, 0), vui=None):
    """An SPS NAL unit: header byte 0x67 + EBSP (emulation prevention applied), no
    start code.  Sizes are the raw minus1 syntax values (defaults: 20x15 MBs, i.e.
    320x240 for progressive frames); ``crop`` is (left, right, top, bottom) in crop
    units.  The chroma/bit-depth/scaling fields are written only for the high
    profile_idc values.  ``scaling``: None (seq_scaling_matrix_present_flag 0) or one
    entry per list (8, or 12 for 4:4:4), each None (list absent) or the delta_scale
    values to write, e.g. [-8] (use the default matrix) or 16/64 explicit deltas.
    ``vui``: None (flag 0) or a callable writing the VUI fields into the BitWriter.
    Use ``START + sps(...)`` for Annex B."""
    w = BitWriter().u(8, profile_idc).u(8, constraint).u(8, level).ue(sps_id)
    if profile_idc in HIGH_PROFILES:
        w.ue(chroma_format_idc)
        if chroma_format_idc == 3:
            w.u(1, separate_colour_plane)
        w.ue(bit_depth_luma_minus8).ue(bit_depth_chroma_minus8)
        w.u(1, qpprime_y_zero_transform_bypass)
        w.u(1, scaling is not None)
        for deltas in scaling or ():
            w.u(1, deltas is not None)
            for d in deltas or ():
                w.se(d)
    w.ue(log2_max_frame_num_minus4).ue(poc_type)
    if poc_type == 0:
        w.ue(log2_max_poc_lsb_minus4)
    elif poc_type == 1:
        w.u(1, delta_pic_order_always_zero).se(offset_for_non_ref_pic)
        w.se(offset_for_top_to_bottom_field).ue(len(offset_for_ref_frame))
        for off in offset_for_ref_frame:
            w.se(off)
    w.ue(max_num_ref_frames).u(1, gaps_in_frame_num_allowed)
    w.ue(pic_width_in_mbs_minus1).ue(pic_height_in_map_units_minus1).u(1, frame_mbs_only)
    if not frame_mbs_only:
        w.u(1, mb_adaptive_frame_field)
    w.u(1, direct_8x8_inference).u(1, any(crop))
    if any(crop):
        for c in crop:
            w.ue(c)
    w.u(1, vui is not None)
    if vui is not None:
        vui(w)
    return b"\x67" + add_emulation_prevention(w.trailing().bytes())


def parse_sps(nal_unit):
    """Read an SPS NAL unit (header byte included, no start code) back into a dict
    whose keys are the ``sps()`` keyword names, plus ``vui_present`` (bool); the VUI
    itself is not read.  Scaling lists are returned as their delta_scale values."""
    r = BitReader(remove_emulation_prevention(nal_unit[1:]))
    f = dict(profile_idc=r.u(8), constraint=r.u(8), level=r.u(8), sps_id=r.ue())
    f.update(chroma_format_idc=1, separate_colour_plane=0, bit_depth_luma_minus8=0,
             bit_depth_chroma_minus8=0, qpprime_y_zero_transform_bypass=0, scaling=None)
    if f["profile_idc"] in HIGH_PROFILES:
        f["chroma_format_idc"] = r.ue()
        if f["chroma_format_idc"] == 3:
            f["separate_colour_plane"] = r.u(1)
        f.update(bit_depth_luma_minus8=r.ue(), bit_depth_chroma_minus8=r.ue(),
                 qpprime_y_zero_transform_bypass=r.u(1))
        if r.u(1):
            f["scaling"] = []
            for i in range(12 if f["chroma_format_idc"] == 3 else 8):
                deltas, last, nxt, j = None, 8, 8, 0
                if r.u(1):
                    deltas = []
                    while j < (16 if i < 6 else 64) and nxt != 0:
                        deltas.append(r.se())
                        nxt = (last + deltas[-1] + 256) % 256
                        last, j = (nxt or last), j + 1
                f["scaling"].append(deltas)
    f.update(log2_max_frame_num_minus4=r.ue(), poc_type=r.ue(), log2_max_poc_lsb_minus4=2,
             delta_pic_order_always_zero=0, offset_for_non_ref_pic=0,
             offset_for_top_to_bottom_field=0, offset_for_ref_frame=())
    if f["poc_type"] == 0:
        f["log2_max_poc_lsb_minus4"] = r.ue()
    elif f["poc_type"] == 1:
        f.update(delta_pic_order_always_zero=r.u(1), offset_for_non_ref_pic=r.se(),
                 offset_for_top_to_bottom_field=r.se())
        f["offset_for_ref_frame"] = tuple(r.se() for _ in range(r.ue()))
    f.update(max_num_ref_frames=r.ue(), gaps_in_frame_num_allowed=r.u(1),
             pic_width_in_mbs_minus1=r.ue(), pic_height_in_map_units_minus1=r.ue(),
             frame_mbs_only=r.u(1), mb_adaptive_frame_field=0)
    if not f["frame_mbs_only"]:
        f["mb_adaptive_frame_field"] = r.u(1)
    f["direct_8x8_inference"] = r.u(1)
    f["crop"] = tuple(r.ue() for _ in range(4)) if r.u(1) else (0, 0, 0, 0)
    f["vui_present"] = bool(r.u(1))
    return f


def picture_size(f):
    """(width, height) in pixels after cropping, from a ``parse_sps`` dict."""
    chroma = 0 if f["separate_colour_plane"] else f["chroma_format_idc"]
    fields = 2 - f["frame_mbs_only"]
    crop_x = 2 if chroma in (1, 2) else 1
    crop_y = (2 if chroma == 1 else 1) * fields
    left, right, top, bottom = f["crop"]
    return ((f["pic_width_in_mbs_minus1"] + 1) * 16 - crop_x * (left + right),
            (f["pic_height_in_map_units_minus1"] + 1) * 16 * fields - crop_y * (top + bottom))


def pps(*, pps_id=0, sps_id=0, entropy_coding_mode=1, num_ref_idx_l0_default_minus1=0,
        num_ref_idx_l1_default_minus1=0, pic_init_qp_minus26=0, transform_8x8_mode=None):
    """A small PPS NAL unit (header byte 0x68, EBSP, no start code): one slice group,
    no weighted prediction, deblocking control present.  transform_8x8_mode, when
    given, adds the High-profile extension (without scaling matrix)."""
    w = BitWriter().ue(pps_id).ue(sps_id).u(1, entropy_coding_mode).u(1, 0).ue(0)
    w.ue(num_ref_idx_l0_default_minus1).ue(num_ref_idx_l1_default_minus1).u(1, 0).u(2, 0)
    w.se(pic_init_qp_minus26).se(0).se(0).u(1, 1).u(1, 0).u(1, 0)
    if transform_8x8_mode is not None:
        w.u(1, transform_8x8_mode).u(1, 0).se(0)
    return b"\x68" + add_emulation_prevention(w.trailing().bytes())


def nal(nal_type, body=b"", *, ref_idc=3, start_code=START):
    """start_code + NAL header byte (forbidden bit 0, ref_idc, type) + body.  The body
    is written as given (it should already be EBSP).  start_code=b"" for a bare NAL."""
    return start_code + bytes([(ref_idc << 5) | nal_type]) + body


def slice_nal(nal_type=1, *, slice_type=5, frame_num=0, frame_num_bits=4, field=None, first_mb=0,
              body=b"\x9a\x02\x04" * 4, start_code=START):
    """An H.264 slice: first_mb_in_slice, slice_type (5 P, 6 B, 7 I, 9 SI), pic_parameter_set_id
    0, frame_num on ``frame_num_bits``, then for a stream that may have fields (``field``
    not None) field_pic_flag and bottom_field_flag (``field`` "frame", "top" or "bottom"),
    then ``body``. Type 5 is an IDR slice, 1 any other."""
    w = BitWriter().ue(first_mb).ue(slice_type).ue(0).u(frame_num_bits, frame_num)
    if field is not None:
        w.u(1, field != "frame")
        if field != "frame":
            w.u(1, field == "bottom")
    return nal(nal_type, add_emulation_prevention(w.trailing().bytes()) + body, start_code=start_code)


def sei(*messages, start_code=START):
    """An SEI NAL unit of (payload_type, payload) messages, their type and size written
    in runs of 0xFF as long as they need, then the trailing bits."""
    def value(v):
        return b"\xff" * (v // 255) + bytes([v % 255])
    body = b"".join(value(t) + value(len(p)) + p for t, p in messages) + b"\x80"
    return nal(6, add_emulation_prevention(body), ref_idc=0, start_code=start_code)


# recovery_frame_cnt 0, exact_match 0, broken_link 0, changing_slice_group_idc 0.
RECOVERY_POINT = (6, b"\x80")


def aud(primary_pic_type=7, *, start_code=START):
    """Access unit delimiter NAL (type 9, ref_idc 0); the default gives 09 F0."""
    return nal(9, bytes([(primary_pic_type << 5) | 0x10]), ref_idc=0, start_code=start_code)


def split_annexb(data):
    """NAL units (start codes and trailing zero bytes removed) of an Annex B stream."""
    out, i = [], data.find(b"\x00\x00\x01")
    while i >= 0:
        j = data.find(b"\x00\x00\x01", i + 3)
        unit = data[i + 3:len(data) if j < 0 else j].rstrip(b"\x00")
        if unit:
            out.append(unit)
        i = j
    return out


def length_prefixed_nals(sample, length_size=4):
    """NAL units of an MP4 sample whose NALs carry big-endian length prefixes."""
    out, pos = [], 0
    while pos < len(sample):
        n = int.from_bytes(sample[pos:pos + length_size], "big")
        out.append(sample[pos + length_size:pos + length_size + n])
        pos += length_size + n
    return out


# --------------------------------------------------------------------------
# HEVC NAL units
# --------------------------------------------------------------------------

HEVC_VPS, HEVC_SPS, HEVC_PPS, HEVC_AUD = 32, 33, 34, 35


def hevc_nal(nal_type, body=b"", *, layer_id=0, temporal_id=0, start_code=START):
    """start_code + 2-byte HEVC NAL header + body (already EBSP).  start_code=b"" for a bare NAL."""
    head = ((nal_type << 9) | (layer_id << 3) | (temporal_id + 1)).to_bytes(2, "big")
    return start_code + head + body


def hevc_nal_type(unit):
    """Type of a bare HEVC NAL unit (header first)."""
    return (unit[0] >> 1) & 0x3F


def hevc_sps(*, profile_space=0, tier=0, profile_idc=1, compat=0x60000000, constraint=0x900000000000, level=60,
             max_sub_layers_minus1=0, temporal_id_nesting=1, sub_layers=(), chroma_format_idc=1,
             separate_colour_plane=0, width=320, height=184, window=(0, 0, 0, 2), bit_depth_luma_minus8=0,
             bit_depth_chroma_minus8=0, vps_id=0):
    """An HEVC SPS NAL unit (bare, EBSP) written up to its bit depths, then the pic order
    count field and the stop bit.  ``width``/``height`` are pic_width/height_in_luma_samples;
    ``window`` is the conformance window (left, right, top, bottom) in chroma units, all
    zeros for none.  ``sub_layers``: (profile_present, level_present) per sub-layer below
    the top one (max_sub_layers_minus1 entries)."""
    w = BitWriter().u(4, vps_id).u(3, max_sub_layers_minus1).u(1, temporal_id_nesting)
    w.u(2, profile_space).u(1, tier).u(5, profile_idc).u(32, compat).u(48, constraint).u(8, level)
    subs = list(sub_layers) or [(0, 0)] * max_sub_layers_minus1
    for p, lv in subs:
        w.u(1, p).u(1, lv)
    if max_sub_layers_minus1 > 0:
        w.u(2 * (8 - max_sub_layers_minus1), 0)
    for i, (p, lv) in enumerate(subs):
        if p:
            w.u(2, 0).u(1, 0).u(5, 1).u(32, 0x60000000).u(48, 0x900000000000 | i)
        if lv:
            w.u(8, 30 + i)
    w.ue(0).ue(chroma_format_idc)
    if chroma_format_idc == 3:
        w.u(1, separate_colour_plane)
    w.ue(width).ue(height).u(1, any(window))
    if any(window):
        for v in window:
            w.ue(v)
    w.ue(bit_depth_luma_minus8).ue(bit_depth_chroma_minus8).ue(4)  # log2_max_pic_order_cnt_lsb_minus4
    return hevc_nal(HEVC_SPS, add_emulation_prevention(w.trailing().bytes()), start_code=b"")


def hevc_vps():
    """A bare VPS NAL unit (its fields are carried, never read)."""
    return hevc_nal(HEVC_VPS, b"\x0c\x01\xff\xff\x01\x60\x00\x00\x03\x00\x90\x00\x00\x03\x00\x00\x03\x00"
                    b"\x3c\x95\x98\x09", start_code=b"")


def hevc_pps():
    """A bare PPS NAL unit (carried, never read)."""
    return hevc_nal(HEVC_PPS, b"\xc1\x72\xb4\x62\x40", start_code=b"")


def hevc_slice(nal_type=19, *, first=True, body=b"\x2f\x11\x22\x33" * 4, start_code=START):
    """A slice segment: start code, header, then a byte whose top bit is
    first_slice_segment_in_pic_flag, then ``body``."""
    return hevc_nal(nal_type, bytes([0xAF if first else 0x2F]) + body, start_code=start_code)


def hevc_key_unit(*, aud=True, slices=1):
    """An IDR access unit in Annex B: delimiter (unless aud=False), VPS, SPS, PPS, then the
    picture as ``slices`` slice segments."""
    head = hevc_nal(HEVC_AUD, b"\x50") if aud else b""
    sets = b"".join(START + u for u in (hevc_vps(), hevc_sps(), hevc_pps()))
    return head + sets + b"".join(hevc_slice(19, first=i == 0) for i in range(slices))


# --------------------------------------------------------------------------
# MPEG-2 video
# --------------------------------------------------------------------------

def mpeg2_sequence_header(width=320, height=240, *, profile_and_level=0x48, bit_rate=1000, vbv=20,
                          extension=True, matrices=False):
    """A sequence header (start code included) with, unless ``extension`` is False
    (MPEG-1 syntax), its sequence extension.  ``bit_rate`` in units of 400 bit/s,
    ``vbv`` in units of 2048 bytes; 0x48 is Main profile at Main level.  ``matrices``
    loads both quantiser matrices (128 bytes more)."""
    w = BitWriter()
    w.u(12, width & 0xFFF).u(12, height & 0xFFF).u(4, 1).u(4, 3)  # 1:1, 25 fps
    w.u(18, bit_rate & 0x3FFFF).u(1, 1).u(10, vbv & 0x3FF).u(1, 0)
    for _ in range(2):
        w.u(1, 1 if matrices else 0)
        for k in range(64 if matrices else 0):
            w.u(8, 16 + k)
    out = b"\x00\x00\x01\xb3" + w.bytes()
    if extension:
        e = BitWriter()
        e.u(4, 1).u(8, profile_and_level).u(1, 1).u(2, 1)  # sequence extension, progressive, 4:2:0
        e.u(2, width >> 12).u(2, height >> 12).u(12, bit_rate >> 18).u(1, 1).u(8, vbv >> 10)
        e.u(1, 0).u(2, 0).u(5, 0)
        out += b"\x00\x00\x01\xb5" + e.bytes()
    return out


def mpeg2_picture(coding_type=1, *, temporal_reference=0, slices=1, fill=b"\x12\x34\x56" * 8, structure=3):
    """A picture header (``coding_type`` 1 I, 2 P, 3 B), its coding extension and slices;
    ``structure`` 1 or 2 makes it a top or bottom field picture, 3 a frame."""
    w = BitWriter()
    w.u(10, temporal_reference).u(3, coding_type).u(16, 0xFFFF)
    if coding_type in (2, 3):
        w.u(4, 0x7)
    out = b"\x00\x00\x01\x00" + w.bytes() + b"\x00\x00\x01\xb5\x8f\xff" + bytes([0xF0 | structure]) + b"\x41\x80"
    for k in range(slices):
        out += bytes([0, 0, 1, k + 1]) + fill
    return out


def mpeg2_unit(coding_type=1, *, sequence=None, gop=None, **picture):
    """One picture with the headers a stream puts in front of it: for an I picture a
    sequence header and a group-of-pictures header unless told otherwise."""
    sequence = coding_type == 1 if sequence is None else sequence
    gop = coding_type == 1 if gop is None else gop
    out = mpeg2_sequence_header() if sequence is True else (sequence or b"")
    if gop:
        out += b"\x00\x00\x01\xb8\x00\x08\x00\x00"
    return out + mpeg2_picture(coding_type, **picture)


def parse_hvcc(body):
    """hvcC body -> dict of its fields and arrays: [(completeness, nal_type, [units])]."""
    r = BitReader(body)
    f = dict(version=r.u(8), profile_space=r.u(2), tier=r.u(1), profile_idc=r.u(5), compat=r.u(32),
             constraint=r.u(48), level=r.u(8), reserved1=r.u(4), min_spatial_segmentation=r.u(12),
             reserved2=r.u(6), parallelism=r.u(2), reserved3=r.u(6), chroma_format=r.u(2), reserved4=r.u(5),
             bit_depth_luma_minus8=r.u(3), reserved5=r.u(5), bit_depth_chroma_minus8=r.u(3),
             avg_frame_rate=r.u(16), constant_frame_rate=r.u(2), temporal_layers=r.u(3),
             temporal_id_nested=r.u(1), length_size_minus1=r.u(2))
    pos, arrays = 23, []
    for _ in range(body[22]):
        head, count, pos = body[pos], u16(body, pos + 1), pos + 3
        units = []
        for _ in range(count):
            n = u16(body, pos)
            units.append(body[pos + 2:pos + 2 + n])
            pos += 2 + n
        arrays.append((head >> 7, head & 0x3F, units))
    f["arrays"], f["size"] = arrays, pos
    return f


def parse_dac3(body):
    """dac3 body (3 bytes) -> dict(fscod, bsid, bsmod, acmod, lfeon, bit_rate_code)."""
    r = BitReader(body)
    return dict(fscod=r.u(2), bsid=r.u(5), bsmod=r.u(3), acmod=r.u(3), lfeon=r.u(1), bit_rate_code=r.u(5),
                reserved=r.u(5))


def parse_dec3(body):
    """dec3 body -> dict(data_rate, substreams=[dict(fscod, bsid, asvc, bsmod, acmod, lfeon,
    num_dep_sub, chan_loc)], size) where size is the number of body bytes the fields use."""
    r = BitReader(body)
    out = dict(data_rate=r.u(13), substreams=[])
    for _ in range(r.u(3) + 1):
        s = dict(fscod=r.u(2), bsid=r.u(5), reserved=r.u(1), asvc=r.u(1), bsmod=r.u(3), acmod=r.u(3),
                 lfeon=r.u(1), reserved2=r.u(3), num_dep_sub=r.u(4))
        s["chan_loc"] = r.u(9) if s["num_dep_sub"] else r.u(1) * 0
        out["substreams"].append(s)
    out["size"] = r.pos // 8
    return out


def decoder_config(esds):
    """The decoder configuration descriptor of an esds body: dict(object_type, stream_type,
    buffer_size, max_bit_rate, avg_bit_rate, specific) (specific None when absent)."""
    def header(pos):  # (tag, body start, body length) of the descriptor at pos
        tag, pos, size = esds[pos], pos + 1, 0
        while True:
            b, pos = esds[pos], pos + 1
            size = (size << 7) | (b & 0x7F)
            if not b & 0x80:
                return tag, pos, size
    tag, pos, _ = header(4)
    assert tag == 3
    flags, pos = esds[pos + 2], pos + 3
    pos += (2 if flags & 0x80 else 0) + (2 if flags & 0x20 else 0)
    pos += (1 + esds[pos]) if flags & 0x40 else 0
    tag, pos, size = header(pos)
    assert tag == 4
    body = esds[pos:pos + size]
    specific = None
    if len(body) > 13:
        tag, at, n = header(pos + 13)
        specific = esds[at:at + n] if tag == 5 else None
    return dict(object_type=body[0], stream_type=body[1], buffer_size=int.from_bytes(body[2:5], "big"),
                max_bit_rate=u32(body, 5), avg_bit_rate=u32(body, 9), specific=specific)


def u16(b, off=0):
    return struct.unpack_from(">H", b, off)[0]


def u32(b, off=0):
    return struct.unpack_from(">I", b, off)[0]


def s32(b, off=0):
    return struct.unpack_from(">i", b, off)[0]


def u64(b, off=0):
    return struct.unpack_from(">Q", b, off)[0]


def box(type4, body=b""):
    """A plain box: 32-bit size + 4-character type (str or bytes) + body."""
    kind = type4 if isinstance(type4, bytes) else type4.encode("latin-1")
    return struct.pack(">I", 8 + len(body)) + kind + body


def full_box(type4, version, flags, body=b""):
    """A full box: version byte and 24-bit flags in front of the body."""
    return box(type4, bytes([version]) + flags.to_bytes(3, "big") + body)


def iter_boxes(data, offset=0, end=None):
    """Yield (type_str, body_offset, body_end, header_len) for the boxes laid one after
    another in data[offset:end].  Handles size 1 (64-bit largesize follows) and size 0
    (box runs to ``end``).  Raises ValueError on a size that cannot be right."""
    end = len(data) if end is None else end
    while offset + 8 <= end:
        size, kind = u32(data, offset), data[offset + 4:offset + 8].decode("latin-1")
        head = 8
        if size == 1:
            size, head = u64(data, offset + 8), 16
        elif size == 0:
            size = end - offset
        if size < head or offset + size > end:
            raise ValueError(f"bad size {size} for box {kind!r} at {offset}")
        yield kind, offset + head, offset + size, head
        offset += size


# Bytes to skip inside a box's body before its child boxes start.
CHILD_OFFSET = {"stsd": 8, "dref": 8, "meta": 4, "avc1": 78, "avc3": 78, "hvc1": 78, "hev1": 78, "mp4a": 28,
                "ac-3": 28, "ec-3": 28}


def _walk(data, parts, offset, end):
    for kind, b0, b1, _ in iter_boxes(data, offset, end):
        if kind == parts[0]:
            if len(parts) == 1:
                yield data[b0:b1]
            else:
                yield from _walk(data, parts[1:], b0 + CHILD_OFFSET.get(kind, 0), b1)


def find_all(data, path):
    """Bodies of all boxes matching a path such as "moov/trak" (every branch is searched,
    so "moov/trak/mdia/hdlr" gives one body per track).  Sample entries are entered
    too: "moov/trak/mdia/minf/stbl/stsd/avc1/avcC"."""
    return list(_walk(data, path.strip("/").split("/"), 0, len(data)))


def find_box(data, path):
    """Body of the first box matching ``path`` (see find_all), or None."""
    return next(_walk(data, path.strip("/").split("/"), 0, len(data)), None)


def expand(pairs):
    """[(count, value), ...] run-length entries (stts, ctts) to one value per sample."""
    return [v for count, v in pairs for _ in range(count)]


def mp4_sample_table(trak):
    """Parse one trak body into plain lists: timescale, duration, handler ('vide'/'soun'),
    stts and ctts as (count, value) pairs (ctts None if absent; signed values for
    version 1), sizes (one per sample), chunk_offsets (stco or co64), stsc as
    (first_chunk, samples_per_chunk, sample_description_index), stss (1-based sample
    numbers, None if absent) and, derived, durations / cts_offsets / offsets per sample."""
    def stbl(name):
        return find_box(trak, "mdia/minf/stbl/" + name)

    def entries(b, fmt):
        size = struct.calcsize(fmt)
        return [struct.unpack_from(fmt, b, 8 + i * size) for i in range(u32(b, 4))]

    mdhd = find_box(trak, "mdia/mdhd")
    ts_off = 20 if mdhd[0] == 1 else 12
    t = {"timescale": u32(mdhd, ts_off),
         "duration": u64(mdhd, 24) if mdhd[0] == 1 else u32(mdhd, 16),
         "handler": find_box(trak, "mdia/hdlr")[8:12].decode("latin-1"),
         "stts": entries(stbl("stts"), ">II"), "ctts": None, "stss": None}
    ctts = stbl("ctts")
    if ctts is not None:
        t["ctts"] = entries(ctts, ">Ii" if ctts[0] == 1 else ">II")
    stsz = stbl("stsz")
    t["sizes"] = [u32(stsz, 4)] * u32(stsz, 8) if u32(stsz, 4) else [
        u32(stsz, 12 + 4 * i) for i in range(u32(stsz, 8))]
    co64 = stbl("co64")
    chunks = entries(co64, ">Q") if co64 else entries(stbl("stco"), ">I")
    t["chunk_offsets"] = [c[0] for c in chunks]
    t["stsc"] = entries(stbl("stsc"), ">III")
    stss = stbl("stss")
    if stss is not None:
        t["stss"] = [e[0] for e in entries(stss, ">I")]
    t["durations"], t["cts_offsets"] = expand(t["stts"]), expand(t["ctts"] or [])
    t["cts_offsets"] = t["cts_offsets"] or [0] * len(t["sizes"])
    t["offsets"], n = [], 0
    for ci, off in enumerate(t["chunk_offsets"], 1):
        per_chunk = [spc for first, spc, _ in t["stsc"] if first <= ci][-1]
        for _ in range(min(per_chunk, len(t["sizes"]) - n)):
            t["offsets"].append(off)
            off, n = off + t["sizes"][n], n + 1
    return t


def parse_avcc(body):
    """avcC body -> dict(version, profile, compat, level, length_size, sps=[...], pps=[...])."""
    out = dict(version=body[0], profile=body[1], compat=body[2], level=body[3],
               length_size=(body[4] & 3) + 1, sps=[], pps=[])
    pos = 5
    for key, mask in (("sps", 0x1F), ("pps", 0xFF)):
        count, pos = body[pos] & mask, pos + 1
        for _ in range(count):
            n = u16(body, pos)
            out[key].append(body[pos + 2:pos + 2 + n])
            pos += 2 + n
    return out


def audio_config(esds):
    """The decoder config bytes (descriptor tag 5, the 2+ byte AAC config) in an esds body."""
    pos = 4  # version + flags
    while pos < len(esds):
        tag, pos = esds[pos], pos + 1
        size = 0
        while True:
            b, pos = esds[pos], pos + 1
            size = (size << 7) | (b & 0x7F)
            if not b & 0x80:
                break
        if tag == 5:
            return esds[pos:pos + size]
        # ES_Descriptor (3) and DecoderConfigDescriptor (4) contain the next level.
        pos += {3: 3, 4: 13}.get(tag, size)
        if tag == 3:
            flags = esds[pos - 1]
            pos += 2 if flags & 0x80 else 0  # dependsOn_ES_ID
            pos += (1 + esds[pos]) if flags & 0x40 else 0  # URL
            pos += 2 if flags & 0x20 else 0  # OCR_ES_Id
    return None


def parse_tfhd(body):
    """tfhd body -> dict(flags, track_id, and whichever optional defaults are present)."""
    flags, out, pos = u32(body, 0) & 0xFFFFFF, {}, 8
    out.update(flags=flags, track_id=u32(body, 4))
    for bit, name, size in ((0x1, "base_data_offset", 8), (0x2, "sample_description_index", 4),
                            (0x8, "default_sample_duration", 4), (0x10, "default_sample_size", 4),
                            (0x20, "default_sample_flags", 4)):
        if flags & bit:
            out[name] = u64(body, pos) if size == 8 else u32(body, pos)
            pos += size
    return out


def parse_tfdt(body):
    """tfdt body -> baseMediaDecodeTime."""
    return u64(body, 4) if body[0] == 1 else u32(body, 4)


def parse_trun(body):
    """trun body -> dict(flags, data_offset, first_sample_flags, samples) where samples is
    a list of dicts with the per-sample fields present (duration, size, flags, cto;
    cto signed for version 1)."""
    version, flags = body[0], u32(body, 0) & 0xFFFFFF
    count, pos = u32(body, 4), 8
    out = dict(flags=flags, data_offset=None, first_sample_flags=None, samples=[])
    if flags & 0x1:
        out["data_offset"], pos = s32(body, pos), pos + 4
    if flags & 0x4:
        out["first_sample_flags"], pos = u32(body, pos), pos + 4
    for _ in range(count):
        s = {}
        for bit, name in ((0x100, "duration"), (0x200, "size"), (0x400, "flags"), (0x800, "cto")):
            if flags & bit:
                s[name] = s32(body, pos) if (name == "cto" and version == 1) else u32(body, pos)
                pos += 4
        out["samples"].append(s)
    return out


# --------------------------------------------------------------------------
# Regular MP4 files and live segments, crafted
# --------------------------------------------------------------------------


def avcc_box(sps_list, pps_list, *, length_size=4):
    """avcC box with NAL lengths of ``length_size`` bytes and the given parameter sets (bare NAL units)."""
    profile = sps_list[0][1:4] if sps_list and len(sps_list[0]) >= 4 else b"\x64\x00\x1f"
    body = b"\x01" + profile + bytes([0xFC | (length_size - 1), 0xE0 | len(sps_list)])
    body += b"".join(struct.pack(">H", len(s)) + s for s in sps_list)
    body += bytes([len(pps_list)]) + b"".join(struct.pack(">H", len(p)) + p for p in pps_list)
    return box("avcC", body)


def _hevc_arrays(arrays):
    out = bytes([len(arrays)])
    for nal_type, units in arrays:
        out += bytes([0x80 | nal_type]) + struct.pack(">H", len(units))
        out += b"".join(struct.pack(">H", len(u)) + u for u in units)
    return out


def hvcc_box(arrays, *, length_size=4):
    """hvcC box with NAL lengths of ``length_size`` bytes (Main profile fields) and one array
    per (nal_type, [units]) pair, each marked complete."""
    head = bytes.fromhex("010160000000900000000000" "3cf000fcfdf8f80000") + bytes([0x0C | (length_size - 1)])
    return box("hvcC", head + _hevc_arrays(arrays))


def lhvc_box(arrays, *, length_size=4):
    """lhvC box (the configuration of the further layers of a multi-layer HEVC stream, MV-HEVC's
    second view) with one array per (nal_type, [units]) pair."""
    return box("lhvC", bytes.fromhex("01f000fc") + bytes([0xCC | (length_size - 1)]) + _hevc_arrays(arrays))


def protected_entry(entry, scheme=b"cenc"):
    """A sample entry box made a protected one, as encryption leaves it: encv or enca (by the
    original's kind) with a sinf naming the original format (frma) and the ``scheme`` (schm;
    None for none) after the original's children."""
    kind = entry[4:8]
    sinf = box("frma", kind)
    if scheme is not None:
        sinf += full_box("schm", 0, 0, scheme + struct.pack(">I", 0x10000))
    sinf += box("schi", full_box("tenc", 0, 0, bytes(4) + bytes([1, 8]) + bytes(16)))
    wrapped = b"encv" if kind in (b"avc1", b"avc3", b"hvc1", b"hev1") else b"enca"
    return box(wrapped, entry[8:] + box("sinf", sinf))


def visual_entry(kind="avc1", children=b"", width=320, height=240):
    """A visual sample entry (78 bytes of fields) followed by its child boxes."""
    fields = bytes(6) + b"\x00\x01" + bytes(16) + struct.pack(">HH", width, height) + struct.pack(
        ">II", 0x480000, 0x480000) + bytes(4) + b"\x00\x01" + bytes(32) + b"\x00\x18\xff\xff"
    return box(kind, fields + children)


def simple_trak(handler="vide", sizes=(), *, chunk_offset=None, table="stco", entry=None, fixed_size=0,
                entry_count=None, stsc=None, stss=None):
    """A trak with hdlr, stsd (one entry: ``entry`` or a bare avc1), stsz (``fixed_size`` or
    the ``sizes``) and a chunk table (``table``: "stco", "co64" or None) holding
    ``chunk_offset`` (no entry when None, several for a list).  ``entry_count`` overrides
    the table's count. ``stsc``: (first_chunk, samples_per_chunk, description) runs, and
    ``stss``: 1-based sync sample numbers, each table left out when None."""
    entry = entry if entry is not None else visual_entry()
    stbl = full_box("stsd", 0, 0, struct.pack(">I", 1) + entry)
    stbl += full_box("stsz", 0, 0, struct.pack(">II", fixed_size, len(sizes)) +
                     (b"" if fixed_size else b"".join(struct.pack(">I", s) for s in sizes)))
    if stsc is not None:
        stbl += full_box("stsc", 0, 0, struct.pack(">I", len(stsc)) + b"".join(struct.pack(">III", *r) for r in stsc))
    if stss is not None:
        stbl += full_box("stss", 0, 0, struct.pack(">I", len(stss)) + b"".join(struct.pack(">I", n) for n in stss))
    if table:
        offsets = [] if chunk_offset is None else chunk_offset if isinstance(chunk_offset, list) else [chunk_offset]
        width = ">Q" if table == "co64" else ">I"
        count = len(offsets) if entry_count is None else entry_count
        stbl += full_box(table, 0, 0, struct.pack(">I", count) + b"".join(struct.pack(width, o) for o in offsets))
    hdlr = full_box("hdlr", 0, 0, bytes(4) + handler.encode() + bytes(13))
    return box("trak", box("mdia", hdlr + box("minf", box("stbl", stbl))))


def regular_mp4(traks, mdat_body, *, moov_first=True, before=b"", after=b""):
    """ftyp, then moov and mdat in either order, with ``before``/``after`` boxes around them.
    ``traks`` is a list of callables: trak(mdat_body_offset) -> trak box bytes, so chunk
    offsets can point into the mdat body wherever it lands."""
    ftyp = box("ftyp", b"isom\x00\x00\x02\x00isomiso2avc1mp41") + before
    mdat = box("mdat", mdat_body)
    moov_len = len(box("moov", b"".join(t(0) for t in traks)))
    body_at = len(ftyp) + (moov_len if moov_first else 0) + 8
    moov = box("moov", b"".join(t(body_at) for t in traks))
    return ftyp + (moov + mdat if moov_first else mdat + moov) + after


def partially_fragmented(moov_samples, fragment_samples, *, duration=1000, track_id=1, timescale=90000):
    """A partially fragmented file of one video track: its moov's own tables hold
    ``moov_samples`` (one chunk, in an mdat right after the moov; the first one the only sync
    sample), then one fragment holds ``fragment_samples``; every sample lasts ``duration``."""
    sizes = [len(s) for s in moov_samples]

    def moov(mdat_body_at):
        tables = (full_box("stts", 0, 0, struct.pack(">III", 1, len(sizes), duration))
                  + full_box("stss", 0, 0, struct.pack(">II", 1, 1))
                  + full_box("stsc", 0, 0, struct.pack(">IIII", 1, 1, len(sizes), 1))
                  + full_box("stsz", 0, 0, struct.pack(">II", 0, len(sizes)) + b"".join(struct.pack(">I", n) for n in sizes))
                  + full_box("stco", 0, 0, struct.pack(">II", 1, mdat_body_at)))
        return init_moov(init_trak(track_id, timescale, tables=tables), trex_boxes=trex(track_id))
    at = len(FRAGMENTED_FTYP) + len(moov(0)) + 8
    return (FRAGMENTED_FTYP + moov(at) + box("mdat", b"".join(moov_samples))
            + fragment((track_id, list(fragment_samples)), duration=duration))


def tfdt(value, version=1):
    """tfdt box: 64-bit time for version 1, else 32-bit."""
    return full_box("tfdt", version, 0, struct.pack(">Q" if version == 1 else ">I", value))


def live_segment(*trafs, mdat=b"\x00" * 16, sequence=1):
    """styp, moof (mfhd + the given traf bodies) and mdat: a minimal live media segment."""
    moof = box("moof", full_box("mfhd", 0, 0, struct.pack(">I", sequence)) +
               b"".join(box("traf", t) for t in trafs))
    return box("styp", b"msdh\x00\x00\x00\x00msdhmsix") + moof + box("mdat", mdat)


def traf_body(track_id, decode_time, *, version=1):
    """tfhd (default-base-is-moof) + tfdt + an empty trun."""
    return (full_box("tfhd", 0, 0x020000, struct.pack(">I", track_id)) + tfdt(decode_time, version)
            + full_box("trun", 0, 0, struct.pack(">I", 0)))


# --------------------------------------------------------------------------
# Fragmented MP4, crafted: initialisation moov, moof/traf/tfhd/trun
# --------------------------------------------------------------------------

_UNITY_MATRIX = struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)


def _timed(version, *fields):
    """Creation time 1 and modification time 2, then ``fields`` as (value, is_duration) pairs:
    the times and the durations are 64-bit in version 1, every other field 32-bit."""
    fmt, args = (">QQ" if version == 1 else ">II"), [1, 2]
    for value, is_duration in fields:
        fmt += "Q" if (is_duration and version == 1) else "I"
        args.append(value)
    return struct.pack(fmt, *args)


def mvhd(timescale=1000, duration=0, *, version=0, next_track_id=2):
    """mvhd box (100-byte body, 112 for version 1) with non-zero creation/modification times."""
    tail = struct.pack(">IH10x", 0x10000, 0x100) + _UNITY_MATRIX + bytes(24) + struct.pack(">I", next_track_id)
    return full_box("mvhd", version, 0, _timed(version, (timescale, False), (duration, True)) + tail)


def tkhd(track_id, duration=0, *, version=0, flags=7, volume=0, width=320, height=240):
    """tkhd box (84-byte body, 96 for version 1); width and height in whole pixels."""
    tail = struct.pack(">8xHHHH", 0, 0, volume, 0) + _UNITY_MATRIX + struct.pack(">II", width << 16, height << 16)
    return full_box("tkhd", version, flags, _timed(version, (track_id, False), (0, False), (duration, True)) + tail)


def mdhd(timescale, duration=0, *, version=0, language=0x55C4):
    """mdhd box (24-byte body, 36 for version 1)."""
    return full_box("mdhd", version, 0, _timed(version, (timescale, False), (duration, True))
                    + struct.pack(">HH", language, 0))


def init_trak(track_id, timescale, *, handler="vide", entry=None, stsd_body=None, tkhd_box=None, mdhd_box=None,
               extra=b"", tables=None):
    """trak of an initialisation segment: tkhd (or ``tkhd_box``; b"" for none), the ``extra``
    boxes (an edts, say), then mdia with mdhd (or ``mdhd_box``), hdlr and a minf whose stbl
    holds an stsd with one sample entry (``entry`` or a bare avc1; ``stsd_body`` replaces the
    whole stsd body) and empty stts/stsc/stsz/stco (or the ``tables`` boxes)."""
    entry = entry if entry is not None else visual_entry()
    stbl = box("stsd", full_box("stsd", 0, 0, struct.pack(">I", 1) + entry)[8:] if stsd_body is None else stsd_body)
    if tables is None:
        tables = b"".join(full_box(t, 0, 0, bytes(4)) for t in ("stts", "stsc")) + full_box("stsz", 0, 0, bytes(8))
        tables += full_box("stco", 0, 0, bytes(4))
    stbl += tables
    media = full_box("vmhd", 0, 1, bytes(8)) if handler == "vide" else full_box("smhd", 0, 0, bytes(4))
    dinf = box("dinf", full_box("dref", 0, 0, struct.pack(">I", 1) + full_box("url ", 0, 1)))
    hdlr = full_box("hdlr", 0, 0, bytes(4) + handler.encode() + bytes(13))
    mdia = (mdhd(timescale) if mdhd_box is None else mdhd_box) + hdlr + box("minf", media + dinf + box("stbl", stbl))
    return box("trak", (tkhd(track_id) if tkhd_box is None else tkhd_box) + extra + box("mdia", mdia))


def trex(track_id, duration=0, size=0, flags=0, *, description_index=1):
    """trex box: the track's default sample duration, size and flags (24-byte body)."""
    return full_box("trex", 0, 0, struct.pack(">IIIII", track_id, description_index, duration, size, flags))


def init_moov(*traks, timescale=1000, mvhd_box=None, extra=b"", trex_boxes=None):
    """moov of an initialisation segment: mvhd (or ``mvhd_box``), the trak boxes, ``extra``
    boxes, and mvex holding ``trex_boxes`` (bytes), by default one trex with zero defaults
    per trak (track IDs 1, 2, ...)."""
    if trex_boxes is None:
        trex_boxes = b"".join(trex(i) for i in range(1, len(traks) + 1))
    head = mvhd(timescale, next_track_id=len(traks) + 1) if mvhd_box is None else mvhd_box
    return box("moov", head + b"".join(traks) + extra + box("mvex", trex_boxes))


def tfhd(track_id, *, duration=None, size=None, flags=None, base_data_offset=None, description_index=None,
         extra_flags=0x020000):
    """tfhd box with the optional fields that are given (default-base-is-moof by default)."""
    bits, body = extra_flags, b""
    for bit, value, fmt in ((0x1, base_data_offset, ">Q"), (0x2, description_index, ">I"), (0x8, duration, ">I"),
                            (0x10, size, ">I"), (0x20, flags, ">I")):
        if value is not None:
            bits, body = bits | bit, body + struct.pack(fmt, value)
    return full_box("tfhd", 0, bits, struct.pack(">I", track_id) + body)


TRUN_FIELDS = (("duration", 0x100), ("size", 0x200), ("flags", 0x400), ("cto", 0x800))


def trun(samples, *, data_offset=None, first_sample_flags=None, fields=None, version=0, count=None, flags=0):
    """trun box.  ``samples``: dicts with any of duration, size, flags, cto (cto may be
    negative); the per-sample fields written are ``fields`` (default: every key some sample
    uses), each sample giving 0 for a field it lacks.  ``count`` overrides the sample count,
    ``flags`` adds flag bits without adding fields."""
    fields = set(fields if fields is not None else (k for s in samples for k in s))
    bits = flags | sum(bit for name, bit in TRUN_FIELDS if name in fields)
    head = b""
    if data_offset is not None:
        bits, head = bits | 0x1, head + struct.pack(">i", data_offset)
    if first_sample_flags is not None:
        bits, head = bits | 0x4, head + struct.pack(">I", first_sample_flags)
    rows = b"".join(struct.pack(">i" if name == "cto" else ">I", s.get(name, 0))
                    for s in samples for name, _ in TRUN_FIELDS if name in fields)
    n = len(samples) if count is None else count
    return full_box("trun", version, bits, struct.pack(">I", n) + head + rows)


def traf(*boxes):
    return box("traf", b"".join(boxes))


def moof(*trafs, sequence=1):
    """moof: mfhd, then the given traf boxes."""
    return box("moof", full_box("mfhd", 0, 0, struct.pack(">I", sequence)) + b"".join(trafs))


def placed_moof(make_trafs, *, sequence=1):
    """moof whose runs point into an mdat placed right after it: make_trafs(base) returns the
    traf boxes, where base = moof body length + 16 is the data offset of the mdat's first body
    byte (offsets have a fixed width, so the length does not depend on base)."""
    body_length = len(moof(*make_trafs(0), sequence=sequence)) - 8
    return moof(*make_trafs(body_length + 16), sequence=sequence)


def fragment(*tracks, duration=1000, sequence=1):
    """moof + mdat: for each (track_id, [sample bytes]) one traf with a tfhd giving the default
    ``duration`` and a trun listing the sizes, its data offset pointing at those bytes."""
    def trafs(base):
        out, pos = [], base
        for track_id, payloads in tracks:
            out.append(traf(tfhd(track_id, duration=duration),
                            trun([{"size": len(p)} for p in payloads], data_offset=pos)))
            pos += sum(map(len, payloads))
        return out
    return placed_moof(trafs, sequence=sequence) + box("mdat", b"".join(p for _, ps in tracks for p in ps))


def box_offsets(data, path):
    """Body offsets (into ``data``) of every box matching a path, like find_all."""
    def walk(parts, offset, end):
        for kind, b0, b1, _ in iter_boxes(data, offset, end):
            if kind == parts[0]:
                if len(parts) == 1:
                    yield b0
                else:
                    yield from walk(parts[1:], b0 + CHILD_OFFSET.get(kind, 0), b1)
    return list(walk(path.strip("/").split("/"), 0, len(data)))


def set_track_id(mp4, track_id):
    """A copy of a single-track fragmented MP4 whose track ID (tkhd, trex, every tfhd)
    is ``track_id``: ffmpeg numbers every file's tracks from 1, so two such files need
    this before they can be merged."""
    out = bytearray(mp4)
    for body in box_offsets(mp4, "moov/trak/tkhd"):
        struct.pack_into(">I", out, body + (20 if mp4[body] == 1 else 12), track_id)
    for body in box_offsets(mp4, "moov/mvex/trex") + box_offsets(mp4, "moof/traf/tfhd"):
        struct.pack_into(">I", out, body + 4, track_id)
    return bytes(out)


def _children(body):
    """(type, body) of the boxes laid one after another in ``body``."""
    return [(kind, body[b0:b1]) for kind, b0, b1, _ in iter_boxes(body)]


def _top_level(mp4):
    """(type, body, header length) of every top-level box."""
    return [(kind, mp4[b0:b1], head) for kind, b0, b1, head in iter_boxes(mp4)]


def _moved_runs(traf_body, delta):
    """A traf body whose trun data offsets (counted from the moof) are ``delta`` bytes on."""
    out = b""
    for kind, body in _children(traf_body):
        if kind == "tfhd":
            assert not u32(body) & 0x1, "runs counted from an explicit base are not moved"
        if kind == "trun" and u32(body) & 0x1:
            body = body[:8] + struct.pack(">i", s32(body, 8) + delta) + body[12:]
        out += box(kind, body)
    return out


def _moof_with(body, rebuild_traf):
    return box("moof", b"".join(box(k, rebuild_traf(b) if k == "traf" else b) for k, b in _children(body)))


def wide_mdats(mp4, gap=None):
    """A copy of a fragmented MP4 whose mdat boxes have 64-bit headers and whose every moof
    directly followed by its mdat gets the ``gap`` boxes (default: a free box of 8 zero bytes)
    in between. The run data offsets move with the sample bytes, so the file still plays
    alike; mfra, whose moof positions would go stale, is left out."""
    gap = box("free", bytes(8)) if gap is None else gap
    boxes, out = _top_level(mp4), b""
    for i, (kind, body, head) in enumerate(boxes):
        if kind == "mdat":
            out += struct.pack(">I4sQ", 1, b"mdat", len(body) + 16) + body
        elif kind == "moof" and i + 1 < len(boxes) and boxes[i + 1][0] == "mdat":
            # The sample bytes move by the gap and by the 8 more bytes of the mdat header.
            delta = len(gap) + 16 - boxes[i + 1][2]
            out += _moof_with(body, lambda t: _moved_runs(t, delta)) + gap
        elif kind != "mfra":
            out += box(kind, body)
    return out


def defaults_in_trex(mp4):
    """A copy of a fragmented MP4 that leaves its sample defaults to the trex boxes, as
    packagers that write only differing defaults do: each track's trex takes the defaults of
    its first tfhd, no tfhd carries any, and a run whose traf had other defaults lists those
    values per sample instead. Run data offsets follow the shorter moofs; mfra is left out."""
    first = {}
    for body in find_all(mp4, "moof/traf/tfhd"):
        f = parse_tfhd(body)
        first.setdefault(f["track_id"], tuple(f.get("default_sample_" + k, 0) for k in ("duration", "size", "flags")))

    def trex_of(body):
        track_id, index = u32(body, 4), u32(body, 8)
        return trex(track_id, *first.get(track_id, (0, 0, 0)), description_index=index)

    def plain_traf(body):
        tfhd_fields = next(parse_tfhd(b) for k, b in _children(body) if k == "tfhd")
        assert not tfhd_fields["flags"] & 0x1, "runs counted from an explicit base are not moved"
        trex_defaults = first[tfhd_fields["track_id"]]
        out = b""
        for kind, child in _children(body):
            if kind == "tfhd":
                flags = tfhd_fields["flags"] & ~0x38
                child = bytes([0]) + flags.to_bytes(3, "big") + struct.pack(">I", tfhd_fields["track_id"])
                if flags & 0x2:
                    child += struct.pack(">I", tfhd_fields["sample_description_index"])
            elif kind == "trun":
                run = parse_trun(child)
                fields = {name for name, bit in TRUN_FIELDS if run["flags"] & bit}
                for i, name in enumerate(("duration", "size", "flags")):
                    tfhd_value = tfhd_fields.get("default_sample_" + name, 0)
                    if name not in fields and tfhd_value != trex_defaults[i]:
                        fields.add(name)
                        for sample in run["samples"]:
                            sample[name] = tfhd_value
                child = trun(run["samples"], data_offset=run["data_offset"], first_sample_flags=run["first_sample_flags"],
                             fields=fields, version=child[0])[8:]
            out += box(kind, child)
        return out

    out = b""
    for kind, body, _ in _top_level(mp4):
        if kind == "moov":
            out += box("moov", b"".join(
                box(k, b"".join(trex_of(t) if kk == "trex" else box(kk, t) for kk, t in _children(b)))
                if k == "mvex" else box(k, b) for k, b in _children(body)))
        elif kind == "moof":
            plain = _moof_with(body, plain_traf)
            delta = len(plain) - len(body) - 8
            out += _moof_with(plain[8:], lambda t: _moved_runs(t, delta))
        elif kind != "mfra":
            out += box(kind, body)
    return out


def shift_decode_times(mp4, track_id, delta):
    """A copy of a fragmented MP4 (or media segment) whose every tfdt of ``track_id`` is
    ``delta`` ticks later: that track starts so much later than the others."""
    out = bytearray(mp4)
    for traf_at in box_offsets(mp4, "moof/traf"):
        children = {kind: b0 for kind, b0, _, _ in iter_boxes(mp4, traf_at, traf_at + u32(mp4, traf_at - 8) - 8)}
        if "tfhd" in children and "tfdt" in children and u32(mp4, children["tfhd"] + 4) == track_id:
            at = children["tfdt"]
            if mp4[at] == 1:
                struct.pack_into(">Q", out, at + 4, u64(mp4, at + 4) + delta)
            else:
                struct.pack_into(">I", out, at + 4, u32(mp4, at + 4) + delta)
    return bytes(out)


def packager_layout(mp4, runs_per_traf=1):
    """A copy of a fragmented MP4 laid out as some packagers write it (GPAC's fragmenter, for
    one): each tfhd carries a base data offset, the absolute position of its traf's first sample
    byte, and no default-base-is-moof flag; no run carries a data offset, each run starting where
    the traf's previous one ended; each traf's samples are spread over ``runs_per_traf`` runs; no
    traf has a tfdt. The sample bytes stay where they were in each mdat; mfra is left out. The
    source's runs must each lie where the traf's previous one ended, as ffmpeg writes them."""
    boxes = _top_level(mp4)

    def relaid(traf_body, body_offset):
        """(new traf body, placeholder offset of its base in it) for a mdat body at ``body_offset``
        from the moof start of the source."""
        tfhd_fields, runs, first = None, [], None
        for kind, child in _children(traf_body):
            if kind == "tfhd":
                tfhd_fields = child
            elif kind == "trun":
                run = parse_trun(child)
                if first is None:
                    first = run["data_offset"] - body_offset
                runs.append((run, child[0]))
        flags = (u32(tfhd_fields) & 0xFFFFFF & ~0x020000) | 0x1
        tail = tfhd_fields[8 + (8 if u32(tfhd_fields) & 0x1 else 0):]
        out = box("tfhd", bytes([0]) + flags.to_bytes(3, "big") + tfhd_fields[4:8] + bytes(8) + tail)
        for run, version in runs:
            samples, fields = run["samples"], {n for n, bit in TRUN_FIELDS if run["flags"] & bit}
            pieces = max(1, min(runs_per_traf, len(samples)))
            step = -(-len(samples) // pieces)
            for i in range(0, len(samples), step):
                first_flags = run["first_sample_flags"] if i == 0 else None
                out += trun(samples[i:i + step], first_sample_flags=first_flags, fields=fields, version=version)
        return out, first

    out = b""
    for i, (kind, body, head) in enumerate(boxes):
        if kind == "moof" and i + 1 < len(boxes) and boxes[i + 1][0] == "mdat":
            body_offset = len(body) + 8 + boxes[i + 1][2]
            trafs = [relaid(b, body_offset) if k == "traf" else (b, None) for k, b in _children(body)]
            moof_box = box("moof", b"".join(box("traf", b) if first is not None else box(k, b)
                                            for (k, _), (b, first) in zip(_children(body), trafs)))
            mdat_body_at = len(out) + len(moof_box) + boxes[i + 1][2]
            patched, at = bytearray(moof_box), 8
            for (k, _), (b, first) in zip(_children(body), trafs):
                if first is not None:
                    # traf header, tfhd header, version and flags, track ID: then the base.
                    struct.pack_into(">Q", patched, at + 8 + 8 + 4 + 4, mdat_body_at + first)
                at += 8 + len(b)
            out += bytes(patched)
        elif kind == "mdat":
            out += struct.pack(">I4sQ", 1, b"mdat", len(body) + 16) + body if head == 16 else box("mdat", body)
        elif kind != "mfra":
            out += box(kind, body)
    return out


def _map_children(body, kind, rebuild):
    """A container body whose children of type ``kind`` get the body rebuild(body)."""
    return b"".join(box(k, rebuild(b) if k == kind else b) for k, b in _children(body))


def _in_stbl(trak, rebuild):
    """A trak body whose stbl gets the body rebuild(stbl body)."""
    return _map_children(trak, "mdia", lambda m: _map_children(m, "minf", lambda n: _map_children(n, "stbl", rebuild)))


def _handler(trak):
    return find_box(trak, "mdia/hdlr")[8:12].decode("latin-1")


def _with_length_size(stsd, length_size):
    """An stsd body whose avcC or hvcC says its NAL length fields are ``length_size`` bytes."""
    out = bytearray(stsd)
    for name, at in ((b"avcC", 4), (b"hvcC", 21)):
        found = stsd.find(name)
        if found >= 0:
            out[found + 4 + at] = (stsd[found + 4 + at] & 0xFC) | (length_size - 1)
    return bytes(out)


def _relength(sample, length_size):
    """A sample's 4-byte NAL length fields made ``length_size`` bytes wide."""
    return b"".join(len(u).to_bytes(length_size, "big") + u for u in length_prefixed_nals(sample))


def _relaid_regular(mp4, length_size, co64, mdat64=None, moov_body=None):
    """``co64``: every chunk table a co64 (True), or those of the traks whose indices it holds;
    ``mdat64``: the mdat with a 64-bit header (default: co64 is True); ``moov_body``: the moov
    body to lay out (the traks of ``mp4`` in their order, other boxes changed as wished)."""
    wide = (lambda k: True) if co64 is True else (lambda k: bool(co64) and k in co64)
    mdat64 = co64 is True if mdat64 is None else mdat64
    moov_body = find_box(mp4, "moov") if moov_body is None else moov_body
    traks = [b for k, b in _children(find_box(mp4, "moov")) if k == "trak"]
    tables = [mp4_sample_table(t) for t in traks]
    (mdat_body_at, mdat_end), = [(b0, b1) for k, b0, b1, _ in iter_boxes(mp4) if k == "mdat"]
    # The mdat body again, sample after sample in their order there; where each now starts in it.
    body, at, moved = b"", mdat_body_at, {}
    for offset, k, i in sorted((o, k, i) for k, t in enumerate(tables) for i, o in enumerate(t["offsets"])):
        sample = mp4[offset:offset + tables[k]["sizes"][i]]
        if length_size != 4 and tables[k]["handler"] == "vide":
            sample = _relength(sample, length_size)
        body += mp4[at:offset]
        moved[k, i] = (len(body), len(sample))
        body += sample
        at = offset + tables[k]["sizes"][i]
    body += mp4[at:mdat_end]

    def moov(body_at):
        def stbl(k, children):
            t, out = tables[k], b""
            first = {o: i for i, o in reversed(list(enumerate(t["offsets"])))}  # a chunk's first sample
            for kind, child in _children(children):
                if kind == "stsz" and length_size != 4 and t["handler"] == "vide":
                    assert u32(child, 4) == 0, "one size for every sample"
                    child = child[:12] + b"".join(struct.pack(">I", moved[k, i][1]) for i in range(len(t["sizes"])))
                elif kind in ("stco", "co64"):
                    starts = [body_at + moved[k, first[o]][0] for o in t["chunk_offsets"]]
                    kind = "co64" if wide(k) else "stco"
                    child = child[:8] + b"".join(struct.pack(">Q" if kind == "co64" else ">I", s) for s in starts)
                elif kind == "stsd" and length_size != 4 and t["handler"] == "vide":
                    child = _with_length_size(child, length_size)
                out += box(kind, child)
            return out
        children = _children(moov_body)
        trak_index = [sum(k == "trak" for k, _ in children[:n]) for n in range(len(children))]
        return box("moov", b"".join(box(k, _in_stbl(b, lambda s, t=trak_index[n]: stbl(t, s))) if k == "trak" else box(k, b)
                                    for n, (k, b) in enumerate(children)))

    mdat_head = struct.pack(">I4sQ", 1, b"mdat", len(body) + 16) if mdat64 else struct.pack(">I4s", len(body) + 8, b"mdat")
    top = _top_level(mp4)
    sizes = {"moov": len(moov(0)), "mdat": len(mdat_head) + len(body)}
    body_at = 0
    for kind, b, head in top:
        if kind == "mdat":
            body_at += len(mdat_head)
            break
        body_at += sizes.get(kind, 8 + len(b))
    return b"".join(moov(body_at) if k == "moov" else mdat_head + body if k == "mdat" else box(k, b) for k, b, _ in top)


def _fragmented_length_size(mp4, length_size):
    video = {u32(find_box(t, "tkhd"), 20 if find_box(t, "tkhd")[0] == 1 else 12)
             for k, t in _children(find_box(mp4, "moov")) if k == "trak" and _handler(t) == "vide"}
    top, out = _top_level(mp4), b""
    for n, (kind, body, head) in enumerate(top):
        if kind == "moov":
            body = _map_children(body, "trak", lambda t: _in_stbl(t, lambda s: _map_children(
                s, "stsd", lambda d: _with_length_size(d, length_size))) if _handler(t) == "vide" else t)
        elif kind == "moof":
            assert top[n + 1][0] == "mdat" and top[n + 1][2] == 8, "each moof followed by its mdat"
            mdat, base = top[n + 1][1], 8 + len(body) + 8  # where the mdat body starts, counted from the moof
            runs = []  # (data offset, traf index, trun index, run, of the video, trun version)
            for ti, (k, traf_body) in enumerate(_children(body)):
                if k != "traf":
                    continue
                fields = parse_tfhd(find_box(traf_body, "tfhd"))
                assert fields["flags"] & 0x020000 and not fields["flags"] & 0x1, "runs counted from their moof"
                for ri, (kk, b) in enumerate(_children(traf_body)):
                    if kk == "trun":
                        run = parse_trun(b)
                        for sample in run["samples"]:
                            sample.setdefault("size", fields.get("default_sample_size"))
                        runs.append((run["data_offset"], ti, ri, run, fields["track_id"] in video, b[0]))
            new_mdat, at, rebuilt = b"", base, {}
            for offset, ti, ri, run, is_video, version in sorted(runs):
                new_mdat += mdat[at - base:offset - base]
                start, at = len(new_mdat), offset
                for sample in run["samples"]:
                    data = mdat[at - base:at - base + sample["size"]]
                    at += sample["size"]
                    if is_video:
                        data = _relength(data, length_size)
                        sample["size"] = len(data)
                    new_mdat += data
                fields = {name for name, bit in TRUN_FIELDS if run["flags"] & bit}
                rebuilt[ti, ri] = trun(run["samples"], data_offset=base + start, fields=fields,
                                       first_sample_flags=run["first_sample_flags"], version=version)[8:]
            new_mdat += mdat[at - base:]
            body = b"".join(box(k, b"".join(box(kk, rebuilt.get((ti, ri), bb)) for ri, (kk, bb) in enumerate(_children(b)))
                                if k == "traf" else b) for ti, (k, b) in enumerate(_children(body)))
            assert 8 + len(body) + 8 == base
            out += box("moof", body) + box("mdat", new_mdat)
            continue
        elif kind == "mdat" and n and top[n - 1][0] == "moof":
            continue
        if kind != "mfra":
            out += box(kind, body)
    return out


def nal_length_size(mp4, length_size):
    """A copy of an H.264 or HEVC MP4, regular (one mdat) or fragmented (each moof followed by
    its mdat, runs counted from their moof), whose video NAL units carry length fields of
    ``length_size`` bytes instead of 4, as the avcC or hvcC then says. Sample sizes, chunk
    offsets and run data offsets follow the shorter samples; mfra is left out."""
    if any(k == "moof" for k, *_ in iter_boxes(mp4)):
        return _fragmented_length_size(mp4, length_size)
    return _relaid_regular(mp4, length_size, co64=False)


def wide_chunk_offsets(mp4):
    """A copy of a regular MP4 (one mdat) laid out as writers of files beyond 4 GiB lay it out:
    every chunk table a co64 and the mdat with a 64-bit header; the offsets follow."""
    return _relaid_regular(mp4, 4, co64=True)


def _version1_header(kind, body):
    """A version 0 mvhd, tkhd or mdhd body in version 1: the two times and the duration widened."""
    assert body[0] == 0
    duration_at = 20 if kind == "tkhd" else 16
    return (b"\x01" + body[1:4] + struct.pack(">QQ", u32(body, 4), u32(body, 8)) + body[12:duration_at]
            + struct.pack(">Q", u32(body, duration_at)) + body[duration_at + 4:])


def _version1_elst(body):
    if body[0] == 1:
        return body
    entries = [struct.unpack_from(">IiI", body, 8 + 12 * i) for i in range(u32(body, 4))]
    return b"\x01" + body[1:8] + b"".join(struct.pack(">QqI", *e) for e in entries)


def _durations_widened(moov_body, wide):
    """A moov body whose mvhd, tkhd and mdhd bodies (and a tkhd's edit lists) are in version
    1 where wide(duration) says so."""
    def header(kind, body):
        duration = u32(body, 20 if kind == "tkhd" else 16)
        return _version1_header(kind, body) if wide(duration) else body

    def trak(body):
        widened = wide(u32(find_box(box("trak", body), "trak/tkhd"), 20))
        out = b""
        for kind, child in _children(body):
            if kind == "tkhd":
                child = header(kind, child)
            elif kind == "edts" and widened:
                child = _map_children(child, "elst", _version1_elst)
            elif kind == "mdia":
                child = _map_children(child, "mdhd", lambda b: header("mdhd", b))
            out += box(kind, child)
        return out
    return b"".join(box(k, header(k, b) if k == "mvhd" else trak(b) if k == "trak" else b)
                    for k, b in _children(moov_body))


def limit_layout(mp4, limit):
    """A regular MP4 as the writers lay it out when a 32-bit field holds no more than ``limit``:
    a header whose duration exceeds it in version 1 (the edit lists of a track header so
    widened too); the mdat with a 64-bit header where its size exceeds it; and, every chunk
    table a co64 first, a trak whose chunk offsets all stay within it there back on stco.
    ``mp4`` is the same file written with the full 32-bit limit (version 0 headers, stco
    tables, one mdat with an 8-byte header)."""
    moov_body = _durations_widened(find_box(mp4, "moov"), lambda d: d > limit)
    (mdat_body_at, mdat_end), = [(b0, b1) for k, b0, b1, _ in iter_boxes(mp4) if k == "mdat"]
    mdat64 = mdat_end - mdat_body_at + 8 > limit
    wide = _relaid_regular(mp4, 4, True, mdat64, moov_body)
    traks = find_all(wide, "moov/trak")
    narrow = {k for k, t in enumerate(traks) if max(mp4_sample_table(t)["chunk_offsets"], default=0) <= limit}
    return _relaid_regular(mp4, 4, set(range(len(traks))) - narrow, mdat64, moov_body)


# --------------------------------------------------------------------------
# Hostile inputs: large claimed counts and sizes, grown by a scale n
# --------------------------------------------------------------------------
# Each input grows linearly with n (a few bytes per unit), so a test can
# double it; what it claims (sample counts, frame or box lengths) is as
# large as its bytes allow, or larger.

FRAGMENTED_FTYP = box("ftyp", b"iso6\x00\x00\x02\x00iso6mp41")


def _fragmented(fragments, *, traks=None):
    moov = init_moov(*(traks or [init_trak(1, 90000)]))
    return FRAGMENTED_FTYP + moov + b"".join(fragments)


def claimed_samples(n, *, sample_size=0, count=None):
    """A fragmented file whose one trun claims ``count`` samples (default n) described by the
    tfhd defaults alone (duration 1, size ``sample_size``, flags 0), its data offset at the
    start of an mdat of n bytes."""
    count = n if count is None else count

    def trafs(base):
        return [traf(tfhd(1, duration=1, size=sample_size, flags=0), trun([], data_offset=base, count=count))]
    return _fragmented([placed_moof(trafs) + box("mdat", bytes(n))])


def one_sample_fragments(n):
    """n moof/mdat pairs of one one-byte sample each (about 130 bytes a pair, all alike)."""
    return _fragmented([fragment((1, [b"\x01"]), duration=1)] * n)


def runs_on_the_same_bytes(n, *, size=4096):
    """One moof whose n truns each claim one sample of ``size`` bytes at the same data offset:
    the start of an mdat that holds ``size`` bytes once."""
    def trafs(base):
        return [traf(tfhd(1, duration=1, flags=0), *[trun([{"size": size}], data_offset=base)] * n)]
    return _fragmented([placed_moof(trafs) + box("mdat", bytes(size))])


def stsz_beyond_the_file(n):
    """A regular MP4 whose video stsz claims 2^32 - 1 samples but lists n sizes, the first
    sample (a one-byte NAL unit) at the start of an mdat of n bytes."""
    def trak(body):
        t = simple_trak("vide", [5] * n, chunk_offset=body)
        at = t.index(b"stsz") + 12  # size, type, version and flags, sample size
        return t[:at] + struct.pack(">I", 0xFFFFFFFF) + t[at + 4:]
    return regular_mp4([trak], b"\x00\x00\x00\x01\x65" + bytes(n))


def table_samples_on_the_same_bytes(n, *, count=None, size=4096):
    """A partially fragmented file: its moov's tables give ``count`` samples (default n) of
    ``size`` bytes each, one a chunk, whose n chunk offsets all point at the start of the one
    mdat after the moov, of ``size`` bytes; then a fragment of one sample."""
    count = n if count is None else count

    def moov(mdat_body_at):
        tables = (full_box("stts", 0, 0, struct.pack(">III", 1, count, 1))
                  + full_box("stsc", 0, 0, struct.pack(">IIII", 1, 1, 1, 1))
                  + full_box("stsz", 0, 0, struct.pack(">II", size, count))
                  + full_box("stco", 0, 0, struct.pack(">I", n) + struct.pack(">I", mdat_body_at) * n))
        return init_moov(init_trak(1, 90000, tables=tables))
    at = len(FRAGMENTED_FTYP) + len(moov(0)) + 8
    return FRAGMENTED_FTYP + moov(at) + box("mdat", bytes(size)) + fragment((1, [b"\x01"]), duration=1)


def box_sizes_beyond_the_input(n, *, at_the_end=True):
    """A fragmented file of n one-sample fragments, each moof closing with a child whose 64-bit
    size runs far past its parent, and (``at_the_end``) a last top-level box whose 64-bit size
    runs past the file."""
    beyond = struct.pack(">I", 1) + b"free" + struct.pack(">Q", 1 << 62)
    def trafs(base):
        return [traf(tfhd(1, duration=1), trun([{"size": 1}], data_offset=base)), beyond]
    return _fragmented([placed_moof(trafs) + box("mdat", b"\x01")] * n) + (beyond if at_the_end else b"")


def _av_stream(video_es, audio_es, *, video_length=None, audio_length=None, pieces=1, audio_type=0x0F):
    """A TS with the video and audio elementary streams cut into ``pieces`` PES each."""
    def cut(es):
        step = -(-len(es) // pieces) or 1
        return [es[i:i + step] for i in range(0, len(es), step)]
    video = [pes(p, pts=9000 + 3600 * i, packet_length=video_length) for i, p in enumerate(cut(video_es))]
    audio = [pes(p, pts=9000 + 1920 * i, stream_id=0xC0, packet_length=audio_length)
             for i, p in enumerate(cut(audio_es))] if audio_es else []
    return ts_stream(video, audio, audio_type=audio_type)


def lying_pes_lengths(n):
    """A TS of n video and n audio PES, every PES_packet_length claiming 0xFFFF or 1 bytes
    where the PES holds about 400: small access units and ADTS frames inside."""
    unit = aud() + START + sps() + START + pps() + nal(5, b"\x88" + bytes(40))
    frame = adts_frame(bytes(60))
    out = []
    for i in range(n):
        length = 0xFFFF if i % 2 else 1
        out.append((pes(unit * 4, pts=9000 + 3600 * i, packet_length=length),
                    pes(frame * 6, pts=9000 + 1920 * i, stream_id=0xC0, packet_length=length)))
    return ts_stream([v for v, _ in out], [a for _, a in out])


def lying_adts_lengths(n):
    """A TS whose audio is n ADTS headers, each claiming the longest frame (8191 bytes) but
    followed by only 60 bytes before the next header, beside a one-picture video stream."""
    video = aud() + START + sps() + START + pps() + nal(5, b"\x88" + bytes(40))
    audio = adts_frame(bytes(60), frame_length=8191) * n
    return _av_stream(video, audio, pieces=max(1, n // 20))


def lying_ac3_lengths(n):
    """A TS whose AC-3 audio is n syncframes, each header claiming the longest frame at
    32 kHz (frmsizecod 37: 3840 bytes) but followed by only 60 bytes before the next
    sync word, beside a one-picture video stream."""
    video = aud() + START + sps() + START + pps() + nal(5, b"\x88" + bytes(40))
    audio = ac3_frame(fscod=2, frmsizecod=37, size=64) * n
    return _av_stream(video, audio, pieces=max(1, n // 20), audio_type=0x81)


def tiny_nal_units(n):
    """A TS whose video claims a NAL unit every 4 bytes (00 00 01 and a header byte), with an
    access-unit delimiter every 2 units: n units in all."""
    units = b"\x00\x00\x01\x09\x00\x00\x01\x41" * (n // 2)
    return _av_stream(START + sps() + START + pps() + units, b"", pieces=max(1, n // 40))


def tiny_adts_frames(n):
    """A TS whose audio is n ADTS frames of one payload byte each, beside a one-picture video."""
    video = aud() + START + sps() + START + pps() + nal(5, b"\x88" + bytes(40))
    return _av_stream(video, adts_frame(b"\x01") * n, pieces=max(1, n // 20))


# --------------------------------------------------------------------------
# Reading back with PyAV, as a player presents a file
# --------------------------------------------------------------------------


def presentation(data):
    """[(kind, payload, seconds, frame length in seconds, shown)] of every packet of ``data`` in
    file order, at the presentation times PyAV gives (edit lists applied); ``shown`` is False
    for a packet an edit skips whole (audio priming)."""
    import io

    import av
    out = []
    with av.open(io.BytesIO(data)) as c:
        for p in c.demux():
            if p.size and p.pts is not None:
                out.append((p.stream.type, bytes(p), float(p.pts * p.time_base),
                            float((p.duration or 0) * p.time_base), not p.is_discard))
    return out


def check_presentation(sources, result, *, tolerance=0.001):
    """Asserts that ``result`` presents what ``sources`` (one file, or several read apart, such
    as a video and an audio rendition) present: every packet, matched by payload in order, keeps
    its time relative to the first picture within ``tolerance`` seconds and none is lost; and the
    result starts at 0, to within one frame of its earliest track. Returns the time of the first
    packet shown per kind of track."""
    sources = [sources] if isinstance(sources, bytes) else sources
    source = [p for s in sources for p in presentation(s)]
    ours = presentation(result)
    assert sorted((k, b) for k, b, *_ in ours) == sorted((k, b) for k, b, *_ in source), "packets lost or added"

    def relative(packets):
        first_picture = min(t for k, _, t, *_ in packets if k == "video")
        times = {}
        for k, b, t, *_ in packets:
            times.setdefault((k, b), []).append(t - first_picture)
        return times

    theirs, mine = relative(source), relative(ours)
    worst = max(abs(a - b) for key in mine for a, b in zip(sorted(mine[key]), sorted(theirs[key])))
    assert worst < tolerance, f"a packet moved by {worst * 1000:.3f} ms"
    firsts = {}
    for k, _, t, length, shown in ours:
        if shown and (k not in firsts or t < firsts[k][0]):
            firsts[k] = (t, length)
    start, frame = min(firsts.values())
    assert abs(start) <= frame, f"the result starts at {start:.4f} s"
    return {k: t for k, (t, _) in firsts.items()}
