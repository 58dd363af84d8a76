"""Demultiplexing: packets, tables, PES, ADTS, parameter sets and the report."""
import pytest

import _quaver
import quaver
from builders import (AC3_DESCRIPTOR, EAC3_DESCRIPTOR, OPUS_REGISTRATION, START, ac3_frame, adts_frame, aud,
                      decoder_config, eac3_frame, find_all, find_box, hevc_key_unit, hevc_nal, hevc_slice, loas_frame,
                      mp4_sample_table, mpeg2_picture, mpeg2_sequence_header, mpeg2_unit, mpeg_audio_frame, nal, opus_descriptor, opus_packet, opus_toc,
                      parse_avcc, pat, pes, pmt, pps, sps, ts_packet, ts_program, ts_programs, ts_stream, u16, u32)

SPS = sps()
PPS = pps()
IDR = nal(5, b"\x88\x84\x21\xa0" * 8)
P = nal(1, b"\x9a\x02\x04" * 6)


def key_unit():
    return aud() + START + SPS + START + PPS + IDR


def video_pes(units, start=90000, step=3600):
    return [pes(u, pts=start + i * step, dts=start + i * step) for i, u in enumerate(units)]


def audio_pes(frames_per_pes, start=90000, step=1920, size=50):
    out, k = [], 0
    for count in frames_per_pes:
        payload = b"".join(adts_frame(bytes([0x21 + (k + j) % 50]) * size) for j in range(count))
        out.append(pes(payload, pts=start + k * step, stream_id=0xC0))
        k += count
    return out


def convert(ts):
    return _quaver.convert_ts_to_mp4(ts)


def traks(mp4):
    return [mp4_sample_table(t) for t in find_all(mp4, "moov/trak")]


def report_lines(capfd):
    return capfd.readouterr().out.splitlines()


def test_report_lines_and_their_format(capfd):
    ts = ts_stream(video_pes([key_unit(), aud() + P]), [
        pes(adts_frame(b"\x01" * 20), pts=126000, stream_id=0xC0),
        pes(adts_frame(b"\x02" * 20), pts=990000, stream_id=0xC0)])
    convert(ts)
    assert report_lines(capfd) == [
        "Found PIDs - Video: 256, Audio: 257",
        "Total audio frames collected: 2",
        "Total video frames collected: 2",
        "Audio PTS range: 126000 - 990000 (1.40 - 11.00 sec)",
        "Video PTS range: 90000 - 93600 (1.00 - 1.04 sec)",
    ]


