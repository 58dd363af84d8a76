"""The MP4 written from a transport stream: layout, timing, tables, audio track."""
import struct

import pytest

import _quaver
import quaver
from builders import (RECOVERY_POINT, START, adts_frame, aud, box, find_all, find_box, fragment, full_box,
                      hevc_key_unit, hevc_nal, hevc_slice, init_moov, init_trak, iter_boxes, limit_layout,
                      mp4_sample_table, nal, pes, pps, sei, slice_nal, split_annexb, sps,
                      ts_packet, ts_program, ts_stream, u32)

SPS = sps(pic_width_in_mbs_minus1=119, pic_height_in_map_units_minus1=67, crop=(0, 0, 0, 4))
PPS = pps()
IDR = nal(5, b"\x88\x84\x21\xa0" * 8)
P = nal(1, b"\x9a\x02\x04" * 6)
MATRIX = struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)


def key_unit():
    return aud() + START + SPS + START + PPS + IDR


def stream(units, stamps, audio=()):
    """units: Annex B access units; stamps: (pts, dts) per unit; audio: (pts, [frame payloads])."""
    vpes = [pes(u, pts=p, dts=d) for u, (p, d) in zip(units, stamps)]
    apes = [pes(b"".join(adts_frame(f, **kw) for f in frames), pts=p, stream_id=0xC0) for p, frames, kw in
            [(a[0], a[1], a[2] if len(a) > 2 else {}) for a in audio]]
    return ts_stream(vpes, apes)


def convert(ts):
    return _quaver.convert_ts_to_mp4(ts)


def tables(mp4):
    return [mp4_sample_table(t) for t in find_all(mp4, "moov/trak")]


def top_boxes(mp4):
    return [(t, s, e) for t, s, e, _ in iter_boxes(mp4)]


def test_mainstream_layout_byte_for_byte():
    units = [key_unit(), aud() + P, aud() + P]
    stamps = [(90000 + 3600 * i, 90000 + 3600 * i) for i in range(3)]
    frames = [b"\x11" * 371, b"\x12" * 372, b"\x13" * 380]
    mp4 = convert(stream(units, stamps, [(90000, frames)]))

    assert mp4[:28] == box(b"ftyp", b"isom" + b"\x00\x00\x02\x00" + b"isomiso2mp41")
    (t1, s1, e1), (t2, s2, e2) = top_boxes(mp4)[1:]
    assert (t1, t2) == ("moov", "mdat")
    moov_size = e1 - s1 + 8
    samples = [IDR[4:], P[4:], P[4:]]
    video = b"".join(struct.pack(">I", len(s)) + s for s in samples)
    assert mp4[s2:] == video + b"".join(frames)
    # 555 + 4n, + avcC (19 + s + p), + stss (16 + 4k), + audio track (424 + 4m).
    assert moov_size == 555 + 12 + 19 + len(SPS) + len(PPS) + 20 + 424 + 12
    assert len(mp4) == 28 + moov_size + 8 + len(video) + 1123

    assert find_box(mp4, "moov/mvhd") == full_box(b"mvhd", 0, 0, struct.pack(
        ">IIII", 0, 0, 90000, 3 * 3600) + struct.pack(">IH10x", 0x10000, 0x100) + MATRIX + bytes(24)
        + struct.pack(">I", 3))[8:]
    vtrak, atrak = find_all(mp4, "moov/trak")
    assert find_box(vtrak, "tkhd") == full_box(b"tkhd", 0, 7, struct.pack(
        ">IIIII8xHHHH", 0, 0, 1, 0, 10800, 0, 0, 0, 0) + MATRIX + bytes.fromhex("07800000 04380000"))[8:]
    assert find_box(vtrak, "mdia/mdhd") == bytes(12) + struct.pack(">IIHH", 90000, 10800, 0x55C4, 0)
    assert find_box(vtrak, "mdia/hdlr") == bytes(8) + b"vide" + bytes(13)
    assert find_box(vtrak, "mdia/minf/vmhd") == bytes.fromhex("00000001") + bytes(8)
    assert find_box(vtrak, "mdia/minf/dinf") == bytes.fromhex("0000001c6472656600000000000000010000000c75726c2000000001")
    avc1 = find_box(vtrak, "mdia/minf/stbl/stsd/avc1")
    assert avc1[:78] == (bytes(6) + b"\x00\x01" + bytes(16) + bytes.fromhex("07800438 00480000 00480000")
                         + bytes(4) + b"\x00\x01" + bytes(32) + b"\x00\x18\xff\xff")
    assert avc1[78:] == box(b"avcC", b"\x01" + SPS[1:4] + b"\xff\xe1" + struct.pack(">H", len(SPS)) + SPS
                            + b"\x01" + struct.pack(">H", len(PPS)) + PPS)
    stbl = find_box(vtrak, "mdia/minf/stbl")
    assert [t for t, *_ in iter_boxes(stbl)] == ["stsd", "stts", "stsc", "stsz", "stco", "stss"]
    v, a = tables(mp4)
    assert v["stts"] == [(3, 3600)] and v["stsc"] == [(1, 3, 1)] and v["sizes"] == [len(s) + 4 for s in samples]
    assert v["chunk_offsets"] == [moov_size + 36] and v["stss"] == [1]

    # The audio media runs on its sample rate, the track header on the movie's 90 kHz.
    assert find_box(atrak, "tkhd")[12:32] == struct.pack(">IIIII", 2, 0, 5760, 0, 0)
    assert find_box(atrak, "mdia/mdhd") == bytes(12) + struct.pack(">IIHH", 48000, 3072, 0x55C4, 0)
    assert find_box(atrak, "mdia/hdlr") == bytes(8) + b"soun" + bytes(13)
    assert find_box(atrak, "mdia/minf/smhd") == bytes(8)
    mp4a = find_box(atrak, "mdia/minf/stbl/stsd/mp4a")
    assert mp4a[:28] == bytes(6) + b"\x00\x01" + bytes(8) + bytes.fromhex("0002 0010 0000 0000 bb800000")
    assert find_box(atrak, "mdia/minf/stbl/stsd/mp4a/esds") == bytes.fromhex(
        "00000000 0319 0001 00 0411 40 15 000300 0001f400 0001f400 0502 1190 060102")
    assert a["stts"] == [(3, 1024)] and a["sizes"] == [371, 372, 380]
    assert a["chunk_offsets"] == [moov_size + len(video) + 36]
    assert find_box(atrak, "edts") is None


