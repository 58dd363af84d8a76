"""Hostile bytes: every entry point returns a result or raises ValueError, nothing else."""
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _quaver
import quaver
from builders import (START, adts_frame, aud, find_all, find_box, mp4_sample_table, nal, opus_descriptor, pat, pes,
                      pmt, pps, sps, ts_packet, ts_stream, u32, u64)

DATA = pathlib.Path(__file__).parent / "data"
# The first 150 packets of each fixture keep every example fast.
SEEDS = [(DATA / n).read_bytes()[:188 * 150] for n in ("sample.ts", "late_audio_44k.ts", "interlaced.ts",
                                                       "hevc_eac3.ts", "h264_ac3.ts", "h264_mp3.ts", "dvb_ac3.ts",
                                                       "two_audio.ts", "two_programs.ts", "sample.m2ts",
                                                       "open_gop.ts", "mpeg2_aac.ts", "h264_latm.ts", "h264_opus.ts")]
FUZZ = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


MP4_SEEDS = [(DATA / n).read_bytes() for n in ("regular_faststart.mp4", "audio_first.mp4", "dash_init_chunk.mp4",
                                                  "hevc_hvc1.mp4", "hevc_frag.mp4", "partial_frag.mp4")]
SEGMENT_SEEDS = [(DATA / n).read_bytes()[:6000] for n in ("live_0.m4s", "live_init.mp4", "hls_live/seg0.m4s")]
INIT_SEEDS = [(DATA / n).read_bytes() for n in ("live_init.mp4", "hls_live/init.mp4")]


def survives(data, function=_quaver.convert_ts_to_mp4):
    try:
        out = function(data)
    except ValueError:
        return
    # The result can never be much larger than what the input can back.
    assert len(out) <= 2 * len(data) + 4096


_FILES = None


def same_from_files(data):
    """The file API gives what the bytes API gives, or the same refusal, and a refusal leaves no file."""
    global _FILES
    if _FILES is None:
        import atexit
        import shutil
        import tempfile
        _FILES = pathlib.Path(tempfile.mkdtemp(prefix="quaver-hostile-"))
        atexit.register(shutil.rmtree, _FILES, True)
    src, dst = _FILES / "in", _FILES / "out.mp4"
    src.write_bytes(data)
    try:
        expected = quaver.remux(data)
    except ValueError as exc:
        expected = (type(exc), str(exc))
    try:
        quaver.remux(src, dst, overwrite=True)
        got = dst.read_bytes()
    except ValueError as exc:
        got = (type(exc), str(exc))
    assert got == expected
    assert sorted(p.name for p in _FILES.iterdir()) == (["in", "out.mp4"] if isinstance(got, bytes) else ["in"])
    dst.unlink(missing_ok=True)


def probes_or_refuses(data, **streams):
    try:
        facts = quaver.probe(data, **streams)
    except ValueError:
        return
    assert facts["container"] in ("mpegts", "m2ts", "mp4", "fragmented-mp4", "media-segment")
    assert all(t["kind"] in ("video", "audio", "other") for t in facts["tracks"])


def detects_or_refuses(data):
    try:
        kind = quaver._native.detect_format(data)
    except ValueError:
        return
    assert kind in ("ts", "fmp4", "segment", "mp4")


@st.composite
def mutated(draw, seeds=SEEDS):
    data = bytearray(draw(st.sampled_from(seeds)))
    for _ in range(draw(st.integers(1, 40))):
        pos = draw(st.integers(0, len(data) - 1))
        op = draw(st.sampled_from(["flip", "set", "insert", "delete"]))
        value = draw(st.integers(0, 255))
        if op == "flip":
            data[pos] ^= 1 << (value % 8)
        elif op == "set":
            data[pos] = value
        elif op == "insert":
            data[pos:pos] = bytes([value]) * draw(st.integers(1, 5))
        else:
            del data[pos:pos + draw(st.integers(1, 200))]
        if not data:
            break
    cut = draw(st.integers(0, len(data)))
    return bytes(data[:cut] if draw(st.booleans()) else data)


@FUZZ
@given(st.binary(max_size=3000))
def test_random_bytes(data):
    survives(data)
    survives(data, _quaver.extract_thumbnail_from_ts)
    survives(data, _quaver.extract_thumbnail_from_mp4)
    survives(data, _quaver.FragmentedMP4Processor().process_segment)
    survives(data, quaver.remux)
    survives(data, quaver.thumbnail)
    survives(data, quaver.LiveProcessor().process_segment)
    survives(data, lambda d: quaver._native.key_frame(d, kind="ts")[1])
    assert quaver._native.sniff(data) in (None, "ts", "m2ts", "mp4")
    detects_or_refuses(data)
    probes_or_refuses(data)


@FUZZ
@given(mutated())
def test_mutated_real_streams(data):
    survives(data)
    survives(data, _quaver.extract_thumbnail_from_ts)
    detects_or_refuses(data)
    probes_or_refuses(data)
    # Both audio streams of the two-track seed, each its own track; another programme's video.
    survives(data, lambda d: quaver.remux(d, audio=[257, 258]))
    probes_or_refuses(data, video=258, audio="none")
    same_from_files(data)


