"""Unfolding fragmented MP4 files: crafted boxes for the exact rules, ffmpeg files read back by PyAV."""
import inspect
import io
import struct

import av
import pytest

import _quaver
import quaver
from builders import (box, check_presentation, defaults_in_trex, find_all, find_box, fragment, full_box, init_moov, init_trak, iter_boxes,
                      mdhd, moof, parse_tfhd, parse_trun, partially_fragmented, protected_entry,
                      table_samples_on_the_same_bytes, trex, wide_mdats,
                      mp4_sample_table, mvhd, placed_moof, tfdt, tfhd, tkhd, traf, trun, u32)

FTYP_OUT = bytes.fromhex("00000020") + b"ftypisom" + bytes.fromhex("00000002") + b"isomiso2avc1mp41"
FTYP_IN = box("ftyp", b"iso6\x00\x00\x02\x00iso6mp41")
VIDEO = init_trak(1, 90000)


def fmp4(*fragments, moov=None):
    return FTYP_IN + (init_moov(VIDEO) if moov is None else moov) + b"".join(fragments)


def unfold(*fragments, moov=None):
    return _quaver.defragment_mp4(fmp4(*fragments, moov=moov))


def tables(mp4):
    return [mp4_sample_table(t) for t in find_all(mp4, "moov/trak")]


def stbl_types(mp4, k=0):
    return [t for t, *_ in iter_boxes(find_all(mp4, "moov/trak/mdia/minf/stbl")[k])]


def moov_body_length(mp4):
    return u32(mp4, 32) - 8


def refused(data, message):
    with pytest.raises(ValueError) as e:
        _quaver.defragment_mp4(data)
    assert str(e.value) == message


def cleared(header_box):
    """A version 0 header box with its creation and modification times set to 0."""
    return header_box[:12] + bytes(8) + header_box[20:]


def rebox(container, path):
    return box(path.rsplit("/", 1)[-1], find_box(container, path))


# --------------------------------------------------------------------------
# Layout
# --------------------------------------------------------------------------


def test_output_is_ftyp_moov_mdat_byte_for_byte():
    # Template boxes (edts, hdlr, vmhd, dinf, udta, mvex) stay as they are; the
    # other top-level boxes of the input do not reach the output.
    samples = [b"\x01" * 10, b"\x02" * 20, b"\x03" * 5]
    edts = box("edts", full_box("elst", 0, 0, struct.pack(">IIii", 1, 1000, 0, 0x10000)))
    moov_in = init_moov(init_trak(1, 90000, extra=edts), extra=box("udta", b"note"))
    out = _quaver.defragment_mp4(FTYP_IN + box("free", b"x") + moov_in + box("styp", b"msdh") + box("sidx", bytes(24))
                                 + fragment((1, samples), duration=3000) + box("mfra", bytes(8)))
    trak_in = find_box(moov_in, "moov/trak")

    def expected_moov(c):
        stbl = (rebox(trak_in, "mdia/minf/stbl/stsd")
                + full_box("stts", 0, 0, struct.pack(">III", 1, 3, 3000))
                + full_box("stsc", 0, 0, struct.pack(">IIII", 1, 1, 1, 1))
                + full_box("stsz", 0, 0, struct.pack(">II3I", 0, 3, 10, 20, 5))
                + full_box("stco", 0, 0, struct.pack(">I3I", 3, c, c + 10, c + 30))
                + full_box("stss", 0, 0, struct.pack(">I3I", 3, 1, 2, 3)))
        minf = rebox(trak_in, "mdia/minf/vmhd") + rebox(trak_in, "mdia/minf/dinf") + box("stbl", stbl)
        # 9000 ticks at 90 kHz are 100 ticks of the 1000 Hz movie clock.
        mdia = cleared(mdhd(90000, 9000)) + rebox(trak_in, "mdia/hdlr") + box("minf", minf)
        trak = box("trak", cleared(tkhd(1, 100)) + edts + box("mdia", mdia))
        return box("moov", cleared(mvhd(1000, 100)) + trak + box("udta", b"note") + rebox(moov_in, "moov/mvex"))

    moov = expected_moov(32 + len(expected_moov(0)) + 8)
    assert out == FTYP_OUT + moov + box("mdat", b"".join(samples))


def test_each_track_is_one_block_at_its_chunk_offset_and_unfed_tracks_stay_empty():
    a, b = [b"A" * 600, b"a" * 400], [b"B" * 300, b"b" * 200]
    moov = init_moov(init_trak(1, 90000), init_trak(2, 48000, handler="soun"), init_trak(3, 1000))
    # The fragments interleave the tracks.
    out = unfold(fragment((2, b[:1]), (1, a[:1])), fragment((1, a[1:]), (2, b[1:])), moov=moov)
    first = 48 + moov_body_length(out)
    video, audio, unfed = tables(out)
    assert video["chunk_offsets"] == [first, first + 600] and audio["chunk_offsets"] == [first + 1000, first + 1300]
    assert video["stsc"] == audio["stsc"] == [(1, 1, 1)]
    assert find_box(out, "mdat") == b"".join(a + b)
    assert (unfed["stts"], unfed["sizes"], unfed["chunk_offsets"], unfed["duration"]) == ([], [], [], 0)
    assert stbl_types(out, 2) == ["stsd", "stts", "stsc", "stsz", "stco"]


def test_two_traks_with_one_track_id_are_both_built_from_the_first_record():
    moov = init_moov(init_trak(1, 90000), init_trak(1, 48000, handler="soun"))
    first, second = tables(unfold(fragment((1, [b"v" * 7, b"w" * 3])), moov=moov))
    assert first["sizes"] == second["sizes"] == [7, 3] and first["chunk_offsets"] == second["chunk_offsets"]
    assert second["timescale"] == 48000 and second["duration"] == 2000


def test_moov_with_many_traks_of_one_id_cannot_multiply_the_tables():
    many = b"".join(init_trak(1, 90000) for _ in range(40))
    run = [{}] * 2000  # samples from the defaults alone
    data = fmp4(placed_moof(lambda base: [traf(tfhd(1, duration=1, size=0), trun(run))]) + box("mdat"),
                moov=init_moov(many))
    assert 2000 < len(data) < 40 * 2000
    refused(data, "Sample count exceeds what the input can hold")
    # The same for one large sample description repeated by every trak.
    large = init_trak(1, 90000, stsd_body=bytes(8) + box("avc1", bytes(20000)))
    data = fmp4(fragment((1, [b"\x01"])), moov=init_moov(large + many))
    assert len(data) < 40 * 20000
    refused(data, "Sample count exceeds what the input can hold")


