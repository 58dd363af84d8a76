"""FragmentedMP4Processor and quaver.LiveProcessor: rebasing live segments from the first decode time seen."""
import gc
import inspect
import sys
import io
import struct

import av
import pytest

import _quaver
import quaver
from builders import (box, check_presentation, find_all, full_box, init_moov, init_trak, iter_boxes, live_segment,
                      parse_tfdt, tfdt, traf_body)

P = _quaver.FragmentedMP4Processor


def decode_times(segment):
    return [parse_tfdt(b) for b in find_all(segment, "moof/traf/tfdt")]


def test_class_surface():
    assert P.__doc__ == "세그먼트를 이어서 받아 처리하는 fMP4 처리기."
    if sys.version_info >= (3, 10):  # 3.9 drops the signature of a class made from a type spec
        assert str(inspect.signature(P)) == "()"
    assert str(inspect.signature(P.process_segment)) == "(self, /, data)"
    assert str(inspect.signature(P.set_init_segment)) == "(self, /, data)"
    assert str(inspect.signature(P.reset)) == "(self, /)"
    p = P()
    assert gc.is_tracked(p)
    with pytest.raises(AttributeError):
        p.anything = 1
    with pytest.raises(AttributeError):
        p.base_decode_time = 5
    with pytest.raises(TypeError):
        type("Sub", (P,), {})
    with pytest.raises(TypeError):
        P(1)
    with pytest.raises(TypeError, match="'data'"):
        p.process_segment(bytearray(8))
    with pytest.raises(TypeError, match="process_segment"):
        p.process_segment()
    assert not hasattr(p, "__dict__") and not hasattr(p, "__weakref__")


def test_base_from_the_first_decode_time_and_reset():
    p = P()
    assert p.base_decode_time is None
    assert p.set_init_segment(b"init") is None
    assert decode_times(p.process_segment(live_segment(traf_body(1, 900_000)))) == [0]
    assert decode_times(p.process_segment(data=live_segment(traf_body(1, 990_000)))) == [90_000]
    assert p.base_decode_time == 900_000
    assert p.reset() is None and p.base_decode_time is None
    assert decode_times(p.process_segment(live_segment(traf_body(1, 1_000_000)))) == [0]
    assert p.base_decode_time == 1_000_000


def test_one_base_for_every_track_and_both_versions():
    p = P()
    seg = live_segment(traf_body(1, 5000), traf_body(2, 4000, version=0), traf_body(3, 7000, version=0))
    assert decode_times(p.process_segment(seg)) == [0, 0, 2000]
    assert p.base_decode_time == 5000


def test_with_its_init_segment_every_track_is_measured_from_one_origin():
    # 90 kHz video from 1000 s, 48 kHz audio from 999.5 s, and a track 3 the
    # init segment does not name: the origin is the audio's start, in each
    # named track's ticks; track 3 takes its own first decode time.
    init = init_moov(init_trak(1, 90000), init_trak(2, 48000, handler="soun"))
    p = P()
    p.set_init_segment(init)
    first = live_segment(traf_body(1, 90_000_000), traf_body(2, 47_976_000, version=0), traf_body(3, 777))
    assert decode_times(p.process_segment(first)) == [45_000, 0, 0]
    assert p.base_decode_time == 89_955_000  # the first track's base, in its own ticks
    # The bases stay; a named track that appears only now takes the origin too.
    later = live_segment(traf_body(2, 48_024_000), traf_body(1, 90_090_000), traf_body(3, 1777))
    assert decode_times(p.process_segment(later)) == [48_000, 135_000, 1000]
    assert p.reset() is None and p.base_decode_time is None
    assert decode_times(p.process_segment(later)) == [0, 45_000, 0]
    # Rounded to the nearest tick; an init segment that names no timescale
    # leaves the single base of the first decode time.
    p = P()
    p.set_init_segment(init)
    assert decode_times(p.process_segment(live_segment(traf_body(2, 48_000), traf_body(1, 90_001)))) == [0, 1]
    p = P()
    p.set_init_segment(b"init")
    assert decode_times(p.process_segment(live_segment(traf_body(1, 5000), traf_body(2, 7000)))) == [0, 2000]
    # Stored once the stream runs, it waits for the next reset.
    p.set_init_segment(init)
    assert decode_times(p.process_segment(live_segment(traf_body(2, 8000)))) == [3000]
    p.reset()
    assert decode_times(p.process_segment(first)) == [45_000, 0, 0]


