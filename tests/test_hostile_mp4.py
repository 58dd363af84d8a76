"""Hostile bytes through the MP4 operations: a result or ValueError, and never a result the input cannot back."""
import pathlib
import struct

from hypothesis import given, strategies as st

import _quaver
import quaver
from builders import box, fragment, full_box, init_moov, init_trak, iter_boxes, mdhd, moof, mvhd, tkhd
from test_hostile_input import FUZZ, detects_or_refuses, mutated

DATA = pathlib.Path(__file__).parent / "data"
FTYP = box("ftyp", b"iso6\x00\x00\x02\x00iso6mp41")
CRAFTED = FTYP + init_moov(init_trak(1, 90000, tkhd_box=tkhd(1, version=1), mdhd_box=mdhd(90000, version=1)),
                           init_trak(2, 48000, handler="soun"), mvhd_box=mvhd(1000, version=1)) + fragment(
    (1, [b"\x01" * 40, b"\x02" * 9]), (2, [b"\x03" * 7])) + fragment((2, [b"\x04" * 3]), (1, [b"\x05" * 11]))
SEEDS = [CRAFTED] + [(DATA / n).read_bytes() for n in ("frag_every_frame.mp4", "frag_video.mp4",
                                                       "cmaf_segments.mp4")]


def unfolds_or_refuses(data):
    try:
        out = _quaver.defragment_mp4(data)
    except ValueError:
        out = None
    if out is not None:
        assert out[4:8] == b"ftyp" and len(out) >= 48
        # Tables cost a bounded number of bytes per sample, and samples and their
        # bytes are bounded by the input: no input can make the result explode.
        assert len(out) <= 40 * len(data) + 4096
    other_operations_return_or_refuse(data)


def other_operations_return_or_refuse(data):
    calls = [(_quaver.reset_mp4_timestamps, (data,), len(data)),
             (_quaver.extract_thumbnail_from_mp4, (data,), len(data)),
             (_quaver.convert_mp4_reset_timestamps, (data,), 40 * len(data)),
             (_quaver.mux_fmp4_tracks, (data, CRAFTED), 40 * (len(data) + len(CRAFTED))),
             (_quaver.mux_fmp4_tracks, (CRAFTED, data), 40 * (len(data) + len(CRAFTED))),
             # CRAFTED numbers its tracks 1 and 2, as most inputs do: this renumbers.
             (quaver.merge, (CRAFTED, data), 40 * (len(data) + len(CRAFTED))),
             (quaver.merge, (data, CRAFTED), 40 * (len(data) + len(CRAFTED))),
             # The package's copies of the exact jobs, which refuse empty results.
             (quaver._native.defragment_mp4, (data,), 40 * len(data)),
             (quaver._native.reset_mp4_timestamps, (data,), len(data)),
             (quaver._native.convert_mp4_reset_timestamps, (data,), 40 * len(data)),
             (lambda d: quaver._native.key_frame(d, kind="mp4")[1], (data,), len(data))]
    detects_or_refuses(data)
    for function, args, bound in calls:
        try:
            out = function(*args)
        except ValueError:
            continue
        assert len(out) <= bound + 4096


@FUZZ
@given(st.binary(max_size=3000))
def test_random_bytes(data):
    unfolds_or_refuses(data)
    unfolds_or_refuses(FTYP + init_moov(init_trak(1, 1000)) + data)


@FUZZ
@given(mutated(SEEDS))
def test_mutated_fragmented_files(data):
    unfolds_or_refuses(data)


def structure(data):
    """Byte ranges of the bodies of a file's top-level boxes other than mdat."""
    return [(body, end) for kind, body, end, _ in iter_boxes(data) if kind != "mdat" and end > body]


SEED_STRUCTURE = [structure(seed) for seed in SEEDS]


@st.composite
def overwritten(draw):
    # Bytes changed in place inside the top-level boxes, so that the file
    # still parses and the damage reaches the rules below the top level.
    k = draw(st.integers(0, len(SEEDS) - 1))
    data, ranges = bytearray(SEEDS[k]), SEED_STRUCTURE[k]
    for _ in range(draw(st.integers(1, 12))):
        start, end = draw(st.sampled_from(ranges))
        pos = draw(st.integers(start, end - 1))
        value = draw(st.integers(0, 255))
        data[pos] = value if draw(st.booleans()) else data[pos] ^ (1 << (value % 8))
    return bytes(data)


@FUZZ
@given(overwritten())
def test_overwritten_headers_and_tables(data):
    unfolds_or_refuses(data)


TRUN_COUNTS = st.one_of(st.integers(0, 40), st.sampled_from([0x7FFFFFFF, 0xFFFFFFFF, 1 << 20]))


@st.composite
def hostile_traf(draw):
    children = b""
    for _ in range(draw(st.integers(0, 4))):
        kind = draw(st.sampled_from(["tfhd", "trun", "tfdt", "free"]))
        flags = draw(st.one_of(st.integers(0, 0xFFFFFF), st.sampled_from([0x020038, 0x000F05, 0x000B01])))
        head = b""
        if kind == "tfhd":
            head = struct.pack(">I", draw(st.integers(0, 3)))
        elif kind == "trun":
            head = struct.pack(">I", draw(TRUN_COUNTS))
            if draw(st.booleans()):
                head += struct.pack(">i", draw(st.integers(-(1 << 31), (1 << 31) - 1)))
        children += full_box(kind, draw(st.integers(0, 1)), flags, head + draw(st.binary(max_size=48)))
    return box("traf", children)


@FUZZ
@given(st.lists(st.one_of(st.lists(hostile_traf(), max_size=3).map(lambda t: moof(*t)),
                          st.binary(max_size=300).map(lambda b: box("mdat", b)),
                          st.just(box("free"))), max_size=6))
def test_hostile_fragment_headers_and_runs(boxes):
    # A valid initialisation, then moof/mdat boxes whose tfhd and trun fields
    # are arbitrary: this reaches the defaults, the run fields and the byte
    # ranges with hostile counts, flags and offsets.
    moov = init_moov(init_trak(1, 90000), init_trak(2, 48000, handler="soun"))
    unfolds_or_refuses(FTYP + moov + b"".join(boxes))