# --------------------------------------------------------------------------
# Refusals and the box layer
# --------------------------------------------------------------------------


@pytest.mark.parametrize("data, message", [
    (b"", "Not a fragmented MP4"),
    (b"\x00\x00\x00\x08fre", "Not a fragmented MP4"),
    (FTYP_IN + init_moov(VIDEO) + box("mdat", b"x"), "Not a fragmented MP4"),
    (FTYP_IN + fragment((1, [b"x"])), "moov box not found"),
    (FTYP_IN + box("mdat", b"x"), "Not a fragmented MP4"),
    (fmp4(fragment((1, [b"x"]))) + b"\x00\x00\x03\xe8free" + b"x" * 10, "Box size 1000 exceeds available data"),
    (fmp4(fragment((1, [b"x"]))) + struct.pack(">I4sQ", 1, b"free", 1 << 40),
     "Box size 1099511627776 exceeds available data"),
    (fmp4(fragment((1, [b"x"]))) + b"\x00\x00\x00\x01free" + bytes(4), "Not enough data"),
    (fmp4(box("moof", b"\x00\x00\x00\x01traf" + bytes(4)) + box("mdat")), "Not enough data"),
    (fmp4(moof(traf(b"\x00\x00\x00\x01trun" + bytes(4))) + box("mdat")), "Not enough data"),
    (fmp4(fragment((1, [b"x"])), moov=box("moov", b"\x00\x00\x00\x01trak" + bytes(4))), "Not enough data"),
    (fmp4(moof(traf(tfhd(1, duration=1), trun([], count=0xFFFFFFFF))) + box("mdat")),
     "Sample count exceeds what the input can hold"),
    (fmp4(placed_moof(lambda base: [traf(tfhd(1), trun([{"size": 2048}], data_offset=base))] * 40)
          + box("mdat", bytes(2048))), "Sample data exceeds what the input can hold"),
    # The moov's own tables count against the input too.
    (table_samples_on_the_same_bytes(4, count=0xFFFFFFFF), "Sample count exceeds what the input can hold"),
    (table_samples_on_the_same_bytes(64, size=64), "Sample data exceeds what the input can hold"),
    (fmp4(fragment((1, [b"x"])), moov=init_moov(init_trak(1, 48000, handler="soun", entry=protected_entry(
        box("mp4a", bytes(28)), scheme=None)))), "Encrypted track 1 (scheme unknown): quaver does not decrypt"),
], ids=["empty", "seven bytes", "regular mp4", "no moov", "neither moof nor moov", "box past the end",
        "64-bit box past the end", "64-bit size cut off", "moof children", "traf children", "moov children",
        "hostile sample count", "runs sharing bytes", "hostile moov sample count",
        "moov samples sharing bytes", "encrypted"])
def test_refusals_carry_their_exact_message(data, message):
    refused(data, message)


def test_header_forms_and_stray_bytes_do_not_change_the_result():
    frag = fragment((1, [b"\x21" * 5, b"\x22" * 6]))
    plain = unfold(frag)
    moov = init_moov(VIDEO)
    wide_moov = struct.pack(">I4sQ", 1, b"moov", len(moov) + 8) + moov[8:]
    mdat_at = frag.index(b"mdat") - 4
    open_ended = frag[:mdat_at] + b"\x00\x00\x00\x00mdat" + frag[mdat_at + 8:]
    assert unfold(frag, moov=wide_moov) == plain
    assert unfold(open_ended) == plain
    for stray in range(1, 8):
        assert _quaver.defragment_mp4(fmp4(frag) + b"\x00" * stray) == plain
    # A size field of 4: an empty body, the next box 8 bytes on.
    assert _quaver.defragment_mp4(fmp4(b"\x00\x00\x00\x04free" + frag)) == plain


def test_container_children_truncated_or_open_ended():
    def with_trun(make):
        return placed_moof(lambda base: [make(base)]) + box("mdat", b"\x31" * 4)

    runs = trun([{"size": 4}], data_offset=0)
    good = unfold(with_trun(lambda base: traf(tfhd(1, duration=5), trun([{"size": 4}], data_offset=base))))
    # A last child with size field 0 runs to the end of its container.
    zero = unfold(with_trun(lambda base: traf(
        tfhd(1, duration=5), b"\x00\x00\x00\x00" + trun([{"size": 4}], data_offset=base)[4:])))
    assert zero == good and tables(good)[0]["sizes"] == [4]
    # A child running past its container ends the child list without an error.
    cut = unfold(with_trun(lambda base: traf(tfhd(1, duration=5), struct.pack(">I", len(runs) + 50) + runs[4:])))
    assert tables(cut)[0]["sizes"] == [] and find_box(cut, "mdat") == b""


def test_last_moov_is_the_initialisation_moov():
    stale = init_moov(init_trak(7, 1000))
    out = _quaver.defragment_mp4(FTYP_IN + stale + init_moov(VIDEO) + fragment((1, [b"\x41" * 3])))
    assert len(find_all(out, "moov")) == 1 and tables(out)[0]["sizes"] == [3]


# --------------------------------------------------------------------------
# Pairing moof and mdat
# --------------------------------------------------------------------------


def test_moof_and_mdat_pairing_rules():
    a, b, c = fragment((1, [b"A" * 4])), fragment((1, [b"B" * 5])), fragment((1, [b"C" * 6]))
    moof_b, mdat_b = b[:b.index(b"mdat") - 4], b[b.index(b"mdat") - 4:]
    assert find_box(unfold(a, b, c), "mdat") == b"A" * 4 + b"B" * 5 + b"C" * 6
    # moof, moof, mdat: only the second moof counts.
    assert find_box(unfold(a[:a.index(b"mdat") - 4], b), "mdat") == b"B" * 5
    # moof, mdat, mdat: the second mdat is ignored; an mdat before any moof too.
    assert find_box(unfold(box("mdat", b"Z" * 8), b, box("mdat", b"Y" * 8)), "mdat") == b"B" * 5
    # A box between moof and mdat that the offsets do not count: they point
    # before the mdat body, which is read from its first byte.
    assert find_box(unfold(moof_b, box("free", b"F" * 30), mdat_b), "mdat") == b"B" * 5
    # A moof left pending at the end is discarded.
    assert tables(unfold(b, moof_b))[0]["sizes"] == [5]


# --------------------------------------------------------------------------
# Fragment defaults and sample runs
# --------------------------------------------------------------------------