def test_everything_but_decode_times_passes_through_in_place():
    seg = box("sidx", bytes(24)) + live_segment(traf_body(1, 123456789012), mdat=bytes(range(256)))
    out = P().process_segment(seg)
    assert len(out) == len(seg)
    at = seg.index(b"tfdt") + 8
    assert out[:at] == seg[:at] and out[at + 8:] == seg[at + 8:] and out[at:at + 8] == bytes(8)


def test_short_segments_and_stray_bytes():
    p = P()
    assert p.process_segment(b"") == b"" and p.process_segment(b"\x00" * 7) == b""
    seg = live_segment(traf_body(1, 10))
    assert p.process_segment(seg + b"abc") == p.process_segment(seg)
    # A box running past the end is left out with everything after it.
    assert p.process_segment(seg + box("free", bytes(20))[:-1]) == p.process_segment(seg)


def test_short_tfdt_is_copied_and_sets_no_base():
    p = P()
    short = box("tfdt", b"\x01\x00\x00\x00" + struct.pack(">I", 99))  # version 1, 16 bytes
    seg = live_segment(full_box("tfhd", 0, 0, struct.pack(">I", 1)) + short)
    assert p.process_segment(seg) == seg and p.base_decode_time is None


@pytest.mark.parametrize("bad_size", [0, 1, 7])
def test_invalid_box_sizes_fail_but_keep_the_base(bad_size):
    p = P()
    bad = struct.pack(">I", bad_size) + b"junk"
    with pytest.raises(ValueError, match="^Invalid box size$"):
        p.process_segment(live_segment(traf_body(1, 777) + bad + bytes(8)))
    assert p.base_decode_time == 777
    with pytest.raises(ValueError, match="^Invalid box size$"):
        p.process_segment(bad + bytes(16))
    moof = box("moof", bad + bytes(8))
    with pytest.raises(ValueError, match="^Invalid box size$"):
        P().process_segment(moof)


def widened(data, containers=("moof", "traf")):
    """Every box of data, and of the containers in it, with a 64-bit size."""
    out = b""
    for kind, b0, b1, _ in iter_boxes(data):
        body = widened(data[b0:b1]) if kind in containers else data[b0:b1]
        out += struct.pack(">I4sQ", 1, kind.encode(), len(body) + 16) + body
    return out


def test_boxes_with_64_bit_sizes_pass_through():
    seg = live_segment(traf_body(1, 777), traf_body(2, 900))
    p, compact = P(), P()
    assert p.process_segment(widened(seg)) == widened(compact.process_segment(seg))
    assert p.base_decode_time == compact.base_decode_time == 777
    later = live_segment(traf_body(1, 1777))
    assert decode_times(p.process_segment(widened(later))) == decode_times(compact.process_segment(later)) == [1000]
    seg = live_segment(one_sample_traf(1, 700))
    assert quaver.LiveProcessor().process_segment(widened(seg)) == widened(quaver.LiveProcessor().process_segment(seg))


def test_truncated_children_are_left_out():
    traf = traf_body(1, 50)
    moof = box("moof", box("traf", traf))
    cut = moof[:-3]  # the moof still claims its full size
    out = P().process_segment(cut + bytes(2))
    assert out == b""  # the moof runs past the segment
    seg = box("moof", box("traf", traf + box("free", bytes(8))[:-1]) + b"\x00" * 3) + box("mdat", b"z")
    out = P().process_segment(seg)
    assert out.startswith(seg[:16]) and out.endswith(box("mdat", b"z"))
    assert len(out) == len(seg) - (box("free", bytes(8))[:-1].__len__() + 3)


