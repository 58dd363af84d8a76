"""First key frame of a TS or an MP4 as H.264 or HEVC Annex B."""
import io
import struct

import av
import pytest

import _quaver
from quaver import _native
from builders import (RECOVERY_POINT, START, aud, avcc_box, box, find_all, fragment, full_box, hevc_nal, hevc_nal_type,
                      hevc_pps, hevc_slice, hevc_sps, hevc_vps, hvcc_box, init_moov, init_trak, length_prefixed_nals,
                      lhvc_box, moof, nal, parse_hvcc, pes, placed_moof, pps, protected_entry, regular_mp4, simple_trak,
                      sei, slice_nal, split_annexb, sps, tfhd, traf, trex, trun, ts_stream, visual_entry)

SPS, PPS = sps(), pps()
IDR = nal(5, b"\x88\x84\x21\xa0" * 8)
P = nal(1, b"\x9a\x02\x04" * 6)


def prefixed(*units, length_size=4):
    return b"".join(len(u).to_bytes(length_size, "big") + u for u in units)


def decode_h264(annexb):
    with av.open(io.BytesIO(annexb), format="h264") as c:
        return [(f.width, f.height) for f in c.decode(video=0)]


def pictures(data, **options):
    with av.open(io.BytesIO(data), **options) as c:
        return [f.to_ndarray(format="rgb24") for f in c.decode(video=0)]


# ---- transport streams -------------------------------------------------------

def ts(*units):
    return ts_stream([pes(u, pts=90000 + 3600 * i) for i, u in enumerate(units)])


def test_ts_key_frame_keeps_the_start_code_it_had(capfd):
    three = nal(5, IDR[5:], start_code=b"\x00\x00\x01")
    out = _quaver.extract_thumbnail_from_ts(ts(aud() + START + SPS + START + PPS + three + P))
    assert out == START + SPS + START + PPS + three
    out = _quaver.extract_thumbnail_from_ts(ts(aud() + START + SPS + START + PPS + IDR, aud() + P))
    assert out == START + SPS + START + PPS + IDR
    assert "Total video frames collected: 2" in capfd.readouterr().out


def test_ts_key_frame_without_parameter_sets_and_at_the_end(capfd):
    assert _quaver.extract_thumbnail_from_ts(ts(aud() + P, aud() + IDR)) == IDR
    assert _quaver.extract_thumbnail_from_ts(ts(aud() + START + PPS + IDR)) == START + PPS + IDR


def test_ts_without_key_frame_or_video(capfd):
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        _quaver.extract_thumbnail_from_ts(ts(aud() + START + SPS + P))
    with pytest.raises(ValueError, match="^No video data found$"):
        _quaver.extract_thumbnail_from_ts(b"\x47" + bytes(400))
    with pytest.raises(ValueError, match="^No valid TS sync byte found$"):
        _quaver.extract_thumbnail_from_ts(b"")


def test_ts_key_frame_keeps_every_slice_of_its_picture(capfd):
    # Slices after the first carry first_mb_in_slice > 0 (first bit 0); a
    # slice whose first bit is 1 starts the next picture.
    s2, s3 = nal(5, b"\x48\x84\x21" * 4), nal(5, b"\x5c\x11" * 5)
    I, I2, P2 = slice_nal(slice_type=7), slice_nal(slice_type=7, first_mb=1), slice_nal(slice_type=5, first_mb=1)
    marked = sei((0, b"\x01\x02"), RECOVERY_POINT)
    filler = nal(12, b"\xff\xff\x80", ref_idc=0)
    head = START + SPS + START + PPS
    cases = [
        (aud() + head + IDR + s2 + filler + s3 + filler + IDR, IDR + s2 + filler + s3),
        (aud() + head + IDR + s2 + nal(6, b"\x05\x01\x00\x80") + s3, IDR + s2),
        (aud() + head + IDR + s2 + aud() + P, IDR + s2),
        # A slice with no byte after its header still belongs to the picture.
        (aud() + head + IDR + START + b"\x65", IDR + START + b"\x65"),
        # A picture marked as a recovery point is a key frame, from its SEI on, wherever
        # an IDR comes later.
        (aud() + head + P + aud() + marked + I + I2 + aud() + P + aud() + IDR, marked + I + I2),
        # Neither IDR nor SEI anywhere: the first picture whose slices are all intra.
        (aud() + head + P + aud() + I + I2 + aud() + P, I + I2),
        (aud() + head + I + P2 + aud() + P + aud() + I + aud() + P, I),
    ]
    for stream, picture in cases:
        assert _quaver.extract_thumbnail_from_ts(ts(stream)) == head + picture