def test_timestamps_unwrap_around_the_first_one_read(capfd):
    # The first timestamp read (video PTS 10) is the reference: 2^33 - 1 is
    # one tick before it, a damaged stamp 2^32 + 100 away folds back by 2^33
    # without moving the reference, and 2^32 + 10 exactly is kept as it is.
    wrap = 2 ** 33
    ts = ts_stream([pes(key_unit(), pts=10, dts=10), pes(aud() + P, pts=wrap - 1 - 3600, dts=wrap - 1 - 7200),
                    pes(aud() + P, pts=2 ** 32 + 110, dts=2 ** 32 + 110), pes(aud() + P, pts=3610, dts=3610)],
                   [pes(adts_frame(b"\x01" * 20), pts=wrap - 1, stream_id=0xC0),
                    pes(adts_frame(b"\x02" * 20), pts=2 ** 32 + 10, stream_id=0xC0)])
    mp4 = convert(ts)
    lines = report_lines(capfd)
    assert lines[3:] == ["Audio PTS range: -1 - 4294967306 (-0.00 - 47721.86 sec)",
                         "Video PTS range: 10 - 3610 (0.00 - 0.04 sec)"]
    # The unwrapped values time the tracks: the audio starts 11 ticks before the
    # first picture, not 2^33 - 11 after it. Each damaged step is a jump; the
    # tracks jump unequally often, so each track runs on over its jumps.
    v, a = traks(mp4)
    assert v["stts"] == [(4, 3000)] and a["stts"] == [(2, 1024)]
    elst = find_box(find_all(mp4, "moov/trak")[1], "edts/elst")
    assert [u32(elst, k) for k in (4, 8, 12)] == [1, 2 * 1920 - 11, 11 * 48000 // 90000]


def test_short_input_after_sync_reports_zero_counts(capfd):
    with pytest.raises(ValueError, match="^No video data found$"):
        convert(b"\x00\x47" + bytes(100))
    assert report_lines(capfd) == ["Total audio frames collected: 0", "Total video frames collected: 0"]


def test_garbage_before_and_between_packets_is_skipped(capfd):
    ts = ts_stream(video_pes([key_unit(), aud() + P, aud() + P]))
    packets = [ts[i:i + 188] for i in range(0, len(ts), 188)]
    noisy = b"\x12\x34" + packets[0] + b"junk" + b"".join(packets[1:3]) + b"\x00\x01" + b"".join(packets[3:])
    assert convert(noisy) == convert(ts)


def test_network_entry_first_in_pat_is_passed_over(capfd):
    body = [key_unit(), aud() + P]
    plain = ts_stream(video_pes(body))
    with_nit = ts_packet(0, pat(0x1000, entries=[(0, 0x10), (1, 0x1000)]), pusi=True) + plain[188:]
    assert convert(with_nit) == convert(plain)
    only_nit = plain[:188] + ts_packet(0, pat(0x1000, entries=[(0, 0x10)]), pusi=True) + plain[188:]
    # A PAT listing only program 0 keeps the PMT PID learned before it.
    assert convert(only_nit) == convert(plain)
    nothing = ts_packet(0, pat(0x1000, entries=[(0, 0x1000)]), pusi=True) + plain[188:]
    with pytest.raises(ValueError, match="No video data found"):
        convert(nothing)


def test_video_only_stream_converts(capfd):
    mp4 = convert(ts_stream(video_pes([key_unit(), aud() + P])))
    assert report_lines(capfd)[0] == "Found PIDs - Video: 256, Audio: none"
    assert len(find_all(mp4, "moov/trak")) == 1
    assert u32(find_box(mp4, "moov/mvhd"), 96) == 2  # next track ID


def test_mpeg1_audio_is_not_taken_for_aac(capfd):
    video = video_pes([key_unit(), aud() + P])
    mp2 = [pes(b"\xff\xfd" + bytes(100), pts=90000, stream_id=0xC0)]
    only_mp2 = ts_stream(video, mp2, audio_type=0x03)
    assert len(find_all(convert(only_mp2), "moov/trak")) == 1
    # With MPEG-1 audio listed first and ADTS second, the ADTS stream is chosen.
    aac = audio_pes([3])
    head = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(
        0x1000, pmt([(0x1B, 0x100), (0x03, 0x101), (0x0F, 0x102)]), pusi=True)
    body = ts_stream(video, aac, audio_pid=0x102, with_tables=False)
    mp4 = convert(head + body)
    assert report_lines(capfd)[-5] == "Found PIDs - Video: 256, Audio: 258"
    assert len(traks(mp4)[1]["sizes"]) == 3


def test_first_audio_candidate_wins_and_later_tables_are_ignored(capfd):
    video = video_pes([key_unit(), aud() + P])
    head = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(
        0x1000, pmt([(0x0F, 0x101), (0x1B, 0x100), (0x0F, 0x102)]), pusi=True)
    later = ts_packet(0, pat(0x1001), pusi=True) + ts_packet(0x1001, pmt([(0x1B, 0x200)]), pusi=True)
    body = ts_stream(video, audio_pes([2]), with_tables=False)
    convert(head + later + body)
    assert report_lines(capfd)[0] == "Found PIDs - Video: 256, Audio: 257"


def test_short_first_packet_of_a_pes_is_dropped_whole(capfd):
    # Payload of 8 bytes: too short for a PES header; no timestamp, no bytes.
    short = ts_packet(0x100, pes(b"", pts=1)[:8], pusi=True, adaptation=175)
    no_start = ts_packet(0x100, b"\x00\x00\x02" + bytes(20), pusi=True)
    ts = ts_stream(video_pes([key_unit()]))
    convert(ts[:2 * 188] + short + no_start + ts[2 * 188:])
    assert "Total video frames collected: 2" in report_lines(capfd)


def test_adts_frames_share_the_pts_of_their_pes(capfd):
    ts = ts_stream(video_pes([key_unit(), aud() + P]), audio_pes([3, 2], start=90000, step=0))
    mp4 = convert(ts)
    lines = report_lines(capfd)
    assert "Total audio frames collected: 5" in lines
    assert "Audio PTS range: 90000 - 90000 (1.00 - 1.00 sec)" in lines
    assert traks(mp4)[1]["sizes"] == [50] * 5


def test_adts_false_syncs_do_not_stop_the_audio(capfd):
    bad_length = b"\xff\xf1\x50\x80\x00\x1f\xfc"  # frame_length 0
    bad_layer = b"\xff\xf3\x50\x80\x10\x1f\xfc"  # layer bits 01
    crc_empty = adts_frame(b"", crc=True)  # a 9-byte frame with nothing after its header
    frames = [adts_frame(bytes([0x30 + i]) * 40) for i in range(3)]
    payload = bad_length + frames[0] + bad_layer + crc_empty + frames[1] + b"\x00\x11" + frames[2]
    ts = ts_stream(video_pes([key_unit()]), [pes(payload, pts=90000, stream_id=0xC0)])
    mp4 = convert(ts)
    t = traks(mp4)[1]
    assert t["sizes"] == [40, 40, 40]
    assert [mp4[o:o + 40] for o in t["offsets"]] == [bytes([0x30 + i]) * 40 for i in range(3)]


def test_audio_frames_spanning_packets_and_garbage_alone():
    frames = [adts_frame(bytes([0x40 + i]) * 300) for i in range(4)]
    junk = bytes(range(1, 255)) * 40  # no 0xFF at all: never a frame
    ts = ts_stream(video_pes([key_unit()]), [pes(junk, pts=90000, stream_id=0xC0),
                                             pes(b"".join(frames), pts=93000, stream_id=0xC0)])
    t = traks(convert(ts))[1]
    assert t["sizes"] == [300] * 4


def test_parameter_sets_cut_at_packet_end_are_taken_whole():
    # The SPS starts near the end of the first packet's payload and continues
    # in the next packet; the PPS first appears only in a continuation packet.
    long_sps = sps(pic_width_in_mbs_minus1=119, pic_height_in_map_units_minus1=67, crop=(0, 0, 0, 4),
                   vui=lambda w: w.u(1, 0).u(1, 0).u(1, 0).u(1, 1).u(32, 1).u(32, 50).u(1, 1)
                   .u(1, 0).u(1, 0).u(1, 0).u(1, 0))
    filler = nal(6, b"\x05\x10" + b"\x11" * 16 + b"\x80" * 120)  # SEI
    unit = aud() + filler + START + long_sps + nal(1, b"\x55" * 200) + START + PPS + IDR
    mp4 = convert(ts_stream(video_pes([unit, aud() + P])))
    avcc = parse_avcc(find_box(mp4, "moov/trak/mdia/minf/stbl/stsd/avc1/avcC"))
    assert avcc["sps"] == [long_sps] and avcc["pps"] == [PPS]
    entry = find_box(mp4, "moov/trak/mdia/minf/stbl/stsd/avc1")
    assert (u16(entry, 24), u16(entry, 26)) == (1920, 1080)


def program_stream(stream_type, info=b""):
    """A few PES of the kind a stream type (and for private data, its descriptors)
    announces."""
    audio = lambda frames: [pes(b"".join(frames), pts=90000 + 2880 * i, stream_id=0xC0) for i in range(2)]
    if stream_type == 0x1B:
        return video_pes([key_unit(), aud() + P])
    if stream_type == 0x02:
        return video_pes([mpeg2_unit(1), mpeg2_unit(2, temporal_reference=1)])
    if stream_type == 0x24:
        return video_pes([hevc_key_unit(), hevc_nal(35, b"\x50") + hevc_slice(1)])
    return audio({0x0F: [adts_frame(b"\x11" * 30)] * 2, 0x81: [ac3_frame()] * 2, 0x87: [eac3_frame()] * 2,
                  0x03: [mpeg_audio_frame()] * 2, 0x04: [mpeg_audio_frame(version=2)] * 2,
                  0x11: [loas_frame(b"\x21" * 30, same_mux=i > 0) for i in range(2)],
                  0x06: [opus_packet(opus_toc() + b"\x11" * 30)] * 2 if OPUS_REGISTRATION in info else
                  [eac3_frame() if EAC3_DESCRIPTOR in info else ac3_frame()] * 2}[stream_type])


AC3_INFO, EAC3_INFO, OPUS_INFO = AC3_DESCRIPTOR, EAC3_DESCRIPTOR, opus_descriptor()


@pytest.mark.parametrize("entries, pids, sample_entries", [
    # AAC streams choose as they always did.
    ([(0x1B, 0x100), (0x0F, 0x101)], (256, 257), ("avc1", "mp4a")),
    ([(0x0F, 0x101), (0x81, 0x102), (0x1B, 0x100)], (256, 257), ("avc1", "mp4a")),
    # H.264 before HEVC wherever each is listed; HEVC when alone.
    ([(0x24, 0x100), (0x1B, 0x102), (0x81, 0x101)], (258, 257), ("avc1", "ac-3")),
    ([(0x24, 0x100), (0x87, 0x101)], (256, 257), ("hvc1", "ec-3")),
    # MPEG-2 video after H.264 and HEVC wherever each is listed; MPEG-2 video when alone.
    ([(0x02, 0x100), (0x1B, 0x102), (0x0F, 0x101)], (258, 257), ("avc1", "mp4a")),
    ([(0x02, 0x100), (0x24, 0x102), (0x0F, 0x101)], (258, 257), ("hvc1", "mp4a")),
    ([(0x02, 0x100), (0x0F, 0x101)], (256, 257), ("mp4v", "mp4a")),
    # LATM AAC after AAC and before AC-3; Opus after MPEG audio; each taken alone.
    ([(0x1B, 0x100), (0x81, 0x101), (0x11, 0x102), (0x0F, 0x103)], (256, 259), ("avc1", "mp4a")),
    ([(0x1B, 0x100), (0x81, 0x101), (0x11, 0x102)], (256, 258), ("avc1", "mp4a")),
    ([(0x1B, 0x100), (0x06, 0x101, OPUS_INFO), (0x03, 0x102)], (256, 258), ("avc1", "mp4a")),
    ([(0x02, 0x100), (0x06, 0x101, OPUS_INFO)], (256, 257), ("mp4v", "Opus")),
    # AAC, else AC-3, else E-AC-3, else MPEG audio, wherever each is listed.
    ([(0x1B, 0x100), (0x03, 0x101), (0x81, 0x102), (0x0F, 0x103)], (256, 259), ("avc1", "mp4a")),
    ([(0x1B, 0x100), (0x03, 0x101), (0x87, 0x102), (0x06, 0x103, AC3_INFO)], (256, 259), ("avc1", "ac-3")),
    ([(0x1B, 0x100), (0x04, 0x101), (0x06, 0x102, EAC3_INFO), (0x81, 0x103)], (256, 259), ("avc1", "ac-3")),
    ([(0x1B, 0x100), (0x04, 0x101), (0x06, 0x102, b"\x05\x04AC-3" + EAC3_INFO)], (256, 258), ("avc1", "ec-3")),
    ([(0x1B, 0x100), (0x04, 0x101), (0x03, 0x102)], (256, 257), ("avc1", "mp4a")),
    # Private data without an AC-3 descriptor (subtitles, teletext) is no audio.
    ([(0x1B, 0x100), (0x06, 0x101, b"\x05\x04AC-3")], (256, None), ("avc1",)),
])
def test_stream_choice_by_type_and_descriptor(entries, pids, sample_entries, capfd):
    streams = [(e[0], e[1], (e[2:] or (b"",))[0], program_stream(*e[:1], *e[2:])) for e in entries]
    mp4 = convert(ts_program(streams))
    video, audio = pids
    assert report_lines(capfd)[0] == f"Found PIDs - Video: {video}, Audio: {'none' if audio is None else audio}"
    stsd = [find_box(t, "mdia/minf/stbl/stsd") for t in find_all(mp4, "moov/trak")]
    assert tuple(b[12:16].decode() for b in stsd) == sample_entries




# ---- MPEG-2 video -------------------------------------------------------------------

@pytest.mark.parametrize("header, object_type, size", [
    (mpeg2_sequence_header(), 0x61, (320, 240)),                           # Main
    (mpeg2_sequence_header(profile_and_level=0x58), 0x60, (320, 240)),     # Simple
    (mpeg2_sequence_header(profile_and_level=0x38), 0x62, (320, 240)),     # SNR scalable
    (mpeg2_sequence_header(profile_and_level=0x24), 0x63, (320, 240)),     # spatially scalable
    (mpeg2_sequence_header(profile_and_level=0x14), 0x64, (320, 240)),     # High
    (mpeg2_sequence_header(profile_and_level=0x85), 0x65, (320, 240)),     # 4:2:2
    (mpeg2_sequence_header(extension=False), 0x6A, (320, 240)),           # MPEG-1 syntax
    # Sizes and rates beyond the header's fields continue in the extension.
    (mpeg2_sequence_header(0x1780, 0x2010, bit_rate=0x40005, vbv=0x4FF), 0x61, (6016, 8208)),
    # With both quantiser matrices the configuration runs past 127 bytes.
    (mpeg2_sequence_header(1920, 1088, matrices=True), 0x61, (1920, 1088)),
])
def test_mpeg2_video_pictures_and_their_sample_entry(header, object_type, size, capfd):
    units = [mpeg2_unit(1, sequence=header, temporal_reference=2), mpeg2_unit(3), mpeg2_unit(3, temporal_reference=1),
             mpeg2_unit(1, sequence=False, temporal_reference=2),  # an I picture without a sequence header
             mpeg2_unit(3), mpeg2_unit(3, temporal_reference=1), mpeg2_unit(1, sequence=header, gop=False)]
    shown = [2, 0, 1, 5, 3, 4, 6]
    # Bytes before the first header belong to no picture; a sequence end code stays with the last.
    stream = [b"\x00\x00\x01\xb2junk" + units[0]] + units[1:-1] + [units[-1] + b"\x00\x00\x01\xb7"]
    mp4 = convert(ts_stream([pes(u, pts=93600 + 3600 * s, dts=90000 + 3600 * i)
                             for i, (u, s) in enumerate(zip(stream, shown))], video_type=0x02))
    trak = find_all(mp4, "moov/trak")[0]
    t = mp4_sample_table(trak)
    assert [mp4[o:o + n] for o, n in zip(t["offsets"], t["sizes"])] == units[:-1] + [units[-1] + b"\x00\x00\x01\xb7"]
    assert t["stss"] == [1, 7] and t["durations"] == [3600] * 7
    assert t["cts_offsets"] == [3600 * (s - i) - 7200 for i, s in enumerate(shown)]
    entry = find_box(trak, "mdia/minf/stbl/stsd/mp4v")
    assert (u16(entry, 24), u16(entry, 26)) == size
    bits, buffer = read_mpeg2_rates(header)
    assert decoder_config(find_box(entry[78:], "esds")) == dict(
        object_type=object_type, stream_type=0x11, buffer_size=min(buffer, 0xFFFFFF), max_bit_rate=bits,
        avg_bit_rate=bits, specific=header)


def read_mpeg2_rates(header):
    """(bit/s, VBV bytes) a sequence header and its extension declare."""
    rate = (header[8] << 10) | (header[9] << 2) | (header[10] >> 6)
    vbv = ((header[10] & 0x1F) << 5) | (header[11] >> 3)
    ext = header.find(b"\x00\x00\x01\xb5")
    if ext > 0:
        e = header[ext + 4:]
        rate |= (((e[2] & 0x1F) << 7) | (e[3] >> 1)) << 18
        vbv |= e[4] << 10
    return rate * 400, vbv * 2048


@pytest.mark.parametrize("own_pes", [False, True])
def test_mpeg2_field_pictures_pair_into_frames(own_pes, capfd):
    # An I top field with its P bottom field, two B fields, then a frame picture: three
    # samples, the first a sync sample, each with the times of its first field's PES.
    # A second field in a PES of its own leaves that PES's times unused.
    units = [mpeg2_unit(1, structure=1) + mpeg2_picture(2, structure=2),
             mpeg2_unit(3, structure=2) + mpeg2_picture(3, structure=1), mpeg2_unit(2)]
    cut = units[0].index(mpeg2_picture(2, structure=2))
    payloads = [units[0][:cut], units[0][cut:]] + units[1:] if own_pes else units
    starts = [90000, 91800, 93600, 97200] if own_pes else [90000, 93600, 97200]
    mp4 = convert(ts_stream([pes(u, pts=t + 3600, dts=t) for u, t in zip(payloads, starts)], video_type=0x02))
    t = mp4_sample_table(find_all(mp4, "moov/trak")[0])
    assert [mp4[o:o + n] for o, n in zip(t["offsets"], t["sizes"])] == units and t["stss"] == [1]
    assert t["durations"] == [3600, 3600, 3600]


def test_mpeg2_video_started_mid_gop_starts_at_its_first_key_picture(capfd):
    # A recording started at a P and a B picture; then an I picture with its sequence header,
    # two B pictures shown before it (an open GOP's), a P picture, and two B pictures shown
    # before that P but after the I: the file starts with the I, without the first four.
    units = [mpeg2_unit(2, sequence=False, fill=bytes([k]) * 20) for k in range(2)] + [mpeg2_unit(1)] + \
        [mpeg2_unit(3, fill=bytes([k]) * 20) for k in (3, 4)] + [mpeg2_unit(2)] + \
        [mpeg2_unit(3, fill=bytes([k]) * 20) for k in (6, 7)]
    shown = [1, 0, 4, 2, 3, 7, 5, 6]
    mp4 = convert(ts_stream([pes(u, pts=93600 + 3600 * s, dts=90000 + 3600 * i)
                             for i, (u, s) in enumerate(zip(units, shown))], video_type=0x02))
    t = mp4_sample_table(find_all(mp4, "moov/trak")[0])
    assert [mp4[o:o + n] for o, n in zip(t["offsets"], t["sizes"])] == [units[i] for i in (2, 5, 6, 7)]
    assert t["stss"] == [1] and t["cts_offsets"] == [3600 * (shown[i] - i - 2) for i in (2, 5, 6, 7)]


def test_mpeg2_video_without_a_sequence_header_or_an_i_picture(capfd):
    # No sequence header: Main profile and no decoder configuration; no I picture: no key frame.
    units = [mpeg2_unit(2, sequence=False), mpeg2_unit(3, sequence=False)]
    ts = ts_stream([pes(u, pts=90000 + 3600 * i) for i, u in enumerate(units)], video_type=0x02)
    trak = find_all(convert(ts), "moov/trak")[0]
    assert decoder_config(find_box(find_box(trak, "mdia/minf/stbl/stsd/mp4v")[78:], "esds")) == dict(
        object_type=0x61, stream_type=0x11, buffer_size=0, max_bit_rate=0, avg_bit_rate=0, specific=None)
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        _quaver.extract_thumbnail_from_ts(ts)


# ---- programmes, their maps and what is left out ---------------------------------

LANG = lambda code: b"\x0a\x04" + code + b"\x00"  # ISO 639 language descriptor
PADDING = b"\x80\x28" + bytes(40)  # a user-private descriptor: long maps run over one packet


def video(pid=0x100):
    return (0x1B, pid, b"", program_stream(0x1B))


def audio(pid, stream_type=0x0F, info=b""):
    return (stream_type, pid, info, program_stream(stream_type, info))


def bad_crc(packet):
    """A PSI packet with its section's last CRC byte changed."""
    end = 5 + 3 + (((packet[6] & 0x0F) << 8) | packet[7])  # pointer_field 0: the section ends there
    return packet[:end - 1] + bytes([packet[end - 1] ^ 0xFF]) + packet[end:]


FOUR_AUDIO = [video(), audio(0x101, info=LANG(b"deu") + PADDING), audio(0x102, 0x81, LANG(b"eng") + PADDING),
              audio(0x103, info=LANG(b"fra") + PADDING), audio(0x104, info=PADDING)]
TWO = [(1, 0x1000, [video(0x100), audio(0x101)]), (2, 0x1001, [video(0x200), audio(0x201)])]


def decoy_tables():
    """A PAT and a PMT copy that fail their CRC (naming other PIDs), then good copies."""
    decoy = ts_packet(0, pat(0, entries=[(1, 0x1001)]), pusi=True, pad=False)
    decoy_map = ts_packet(0x1000, pmt([(0x1B, 0x200), (0x0F, 0x201)]), pusi=True, pad=False)
    good = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(0x1000, pmt([(0x1B, 0x100), (0x0F, 0x101)]), pusi=True)
    return bad_crc(decoy) + bad_crc(decoy_map) + good


@pytest.mark.parametrize("ts, found, left_out", [
    # A map of five streams with long descriptors runs over two packets: the
    # streams listed in the second are seen too.
    (ts_program(FOUR_AUDIO), "Video: 256, Audio: 257",
     ["PID 258 audio AC-3 [eng]: second audio track", "PID 259 audio AAC [fra]: third audio track",
      "PID 260 audio AAC: fourth audio track"]),
    # Sections failing their CRC are passed over for the next copy.
    (ts_programs([(1, 0x1000, [video(), audio(0x101)])], tables=decoy_tables()), "Video: 256, Audio: 257", []),
    # A PAT of five programmes of which only the fourth has its map in the stream.
    (ts_programs([(4, 0x1003, [video(0x300), audio(0x301)])],
                 pat_entries=[(n, 0x1000 + n - 1) for n in range(1, 6)]), "Video: 768, Audio: 769", []),
    (ts_programs(TWO), "Video: 256, Audio: 257", ["program 2 (PID 512 video H.264, PID 513 audio AAC): another program"]),
    # A programme whose video is scrambled is passed over; a scrambled audio stream too.
    (ts_programs(TWO, scrambled={0x100, 0x101}), "Video: 512, Audio: 513",
     ["program 1 (PID 256 video H.264, PID 257 audio AAC): scrambled"]),
    (ts_program([video(), audio(0x101), audio(0x102, 0x81)]), "Video: 256, Audio: 257",
     ["PID 258 audio AC-3: second audio track"]),
    (ts_programs([(1, 0x1000, [video(), audio(0x101), audio(0x102, 0x81)])], scrambled={0x101}),
     "Video: 256, Audio: 258", ["PID 257 audio AAC: scrambled"]),
    # Whatever is neither video nor audio is no omission.
    (ts_program([video(), audio(0x101), (0x86, 0x110, b"", [b"\x00\xfc" + bytes(30)]),
                 (0x06, 0x111, b"\x59\x08engX\x00\x01\x00\x01", [pes(b"\x20\x00", pts=90000, stream_id=0xBD)])]),
     "Video: 256, Audio: 257", []),
    # Private data the map names no format for, whose PES say audio, is said to be left out.
    (ts_program([video(), audio(0x101), (0x06, 0x102, b"", [pes(adts_frame(b"\x21" * 30), pts=90000,
                                                                 stream_id=0xC0)])]),
     "Video: 256, Audio: 257", ["PID 258 audio of a format the map does not name: a codec quaver does not carry"]),
    # MPEG-2 video, LATM AAC and Opus are carried: another track of their kind was taken.
    (ts_program([audio(0x101, 0x11), video(), audio(0x102, 0x06, opus_descriptor()), (0x02, 0x103, b"",
                                                                                      program_stream(0x02))]),
     "Video: 256, Audio: 257", ["PID 258 audio Opus: second audio track", "PID 259 video MPEG-2: second video track"]),
], ids=["map over two packets", "bad CRC, then a good copy", "five programmes, one map", "two programmes",
        "first programme scrambled", "second audio track", "scrambled audio", "data streams", "undeclared audio",
        "broadcast codecs"])
def test_programme_choice_and_what_is_left_out(ts, found, left_out, capfd):
    mp4 = convert(ts)
    assert report_lines(capfd)[0] == f"Found PIDs - {found}"
    lines = []
    assert quaver.remux(ts, report=lines.append) == mp4
    assert [line[len("left out: "):] for line in lines if line.startswith("left out: ")] == left_out
    assert lines[:-len(left_out) or None] == report_lines_of(ts, capfd)


def report_lines_of(ts, capfd):
    convert(ts)
    return report_lines(capfd)


def test_every_programme_with_video_scrambled(capfd):
    ts = ts_programs(TWO, scrambled={0x100, 0x101, 0x200, 0x201})
    with pytest.raises(ValueError, match="^No video data found$"):
        convert(ts)
    assert report_lines(capfd) == ["Total audio frames collected: 0", "Total video frames collected: 0"]
    with pytest.raises(quaver.UnsupportedInput, match="^every program with video is scrambled$"):
        quaver.remux(ts)
    with pytest.raises(quaver.UnsupportedInput, match="^every program with video is scrambled$"):
        quaver.thumbnail(ts)
    assert [p["scrambled"] for p in quaver.probe(ts)["programs"]] == [True, True]


def test_adts_frames_under_an_mpeg_audio_type_are_aac(capfd):
    frames = [adts_frame(bytes([0x21 + k]) * 30) for k in range(4)]
    ts = ts_program([video(), (0x04, 0x101, b"", [pes(b"".join(frames[:2]), pts=90000, stream_id=0xC0),
                                                  pes(b"".join(frames[2:]), pts=92048, stream_id=0xC0)])])
    mp4 = convert(ts)
    a = find_all(mp4, "moov/trak")[1]
    assert find_box(a, "mdia/minf/stbl/stsd")[12:16] == b"mp4a"
    assert decoder_config(find_box(a, "mdia/minf/stbl/stsd/mp4a/esds"))["object_type"] == 0x40
    table = mp4_sample_table(a)
    assert [mp4[o:o + n] for o, n in zip(table["offsets"], table["sizes"])] == [bytes([0x21 + k]) * 30 for k in range(4)]
    assert [t["codec"] for t in quaver.probe(ts)["tracks"]] == ["h264", "aac"]


def test_metadata_cues_subtitles_teletext_null_packets_and_a_pcr_pid_are_ignored(capfd):
    # ID3 timed metadata, SCTE-35 cues, DVB subtitles and teletext listed in the
    # map, null packets, and the clock on a PID of its own change nothing.
    clean = ts_program([video(), audio(0x101)])
    private = lambda tag, body: [pes(bytes([tag]) + body, pts=90000 + 3600 * k, stream_id=0xBD) for k in range(3)]
    others = [(0x15, 0x102, b"\x26\x0dID3 \xff\x09ID3 \x00", private(0x49, b"D3\x04\x00\x00\x00\x00\x00\x00")),
              (0x86, 0x103, b"", [b"\x00\xfc\x30\x11" + bytes(17)] * 3),
              (0x06, 0x104, b"\x59\x08eng\x10\x00\x01\x00\x01", private(0x20, b"\x00\x0f")),
              (0x06, 0x105, b"\x56\x05deu\x09\x00", private(0x10, b"\x02\x2c" + bytes(44)))]
    streams = [video(), audio(0x101)] + others
    tables = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(
        0x1000, pmt([(t, pid, info) for t, pid, info, _ in streams], pcr_pid=0x1FF), pusi=True)
    body = ts_programs([(1, 0x1000, streams)], tables=tables)
    packets = [body[i:i + 188] for i in range(0, len(body), 188)]
    noisy = b"".join(p + (ts_packet(0x1FFF, b"\xff" * 184) if k % 3 else ts_packet(0x1FF, pcr=27000 * k))
                     for k, p in enumerate(packets))
    mp4 = convert(clean)
    assert convert(noisy) == mp4
    lines = []
    assert quaver.remux(noisy, report=lines.append) == mp4
    assert not any(line.startswith("left out") for line in lines)
    tracks = quaver.probe(noisy)["tracks"]
    assert [(t["pid"], t["kind"], t["codec"]) for t in tracks[2:]] == [
        (258, "other", "timed_id3"), (259, "other", "scte_35"), (260, "other", "dvb_subtitle"),
        (261, "other", "dvb_teletext")]
    capfd.readouterr()


def test_a_programme_without_video_gives_audio_alone_in_the_package_only(capfd):
    radio = ts_program([audio(0x100), audio(0x101, 0x81)])
    with pytest.raises(ValueError, match="^No video data found$"):
        convert(radio)
    assert report_lines(capfd) == ["Total audio frames collected: 0", "Total video frames collected: 0"]
    lines = []
    mp4 = quaver.remux(radio, report=lines.append)
    assert lines[0] == "Found PIDs - Video: none, Audio: 256"
    assert lines[-1] == "left out: PID 257 audio AC-3: second audio track"
    (trak,) = find_all(mp4, "moov/trak")
    assert u32(find_box(trak, "tkhd"), 12) == 1 and find_box(trak, "mdia/hdlr")[8:12] == b"soun"
    assert mp4_sample_table(trak)["sizes"] == [30] * 4
    with pytest.raises(quaver.NothingToDo, match="^no video: a key frame is taken from video, and the input holds"):
        quaver.thumbnail(radio)
    silent = ts_program([(0x0F, 0x100, b"", [pes(bytes(40), pts=90000, stream_id=0xC0)])])
    with pytest.raises(quaver.NothingToDo, match="^no video in the input, and no frame of its audio could be read$"):
        quaver.remux(silent)