def one_run(*boxes, mdat=b""):
    """moof with a single traf (the given boxes; make them with data offsets via placed_moof
    where the bytes matter) followed by an mdat."""
    return moof(traf(*boxes)) + box("mdat", mdat)


def test_tfhd_defaults_and_their_override_order():
    no_duration = tables(unfold(one_run(tfhd(1), trun([{"size": 2}] * 3))))[0]
    assert no_duration["stts"] == [(3, 0)] and no_duration["sizes"] == [2, 2, 2]
    skipped = tables(unfold(one_run(tfhd(1, base_data_offset=1 << 40, description_index=3, duration=777,
                                         size=9, flags=0x01010000), trun([{}] * 2))))[0]
    assert skipped["stts"] == [(2, 777)] and skipped["sizes"] == [9, 9] and skipped["stss"] is None
    # A later tfhd overrides the track ID and the defaults it carries only.
    later = tables(unfold(one_run(tfhd(5, duration=10, size=4), tfhd(1, size=6), trun([{}] * 2))))[0]
    assert later["stts"] == [(2, 10)] and later["sizes"] == [6, 6]
    # A default cut off by the end of the body stays as it was.
    short = full_box("tfhd", 0, 0x000018, struct.pack(">II", 1, 40))
    cut = tables(unfold(one_run(short, trun([{}]))))[0]
    assert cut["stts"] == [(1, 40)] and cut["sizes"] == [0]


def test_trun_fields_with_and_without_data():
    def placed(samples, mdat, **kw):
        return placed_moof(lambda base: [traf(tfhd(1, duration=3), trun(samples, data_offset=base, **kw))]) + box(
            "mdat", mdat)

    # Flags 0x000301 at offset B + 16: the first sample starts at the first mdat byte.
    exact = unfold(placed([{"duration": 7, "size": 2}, {"duration": 8, "size": 3}], b"abcde"))
    assert tables(exact)[0]["stts"] == [(1, 7), (1, 8)] and find_box(exact, "mdat") == b"abcde"
    # Without a data offset the run starts at its traf's base: the moof, which
    # lies before the mdat body, so the body's first byte.
    bare = unfold(one_run(tfhd(1, duration=3), trun([{"size": 2}, {"size": 3}]), mdat=b"abcde"))
    assert tables(bare)[0]["sizes"] == [2, 3] and find_box(bare, "mdat") == b"abcde"
    # A sample past the end of the mdat keeps its record; the next one is read from the same place.
    past = unfold(placed([{"size": 4}, {"size": 100}, {"size": 4}], b"12345678"))
    assert tables(past)[0]["sizes"] == [4, 100, 4] and find_box(past, "mdat") == b"12345678"
    # A count beyond the rows: the rest take the defaults, and the full count is produced.
    over = tables(unfold(one_run(tfhd(1, duration=3, size=1), trun([{"duration": 9, "size": 2}], count=4))))[0]
    assert over["stts"] == [(1, 9), (3, 3)] and over["sizes"] == [2, 1, 1, 1]


def test_data_offset_start_rule():
    def offset_run(offset, sizes):
        return moof(traf(tfhd(1, duration=1), trun([{"size": s} for s in sizes], data_offset=offset)))

    head = offset_run(0, [1])
    b = len(head) - 8
    # Start = data offset - B - 16, floored at 0.
    assert find_box(unfold(offset_run(b + 16 + 3, [2]) + box("mdat", b"0123456")), "mdat") == b"34"
    assert find_box(unfold(offset_run(-50, [2]) + box("mdat", b"0123456")), "mdat") == b"01"
    assert find_box(unfold(offset_run(0x7FFFFFFF, [2]) + box("mdat", b"0123456")), "mdat") == b""


MDAT = box("mdat", b"0123456789")
MDAT_WIDE = struct.pack(">I4sQ", 1, b"mdat", 26) + b"0123456789"


def base_run(offset, *tfhds):
    """A moof with one traf: the tfhds (tfhd(1) if none), then a run of one 2-byte sample at ``offset``."""
    return moof(traf(*(tfhds or (tfhd(1),)), trun([{"size": 2}], data_offset=offset)))


def moof_length(*tfhds):
    return len(base_run(0, *tfhds))  # every field has a fixed width


def body_at(*tfhds):
    """File position of the first body byte of MDAT placed right after base_run(..., *tfhds) in fmp4()."""
    return len(fmp4()) + moof_length(*tfhds) + 8


def wide(compact_box):
    return struct.pack(">I4sQ", 1, compact_box[4:8], len(compact_box) + 8) + compact_box[8:]


ZERO_BASE = tfhd(1, base_data_offset=0)


@pytest.mark.parametrize("build, taken", [
    # A free box, or a 64-bit mdat header, between the moof and the sample bytes.
    (lambda: base_run(moof_length() + 24 + 8 + 3) + box("free", bytes(16)) + MDAT, b"34"),
    (lambda: base_run(moof_length() + 16 + 3) + MDAT_WIDE, b"34"),
    # A 64-bit moof header: the offsets count from the moof's first header byte.
    (lambda: wide(base_run(moof_length() + 8 + 8 + 3)) + MDAT, b"34"),
    # A base data offset in the tfhd replaces the moof's position.
    (lambda: base_run(103, tfhd(1, base_data_offset=body_at(ZERO_BASE) - 100)) + MDAT, b"34"),
    # The last tfhd that carries one decides; one that carries none keeps it.
    (lambda: base_run(103, tfhd(1, base_data_offset=5), tfhd(1, base_data_offset=body_at(ZERO_BASE, ZERO_BASE) - 100))
     + MDAT, b"34"),
    (lambda: base_run(103, tfhd(1, base_data_offset=body_at(ZERO_BASE, tfhd(1)) - 100), tfhd(1)) + MDAT, b"34"),
    # A base data offset flag whose 8 bytes are cut off: the moof's position.
    (lambda: base_run(moof_length(full_box("tfhd", 0, 1, bytes(8))) + 8 + 3, full_box("tfhd", 0, 1, struct.pack(
        ">II", 1, 0))) + MDAT, b"34"),
    # Before the start of the file, or past every 64-bit position.
    (lambda: base_run(-7, tfhd(1, base_data_offset=5)) + MDAT, b"01"),
    (lambda: base_run(0x7FFFFFFF, tfhd(1, base_data_offset=(1 << 64) - 10)) + MDAT, b""),
], ids=["free box before the mdat", "64-bit mdat", "64-bit moof", "tfhd base", "later tfhd base",
        "tfhd without base keeps it", "base cut off", "before the file", "past 64 bits"])