def test_ts_key_frame_coded_in_four_slices_decodes_whole(fixture_bytes, capfd):
    data = fixture_bytes("multi_slice.ts")
    with av.open(io.BytesIO(data), format="mpegts") as c:
        first = next(iter(c.decode(video=0))).to_ndarray(format="gray")
    with av.open(io.BytesIO(_quaver.extract_thumbnail_from_ts(data)), format="h264") as c:
        pictures = [f.to_ndarray(format="gray") for f in c.decode(video=0)]
    assert len(pictures) == 1 and (pictures[0] == first).all()


@pytest.mark.parametrize("name, size", [("sample.ts", (320, 240)), ("interlaced.ts", (352, 288)),
                                        ("video_only.ts", (320, 240)), ("mpeg2_aac.ts", (320, 240))])
def test_ts_key_frames_of_real_streams_decode_to_their_first_picture(name, size, fixture_bytes, capfd):
    data = fixture_bytes(name)
    mpeg2 = name.startswith("mpeg2")
    key = _quaver.extract_thumbnail_from_ts(data)
    # An MPEG-2 key frame is its picture as the stream holds it: the same from the MP4.
    assert _native.key_frame(data) == ("mpeg2video" if mpeg2 else "h264", key)
    if mpeg2:
        assert _quaver.extract_thumbnail_from_mp4(_quaver.convert_ts_to_mp4(data)) == key
        assert key.startswith(b"\x00\x00\x01\xb3")
    (picture,) = pictures(key, format="mpegvideo" if mpeg2 else "h264")
    assert picture.shape[1::-1] == size and (picture == pictures(data, format="mpegts")[0]).all()


# ---- regular MP4 -----------------------------------------------------------------

def video_trak(sizes, *, at=0, **kw):
    return lambda body: simple_trak("vide", sizes, chunk_offset=body + at, **kw)


@pytest.mark.parametrize("moov_first", [True, False])
def test_mp4_first_sample_converted(moov_first):
    sample = prefixed(IDR[4:], P[4:])
    mp4 = regular_mp4([video_trak([len(sample), 10])], sample + bytes(10), moov_first=moov_first)
    assert _quaver.extract_thumbnail_from_mp4(mp4) == IDR + P


def test_mp4_uses_the_video_track_and_its_chunk_offset():
    video = prefixed(IDR[4:])
    audio = b"\x21\x10" * 20
    traks = [lambda body: simple_trak("soun", [len(audio)], chunk_offset=body, entry=box("mp4a", bytes(28))),
             video_trak([len(video)], at=len(audio))]
    assert _quaver.extract_thumbnail_from_mp4(regular_mp4(traks, audio + video)) == IDR
    # With no handler saying "vide", the first track is used.
    traks = [lambda body: simple_trak("soun", [len(video)], chunk_offset=body),
             lambda body: simple_trak("text", [9], chunk_offset=body + len(video))]
    assert _quaver.extract_thumbnail_from_mp4(regular_mp4(traks, video + bytes(9))) == IDR


# Four samples, the third the first sync sample, in chunks as the runs say (first
# chunk, samples per chunk), at the chunk offsets given (relative to the mdat body;
# bytes between chunks), or all of one size.
@pytest.mark.parametrize("runs, chunks, gap, fixed", [
    ([(1, 4)], [0], 0, False),
    ([(1, 1), (2, 2)], [0, 1, 3], 5, False),
    ([(1, 2)], [0, 2], 7, True),
    ([(1, 0), (1, 3), (2, 1)], [0, 3], 0, False),  # a run of no sample is passed over
    ([(1, 1), (3, 3)], [0, 1, 2], 3, True),  # the second chunk by the first run: one sample
])
def test_mp4_key_frame_is_the_first_sync_sample(runs, chunks, gap, fixed):
    picture = prefixed(IDR[4:])
    other = prefixed(nal(1, bytes(len(IDR) - 5), start_code=b"")) if fixed else prefixed(P[4:])
    samples = [other, other, picture, other]
    body, offsets = b"", []
    for k in range(len(samples)):
        if k in chunks:
            body += bytes(gap)
            offsets += [len(body)] * chunks.count(k)
        body += samples[k]
    sizes = [len(x) for x in samples]
    trak = lambda at: simple_trak("vide", sizes, chunk_offset=[at + o for o in offsets], stss=[3, 4],
                                  stsc=[(first, n, 1) for first, n in runs], fixed_size=sizes[0] if fixed else 0)
    assert _quaver.extract_thumbnail_from_mp4(regular_mp4([trak], body)) == IDR


