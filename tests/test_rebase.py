"""reset_mp4_timestamps and convert_mp4_reset_timestamps."""
import inspect
import io
import struct

import av
import pytest

import _quaver
from builders import (box, check_presentation, expand, fragment, find_all, find_box, full_box, init_moov, init_trak, iter_boxes,
                      live_segment, mdhd, moof, mp4_sample_table, mvhd, parse_tfdt, tfdt, tfhd, tkhd, traf, traf_body, trun,
                      u32, u64, wide_mdats)

reset = _quaver.reset_mp4_timestamps


def durations(mp4):
    """(mvhd, [tkhd], [mdhd]) durations of a file."""
    dur = lambda b, v0, v1: u64(b, v1) if b[0] == 1 else u32(b, v0)
    return (dur(find_box(mp4, "moov/mvhd"), 16, 24), [dur(b, 20, 28) for b in find_all(mp4, "moov/trak/tkhd")],
            [dur(b, 16, 24) for b in find_all(mp4, "moov/trak/mdia/mdhd")])


def times(mp4):
    return [parse_tfdt(b) for b in find_all(mp4, "moof/traf/tfdt")]


def frag(track_id, decode_time, durations_=None, *, version=1):
    samples = [{"duration": d} for d in durations_] if durations_ else [{"size": 1}]
    return moof(traf(tfhd(track_id), tfdt(decode_time, version), trun(samples)))


def packets(data):
    out = {"video": [], "audio": []}
    with av.open(io.BytesIO(data)) as c:
        for p in c.demux():
            if p.size:
                out[p.stream.type].append((bytes(p), p.pts, p.dts))
    return out


def test_bindings():
    assert str(inspect.signature(reset)) == "(data)"
    assert reset.__doc__ == "MP4 타임스탬프를 0 부터 시작하도록 되돌린다."
    f = _quaver.convert_mp4_reset_timestamps
    assert str(inspect.signature(f)) == "(data)"
    assert f.__doc__ == "fMP4 면 펼치고, 일반 MP4 면 타임스탬프만 되돌린다."
    with pytest.raises(TypeError, match="'data'"):
        reset(bytearray())


def test_decode_times_and_durations_from_the_fragments():
    moov = init_moov(init_trak(1, 90000), timescale=90000)
    mp4 = moov + frag(1, 900_000, [3000, 3000]) + box("mdat", b"x") + frag(1, 990_000, [3000, 3001])
    out = reset(mp4)
    assert times(out) == [0, 90_000]
    assert durations(out) == (96_001, [96_001], [96_001])
    # Creation and modification times are zeroed; every other byte stays.
    assert find_box(out, "moov/mvhd")[4:12] == bytes(8)
    assert len(out) == len(mp4) and [t for t, *_ in iter_boxes(out)] == [t for t, *_ in iter_boxes(mp4)]


def test_durations_from_gaps_when_runs_carry_none():
    moov = init_moov(init_trak(1, 1000), init_trak(2, 1000))
    one = moov + frag(2, 500)
    assert durations(reset(one))[1] == [0, 0]
    gaps = moov + frag(1, 100) + frag(1, 400) + frag(1, 1000)
    assert durations(reset(gaps))[2] == [1500, 0]  # last decode time 900 + last gap 600


def test_base_is_the_first_time_in_file_order_and_shared_by_index():
    moov = init_moov(init_trak(1, 1000), init_trak(2, 1000))
    no_tfhd = moof(traf(tfdt(700), trun([{"duration": 10}])))
    mp4 = moov + frag(1, 500) + frag(2, 9000) + frag(1, 300) + no_tfhd
    # Track 2 starts 8.5 s after track 1, and keeps that distance.
    assert times(reset(mp4)) == [0, 8500, 0, 200]