@FUZZ
@given(mutated(MP4_SEEDS))
def test_mutated_mp4_key_frames(data):
    survives(data, _quaver.extract_thumbnail_from_mp4)
    probes_or_refuses(data)
    survives(data, lambda d: quaver.remux(d, video=1, audio=[2]))
    same_from_files(data)


@FUZZ
@given(st.one_of(mutated(), mutated(MP4_SEEDS), mutated(SEGMENT_SEEDS)),
       st.one_of(st.sampled_from([0, 0xFFFF, 0xFFFFFFFF]), st.integers(-1, 1 << 33)))
def test_mutated_inputs_under_any_32_bit_limit(data, limit):
    # The 64-bit layouts, forced on small files by a lowered limit, meet
    # hostile input too; the setter takes any 32-bit value and nothing else.
    try:
        before = quaver._native.set_32_bit_limit(limit)
    except ValueError:
        assert not 0 <= limit <= 0xFFFFFFFF
        return
    try:
        survives(data, quaver.remux)
        survives(data, lambda d: quaver.merge(d, d))
        survives(data, quaver.LiveProcessor().process_segment)
    finally:
        quaver._native.set_32_bit_limit(before)


@FUZZ
@given(st.one_of(st.none(), mutated(INIT_SEEDS)), st.lists(mutated(SEGMENT_SEEDS), min_size=1, max_size=3))
def test_mutated_live_segments(init, segments):
    # With an init segment stored, its timescales are read: a mutated one too.
    p = _quaver.FragmentedMP4Processor()
    live = quaver.LiveProcessor()
    if init is not None:
        p.set_init_segment(init)
        try:
            assert live.set_init_segment(init) is None
        except ValueError:
            pass
    for seg in segments:
        survives(seg, p.process_segment)
        survives(seg, live.process_segment)


# Programme maps that choose each video and audio format (Opus is private data named by its descriptors).
FORMATS = [(0x1B, 0x0F), (0x24, 0x81), (0x24, 0x87), (0x1B, 0x03), (0x24, 0x04), (0x02, 0x11), (0x02, 0x06)]


def program_map(video_type, audio_type):
    return pmt([(video_type, 0x100), (audio_type, 0x101, opus_descriptor() if audio_type == 0x06 else b"")])


@FUZZ
@given(st.sampled_from(FORMATS),
       st.lists(st.tuples(st.sampled_from([0x100, 0x101]), st.booleans(), st.binary(max_size=184)), max_size=60))
def test_random_payloads_on_chosen_pids(formats, packets):
    # Valid tables, then arbitrary payloads on the video and audio PIDs: this
    # reaches the PES, start-code, parameter-set and audio frame code of every
    # format with hostile content.
    video_type, audio_type = formats
    head = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(0x1000, program_map(video_type, audio_type), pusi=True)
    body = b"".join(ts_packet(pid, payload, pusi=start) for pid, start, payload in packets)
    survives(head + body)
    survives(head + body, _quaver.extract_thumbnail_from_ts)


# Per format: the stream types, the bytes opening an SPS, and those after it up
# to a key slice; the first bytes of an audio frame header.
HEADS = {
    (0x1B, 0x0F): (b"\x67", b"\x00\x00\x01\x68\xee\x00\x00\x01\x65\x88", b"\xff\xf1"),
    (0x24, 0x81): (b"\x42\x01", b"\x00\x00\x01\x44\x01\xc1\x00\x00\x01\x26\x01\xaf", b"\x0b\x77"),
    (0x24, 0x87): (b"\x42\x01\x01", b"\x00\x00\x01\x40\x01\x0c\x00\x00\x01\x2a\x01\xaf", b"\x0b\x77"),
    (0x1B, 0x03): (b"\x67", b"\x00\x00\x01\x65\x88", b"\xff\xfb"),
    (0x24, 0x04): (b"\x42\x01\x01\x01", b"\x00\x00\x01\x28\x01\xaf", b"\xff\xe3"),
    # A sequence header, its extension and an I picture; a LOAS frame, an Opus control header.
    (0x02, 0x11): (b"\xb3", b"\x00\x00\x01\xb5\x14\x8a\x00\x00\x01\x00\x00\x0f\xff\xf8\x00\x00\x01\x01", b"\x56\xe0"),
    (0x02, 0x06): (b"\xb3\x14\x00", b"\x00\x00\x01\x00\x00\x0f\x00\x00\x01\x01\x12", b"\x7f\xf0"),
}


@FUZZ
@given(st.sampled_from(FORMATS), st.binary(min_size=1, max_size=400), st.binary(max_size=400))
def test_hostile_parameter_sets_and_audio_headers(formats, sps_tail, frame_tail):
    # Parameter sets cut short or lying in every field, and audio frame headers
    # with arbitrary lengths, rates and substreams after a real sync word.
    sps_head, rest, sync = HEADS[formats]
    video = pes(b"\x00\x00\x00\x01" + sps_head + sps_tail + rest, pts=9000)
    audio = pes(sync + frame_tail, pts=9000, stream_id=0xC0)
    head = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(0x1000, program_map(*formats), pusi=True)
    pkts = [ts_packet(0x100, video[i:i + 184], pusi=i == 0) for i in range(0, len(video), 184)]
    pkts += [ts_packet(0x101, audio[i:i + 184], pusi=i == 0) for i in range(0, len(audio), 184)]
    survives(head + b"".join(pkts))
    survives(head + b"".join(pkts), _quaver.extract_thumbnail_from_ts)