@pytest.mark.parametrize("length_size", [1, 2, 4])
def test_mp4_parameter_sets_from_avcc_go_in_front_and_its_length_fields_become_start_codes(length_size):
    # Each length field as wide as the avcC says, a cut-off last unit dropped.
    units = [IDR[4:], P[4:], b"\x06\x05"]
    sample = prefixed(*units, length_size=length_size)[:-1]
    entry = visual_entry(children=avcc_box([SPS], [PPS], length_size=length_size))
    mp4 = regular_mp4([video_trak([len(sample)], entry=entry)], sample)
    assert _quaver.extract_thumbnail_from_mp4(mp4) == START + SPS + START + PPS + IDR + P


@pytest.mark.parametrize("table, count", [(None, None), ("stco", 0), ("co64", None)])
def test_mp4_without_usable_chunk_table_reads_the_first_mdat(table, count):
    sample = prefixed(IDR[4:])
    offset = None if count == 0 else 0
    traks = [lambda body: simple_trak("vide", [len(sample)], chunk_offset=None if offset is None else body,
                                      table=table, entry_count=count)]
    assert _quaver.extract_thumbnail_from_mp4(regular_mp4(traks, sample)) == IDR


def test_mp4_boxes_are_read_by_their_own_sizes():
    # The search reads each box by its own size up to the end of the input,
    # whatever its parent's size says: a moov whose size field ends inside
    # its trak (but holds the trak's header) still leads to the sample.
    sample = prefixed(IDR[4:])
    mp4 = regular_mp4([video_trak([len(sample)])], sample, moov_first=False)
    at = mp4.rindex(b"moov") - 4
    short = mp4[:at] + struct.pack(">I", 16) + mp4[at + 4:]
    assert _quaver.extract_thumbnail_from_mp4(short) == _quaver.extract_thumbnail_from_mp4(mp4) == IDR


def test_mp4_fixed_sample_size_and_cut_off_units():
    sample = prefixed(IDR[4:]) + struct.pack(">I", 500) + b"\x65\x00"
    mp4 = regular_mp4([video_trak([], fixed_size=len(sample))], sample)
    assert _quaver.extract_thumbnail_from_mp4(mp4) == IDR


@pytest.mark.parametrize("build, message", [
    (lambda s: regular_mp4([video_trak([len(s) + 1])], s, after=box("free", bytes(32))),
     "Sample size exceeds mdat bounds"),
    (lambda s: regular_mp4([video_trak([len(s)], at=len(s) + 100)], s, after=box("free", bytes(300))),
     "Invalid mdat box"),
    (lambda s: regular_mp4([video_trak([3])], s[:3]), "No I-frame found in video stream"),
    (lambda s: regular_mp4([video_trak([8])], bytes(8)), "No I-frame found in video stream"),
    (lambda s: box("ftyp", b"isom") + box("moov", b""), 'Box "mdat" not found'),
    (lambda s: box("mdat", s), 'Box "moov" not found'),
    (lambda s: box("moov", box("trak", box("mdia", b""))) + box("mdat", s), 'Box "minf" not found in container'),
    (lambda s: box("moov", box("udta", b"")) + box("mdat", s), 'Box "trak" not found in container'),
    (lambda s: box("moov", b"") + box("mdat", b""), "Invalid mdat box"),
    (lambda s: struct.pack(">I4s", 7, b"free") + box("mdat", s), "Invalid box size"),
    (lambda s: struct.pack(">I4sQ", 1, b"free", 15) + box("mdat", s), "Invalid box size"),
    (lambda s: regular_mp4([video_trak([len(s)], entry=protected_entry(visual_entry(), b"cbcs"))], s),
     'Encrypted track 0 (scheme "cbcs"): quaver does not decrypt'),
])
def test_mp4_failures(build, message):
    with pytest.raises(ValueError) as e:
        _quaver.extract_thumbnail_from_mp4(build(prefixed(IDR[4:])))
    assert str(e.value) == message


def test_mp4_stsz_checks():
    moov = box("moov", box("trak", box("mdia", box("minf", box("stbl", full_box("stsz", 0, 0, bytes(4)))))))
    with pytest.raises(ValueError, match="^Invalid stsz box$"):
        _quaver.extract_thumbnail_from_mp4(box("mdat", b"x") + moov[:-4])
    with pytest.raises(ValueError, match="^Invalid stsz box - no sample sizes$"):
        _quaver.extract_thumbnail_from_mp4(box("mdat", b"x") + moov + bytes(4))