def test_tracks_are_measured_from_the_earliest_in_seconds():
    # 90 kHz video from 1 s, 48 kHz audio from 0.5 s: the video keeps 0.5 s
    # (45000 ticks). A track that no trak names (7) takes its own start.
    moov = init_moov(init_trak(1, 90000), init_trak(2, 48000, handler="soun"), timescale=1000)
    mp4 = moov + frag(1, 90000, [3000] * 30) + frag(2, 24000, [1024] * 10) + frag(7, 5000)
    out = reset(mp4)
    assert times(out) == [45000, 0, 0]
    # The movie lasts as long as the delayed video: 0.5 s + 1 s.
    assert durations(out) == (1500, [1500, 213], [135000, 10240])
    # Rounded to the nearest tick of each track; aligned tracks all start at 0.
    assert times(reset(moov + frag(1, 90001) + frag(2, 48000))) == [1, 0]
    assert times(reset(moov + frag(1, 90000) + frag(2, 48000))) == [0, 0]


def test_scaled_durations_for_the_movie_timescale():
    moov = init_moov(init_trak(1, 12800), init_trak(2, 48000, handler="soun"), timescale=1000)
    mp4 = moov + frag(1, 0, [512] * 25) + frag(2, 0, [1024] * 47)
    assert durations(reset(mp4)) == (1000, [1000, 1002], [12800, 48128])