def test_live_audio_and_video_keep_their_sync_with_the_init_segment(fixture_bytes):
    # HLS fMP4 whose clock starts at 1000 s, audio (48 kHz) and video
    # (12800 Hz) in each segment, the audio's AAC priming 21.3 ms ahead.
    init = fixture_bytes("hls_live/init.mp4")
    segments = [fixture_bytes(f"hls_live/seg{i}.m4s") for i in range(2)]
    p = P()
    p.set_init_segment(init)
    out = [p.process_segment(s) for s in segments]
    assert p.base_decode_time == round(47_998_976 / 48000 * 12800)
    firsts = check_presentation(init + b"".join(segments), init + b"".join(out))
    assert firsts == pytest.approx({"video": 0.0213, "audio": 0.0}, abs=1e-4)
    # Without it no timescale is known: the video's first decode time is
    # every track's base, and the 48 kHz audio lands about 733 s late.
    p = P()
    out = [p.process_segment(s) for s in segments]
    assert p.base_decode_time == 12_800_000
    assert decode_times(out[0]) == [0, 47_998_976 - 12_800_000]


def test_live_hls_segments_play_from_zero(fixture_bytes):
    p = P()
    init = fixture_bytes("live_init.mp4")
    p.set_init_segment(init)
    segments = [fixture_bytes(f"live_{i}.m4s") for i in range(3)]
    assert decode_times(segments[0])[0] >= 10_000 * 12_800  # really starts late
    out = [p.process_segment(s) for s in segments]
    assert [decode_times(o) for o in out] == [[0], [12_800], [25_600]]
    with av.open(io.BytesIO(init + b"".join(out))) as c:
        frames = list(c.decode(video=0))
    assert len(frames) == 75
    assert min(f.pts for f in frames) == 0


# ---- quaver.LiveProcessor: the same processor, refusing what it would pass through --------------------

SAMPLE_RUN = full_box("trun", 0, 0, struct.pack(">I", 1))  # one sample, its fields left to the defaults


def one_sample_traf(track_id, decode_time):
    return full_box("tfhd", 0, 0x020000, struct.pack(">I", track_id)) + tfdt(decode_time) + SAMPLE_RUN


def test_live_processor_rebases_as_the_exact_class(fixture_bytes):
    init = fixture_bytes("live_init.mp4")
    segments = [fixture_bytes(f"live_{i}.m4s") for i in range(3)]
    exact = P()
    exact.set_init_segment(init)
    for live in (quaver.LiveProcessor(init), quaver.LiveProcessor(init_segment=bytearray(init))):
        assert [live.process_segment(s) for s in segments] == [exact.process_segment(s) for s in segments]
        assert live.base_decode_time == exact.base_decode_time == 128_000_000
        exact.reset()
        live.reset()
        assert live.base_decode_time is None
    assert "timescale" in quaver.LiveProcessor.__doc__ and "single base" in quaver.LiveProcessor.__doc__
    assert all(getattr(quaver.LiveProcessor, m).__doc__ for m in ("process_segment", "set_init_segment", "reset",
                                                                  "base_decode_time"))


@pytest.mark.parametrize("call, data, kind, message", [
    ("process_segment", b"garbage", quaver.UnsupportedInput,
     "a live segment must be a fragmented MP4 media segment (moof and mdat); the input is unrecognised content"),
    ("process_segment", b"", quaver.NothingToDo, "the input is empty"),
    ("process_segment", "sample.ts", quaver.UnsupportedInput, "the input is an MPEG-TS"),
    ("process_segment", "live_init.mp4", quaver.UnsupportedInput, "the input is an MP4 without fragments"),
    ("process_segment", live_segment(traf_body(1, 900)), quaver.NothingToDo, "the segment holds no samples"),
    ("process_segment", live_segment(one_sample_traf(1, 900) + struct.pack(">I", 3) + bytes(12)), quaver.DamagedInput,
     "Invalid box size"),
    ("set_init_segment", "live_0.m4s", quaver.UnsupportedInput, "an initialisation segment must be an MP4 with a moov "
                                                                "box; the input is a fragmented MP4 media segment"),
    ("set_init_segment", b"\x47" * 2000, quaver.UnsupportedInput, "the input is an MPEG-TS"),
])
def test_live_processor_refuses_what_is_not_a_segment(call, data, kind, message, fixture_bytes):
    live = quaver.LiveProcessor()
    if isinstance(data, str):
        data = fixture_bytes(data)
    with pytest.raises(kind) as e:
        getattr(live, call)(data)
    assert message in str(e.value)
    # Refused before the wrapped processor saw it: the next segment still sets the base.
    if kind is not quaver.DamagedInput:
        assert decode_times(live.process_segment(live_segment(one_sample_traf(1, 700)))) == [0]
        assert live.base_decode_time == 700