# ---- fragmented MP4 ---------------------------------------------------------------

AVC1 = visual_entry(children=avcc_box([SPS], [PPS]))
KEY = prefixed(IDR[4:])
# The init segment's stsz holds no sample; the fallback then reads, from
# the first mdat body, as many bytes as the u32 after that stsz says: the
# 16-byte stco box header that follows it.
FALLBACK = prefixed(P[4:4 + 12])


def fragmented(*fragments, trex_boxes=None):
    traks = [init_trak(2, 48000, handler="soun", entry=box("mp4a", bytes(28))), init_trak(1, 12800, entry=AVC1)]
    return box("ftyp", b"iso6") + init_moov(*traks, trex_boxes=trex_boxes) + b"".join(fragments)


def run_of(track_id, samples, **tfhd_fields):
    return placed_moof(lambda base: [traf(tfhd(track_id, **tfhd_fields), trun([{"size": len(s)} for s in samples],
                                                                             data_offset=base))])


def cut(data, n):
    return data[:len(data) - n]


@pytest.mark.parametrize("mp4, expected", [
    (fragmented(fragment((1, [KEY, prefixed(P[4:])]))), START + SPS + START + PPS + IDR),
    # The first fragment holding a sample of the video track, whatever comes before it.
    (fragmented(fragment((2, [FALLBACK])), moof(traf(tfhd(1), trun([]))) + box("mdat"), fragment((1, [KEY]))),
     START + SPS + START + PPS + IDR),
    # Sizes left to the trex; a recording cut inside a later box.
    (fragmented(placed_moof(lambda base: [traf(tfhd(1), trun([{}], data_offset=base))]) + box("mdat", KEY),
                trex_boxes=trex(1, 512, len(KEY)) + trex(2)), START + SPS + START + PPS + IDR),
    # A run without a data offset starts at its traf's base: here the moof, before the mdat body.
    (fragmented(moof(traf(tfhd(1), trun([{"size": len(KEY)}]))) + box("mdat", KEY)), START + SPS + START + PPS + IDR),
    (cut(fragmented(fragment((1, [KEY])), fragment((1, [KEY]))), 3), START + SPS + START + PPS + IDR),
    # No fragment holds a sample of the track, or one cannot be read: the first mdat body.
    (fragmented(fragment((2, [FALLBACK, KEY]))), START + SPS + START + PPS + P[:4 + 12]),
    (fragmented(box("moof", b"\x00\x00\x00\x01traf" + bytes(4)) + box("mdat", FALLBACK), fragment((1, [KEY]))),
     START + SPS + START + PPS + P[:4 + 12]),
], ids=["first fragment", "first holding one", "trex sizes", "no data offset", "cut recording", "no fragment",
        "unreadable fragment"])
def test_fragmented_key_frame_is_the_first_sample_of_the_video_fragments(mp4, expected):
    assert _quaver.extract_thumbnail_from_mp4(mp4) == expected


def test_fragmented_first_sample_without_bytes_is_no_key_frame():
    # Its bytes would lie outside its mdat.
    mp4 = fragmented(run_of(1, [KEY + b"\x00"]) + box("mdat", KEY) + box("free", bytes(8)))
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        _quaver.extract_thumbnail_from_mp4(mp4)


REAL = ["regular_faststart.mp4", "regular_moov_end.mp4", "audio_first.mp4",
        # moov at the end with a version 1 ctts; with co64 and a 64-bit mdat header; 2-byte NAL lengths
        "regular_negative_cts.mp4", "co64:regular_negative_cts.mp4", "co64:nal2:regular_negative_cts.mp4",
        "frag_av.mp4", "frag_video.mp4", "frag_every_frame.mp4", "frag_late_start.mp4", "cmaf_segments.mp4",
        "frag_negative_cts.mp4", "dash_init_chunk.mp4", "live_init.mp4+live_0.m4s", "trex:frag_av.mp4",
        "hls_live/init.mp4+hls_live/seg0.m4s", "packager:frag_av.mp4", "packager4:frag_av.mp4",
        "wide:frag_video.mp4", "nal2:frag_av.mp4", "partial_frag.mp4"]


@pytest.mark.parametrize("name", REAL)
def test_key_frames_of_real_files_decode_to_their_first_picture(name, fragmented_fixture):
    key = _quaver.extract_thumbnail_from_mp4(fragmented_fixture(name))
    (picture,) = pictures(key, format="h264")
    # A rewritten file has the first picture of the file it was made from
    # (PyAV cannot read several runs without data offsets in one traf).
    assert (picture == pictures(fragmented_fixture(name.rpartition(":")[2]))[0]).all()