@pytest.mark.parametrize("stamps, stts", [
    # A regular clock: one duration.
    ([(0, None), (3003, None), (6006, None), (9009, None)], [(4, 3003)]),
    ([(0, None), (1, None), (2, None)], [(3, 1)]),
    # The decode time counts, not the presentation time.
    ([(3600, 0), (10800, 3600), (7200, 7200)], [(3, 3600)]),
    # 59.94 fps steps 1501 and 1502 ticks and keeps them; the last sample lasts
    # the most common step, the smaller on a tie.
    ([(0, None), (1501, None), (3003, None), (4504, None), (6006, None)],
     [(1, 1501), (1, 1502), (1, 1501), (1, 1502), (1, 1501)]),
    ([(0, None), (3003, None), (6007, None)], [(1, 3003), (1, 3004), (1, 3003)]),
    # A packager's 0/6006 pair becomes 1/6005: a repeated decode time, or one a
    # little behind, lasts one tick and the next sample keeps its time.
    ([(0, 0), (3003, 3003), (6006, 3003), (9009, 9009), (12012, 12012)], [(1, 3003), (1, 1), (1, 6005), (2, 3003)]),
    ([(0, None), (3000, None), (2000, None), (6000, None)], [(1, 3000), (1, 1), (1, 2999), (1, 3000)]),
    ([(0, None), (0, None), (1, None)], [(3, 1)]),
    ([(7, None), (7, None), (7, None)], [(2, 1), (1, 3000)]),
    # Untimed samples follow one nominal step apart, and the untimed run's last
    # sample lasts until the next timed one; a clock without steps gives 3000.
    ([(0, None), (None, None), (10000, None), (13000, None), (16000, None)],
     [(1, 3000), (1, 7000), (3, 3000)]),
    ([(None, None), (None, None), (9000, None), (12000, None)], [(4, 3000)]),
    ([(5, None)], [(1, 3000)]),
    ([(None, None), (None, None)], [(2, 3000)]),
])
def test_video_durations_follow_the_decode_times(stamps, stts):
    mp4 = convert(stream([key_unit()] + [aud() + P] * (len(stamps) - 1), stamps))
    v, = tables(mp4)
    assert v["stts"] == stts
    total = sum(n * d for n, d in stts)
    assert u32(find_box(mp4, "moov/mvhd"), 16) == u32(find_box(mp4, "moov/trak/tkhd"), 20) == v["duration"] == total


F = b"\x31" * 40  # an AAC frame: 1024 samples at 48 kHz, 1920 ticks
VIDEO = [(90000 + 3600 * i, None) for i in range(6)]
WRAP = 2 ** 32


def pictures(stamps):
    return [key_unit()] + [aud() + P] * (len(stamps) - 1)


AAC = adts_frame(F)


