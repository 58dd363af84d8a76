"""Picture size read from the SPS, as the MP4 sample entry and track header show it."""
import struct

import pytest

import _quaver
from builders import (START, aud, find_box, nal, parse_sps, pes, picture_size, pps, remove_emulation_prevention,
                      sps, ts_stream, u16, u32)

IDR = nal(5, b"\x88\x84\x21\xa0" * 8)


def size_of(sps_unit, *later_units):
    units = [aud() + START + sps_unit + START + pps() + IDR] + [aud() + u for u in later_units]
    mp4 = _quaver.convert_ts_to_mp4(ts_stream([pes(u, pts=90000 + 3600 * i) for i, u in enumerate(units)]))
    entry = find_box(mp4, "moov/trak/mdia/minf/stbl/stsd/avc1")
    tkhd = find_box(mp4, "moov/trak/tkhd")
    assert (u32(tkhd, 76) >> 16, u32(tkhd, 80) >> 16) == (u16(entry, 24), u16(entry, 26))
    return u16(entry, 24), u16(entry, 26)


@pytest.mark.parametrize("fields, expected", [
    (dict(pic_width_in_mbs_minus1=119, pic_height_in_map_units_minus1=67, crop=(0, 0, 0, 4)), (1920, 1080)),
    (dict(pic_width_in_mbs_minus1=119, pic_height_in_map_units_minus1=33, frame_mbs_only=0), (1920, 1088)),
    # Interlaced 1080 lines: the vertical crop unit is 4, not 2.
    (dict(pic_width_in_mbs_minus1=119, pic_height_in_map_units_minus1=33, frame_mbs_only=0,
          mb_adaptive_frame_field=1, crop=(0, 0, 0, 2)), (1920, 1080)),
    (dict(profile_idc=66, pic_width_in_mbs_minus1=39, pic_height_in_map_units_minus1=22, crop=(0, 0, 0, 4)),
     (640, 360)),
    (dict(profile_idc=122, chroma_format_idc=2, pic_width_in_mbs_minus1=44, pic_height_in_map_units_minus1=35,
          crop=(1, 1, 0, 4)), (716, 572)),
    (dict(profile_idc=244, chroma_format_idc=3, pic_width_in_mbs_minus1=19, pic_height_in_map_units_minus1=14,
          crop=(1, 2, 3, 4)), (317, 233)),
    (dict(profile_idc=100, chroma_format_idc=0, pic_width_in_mbs_minus1=19, pic_height_in_map_units_minus1=14,
          crop=(1, 0, 0, 1)), (319, 239)),
    (dict(profile_idc=100, scaling=[[-8], None, [3] * 16, None, None, None, [1] * 64, None],
          pic_width_in_mbs_minus1=79, pic_height_in_map_units_minus1=44), (1280, 720)),
    (dict(profile_idc=77, poc_type=1, offset_for_ref_frame=(1, -2, 3), pic_width_in_mbs_minus1=21,
          pic_height_in_map_units_minus1=17), (352, 288)),
])
def test_picture_size_from_sps(fields, expected):
    unit = sps(**fields)
    assert picture_size(parse_sps(unit)) == expected
    assert size_of(unit) == expected


def test_emulation_prevention_bytes_are_removed_before_reading():
    unit = sps(log2_max_poc_lsb_minus4=1 << 28, pic_width_in_mbs_minus1=79, pic_height_in_map_units_minus1=44)
    assert len(remove_emulation_prevention(unit)) < len(unit)  # the unit really is escaped
    assert size_of(unit) == (1280, 720)


@pytest.mark.parametrize("unit", [
    b"\x67\x64\x00",  # shorter than four bytes: stored, not read
    sps(scaling=[[5] * 16] * 8)[:12],  # cut inside the scaling lists
])
def test_unreadable_sps_keeps_the_default_size(unit):
    assert size_of(unit) == (1920, 1080)


def test_later_sps_is_ignored():
    first = sps(pic_width_in_mbs_minus1=39, pic_height_in_map_units_minus1=29)
    second = sps(pic_width_in_mbs_minus1=79, pic_height_in_map_units_minus1=44)
    assert size_of(first, START + second + IDR) == (640, 480)