def test_run_data_is_found_where_the_boxes_really_lie(build, taken):
    out = unfold(build())
    assert find_box(out, "mdat") == taken and tables(out)[0]["sizes"] == [2]


def test_runs_without_data_offsets_follow_the_previous_run_of_their_traf():
    # Packagers write a base data offset per traf and runs without offsets:
    # the first run starts at the base, each further one where the one
    # before it ended, whether that one had an offset or not.
    def layout(n):
        at = len(fmp4()) + n + 8  # the mdat body
        first = traf(tfhd(1, base_data_offset=at + 1), trun([{"size": 2}]), trun([{"size": 1}]),
                     trun([{"size": 2}], data_offset=6 - 1), trun([{"size": 1}, {"size": 1}]))
        return moof(first, traf(tfhd(1, base_data_offset=at), trun([{"size": 1}])))

    assert find_box(unfold(layout(len(layout(0))) + MDAT), "mdat") == b"123" + b"6789" + b"0"


def test_a_base_data_offset_belongs_to_its_own_traf():
    # The second traf counts from the moof, whatever the first one's tfhd said.
    def two(n):
        first = traf(tfhd(1, base_data_offset=len(fmp4()) + n + 8 - 100), trun([{"size": 2}], data_offset=103))
        return moof(first, traf(tfhd(1), trun([{"size": 3}], data_offset=n + 8 + 6)))

    assert find_box(unfold(two(len(two(0))) + MDAT), "mdat") == b"34678"


@pytest.mark.parametrize("trex_boxes, tfhds, durations, sizes, stss", [
    (trex(1, 40, 3, 0x01010000), [tfhd(1)], [40, 40], [3, 3], None),
    (trex(1, 40, 3), [tfhd(1, duration=5, flags=0x01010000)], [5, 5], [3, 3], None),
    # A default carried by one tfhd of the traf but not by the other.
    (trex(1, 40, 3, 0x01010000), [tfhd(1, duration=5), tfhd(1, size=7)], [5, 5], [7, 7], None),
    # A flag set without its 4 bytes carries nothing.
    (trex(1, 40, 3), [full_box("tfhd", 0, 0x000008, struct.pack(">I", 1))], [40, 40], [3, 3], [1, 2]),
    # The first trex of a track ID wins; a trex of 20 bytes, or of another track, is not one.
    (trex(1, 40, 3) + trex(1, 99, 9, 0x01010000), [tfhd(1)], [40, 40], [3, 3], [1, 2]),
    (full_box("trex", 0, 0, struct.pack(">IIII", 1, 1, 40, 3)) + trex(1, 50, 4), [tfhd(1)], [50, 50], [4, 4],
     [1, 2]),
    (trex(2, 40, 3, 0x01010000), [tfhd(1)], [0, 0], [0, 0], [1, 2]),
], ids=["trex alone", "tfhd first", "two tfhds", "cut-off field", "first trex wins", "short trex", "other track"])
def test_defaults_no_tfhd_carries_come_from_the_track_extends_box(trex_boxes, tfhds, durations, sizes, stss):
    moov = init_moov(VIDEO, trex_boxes=trex_boxes)
    t = tables(unfold(one_run(*tfhds, trun([{}] * 2)), moov=moov))[0]
    assert (t["durations"], t["sizes"], t["stss"]) == (durations, sizes, stss)


def test_runs_for_unknown_tracks_are_dropped_and_track_zero_is_fed_without_tfhd():
    # Dropped whatever their count.
    dropped = unfold(one_run(tfhd(2, duration=3), trun([{"size": 2}])), one_run(tfhd(9), trun([], count=0xFFFFFFFF)))
    assert tables(dropped)[0]["sizes"] == []
    nameless = init_moov(init_trak(1, 1000, tkhd_box=b""))
    fed = unfold(one_run(trun([{"size": 2, "duration": 4}])), moov=nameless)
    assert tables(fed)[0]["sizes"] == [2] and tables(fed)[0]["stts"] == [(1, 4)]


def test_first_sample_flags_mark_the_fragment_key_frame():
    non_sync, sync = 0x01010000, 0x02000000
    frag = one_run(tfhd(1, duration=1, size=1, flags=non_sync), trun([{}] * 3, first_sample_flags=sync))
    assert tables(unfold(frag, frag))[0]["stss"] == [1, 4]
    # Per-sample flags are still read past: the second sample has its own.
    rows = [{"flags": non_sync}, {"flags": sync}, {"flags": non_sync}]
    both = unfold(one_run(tfhd(1, duration=1, size=1), trun(rows, first_sample_flags=sync)))
    assert tables(both)[0]["stss"] == [1, 2]
    # A first-sample-flags field cut off by the end of the body is not used.
    cut = full_box("trun", 0, 0x000004, struct.pack(">I", 2))
    assert tables(unfold(one_run(tfhd(1, duration=1, flags=non_sync), cut)))[0]["stss"] is None


# --------------------------------------------------------------------------
# Sample tables
# --------------------------------------------------------------------------


def test_samples_of_the_moov_come_before_those_of_the_fragments():
    # Partially fragmented: the moov's tables hold two samples (a sync sample
    # first), the fragment a third.
    out = _quaver.defragment_mp4(partially_fragmented([b"\x01" * 5, b"\x02" * 6], [b"\x03" * 7], duration=3000))
    t = tables(out)[0]
    assert (t["sizes"], t["durations"], t["stss"]) == ([5, 6, 7], [3000] * 3, [1, 3])
    assert find_box(out, "mdat") == b"\x01" * 5 + b"\x02" * 6 + b"\x03" * 7


def table_for(rows, **tfhd_fields):
    out = unfold(one_run(tfhd(1, **tfhd_fields), trun(rows)))
    return out, tables(out)[0]