@pytest.mark.parametrize("audio, stts", [
    # A lost frame stays a gap: the frame before it lasts until the next one.
    ([(90000, AAC * 2), (90000 + 3 * 1920, AAC * 2)], [(1, 1024), (1, 2048), (2, 1024)]),
    # Times off by up to half a frame later, or earlier, are jitter: the frame follows on.
    ([(90000, AAC), (91920 + 300, AAC), (93840 - 500, AAC), (95760 + 960, AAC)], [(4, 1024)]),
    ([(90000, AAC * 2), (91920, AAC * 2)], [(4, 1024)]),
    ([(90000, AAC), (None, AAC * 2), (95760, AAC)], [(4, 1024)]),
    # Frames take their place in the PES they begin in: the third frame begins
    # in the first PES, whose PTS times it, and ends in the second.
    ([(90000, (AAC * 3)[:-20]), (95760, AAC[-20:] + AAC)], [(4, 1024)]),
])
def test_audio_frames_keep_their_time(audio, stts, capfd):
    mp4 = convert(ts_stream([pes(u, pts=p) for u, (p, _) in zip(pictures(VIDEO), VIDEO)],
                            [pes(data, pts=pts, stream_id=0xC0) for pts, data in audio]))
    assert tables(mp4)[1]["stts"] == stts
    # The report still gives the PTS each frame was cut under.
    assert f"Audio PTS range: 90000 - {audio[-1][0]}" in capfd.readouterr().out