# A timestamp: absent, near a regular clock, or anywhere on the 33-bit clock.
STAMPS = st.one_of(st.none(), st.integers(0, 40).map(lambda k: 90000 + 3000 * k), st.integers(0, 2 ** 33 - 1))


@FUZZ
@given(st.lists(st.tuples(STAMPS, STAMPS), min_size=1, max_size=12), st.lists(STAMPS, max_size=12))
def test_absurd_clocks_give_durations_that_fit(video, audio):
    # Whatever the timestamps, every sample lasts at least a tick (audio: its
    # frame), nothing wraps round, and the headers hold the tracks' sums, in
    # version 1 where those do not fit 32 bits.
    vpes = [pes(aud() + nal(5 if i == 0 else 1, b"\x88\x84"), pts=p if p is not None or d is None else d,
                dts=d if p is not None else None) for i, (p, d) in enumerate(video)]
    apes = [pes(adts_frame(b"\x21" * 8), pts=p, stream_id=0xC0) for p in audio]
    mp4 = _quaver.convert_ts_to_mp4(ts_stream(vpes, apes))
    for trak, least in zip(find_all(mp4, "moov/trak"), (1, 1024)):
        t = mp4_sample_table(trak)
        assert sum(n for n, _ in t["stts"]) == len(t["sizes"]) and all(d >= least for _, d in t["stts"])
        total = sum(n * d for n, d in t["stts"])
        tkhd = find_box(trak, "tkhd")
        assert t["duration"] == total and find_box(trak, "mdia/mdhd")[0] == (total >= 2 ** 32)
        movie = total * 90000 // t["timescale"]
        assert (u64(tkhd, 28) if tkhd[0] == 1 else u32(tkhd, 20)) == movie and tkhd[0] == (movie >= 2 ** 32)


# An access unit of a stream read for its random access points and fields: an
# SEI and a slice of any type, each with arbitrary bytes after its header.
UNITS = st.lists(st.tuples(st.sampled_from([b"", b"\x06", b"\x06\x06", b"\x06\xff\xff"]), st.binary(max_size=40),
                           st.sampled_from([1, 5, 2]), st.binary(max_size=24), STAMPS), min_size=1, max_size=12)


@FUZZ
@given(UNITS, st.sampled_from([1, 0]), st.integers(0, 40), st.booleans())
def test_hostile_sei_and_slice_heads(units, frames_only, frame_num_bits, with_audio):
    # Recovery point messages whose sizes lie, slice heads cut anywhere, frame_num
    # fields of any width and fields that pair with anything: a result or a
    # refusal, and the sync samples are samples of the file.
    head = START + sps(frame_mbs_only=frames_only, log2_max_frame_num_minus4=frame_num_bits) + START + pps()
    vpes = [pes(aud() + (head if i == 0 else b"") + (nal(6, sei_type + sei_body) if sei_type else b"") +
                nal(slice_type, body), pts=t, dts=t)
            for i, (sei_type, sei_body, slice_type, body, t) in enumerate(units)]
    ts = ts_stream(vpes, [pes(adts_frame(b"\x21" * 8), pts=9000, stream_id=0xC0)] if with_audio else [])
    survives(ts, _quaver.extract_thumbnail_from_ts)
    try:
        mp4 = _quaver.convert_ts_to_mp4(ts)
    except ValueError:
        return
    t = mp4_sample_table(find_all(mp4, "moov/trak")[0])
    assert 1 <= len(t["sizes"]) <= len(units)
    assert t["stss"] is None or (t["stss"][0] >= 1 and t["stss"][-1] <= len(t["sizes"]))


@pytest.mark.parametrize("batch", [quaver.remux_many, quaver.thumbnail_many, quaver.remux_iter, quaver.thumbnail_iter],
                         ids=lambda f: f.__name__)
@settings(FUZZ, max_examples=60)
@given(inputs=st.lists(st.one_of(st.binary(max_size=3000), mutated(), mutated(MP4_SEEDS)), max_size=6),
       workers=st.integers(1, 3), streams=st.sampled_from([{}, {"video": 256, "audio": [257, 2]}, {"audio": "none"}]))
def test_batches_of_hostile_inputs(batch, inputs, workers, streams):
    # Each input's place holds its result or the ValueError it raised, nothing else.
    out = list(batch(inputs, workers=workers, **(streams if batch in (quaver.remux_many, quaver.remux_iter) else {})))
    assert len(out) == len(inputs)
    for data, item in zip(inputs, out):
        assert isinstance(item, (bytes, ValueError)), item
        if isinstance(item, bytes):
            assert len(item) <= 2 * len(data) + 4096