def test_run_length_and_chunk_tables():
    rows = [{"duration": d, "size": z, "cto": c} for d, z, c in ((3000, 100, 0), (3000, 200, 1024), (3001, 50, 1024),
                                                                 (3001, 1, 0))]
    out, t = table_for(rows)
    first = 48 + moov_body_length(out)
    assert t["stts"] == [(2, 3000), (2, 3001)] and t["ctts"] == [(1, 0), (2, 1024), (1, 0)]
    assert t["sizes"] == [100, 200, 50, 1] and t["chunk_offsets"] == [first, first + 100, first + 300, first + 350]
    out, t = table_for([{"cto": 0}] * 3, duration=1)
    assert t["ctts"] is None and "ctts" not in stbl_types(out)
    # A negative offset of a version 1 run keeps its bits, in a version 1
    # table whose offsets are signed; only the version byte differs.
    negative = unfold(one_run(tfhd(1, duration=1), trun([{"cto": -512}, {"cto": 512}], version=1)))
    ctts = find_box(negative, "moov/trak/mdia/minf/stbl/ctts")
    assert ctts == b"\x01" + bytes(3) + struct.pack(">IIiIi", 2, 1, -512, 1, 512)
    # The top bit decides, whatever the run's version said.
    top = tables(unfold(one_run(tfhd(1, duration=1), trun([{"cto": -1}, {"cto": 0x7FFFFFFF}]))))[0]
    assert top["ctts"] == [(1, -1), (1, 0x7FFFFFFF)]
    assert find_box(unfold(one_run(tfhd(1, duration=1), trun([{"cto": 0x7FFFFFFF}], version=1))),
                    "moov/trak/mdia/minf/stbl/ctts")[0] == 0


@pytest.mark.parametrize("flags, stss", [
    ((0x02000000, 0x01010000, 0x01010000, 0x02000000), [1, 4]),
    ((0x00010000,) * 3, [1, 2, 3]),  # the non-sync bit alone is not consulted
    ((0x01000000,) * 3, None),
])
def test_sync_samples_follow_the_depends_on_bit(flags, stss):
    out, t = table_for([{"flags": f} for f in flags], duration=1)
    assert t["stss"] == stss
    assert ("stss" in stbl_types(out)) == (stss is not None)


def test_new_sample_table_order_and_missing_description():
    out, _ = table_for([{"cto": 5, "flags": 0}], duration=1)
    assert stbl_types(out) == ["stsd", "stts", "stsc", "stsz", "stco", "ctts", "stss"]
    empty = init_moov(init_trak(1, 90000, stsd_body=b""))
    out = unfold(one_run(tfhd(1, duration=1), trun([{"size": 1}])), moov=empty)
    assert stbl_types(out) == ["stts", "stsc", "stsz", "stco", "stss"]


# --------------------------------------------------------------------------
# Movie, track and media headers
# --------------------------------------------------------------------------


def headers(out, k=0):
    trak = find_all(out, "moov/trak")[k]
    return find_box(out, "moov/mvhd"), find_box(trak, "tkhd"), find_box(trak, "mdia/mdhd")


def with_headers(mvhd_box, tkhd_box, mdhd_box, *, duration=3000, count=3, media=90000):
    moov = init_moov(init_trak(1, media, tkhd_box=tkhd_box, mdhd_box=mdhd_box), mvhd_box=mvhd_box)
    return unfold(one_run(tfhd(1, duration=duration, size=1), trun([{}] * count)), moov=moov)


def test_version_1_headers_become_version_0():
    out = with_headers(mvhd(600, 5, version=1, next_track_id=9),
                       tkhd(1, 5, version=1, volume=0x100, width=640, height=360),
                       mdhd(90000, 5, version=1, language=0x15C7))
    # 9000 ticks at 90 kHz are 60 ticks of the 600 Hz movie clock.
    assert headers(out) == (cleared(mvhd(600, 60, next_track_id=9))[8:],
                            cleared(tkhd(1, 60, volume=0x100, width=640, height=360))[8:],
                            cleared(mdhd(90000, 9000, language=0x15C7))[8:])


def test_short_version_1_headers_fill_what_they_lack():
    def cut(header_box, n):
        return box(header_box[4:8], header_box[8:8 + n])

    out = with_headers(cut(mvhd(600, version=1), 100), cut(tkhd(1, version=1), 40), cut(mdhd(90000, version=1), 32))
    mv, tk, md = headers(out)
    assert mv == cleared(mvhd(600, 60, next_track_id=3))[8:]
    assert tk == bytes.fromhex("00000007") + bytes(8) + struct.pack(">IIi", 1, 0, 60) + bytes(60)
    assert md == bytes(12) + struct.pack(">II", 90000, 9000) + bytes(4)


@pytest.mark.parametrize("version, length, readable", [
    (0, 12, False), (0, 15, False), (0, 16, True), (1, 16, False), (1, 23, False), (1, 24, True), (2, 16, True),
])
def test_track_id_by_header_version_and_body_length(version, length, readable):
    # The track ID lies where the header's version puts it (any version but
    # 1 as version 0); a body that does not hold it names no track, so its
    # fragments find no trak: unfolding drops their samples, merging refuses.
    body = bytearray(tkhd(1, version=int(version == 1))[8:8 + length])
    body[0] = version
    moov = init_moov(init_trak(1, 90000, tkhd_box=box("tkhd", bytes(body))))
    samples = fragment((1, [b"a", b"b"]))
    assert tables(_quaver.defragment_mp4(moov + samples))[0]["sizes"] == ([1, 1] if readable else [])
    audio = init_moov(init_trak(2, 48000, handler="soun")) + fragment((2, [b"c"]))
    if readable:
        assert len(find_all(_quaver.mux_fmp4_tracks(moov + samples, audio), "moov/trak")) == 2
    else:
        with pytest.raises(ValueError, match="^track_id 0 에 해당하는 trak 없음$"):
            _quaver.mux_fmp4_tracks(moov + samples, audio)


@pytest.mark.parametrize("length, unfolded_timescale", [(15, 1000), (16, 600), (23, 600), (24, 90000)])
def test_movie_timescale_of_a_version_1_header_too_short_for_it(length, unfolded_timescale):
    # Unfolding reads a version 1 movie header too short for its timescale
    # as version 0 (where the high half of its modification time stands);
    # merging takes 1000, as for a header without one.
    body = (full_box("mvhd", 1, 0, struct.pack(">QQII", 0, 600 << 32, 90000, 0) + bytes(80)))[8:8 + length]
    moov = init_moov(init_trak(1, 90000), mvhd_box=box("mvhd", body))
    video = moov + fragment((1, [b"a"] * 9), duration=10000)  # 1 s
    track_duration = lambda out: u32(find_box(out, "moov/trak/tkhd"), 20)
    assert track_duration(_quaver.defragment_mp4(video)) == unfolded_timescale
    audio = init_moov(init_trak(2, 48000, handler="soun")) + fragment((2, [b"c"]))
    assert track_duration(_quaver.mux_fmp4_tracks(video, audio)) == (90000 if length >= 24 else 1000)