# ---- HEVC ---------------------------------------------------------------------------

SEI = hevc_nal(39, b"\x05\x10" + b"\x42" * 8, start_code=b"")
HEVC_KEY = [hevc_slice(19, start_code=b""), hevc_slice(19, first=False, start_code=b"")]


@pytest.mark.parametrize("kind, length_size", [("hvc1", 4), ("hev1", 4), ("hvc1", 2), ("hvc1", 1)])
def test_mp4_parameter_sets_from_hvcc_go_in_front(kind, length_size):
    # VPS, SPS and PPS in the order of their arrays; an SEI array is no parameter set.
    hvcc = hvcc_box([(32, [hevc_vps()]), (39, [SEI]), (33, [hevc_sps()]), (34, [hevc_pps()])], length_size=length_size)
    entry = visual_entry(kind, children=hvcc)
    sample = prefixed(*HEVC_KEY, length_size=length_size)
    mp4 = regular_mp4([video_trak([len(sample)], entry=entry)], sample)
    expected = b"".join(START + u for u in [hevc_vps(), hevc_sps(), hevc_pps()] + HEVC_KEY)
    assert _quaver.extract_thumbnail_from_mp4(mp4) == expected
    # MV-HEVC: the second view's parameter sets (lhvC, layer 1) follow the first view's.
    layer1 = [hevc_nal(33, hevc_sps()[2:], layer_id=1, start_code=b""), hevc_nal(34, hevc_pps()[2:], layer_id=1,
                                                                                  start_code=b"")]
    entry = visual_entry(kind, children=hvcc + lhvc_box([(33, layer1[:1]), (34, layer1[1:])]))
    mp4 = regular_mp4([video_trak([len(sample)], entry=entry)], sample)
    assert _quaver.extract_thumbnail_from_mp4(mp4) == b"".join(
        START + u for u in [hevc_vps(), hevc_sps(), hevc_pps()] + layer1 + HEVC_KEY)
    # An array cut off by the end of its box keeps the units before it.
    cut = hvcc_box([(32, [hevc_vps()]), (33, [hevc_sps()])])
    cut = cut[:-3]
    cut = struct.pack(">I", len(cut)) + cut[4:]
    mp4 = regular_mp4([video_trak([len(prefixed(*HEVC_KEY))], entry=visual_entry(kind, children=cut))],
                      prefixed(*HEVC_KEY))
    assert _quaver.extract_thumbnail_from_mp4(mp4) == b"".join(START + u for u in [hevc_vps()] + HEVC_KEY)


def first_irap_unit(data, ts):
    """NAL units of the source's first key access unit, as PyAV demuxes it."""
    with av.open(io.BytesIO(data), **({"format": "mpegts"} if ts else {})) as c:
        packet = next(p for p in c.demux(video=0) if p.size and p.is_keyframe)
        if ts:
            return split_annexb(bytes(packet))
        hvcc = parse_hvcc(next(b for kind in ("hvc1", "hev1")
                               for b in find_all(data, "moov/trak/mdia/minf/stbl/stsd/" + kind + "/hvcC")))
        return length_prefixed_nals(bytes(packet), hvcc["length_size_minus1"] + 1)


@pytest.mark.parametrize("name", ["hevc_aac.ts", "hevc_eac3.ts", "hevc_hvc1.mp4", "hevc_hev1.mp4", "hevc_frag.mp4",
                                  "nal2:hevc_hvc1.mp4", "nal2:hevc_frag.mp4"])
def test_hevc_key_frames_hold_the_whole_first_irap_picture(name, fragmented_fixture, capfd):
    data = fragmented_fixture(name)
    ts = name.endswith(".ts")
    key = (_quaver.extract_thumbnail_from_ts if ts else _quaver.extract_thumbnail_from_mp4)(data)
    units = split_annexb(key)
    assert [hevc_nal_type(u) for u in units[:3]] == [32, 33, 34]
    # Exactly the slice segments of the source's first key access unit: x265
    # codes each picture as two, the second only a few bytes long.
    slices = lambda us: [u for u in us if hevc_nal_type(u) < 32]
    assert slices(units) == slices(first_irap_unit(data, ts)) and len(slices(units)) == 2
    (picture,) = pictures(key, format="hevc")
    assert (picture == pictures(data, **({"format": "mpegts"} if ts else {}))[0]).all()