@pytest.mark.parametrize("video, audio, video_stts, audio_stts", [
    # Both clocks start again (recordings joined end to end): the second part
    # starts where the first ended (its video, later) and keeps its audio 1000
    # ticks after its first picture.
    ([90000, 93600, 97200, 9000, 12600], [(88000, [F] * 3), (10000, [F] * 2)],
     [(5, 3600)], [(2, 1024), (1, (101800 - 91840) * 48000 // 90000), (2, 1024)]),
    ([90000, 93600, 97200, 1897200, 1900800], [(90000, [F] * 2), (1897700, [F] * 2)],
     [(5, 3600)], [(1, 1024), (1, (101300 - 91920) * 48000 // 90000), (2, 1024)]),
    # Forward steps of up to 10 s in both tracks are kept as time.
    ([90000, 93600, 97200, 547200, 550800], [(90000, [F] * 2), (547200, [F] * 2)],
     [(2, 3600), (1, 450000), (2, 3600)], [(1, 1024), (1, (547200 - 91920) * 48000 // 90000), (2, 1024)]),
    # Only one track's clock starts again: it runs on over its jump.
    ([90000, 93600, 97200, 9000, 12600], [(90000, [F] * 5)], [(5, 3600)], [(5, 1024)]),
    ([90000, 93600, 97200], [(90000, [F] * 2), (9000, [F] * 2)], [(3, 3600)], [(4, 1024)]),
    # A clock 13.2 hours past the first timestamp folds back 2^33 in both
    # tracks: a join. The audio folds 1920 ticks of source time before the
    # video, so both tracks go on 1920 ticks later than a seamless clock.
    ([WRAP - 7200 + 3600 * i for i in range(5)], [(WRAP - 6000 + 1920 * i, [F]) for i in range(7)],
     [(2, 3600), (1, 3600 + 1920), (2, 3600)], [(3, 1024), (1, 2048), (3, 1024)]),
    # Absurd clocks: tracks 2^32 ticks apart are not believed to belong together;
    # each part starts where the later track ended, and nothing lasts 13 hours.
    ([0, WRAP, 0, WRAP], [(WRAP, [F]), (0, [F]), (WRAP, [F]), (0, [F])],
     [(4, 3000)], [(1, 1601), (1, 1599), (1, 1601), (1, 1024)]),
])
def test_durations_through_joins_and_gaps(video, audio, video_stts, audio_stts, capfd):
    vpes = [pes(u, pts=p) for u, p in zip(pictures(video), video)]
    # An audio PES without frames comes first: its PTS, 0, is the clock's reference.
    apes = [pes(b"\x11" * 20, pts=0, stream_id=0xC0)] + [
        pes(b"".join(adts_frame(f) for f in frames), pts=p, stream_id=0xC0) for p, frames in audio]
    v, a = tables(convert(ts_program([(0x0F, 0x101, b"", apes), (0x1B, 0x100, b"", vpes)])))
    assert (v["stts"], a["stts"]) == (video_stts, audio_stts)


def test_composition_offsets_relative_to_the_first():
    # Negative offsets (pictures shown before the first one decoded) need the
    # signed version 1; a table without them stays version 0.
    stamps = [(96006, 90000), (93600, 93600), (100803, 97800)]  # PTS - DTS: 6006, 0, 3003
    mp4 = convert(stream([key_unit(), aud() + P, aud() + P], stamps))
    ctts = find_box(mp4, "moov/trak/mdia/minf/stbl/ctts")
    assert ctts == b"\x01" + bytes(3) + struct.pack(">I", 3) + bytes.fromhex(
        "00000001 00000000 00000001 ffffe88a 00000001 fffff445")
    stamps = [(90000, 90000), (99600, 93600), (97200, 97200)]  # PTS - DTS: 0, 6000, 0
    ctts = find_box(convert(stream([key_unit(), aud() + P, aud() + P], stamps)), "moov/trak/mdia/minf/stbl/ctts")
    assert ctts == bytes(4) + struct.pack(">I", 3) + bytes.fromhex(
        "00000001 00000000 00000001 00001770 00000001 00000000")


def test_no_ctts_when_offsets_are_equal():
    stamps = [(90000 + 3600 * i, 86400 + 3600 * i) for i in range(3)]
    mp4 = convert(stream([key_unit(), aud() + P, aud() + P], stamps))
    assert find_box(mp4, "moov/trak/mdia/minf/stbl/ctts") is None


def test_ctts_has_one_entry_per_sample_when_counts_differ():
    # Two PES of which the second carries two access units: 3 samples, 2 stamps.
    units = [key_unit(), aud() + P + aud() + P]
    mp4 = convert(stream(units, [(93600, 90000), (97200, 97200)]))
    v, = tables(mp4)
    assert len(v["sizes"]) == 3
    assert v["ctts"] == [(1, 0), (1, -3600), (1, 0)]
    # More stamps than samples: only the first n are used.
    units = [key_unit() + aud() + P, b"\x00\x00\x00", P]
    mp4 = convert(stream(units, [(90000, 90000), (93600, 93600), (99000, 97200)]))
    v, = tables(mp4)
    assert len(v["sizes"]) == 2 and v["ctts"] is None


def test_sync_samples_are_the_idr_samples():
    units = [key_unit(), aud() + P, key_unit(), aud() + P]
    stamps = [(90000 + 3600 * i, None) for i in range(4)]
    stbl = find_box(convert(stream(units, stamps)), "moov/trak/mdia/minf/stbl")
    assert [t for t, *_ in iter_boxes(stbl)][-1] == "stss"
    assert find_box(stbl, "stss") == bytes(4) + struct.pack(">III", 2, 1, 3)
    all_idr = convert(stream([key_unit(), key_unit()], stamps[:2]))
    assert find_box(all_idr, "moov/trak/mdia/minf/stbl/stss") is None
    # Without any random access point the stream converts whole, its first sample the only sync one.
    no_idr = convert(stream([aud() + P, aud() + P], stamps[:2]))
    assert find_box(no_idr, "moov/trak/mdia/minf/stbl/stss") == bytes(4) + struct.pack(">II", 1, 1)


# Access units of a stream that may start anywhere: non-IDR I, P and B pictures, a
# recovery point SEI, and the decode-order stamps (in frames of 3600 ticks) of an open GOP.
I_SLICE, P_SLICE, B_SLICE = (slice_nal(1, slice_type=t) for t in (7, 5, 6))
MARKED = sei((5, b"\x11" * 20), RECOVERY_POINT) + I_SLICE  # behind a user-data message
AU = {"P": P_SLICE, "B": B_SLICE, "I": I_SLICE, "R": MARKED, "K": IDR}


@pytest.mark.parametrize("pictures, frames, kept, stss", [
    # Mid-GOP: the pictures before the recovery point and the two B-frames after it
    # that are shown before it are left out.
    ("P B R B B P B", [(4, 1), (2, 2), (7, 4), (5, 5), (6, 6), (10, 7), (8, 8)], [2, 5, 6], [1]),
    # A B-frame shown before the point but decoded after the next point stays.
    ("P R P R B", [(1, 1), (3, 2), (4, 3), (6, 5), (5, 6)], [1, 2, 3, 4], [1, 3]),
    # A stream that starts at a point is unchanged, leading pictures and all.
    ("R B P", [(3, 2), (1, 3), (6, 4)], [0, 1, 2], [1]),
    ("P K P K", [(i, i) for i in range(4)], [1, 2, 3], [1, 3]),
    # Neither IDR nor SEI anywhere: all-intra pictures are the points.
    ("P I P I P", [(i, i) for i in range(5)], [1, 2, 3, 4], [1, 3]),
    ("P B P", [(i, i) for i in range(3)], [0, 1, 2], [1]),
    # An IDR is a point even where a marked picture comes first; every sample a point needs no table.
    ("P R K", [(i, i) for i in range(3)], [1, 2], None),
])
def test_samples_start_at_the_first_random_access_point(pictures, frames, kept, stss):
    units = [aud() + (START + SPS + START + PPS if i == 0 else b"") + AU[p] for i, p in enumerate(pictures.split())]
    stamps = [(90000 + 3600 * pts, 90000 + 3600 * dts) for pts, dts in frames]
    mp4 = convert(stream(units, stamps, [(90000, [b"\x21" * 50] * 20)]))
    v, a = tables(mp4)
    assert [mp4[o:o + n] for o, n in zip(v["offsets"], v["sizes"])] == [
        b"".join(struct.pack(">I", len(u)) + u for u in split_annexb(units[k]) if u[0] & 0x1F not in (7, 8, 9))
        for k in kept]
    assert v["stss"] == stss
    # Composition offsets count from the first picture kept, and the audio starts
    # where it is shown.
    first_pts, first_dts = stamps[kept[0]]
    assert v["cts_offsets"] == [(stamps[k][0] - stamps[k][1]) - (first_pts - first_dts) for k in kept]
    elst = find_box(find_all(mp4, "moov/trak")[1], "edts/elst")
    assert (struct.unpack(">I", elst[12:16])[0] if elst else 0) == (first_pts - 90000) * 48000 // 90000


def field_unit(field, frame_num, kind="P", sets=False):
    nal_type, slice_type = {"K": (5, 7), "I": (1, 7), "P": (1, 5)}[kind]
    head = START + FIELD_SPS + START + PPS if sets else b""
    return aud() + head + slice_nal(nal_type, slice_type=slice_type, frame_num=frame_num, field=field)


FIELD_SPS = sps(frame_mbs_only=0, pic_height_in_map_units_minus1=7)


@pytest.mark.parametrize("fields, samples", [
    # Two fields of one frame (opposite parity, same frame_num): one sample.
    ([("top", 0, "K"), ("bottom", 0), ("top", 1), ("bottom", 1)], [[0, 1], [2, 3]]),
    ([("bottom", 0, "K"), ("top", 0), ("bottom", 1), ("top", 1)], [[0, 1], [2, 3]]),
    # A field whose pair is missing stays a sample of its own.
    ([("top", 0, "K"), ("top", 1), ("bottom", 1), ("bottom", 2)], [[0], [1, 2], [3]]),
    ([("top", 0, "K"), ("bottom", 1)], [[0], [1]]),
    # Frames (progressive or MBAFF) are unchanged.
    ([("frame", 0, "K"), ("frame", 1)], [[0], [1]]),
    # A capture that starts with the second field of a frame: it goes with the pictures
    # before the first point.
    ([("bottom", 7), ("top", 0, "K"), ("bottom", 0), ("top", 1), ("bottom", 1)], [[1, 2], [3, 4]]),
])
def test_the_two_fields_of_a_frame_are_one_sample(fields, samples):
    units = [field_unit(*f, sets=i == 0) for i, f in enumerate(fields)]
    # Fields 1800 ticks apart, each shown 3600 after it is decoded.
    stamps = [(93600 + 1800 * i, 90000 + 1800 * i) for i in range(len(units))]
    v, = tables(convert(stream(units, stamps)))
    slices = [u.split(aud())[-1].split(START)[-1] for u in units]
    assert v["sizes"] == [sum(4 + len(slices[k]) for k in s) for s in samples]
    # Each sample takes its first field's decode time; a frame lasts two fields.
    starts = [s[0] for s in samples]
    assert v["durations"][:-1] == [1800 * (b - a) for a, b in zip(starts, starts[1:])]
    if all(len(s) == 2 for s in samples):
        assert v["stts"] == [(len(samples), 3600)] and v["stss"] == [1]
        # A muxer that puts both fields of a frame in one PES gives the frame one time.
        frames = [field_unit(*fields[a], sets=k == 0) + field_unit(*fields[b]) for k, (a, b) in enumerate(samples)]
        both, = tables(convert(stream(frames, [(93600 + 3600 * i, 90000 + 3600 * i) for i in range(len(frames))])))
        assert both["sizes"] == v["sizes"] and both["stts"] == v["stts"] and both["cts_offsets"] == v["cts_offsets"]


def test_access_unit_split_rules():
    leading = START + SPS + START + PPS + IDR + aud() + P + aud(start_code=b"\x00\x00\x01") + P
    mp4 = convert(stream([leading], [(90000, None)]))
    v, = tables(mp4)
    assert v["sizes"] == [len(IDR), len(P), len(P)]
    # Without delimiters a unit starts at each PES start: one PES, one sample.
    mp4 = convert(stream([START + SPS + START + PPS + IDR + P + P], [(90000, None)]))
    assert tables(mp4)[0]["sizes"] == [len(IDR) + 2 * len(P)]
    # The first unit whose header lies in a PES opens the sample; a PES that
    # only continues the unit before it (no header of its own) opens none.
    stamps = [(90000 + 3600 * i, None) for i in range(4)]
    mp4 = convert(stream([START + SPS + START + PPS + IDR, P, b"\x11\x22", P], stamps))
    assert tables(mp4)[0]["sizes"] == [len(IDR), len(P) + 2, len(P)]
    # Units that arrive before the first PES start form a sample of their own.
    lead = ts_packet(0x100, IDR + P)
    ts = stream([P], [(90000, None)])
    mp4 = convert(ts[:376] + lead + ts[376:])
    assert tables(mp4)[0]["sizes"] == [len(IDR) + len(P), len(P)]
    # A NAL unit before a 4-byte start code keeps no trailing zero; 3-byte codes count too.
    mixed = aud() + b"\x00\x00\x01" + IDR[4:] + b"\x00\x00\x00\x01" + P[4:]
    mp4 = convert(stream([mixed], [(90000, None)]))
    v, = tables(mp4)
    assert mp4[v["offsets"][0]:v["offsets"][0] + v["sizes"][0]] == (
        struct.pack(">I", len(IDR) - 4) + IDR[4:] + struct.pack(">I", len(P) - 4) + P[4:])


def cut_every(units, stamps, k, video_type=0x1B):
    """The stream of `stream(units, stamps)` (video only) with each PES carried k bytes
    of elementary stream per packet after its header: every start code falls across
    packets at every phase."""
    packets = []
    for unit, (p, d) in zip(units, stamps):
        whole = pes(unit, pts=p, dts=d)
        first = 9 + whole[8] + k
        pieces = [whole[:first]] + [whole[i:i + k] for i in range(first, len(whole), k)]
        packets += [ts_packet(0x100, piece, pusi=i == 0, cc=len(packets) + i) for i, piece in enumerate(pieces)]
    tables_only = ts_stream([pes(units[0], pts=90000)], video_type=video_type)[:376]
    return tables_only + b"".join(packets)


@pytest.mark.parametrize("video_type, units", [
    (0x1B, [aud() + b"\x00\x00\x01" + SPS[4:] + START + PPS + IDR + b"\x00" + START + P,
            aud(start_code=b"\x00\x00\x01") + P + b"\x00\x00" + START + P]),
    (0x24, [hevc_key_unit(slices=3), hevc_nal(35, b"\x50") + hevc_slice(1) + b"\x00" + hevc_slice(1, first=False)]),
], ids=["h264", "hevc"])
def test_where_packets_cut_the_stream_changes_nothing(video_type, units, capfd):
    stamps = [(90000 + 3000 * i, 90000 + 3000 * i) for i in range(len(units))]
    whole = ts_stream([pes(u, pts=p, dts=d) for u, (p, d) in zip(units, stamps)], video_type=video_type)
    mp4, key = convert(whole), _quaver.extract_thumbnail_from_ts(whole)
    assert tables(mp4)[0]["sizes"] and key
    for k in (1, 2, 3, 4, 7):
        cut = cut_every(units, stamps, k, video_type)
        assert convert(cut) == mp4, k
        assert _quaver.extract_thumbnail_from_ts(cut) == key, k


def test_stream_without_start_codes_gives_an_empty_video_track():
    frames = [b"\x21" * 30]
    mp4 = convert(stream([b"\x11\x22\x33\x44"], [(90000, None)], [(90000, frames)]))
    v, a = tables(mp4)
    assert v["sizes"] == [] and v["stts"] == [(0, 3000)] and v["stsc"] == [(1, 0, 1)]
    assert a["sizes"] == [30]


def test_parameter_set_edge_cases_in_the_sample_entry():
    units = [aud() + START + b"\x67\x64" + START + PPS + IDR]  # SPS of 2 bytes
    avcc = find_box(convert(stream(units, [(90000, None)])), "moov/trak/mdia/minf/stbl/stsd/avc1/avcC")
    assert avcc[:8] == bytes.fromhex("0164001fffe10002")
    no_pps = find_box(convert(stream([aud() + START + SPS + IDR], [(90000, None)])),
                      "moov/trak/mdia/minf/stbl/stsd")
    assert u32(no_pps, 8) == 86


def test_audio_of_another_rate_declares_its_own_configuration():
    frames = [bytes([0x20 + i]) * 64 for i in range(5)]
    ts = stream([key_unit()], [(90000, None)], [(90000, frames, dict(sf_index=4, channels=1))])
    mp4 = convert(ts)
    atrak = find_all(mp4, "moov/trak")[1]
    esds = find_box(atrak, "mdia/minf/stbl/stsd/mp4a/esds")
    assert esds[26:28] == struct.pack(">H", (2 << 11) | (4 << 7) | (1 << 3))
    mp4a = find_box(atrak, "mdia/minf/stbl/stsd/mp4a")
    assert mp4a[16:18] == b"\x00\x01" and mp4a[24:28] == struct.pack(">I", 44100 << 16)
    a = mp4_sample_table(atrak)
    assert (a["timescale"], a["duration"], a["stts"]) == (44100, 5 * 1024, [(5, 1024)])
    assert u32(find_box(atrak, "tkhd"), 20) == 5 * 1024 * 90000 // 44100
    # 96 kHz does not fit the 16.16 rate field; 7 channels means 8.
    ts = stream([key_unit()], [(90000, None)], [(90000, frames, dict(sf_index=0, channels=7))])
    mp4a = find_box(find_all(convert(ts), "moov/trak")[1], "mdia/minf/stbl/stsd/mp4a")
    assert mp4a[16:18] == b"\x00\x08" and mp4a[24:28] == bytes(4)


def test_late_audio_waits_behind_an_empty_edit():
    frames = [b"\x31" * 40] * 100
    mp4 = convert(stream([key_unit()], [(900000, None)], [(903000, frames)]))
    edts = find_box(find_all(mp4, "moov/trak")[1], "edts")
    assert edts == box(b"elst", bytes(4) + struct.pack(">IIiIIiI", 2, 3000, -1, 0x10000, 192000, 0, 0x10000))
    assert len(edts) + 8 == 48
    assert find_box(find_all(mp4, "moov/trak")[0], "edts") is None


def test_early_audio_skips_its_lead():
    # 100 frames of 1920 ticks = 192000; the audio starts 10000 ticks before
    # the first picture, so its first 10000 ticks are skipped: 5333 samples at
    # the track's 48 kHz, as readers that count the media time in samples read it.
    frames = [b"\x31" * 40] * 100
    mp4 = convert(stream([key_unit()], [(900000, None)], [(890000, frames)]))
    edts = find_box(find_all(mp4, "moov/trak")[1], "edts")
    assert edts == box(b"elst", bytes(4) + struct.pack(">IIII", 1, 182000, 10000 * 48000 // 90000, 0x10000))
    # Under the stream's own rate the media time counts samples of it.
    ts = stream([key_unit()], [(900000, None)], [(890000, frames[:5], dict(sf_index=4))])
    edts = find_box(find_all(convert(ts), "moov/trak")[1], "edts")
    assert edts == box(b"elst", bytes(4) + struct.pack(">IIII", 1, 5 * 1024 * 90000 // 44100 - 10000,
                                                       10000 * 44100 // 90000, 0x10000))
    # A lead longer than the track leaves a segment of 0.
    edts = find_box(find_all(convert(stream([key_unit()], [(900000, None)], [(800000, frames[:1])])), "moov/trak")[1],
                    "edts")
    assert edts == box(b"elst", bytes(4) + struct.pack(">IIII", 1, 0, 100000 * 48000 // 90000, 0x10000))


@pytest.mark.parametrize("audio_pts, video_pts, edit", [
    (90000, 90000, None),
    # Across the 33-bit wrap the audio is 20 ticks early, not 2^33 - 20 late.
    (2 ** 33 - 10, 10, (1, 1920 - 20, 20 * 48000 // 90000)),
    (10, 2 ** 33 - 10, (2, 20, -1)),
    # Timestamps 2^32 apart or more are not believed.
    (90000 + 2 ** 32, 90000, None)])
def test_audio_edit_across_the_clock_wrap(audio_pts, video_pts, edit):
    mp4 = convert(stream([key_unit()], [(video_pts, None)], [(audio_pts, [b"\x31" * 40])]))
    edts = find_box(find_all(mp4, "moov/trak")[1], "edts")
    if edit is None:
        assert edts is None
    else:
        assert struct.unpack(">II", edts[12:20]) == (edit[0], edit[1])
        assert struct.unpack(">i", edts[20:24])[0] == edit[2]
    assert find_box(find_all(mp4, "moov/trak")[0], "edts") is None


def test_parameter_set_too_long_for_avcc_is_left_out():
    # An "SPS" that runs on for 70,000 bytes cannot be described by the 16-bit
    # avcC length fields; the sample entry then carries no configuration.
    huge_sps = b"\x67" + b"\x64\x00\x28" + b"\x55" * 70000
    units = [aud() + START + huge_sps + START + PPS + IDR]
    mp4 = convert(stream(units, [(90000, None)]))
    assert u32(find_box(mp4, "moov/trak/mdia/minf/stbl/stsd"), 8) == 86


# --------------------------------------------------------------------------
# Layouts beyond 32 bits, forced on small files by a lowered limit
# --------------------------------------------------------------------------

UNITS = [key_unit(), aud() + P, aud() + P]
STAMPS = [(90000 + 3600 * i, 90000 + 3600 * i) for i in range(3)]
FRAMES = [b"\x11" * 371, b"\x12" * 372, b"\x13" * 380]
# A template edit that starts the video 3000 ticks into its media, open-ended.
OPEN_EDIT = box("edts", full_box("elst", 0, 0, struct.pack(">IIiHH", 1, 0, 3000, 1, 0)))


def video_fmp4(**trak):
    return init_moov(init_trak(1, 90000, **trak), timescale=1000) + fragment((1, [b"v1" * 10, b"v2" * 12, b"v3" * 7]),
                                                                            duration=3000)


def audio_fmp4():
    return init_moov(init_trak(2, 48000, handler="soun")) + fragment((2, [b"a1" * 5, b"a2" * 6]), duration=1024)


LAYOUT_JOBS = {
    "ts, audio late": lambda: convert(stream(UNITS, STAMPS, [(93000, FRAMES)])),
    "ts, audio early": lambda: convert(stream(UNITS, STAMPS, [(87000, FRAMES)])),
    "ts, audio only": lambda: quaver.remux(stream([], [], [(90000, FRAMES)])),
    "unfold": lambda: _quaver.defragment_mp4(
        init_moov(init_trak(1, 90000, extra=OPEN_EDIT), init_trak(2, 48000, handler="soun"), timescale=1000)
        + fragment((1, [b"v1" * 10, b"v2" * 12]), (2, [b"a1" * 5]), duration=3000)),
    "merge": lambda: _quaver.mux_fmp4_tracks(video_fmp4(extra=OPEN_EDIT), audio_fmp4()),
}


def sample_bytes(mp4):
    return [[mp4[o:o + n] for o, n in zip(t["offsets"], t["sizes"])] for t in tables(mp4)]


def compared_values(mp4):
    """What the layout of a file compares with the limit, and the values next to them: header
    durations, the mdat size, chunk offsets in the 32-bit layout and with every table wide."""
    (mdat_at, mdat_end), = [(b0, b1) for k, b0, b1, _ in iter_boxes(mp4) if k == "mdat"]
    values = {mdat_end - mdat_at + 8, u32(find_box(mp4, "moov/mvhd"), 16)}
    for trak in find_all(mp4, "moov/trak"):
        values |= {u32(find_box(trak, "tkhd"), 20), u32(find_box(trak, "mdia/mdhd"), 16)}
    for laid in (mp4, limit_layout(mp4, 0)):
        values |= {o for t in tables(laid) for o in t["chunk_offsets"]}
    return sorted({0, 0xFFFFFFFF} | {v + d for v in values for d in (-1, 0)})


@pytest.mark.parametrize("job", LAYOUT_JOBS)
def test_layouts_beyond_32_bits_byte_for_byte(job, limit_32_bits):
    # On each side of every value the layout compares, the file is the one
    # written with the full limit, with exactly the fields beyond the
    # lowered one in their 64-bit forms, and it holds the same samples.
    narrow = LAYOUT_JOBS[job]()
    for limit in compared_values(narrow):
        limit_32_bits(limit)
        laid = LAYOUT_JOBS[job]()
        assert laid == limit_layout(narrow, limit), limit
        assert sample_bytes(laid) == sample_bytes(narrow), limit
    assert limit_layout(narrow, 0xFFFFFFFF) == narrow
    # Everything wide: co64 tables, a 64-bit mdat size, version 1 headers and edit lists.
    limit_32_bits(0)
    wide = LAYOUT_JOBS[job]()
    assert [k for k, *_ in iter_boxes(wide)] == ["ftyp", "moov", "mdat"] and u32(wide, len(wide) - len(
        find_box(wide, "mdat")) - 16) == 1
    assert find_all(wide, "moov/trak/mdia/minf/stbl/stco") == []
    assert len(find_all(wide, "moov/trak/mdia/minf/stbl/co64")) == len(find_all(wide, "moov/trak"))
    headers = find_all(wide, "moov/mvhd") + find_all(wide, "moov/trak/tkhd") + find_all(wide, "moov/trak/mdia/mdhd")
    assert {h[0] for h in headers + find_all(wide, "moov/trak/edts/elst")} == {1}