@pytest.mark.parametrize("version", [0, 1])
def test_durations_beyond_32_bits_take_version_1_headers(version):
    out = with_headers(mvhd(1000, version=version), tkhd(1, version=version), mdhd(1000, version=version),
                       duration=0xFFFFFFFF, count=2)
    cleared1 = lambda header_box: header_box[:12] + bytes(16) + header_box[28:]  # version 1, times 0
    duration = 2 * 0xFFFFFFFF
    assert headers(out) == tuple(cleared1(h)[8:] for h in (mvhd(1000, duration, version=1),
                                                          tkhd(1, duration, version=1), mdhd(1000, duration, version=1)))


def test_sample_sizes_without_bytes_place_later_samples_past_4_gib():
    out = unfold(moof(traf(tfhd(1), trun([{"size": 0xFFFFFFF0}, {"size": 16}, {"size": 1}]))) + box("mdat"))
    first = len(out)  # the mdat holds none of their bytes
    assert find_box(out, "moov/trak/mdia/minf/stbl/stco") is None and find_box(out, "mdat") == b""
    assert tables(out)[0]["chunk_offsets"] == [first, first + 0xFFFFFFF0, first + 0x100000000]


@pytest.mark.parametrize("movie, media, tkhd_duration, mvhd_duration", [
    (1000, 90000, 10000, 10000),
    (90000, 90000, 900000, 900000),
    (0, 90000, 900000, 0),
    (1000, 0, 900000, 900000),
])
def test_track_header_counts_in_the_movie_timescale(movie, media, tkhd_duration, mvhd_duration):
    out = with_headers(mvhd(movie), tkhd(1), mdhd(media), duration=9000, count=100, media=media)
    mv, tk, md = headers(out)
    assert (u32(tk, 20), u32(md, 16), u32(mv, 16)) == (tkhd_duration, 900000, mvhd_duration)


def test_movie_duration_is_the_longest_track_and_missing_media_header_means_1000():
    moov = init_moov(init_trak(1, 90000), init_trak(2, 1000, handler="soun", mdhd_box=b""),
                     mvhd_box=mvhd(600, version=1))
    out = unfold(one_run(tfhd(1, duration=9000, size=1), trun([{}] * 10)),
                 one_run(tfhd(2, duration=1000, size=1), trun([{}] * 3)), moov=moov)
    video, audio = find_all(out, "moov/trak")
    assert u32(find_box(out, "moov/mvhd"), 16) == 1800  # 3 s of audio outlast 1 s of video
    assert (u32(find_box(video, "tkhd"), 20), u32(find_box(audio, "tkhd"), 20)) == (600, 1800)


# --------------------------------------------------------------------------
# Real files made by ffmpeg, read back by PyAV
# --------------------------------------------------------------------------

FIXTURES = ["frag_av.mp4", "frag_video.mp4", "frag_every_frame.mp4", "cmaf_segments.mp4", "dash_init_chunk.mp4",
            # the moov's own samples first; NAL length fields of 2 bytes, copied as they are
            "partial_frag.mp4", "nal2:frag_av.mp4"]
# Audio runs whose fragmenter wrote a duration of 0: their unfolded times follow those durations.
ZERO_DURATION_RUNS = {("frag_every_frame.mp4", 1)}
# Every track of these starts with an empty edit, an absolute start the unfolded file drops.
SHARED_START = {"cmaf_segments.mp4"}


def packets(data, **options):
    with av.open(io.BytesIO(data), options=options) as c:
        out = {s.index: [] for s in c.streams}
        for p in c.demux():
            if p.size:
                out[p.stream.index].append((bytes(p), p.dts, p.pts, p.is_keyframe))
    return out


def decoded_frames(data, **options):
    counts = {}
    with av.open(io.BytesIO(data), options=options) as c:
        for frame in c.decode(*c.streams):
            kind = "video" if isinstance(frame, av.VideoFrame) else "audio"
            counts[kind] = counts.get(kind, 0) + 1
    return counts


def comparable(name, streams):
    """Packets without the times of the streams whose fragment durations are 0."""
    return {k: [p if (name, k) not in ZERO_DURATION_RUNS else (p[0], p[3]) for p in ps] for k, ps in streams.items()}


@pytest.mark.parametrize("name", FIXTURES)
def test_unfolded_fixture_keeps_payloads_times_and_key_frames_and_decodes(name, fragmented_fixture):
    data = fragmented_fixture(name)
    out = _quaver.defragment_mp4(data)
    # The samples themselves, then the file as a player reads it, edit lists
    # included: the same times, or the same times after the first picture.
    readings = [{"ignore_editlist": "1"}] + ([] if name in SHARED_START else [{}])
    for options in readings:
        assert comparable(name, packets(out, **options)) == comparable(name, packets(data, **options))
    check_presentation(data, out)
    source = packets(data)
    kinds = ["video", "audio"][:len(source)]
    assert decoded_frames(out) == {kind: len(source[k]) for k, kind in enumerate(kinds)}


@pytest.mark.parametrize("name", FIXTURES)
def test_key_frames_and_header_durations_of_an_unfolded_fixture(name, fragmented_fixture):
    data = fragmented_fixture(name)
    out = _quaver.defragment_mp4(data)
    keys = [i + 1 for i, p in enumerate(packets(data, ignore_editlist="1")[0]) if p[3]]
    video = mp4_sample_table(find_all(out, "moov/trak")[0])
    assert video["stss"] == keys and len(keys) < len(video["sizes"])

    mvhd_body = find_box(out, "moov/mvhd")
    movie = u32(mvhd_body, 12)
    durations = []
    for trak in find_all(out, "moov/trak"):
        t = mp4_sample_table(trak)
        total = sum(t["durations"])
        assert t["duration"] == total
        durations.append(u32(find_box(trak, "tkhd"), 20))
        assert durations[-1] == total * movie // t["timescale"]
    assert u32(mvhd_body, 16) == max(durations)


@pytest.mark.parametrize("name", ["frag_av.mp4", "frag_every_frame.mp4"])
@pytest.mark.parametrize("rewrite", [wide_mdats, defaults_in_trex])
def test_rewritten_fixture_unfolds_to_the_samples_and_tables_of_its_original(name, rewrite, fixture_bytes):
    # 64-bit mdat headers with a free box before each mdat, or every default
    # left to the trex boxes: the same file for a player, and for unfolding.
    data = fixture_bytes(name)
    variant = rewrite(data)
    assert packets(variant) == packets(data)
    if rewrite is defaults_in_trex:
        assert all(parse_tfhd(b)["flags"] & 0x38 == 0 for b in find_all(variant, "moof/traf/tfhd"))
    out, original = _quaver.defragment_mp4(variant), _quaver.defragment_mp4(data)
    assert tables(out) == tables(original) and find_box(out, "mdat") == find_box(original, "mdat")
    # Only the copied trex boxes can differ.
    assert out.replace(find_box(out, "moov/mvex"), find_box(original, "moov/mvex")) == original
    assert _quaver.convert_mp4_reset_timestamps(variant) == out