def test_32_bit_overflow_and_version_1_headers():
    big = 5_000_000_000
    v0 = init_moov(init_trak(1, 1000))
    assert durations(reset(v0 + frag(1, 0, [big // 2, big // 2])))[2] == [0xFFFFFFFF]
    v1 = init_moov(init_trak(1, 1000, tkhd_box=tkhd(1, version=1), mdhd_box=mdhd(1000, version=1)),
                   mvhd_box=mvhd(1000, version=1))
    assert durations(reset(v1 + frag(1, 0, [big // 2, big // 2]))) == (big, [big], [big])


def test_sparse_track_ids():
    moov = init_moov(init_trak(1, 1000))
    out = reset(moov + frag(4_000_000_000, 77) + frag(4_000_000_000, 99))
    assert times(out) == [0, 22]


def test_boxes_are_rewritten_in_order_with_their_header_forms():
    # A box read with a 64-bit size is written back with one, at every level,
    # so that no box moves and every offset into the file stays right.
    moov = init_moov(init_trak(1, 1000))
    wide = struct.pack(">I4sQ", 1, b"free", 16 + 4) + b"abcd"
    wide_tfdt = struct.pack(">I4sQ", 1, b"tfdt", 16 + 12) + b"\x01" + bytes(3) + struct.pack(">Q", 10)
    wide_traf = struct.pack(">I4sQ", 1, b"traf", 16 + len(tfhd(1)) + len(wide_tfdt)) + tfhd(1) + wide_tfdt
    second = init_moov(init_trak(1, 1000), timescale=600)
    mp4 = box("ftyp", b"isom") + moov + wide + moof(wide_traf) + second
    out = reset(mp4)
    assert [(t, head) for t, _, _, head in iter_boxes(out)] == [("ftyp", 8), ("moov", 8), ("free", 16), ("moof", 8)]
    assert u32(find_box(out, "moov/mvhd"), 12) == 600  # built from the last moov
    assert find_box(out, "free") == b"abcd"
    assert out.endswith(wide_traf[:-8] + struct.pack(">Q", 0))


def test_64_bit_mdat_headers_keep_the_samples_where_the_runs_point(fixture_bytes):
    data = fixture_bytes("frag_late_start.mp4")
    variant = wide_mdats(data)
    out = reset(variant)
    assert len(out) == len(variant)
    assert packets(out) == packets(reset(data))


def test_regular_file_keeps_its_layout(fixture_bytes):
    mp4 = fixture_bytes("regular_faststart.mp4")
    out = reset(mp4)
    assert len(out) == len(mp4)
    assert durations(out) == (0, [0, 0], [0, 0])
    assert find_box(out, "moov/trak/mdia/minf/stbl") == find_box(mp4, "moov/trak/mdia/minf/stbl")


@pytest.mark.parametrize("data, message", [
    (frag(1, 5) + box("mdat"), "moov box not found"),
    (box("moof", struct.pack(">I4s", 1, b"traf") + b"\x00\x00"), "Not enough data"),
    (init_moov(init_trak(1, 1000), mvhd_box=full_box("mvhd", 0, 0, bytes(8))), "Not enough data for FullBox header"),
    (init_moov(init_trak(1, 1000)) + moof(traf(tfhd(1), box("tfdt", b"\x01"))), "Not enough data for FullBox header"),
])
def test_failures(data, message):
    with pytest.raises(ValueError) as e:
        reset(data)
    assert str(e.value) == message


def test_short_tfdt_is_kept():
    moov = init_moov(init_trak(1, 1000))
    short = box("tfdt", b"\x00\x00\x00\x00\x01\x02")
    mp4 = moov + moof(traf(tfhd(1), short))
    assert reset(mp4)[len(moov):] == mp4[len(moov):]


# 5 read as a 32-bit time, 0x500000007 as a 64-bit one, then bytes after the field.
FIELD = struct.pack(">Q", 0x0000000500000007) + b"\xaa\xbb"
LATER = 0x600000000


@pytest.mark.parametrize("version", [0, 1, 2])
@pytest.mark.parametrize("length", range(4, 15))
def test_decode_time_by_version_and_body_length(version, length):
    # Rebasing (as unfolding) reads a version 1 tfdt too short for its 64-bit
    # time as version 0; the live processor copies it and takes no time from
    # it. Any other version reads as version 0; bytes after the time stay.
    body = bytes([version, 0, 0, 0]) + FIELD[:length - 4]
    as_version0 = (u32(body, 4), 4) if length >= 8 else None
    lenient = (u64(body, 4), 8) if version == 1 and length >= 12 else as_version0
    strict = lenient if version != 1 or length >= 12 else None

    def lowered(read, base):
        if read is None:
            return body
        value, width = read
        return body[:4] + max(value - base, 0).to_bytes(width, "big") + body[4 + width:]

    moov = init_moov(init_trak(1, 1000))
    out = reset(moov + moof(traf(tfhd(1), box("tfdt", body))) + moof(traf(tfhd(1), tfdt(LATER))))
    base = lenient[0] if lenient else 0
    assert find_all(out, "moof/traf/tfdt") == [lowered(lenient, base), tfdt(LATER - base)[8:]]

    p = _quaver.FragmentedMP4Processor()
    first = p.process_segment(live_segment(full_box("tfhd", 0, 0, struct.pack(">I", 1)) + box("tfdt", body)))
    later = p.process_segment(live_segment(traf_body(1, LATER)))
    base = strict[0] if strict else LATER
    assert find_all(first, "moof/traf/tfdt") == [lowered(strict, base)]
    assert [parse_tfdt(b) for b in find_all(later, "moof/traf/tfdt")] == [LATER - base]
    assert p.base_decode_time == base


@pytest.mark.parametrize("cut", range(0, 26, 2))
def test_rows_of_a_run_cut_short(cut):
    # Rebasing sums the durations a run holds whole; unfolding reads the same
    # rows and gives the samples past them the tfhd's default (7).
    rows = [{"duration": 100, "size": 1}, {"duration": 200, "size": 1}, {"duration": 300, "size": 1}]
    whole = trun(rows)
    body = whole[8:len(whole) - cut]
    held = [r["duration"] for i, r in enumerate(rows) if 8 + 8 * i + 4 <= len(body)]
    mp4 = (init_moov(init_trak(1, 1000)) + moof(traf(tfhd(1, duration=7, size=1), tfdt(0), box("trun", body)))
           + box("mdat", b"xyz"))
    assert durations(reset(mp4)) == (sum(held), [sum(held)], [sum(held)])
    table = mp4_sample_table(find_box(_quaver.defragment_mp4(mp4), "moov/trak"))
    assert expand(table["stts"]) == held + [7] * (3 - len(held))


def test_convert_unfolds_or_rebases(fixture_bytes):
    frag_file = fixture_bytes("frag_video.mp4")
    assert _quaver.convert_mp4_reset_timestamps(frag_file) == _quaver.defragment_mp4(frag_file)
    regular = fixture_bytes("regular_moov_end.mp4")
    assert _quaver.convert_mp4_reset_timestamps(regular) == reset(regular)
    with pytest.raises(ValueError, match="^moov box not found$"):
        _quaver.convert_mp4_reset_timestamps(fragment((1, [b"abc"])))


def test_late_starting_real_file_comes_back_at_zero(fixture_bytes):
    mp4 = fixture_bytes("frag_late_start.mp4")
    assert min(times(mp4)) > 60_000_000
    out = reset(mp4)
    before, after = packets(mp4), packets(out)
    for kind in ("video", "audio"):
        assert [p[0] for p in after[kind]] == [p[0] for p in before[kind]]
        shift = before[kind][0][2] - after[kind][0][2]
        assert [(p[1] - shift, p[2] - shift) for p in before[kind]] == [p[1:] for p in after[kind]]
    # The audio's AAC priming starts 21.3 ms (273 ticks at 12800 Hz) before
    # the video's first decode time, and still does.
    first = {}
    for b in find_all(out, "moof/traf"):
        first.setdefault(u32(find_box(b, "tfhd"), 4), parse_tfdt(find_box(b, "tfdt")))
    assert first == {1: 273, 2: 0}
    movie, tracks, media = durations(out)
    assert movie == tracks[0] and media[0] == 273 + 25_600
    with av.open(io.BytesIO(out)) as c:
        assert sum(1 for _ in c.decode(*c.streams)) == 50 + 95


# Real files whose tracks start apart, and the first times (video, audio) of
# the rebased file in seconds (see the unfolding tests for each).
TIMED = {"frag_late_start.mp4": (0.0613, 0.0), "raised:frag_late_start.mp4": (0.04, 0.9787),
         "hls_offset.mp4": (0.0213, 0.0), "hls_live/init.mp4+hls_live/seg0.m4s+hls_live/seg1.m4s": (0.0213, 0.0),
         "packager:frag_av.mp4": (0.04, 0.0), "regular_faststart.mp4": (0.0, 0.0)}


@pytest.mark.parametrize("name", TIMED)
def test_rebased_tracks_keep_their_distances_and_start_at_zero(name, fragmented_fixture):
    data = fragmented_fixture(name)
    out = reset(data)
    assert len(out) == len(data)
    firsts = check_presentation(data, out)
    assert firsts == pytest.approx(dict(zip(["video", "audio"], TIMED[name])), abs=1e-4)


def elst(*entries, version=0):
    fmt = ">QqHH" if version == 1 else ">IiHH"
    return full_box("elst", version, 0, struct.pack(">I", len(entries)) + b"".join(
        struct.pack(fmt, d, t, 1, 0) for d, t in entries))


@pytest.mark.parametrize("version", [0, 1])
def test_the_empty_edit_every_track_starts_with_is_taken_out_in_place(version):
    # The shared 500 goes: the first list keeps 200, the second loses its
    # entry, whose bytes follow its edts as a free box so no box moves.
    video = init_trak(1, 1000, extra=box("edts", elst((700, -1), (0, 0), version=version)))
    audio = init_trak(2, 1000, handler="soun", extra=box("edts", elst((500, -1), (0, 0), version=version)))
    mp4 = init_moov(video, audio) + frag(1, 0) + frag(2, 0)
    out = reset(mp4)
    assert len(out) == len(mp4)
    v, a = find_all(out, "moov/trak")
    assert find_box(v, "edts/elst") == elst((200, -1), (0, 0), version=version)[8:]
    assert find_box(a, "edts/elst") == elst((0, 0), version=version)[8:]
    assert [t for t, *_ in iter_boxes(a)] == ["tkhd", "edts", "free", "mdia"]
    assert find_box(a, "free") == bytes(20 if version == 1 else 12)[8:]
    # A regular file too; a track without an empty edit shares none.
    regular = init_moov(video, init_trak(2, 1000, handler="soun"))
    assert find_box(reset(regular), "moov/trak/edts") == find_box(regular, "moov/trak/edts")