def test_negative_composition_offsets_keep_their_values_and_presentation_times(fixture_bytes):
    data = fixture_bytes("frag_negative_cts.mp4")
    out = _quaver.defragment_mp4(data)
    offsets = [s["cto"] for b in find_all(data, "moof/traf/trun") for s in parse_trun(b)["samples"]]
    assert min(offsets) < 0
    assert find_box(out, "moov/trak/mdia/minf/stbl/ctts")[0] == 1
    assert tables(out)[0]["cts_offsets"] == offsets
    # PyAV shifts a fragmented track's presentation times, and a regular
    # track's decode times, by the largest negative offset; the pictures keep
    # their order and spacing.
    source, ours = packets(data)[0], packets(out)[0]
    shift = -min(offsets)
    assert [(b, dts, pts - shift, key) for b, dts, pts, key in source] == [
        (b, dts + shift, pts, key) for b, dts, pts, key in ours]
    assert decoded_frames(out) == {"video": len(source)}


def test_open_ended_edit_is_closed_at_the_end_of_the_media(fixture_bytes):
    # An init segment's last edit with duration 0 runs "to the end"; copied
    # as it is, a regular file would read it as an edit of length 0.
    data = fixture_bytes("cmaf_segments.mp4")
    check_presentation(data, _quaver.defragment_mp4(data))

    def elst(version, entries):
        fmt = ">QqHH" if version == 1 else ">IiHH"
        return box("edts", full_box("elst", version, 0, struct.pack(">I", len(entries)) + b"".join(
            struct.pack(fmt, d, t, 1, 0) for d, t in entries)))

    for version in (0, 1):
        edit = elst(version, [(0, 1024)])
        moov = init_moov(init_trak(1, 12800, extra=edit), timescale=1000)
        out = unfold(fragment((1, [b"\x01"] * 10), duration=512), moov=moov)
        fmt = ">IQqHH" if version == 1 else ">IIiHH"
        body = find_box(out, "moov/trak/edts/elst")
        assert body[0] == version and struct.unpack(fmt, body[4:]) == (1, (5120 - 1024) * 1000 // 12800, 1024, 1, 0)
    closed = elst(0, [(300, 0)])
    out = unfold(fragment((1, [b"\x01"] * 10), duration=512), moov=init_moov(init_trak(1, 12800, extra=closed)))
    assert find_box(out, "moov/trak/edts") == closed[8:]
    # With B-frames the last picture ends after the last decode time plus its
    # duration: closed at the sum of the durations, the edit would cut it off.
    moov = init_moov(init_trak(1, 12800, extra=elst(0, [(0, 1024)])), timescale=1000)
    for ctos, end in (([1024, 2048, 0, 0], 3072), ([0, -512, 0, 0], 2048), ([0, 0, 0, -2048], 1536)):
        out = unfold(one_run(tfhd(1, duration=512, size=0), trun([{"cto": c} for c in ctos], version=1)), moov=moov)
        assert u32(find_box(out, "moov/trak/edts/elst"), 8) == (end - 1024) * 1000 // 12800


def timed_fragment(track_id, decode_time, durations_):
    return placed_moof(lambda base: [traf(tfhd(track_id), tfdt(decode_time), trun(
        [{"duration": d, "size": 1} for d in durations_], data_offset=base))]) + box("mdat", bytes(len(durations_)))


def test_fragments_start_at_their_decode_times(fixture_bytes):
    # ffmpeg cuts each fragment of frag_every_frame before it knows the next
    # timestamp and leaves durations that do not reach the next fragment.
    data = fixture_bytes("frag_every_frame.mp4")
    source, ours = packets(data)[1], packets(_quaver.defragment_mp4(data))[1]
    assert [p[1:3] for p in ours] == [p[1:3] for p in source]
    # The last sample of a fragment lasts until the next fragment of its track.
    out = unfold(timed_fragment(1, 0, [100, 0]), timed_fragment(1, 250, [100, 100]), timed_fragment(1, 450, [0]))
    assert tables(out)[0]["durations"] == [100, 150, 100, 100, 0]
    # Durations that add up, or a next fragment that starts too early, stay.
    out = unfold(timed_fragment(1, 0, [100, 100]), timed_fragment(1, 200, [7]), timed_fragment(1, 100, [9]))
    assert tables(out)[0]["durations"] == [100, 100, 7, 9]


# --------------------------------------------------------------------------
# One timeline for every track
# --------------------------------------------------------------------------

AV_MOOV = dict(timescale=1000)


def elst_entries(trak):
    body = find_box(trak, "edts/elst")
    fmt = ">QqHH" if body[0] == 1 else ">IiHH"
    return [struct.unpack_from(fmt, body, 8 + i * struct.calcsize(fmt))[:2] for i in range(u32(body, 4))]


def av_unfold(video_start, audio_start, *, video_edits=None, audio_edits=None):
    """Three 3000-tick samples of 90 kHz video and two 1024-tick samples of 48 kHz audio from
    these decode times (None: no tfdt), in a 1000 Hz movie; traks with these (duration, media
    time) edits."""
    def edits(entries):
        if entries is None:
            return b""
        rows = b"".join(struct.pack(">IiHH", d, t, 1, 0) for d, t in entries)
        return box("edts", full_box("elst", 0, 0, struct.pack(">I", len(entries)) + rows))

    def run(track_id, start, durations_):
        if start is not None:
            return timed_fragment(track_id, start, durations_)
        return placed_moof(lambda base: [traf(tfhd(track_id), trun(
            [{"duration": d, "size": 1} for d in durations_], data_offset=base))]) + box("mdat", bytes(len(durations_)))

    moov = init_moov(init_trak(1, 90000, extra=edits(video_edits)),
                     init_trak(2, 48000, handler="soun", extra=edits(audio_edits)), **AV_MOOV)
    return unfold(run(1, video_start, [3000] * 3), run(2, audio_start, [1024] * 2), moov=moov)


def test_a_track_that_starts_later_keeps_its_delay_as_an_empty_edit():
    # Audio from 0.5 s, video from 1 s: the video gets 500 ms in front of it
    # (movie ticks), then all of its 9000 ticks from media time 0.
    out = av_unfold(90000, 24000)
    video, audio = find_all(out, "moov/trak")
    assert [t for t, *_ in iter_boxes(video)] == ["tkhd", "edts", "mdia"] and find_box(audio, "edts") is None
    assert elst_entries(video) == [(500, -1), (100, 0)] and find_box(video, "edts/elst")[:4] == bytes(4)
    assert (u32(find_box(video, "tkhd"), 20), u32(find_box(audio, "tkhd"), 20)) == (600, 42)
    assert u32(find_box(out, "moov/mvhd"), 16) == 600
    assert find_box(out, "mdat") == bytes(5) and tables(out)[0]["durations"] == [3000] * 3
    # The other way round, and into edits the template has: added to its
    # empty edit, or put in front of the edits that show media.
    assert elst_entries(find_all(av_unfold(45000, 48000), "moov/trak")[1]) == [(500, -1), (42, 0)]
    assert elst_entries(find_all(av_unfold(90000, 24000, video_edits=[(300, -1), (0, 0)]), "moov/trak")[0]) == [
        (800, -1), (100, 0)]
    assert elst_entries(find_all(av_unfold(90000, 24000, video_edits=[(0, 1500)]), "moov/trak")[0]) == [
        (500, -1), (83, 1500)]


def test_tracks_that_start_together_keep_their_bytes():
    # Decode times that agree in seconds, a delay that rounds to no movie
    # tick, a track without tfdt (it starts at the origin): no edit anywhere.
    alone = av_unfold(None, None)
    assert find_all(alone, "moov/trak/edts") == []
    for video, audio in ((90000, 48000), (90000 + 1, 48000), (None, 48000), (90000, None), (0, 0)):
        assert av_unfold(video, audio) == alone


def test_the_empty_edit_every_track_starts_with_is_taken_out():
    # What both tracks share is an absolute start; the difference stays, and
    # an empty edit that reaches 0 goes.
    out = av_unfold(0, 0, video_edits=[(700, -1), (0, 0)], audio_edits=[(500, -1), (0, 0)])
    video, audio = find_all(out, "moov/trak")
    assert (elst_entries(video), elst_entries(audio)) == ([(200, -1), (100, 0)], [(42, 0)])
    # It counts after the delays: audio 0.2 s late with an empty edit of 0.1 s.
    out = av_unfold(0, 9600, video_edits=[(300, -1), (0, 0)], audio_edits=[(100, -1), (0, 0)])
    video, audio = find_all(out, "moov/trak")
    assert (elst_entries(video), elst_entries(audio)) == ([(100, 0)], [(42, 0)])
    # A track without an empty edit: nothing is shared.
    kept = av_unfold(0, 0, video_edits=[(700, -1), (0, 0)])
    assert elst_entries(find_all(kept, "moov/trak")[0]) == [(700, -1), (100, 0)]


# Real files whose tracks start apart, or whose runs lie as packagers lay them,
# and the first times (video, audio) of the unfolded file, in seconds.
TIMED = {
    # AAC priming: the audio starts 21.3 ms before the first picture's decode time (clock at 5000 s).
    "frag_late_start.mp4": (0.0613, 0.0),
    "raised:frag_late_start.mp4": (0.04, 0.9787),  # the same with the audio 1 s later
    "hls_offset.mp4": (0.0213, 0.0),  # the clock (1000 s) in the init segment's empty edits
    "hls_live/init.mp4+hls_live/seg0.m4s+hls_live/seg1.m4s": (0.0213, 0.0),  # ... in every tfdt
    "packager:frag_av.mp4": (0.04, 0.0),
    "packager4:frag_av.mp4": (0.04, 0.0),
    "partial_frag.mp4": (0.04, 0.0),  # the first second in the moov's own tables
}
# The file PyAV reads as the source, where it cannot read the input itself
# (several runs without data offsets in one traf).
READ_AS = {"packager4:frag_av.mp4": "frag_av.mp4"}


@pytest.mark.parametrize("name", TIMED)
@pytest.mark.parametrize("job", [_quaver.defragment_mp4, _quaver.convert_mp4_reset_timestamps],
                         ids=["unfold", "convert"])
def test_unfolded_tracks_keep_their_distances_and_start_at_zero(name, job, fragmented_fixture):
    data = fragmented_fixture(name)
    out = job(data)
    firsts = check_presentation(fragmented_fixture(READ_AS.get(name, name)), out)
    assert firsts == pytest.approx(dict(zip(["video", "audio"], TIMED[name])), abs=1e-4)
    source = packets(fragmented_fixture(READ_AS.get(name, name)))
    assert decoded_frames(out) == {"video": len(source[0]), "audio": len(source[1])}
    if name.startswith("packager"):
        # Base data offsets and runs that follow each other find the very
        # bytes the original's data offsets point at.
        assert out == job(fragmented_fixture(name.rpartition(":")[2]))


def test_a_delayed_track_lasts_its_delay_longer(fragmented_fixture):
    out = _quaver.defragment_mp4(fragmented_fixture("frag_late_start.mp4"))
    video, audio = find_all(out, "moov/trak")
    # 273 ticks at 12800 Hz (21.3 ms) in the 48 kHz movie, then the media
    # from its first picture (composition offset 512 ticks, 1920 movie ticks).
    assert elst_entries(video)[0] == (1024 + 1920, -1) and elst_entries(video)[1][1] == 512
    assert u32(find_box(video, "tkhd"), 20) == 2 * 48000 + 1024
    assert u32(find_box(out, "moov/mvhd"), 16) == max(2 * 48000 + 1024, u32(find_box(audio, "tkhd"), 20))


# --------------------------------------------------------------------------
# The Python surface
# --------------------------------------------------------------------------


def test_module_function_signature_docstring_and_place():
    f = _quaver.defragment_mp4
    assert str(inspect.signature(f)) == "(data)"
    assert f.__doc__ == "fragmented MP4 를 일반 MP4 로 펼친다."
    names = list(vars(_quaver))
    assert names.index("defragment_mp4") == names.index("convert_ts_to_mp4") + 1
    assert quaver.defragment_mp4 is f and "defragment_mp4" in quaver.__all__
    data = fmp4(fragment((1, [b"\x01" * 4])))
    assert f(data=data) == f(type("Sub", (bytes,), {})(data)) == f(data)
    with pytest.raises(TypeError, match="'data'"):
        f(bytearray(data))
    for call in (lambda: f(), lambda: f(data, data), lambda: f(data, nope=1)):
        with pytest.raises(TypeError, match="defragment_mp4"):
            call()
