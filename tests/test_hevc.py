"""HEVC in transport streams: access units, the hvcC built from the SPS, picture size,
sync samples and key frames."""
import pytest

import _quaver
from builders import (HEVC_AUD, START, adts_frame, find_all, find_box, hevc_nal, hevc_nal_type,
                      hevc_pps, hevc_slice, hevc_sps, hevc_vps, length_prefixed_nals, mp4_sample_table, parse_hvcc,
                      pes, remove_emulation_prevention, split_annexb, ts_stream, u16, u32)

DELIMITER = hevc_nal(HEVC_AUD, b"\x50")


def convert(units, *, pes_units=None, sets=None):
    """MP4 of an HEVC stream: one PES per access unit (or per ``pes_units`` chunk), with
    the parameter sets ``sets`` (VPS, SPS, PPS) in front of the first."""
    sets = (hevc_vps(), hevc_sps(), hevc_pps()) if sets is None else sets
    units = list(units)
    units[0] = b"".join(START + s for s in sets) + units[0]
    video = [pes(u, pts=90000 + 3600 * i, dts=90000 + 3600 * i) for i, u in enumerate(pes_units or units)]
    return _quaver.convert_ts_to_mp4(ts_stream(video, video_type=0x24))


def hvc1(mp4):
    stsd = find_box(mp4, "moov/trak/mdia/minf/stbl/stsd")
    assert stsd[12:16] == b"hvc1"
    return stsd[16:8 + u32(stsd, 8)]


@pytest.mark.parametrize("fields", [
    dict(),
    dict(profile_idc=2, tier=1, compat=0x20000000, level=153, constraint=0x800000000000),  # Main 10, high tier
    dict(profile_space=1, profile_idc=4, chroma_format_idc=2, bit_depth_luma_minus8=2, bit_depth_chroma_minus8=2,
         max_sub_layers_minus1=2, sub_layers=[(1, 1), (0, 1)], temporal_id_nesting=0),
    dict(profile_idc=4, chroma_format_idc=3, separate_colour_plane=1, bit_depth_luma_minus8=4,
         bit_depth_chroma_minus8=1, max_sub_layers_minus1=6, sub_layers=[(1, 0)] * 6),
    dict(profile_idc=4, chroma_format_idc=0, window=(0, 0, 0, 0)),
])
def test_hvcc_repeats_what_the_sps_declares(fields, capfd):
    sps = hevc_sps(**fields)
    mp4 = convert([hevc_slice(19)], sets=(hevc_vps(), sps, hevc_pps()))
    f = parse_hvcc(find_box(hvc1(mp4)[78:], "hvcC"))
    get = lambda k, default: fields.get(k, default)
    assert f == dict(
        version=1, profile_space=get("profile_space", 0), tier=get("tier", 0), profile_idc=get("profile_idc", 1),
        compat=get("compat", 0x60000000), constraint=get("constraint", 0x900000000000), level=get("level", 60),
        reserved1=15, min_spatial_segmentation=0, reserved2=63, parallelism=0, reserved3=63,
        chroma_format=get("chroma_format_idc", 1), reserved4=31, bit_depth_luma_minus8=get("bit_depth_luma_minus8", 0),
        reserved5=31, bit_depth_chroma_minus8=get("bit_depth_chroma_minus8", 0), avg_frame_rate=0,
        constant_frame_rate=0, temporal_layers=get("max_sub_layers_minus1", 0) + 1,
        temporal_id_nested=get("temporal_id_nesting", 1), length_size_minus1=3,
        arrays=[(1, 32, [hevc_vps()]), (1, 33, [sps]), (1, 34, [hevc_pps()])], size=f["size"])
    # The SPS is kept as stored: its emulation-prevention bytes stay.
    assert b"\x00\x00\x03" in sps and remove_emulation_prevention(sps) != sps


@pytest.mark.parametrize("chroma, window, expected", [
    (1, (0, 0, 0, 2), (320, 180)),     # 4:2:0: two luma rows per chroma row
    (1, (3, 1, 2, 0), (312, 180)),
    (2, (1, 1, 1, 1), (316, 182)),     # 4:2:2: two luma columns, one row
    (3, (1, 1, 1, 1), (318, 182)),     # 4:4:4: one each way
    (0, (2, 0, 0, 4), (318, 180)),     # monochrome
])
def test_picture_size_applies_the_conformance_window_in_chroma_units(chroma, window, expected, capfd):
    mp4 = convert([hevc_slice(19)], sets=(hevc_vps(), hevc_sps(chroma_format_idc=chroma, window=window), hevc_pps()))
    entry = hvc1(mp4)
    assert (u16(entry, 24), u16(entry, 26)) == expected
    tkhd = find_box(mp4, "moov/trak/tkhd")
    assert (u32(tkhd, 76) >> 16, u32(tkhd, 80) >> 16) == expected


@pytest.mark.parametrize("sps", [hevc_sps()[:10], hevc_sps(chroma_format_idc=4)])
def test_unreadable_sps_keeps_the_default_size(sps, capfd):
    mp4 = convert([hevc_slice(19)], sets=(hevc_vps(), sps, hevc_pps()))
    entry = hvc1(mp4)
    assert (u16(entry, 24), u16(entry, 26)) == (1920, 1080)
    f = parse_hvcc(find_box(entry[78:], "hvcC"))
    assert (f["profile_idc"], f["level"], f["chroma_format"], f["temporal_layers"]) == (0, 0, 1, 1)
    assert [a[2] for a in f["arrays"]] == [[hevc_vps()], [sps], [hevc_pps()]]


def test_parameter_set_too_long_for_hvcc_is_left_out(capfd):
    big_pps = hevc_nal(34, b"\x11" * 70000, start_code=b"")
    assert len(hvc1(convert([hevc_slice(19)], sets=(hevc_vps(), hevc_sps(), big_pps)))) == 78


def test_access_units_split_at_delimiters_and_irap_pictures_are_sync_samples(capfd):
    suffix_sei = hevc_nal(40, b"\x84\x01\x10")
    units = [DELIMITER + hevc_slice(19) + hevc_slice(19, first=False) + suffix_sei,  # IDR in two slices
             DELIMITER + hevc_slice(1),                                             # trailing picture
             DELIMITER + hevc_slice(21),                                            # CRA
             DELIMITER + hevc_slice(0) + DELIMITER + hevc_slice(16),                # two units in one PES
             DELIMITER + START + hevc_pps() + hevc_slice(1)]                        # PPS left out
    mp4 = convert(units)
    t = mp4_sample_table(find_all(mp4, "moov/trak")[0])
    samples = [length_prefixed_nals(mp4[o:o + n]) for o, n in zip(t["offsets"], t["sizes"])]
    assert [[hevc_nal_type(u) for u in s] for s in samples] == [[19, 19, 40], [1], [21], [0], [16], [1]]
    assert t["stss"] == [1, 3, 5]
    # The samples hold the units as the stream had them.
    assert samples[0] == [hevc_slice(19, start_code=b""), hevc_slice(19, first=False, start_code=b""), suffix_sei[4:]]


def test_stream_without_delimiters_is_cut_where_its_pes_start(capfd):
    pictures = [hevc_slice(19), hevc_slice(1) + hevc_slice(1, first=False), hevc_slice(1)]
    mp4 = convert(pictures)
    t = mp4_sample_table(find_all(mp4, "moov/trak")[0])
    assert len(t["sizes"]) == 3 and t["stss"] == [1]


def ts_key_frame(units, capfd, sets=None):
    sets = (hevc_vps(), hevc_sps(), hevc_pps()) if sets is None else sets
    units = list(units)
    units[0] = b"".join(START + s for s in sets) + units[0]
    video = [pes(u, pts=90000 + 3600 * i, dts=90000 + 3600 * i) for i, u in enumerate(units)]
    audio = [pes(adts_frame(b"\x01" * 20), pts=90000, stream_id=0xC0)]
    return _quaver.extract_thumbnail_from_ts(ts_stream(video, audio, video_type=0x24))


def test_ts_key_frame_is_parameter_sets_and_the_whole_irap_picture(capfd):
    filler = hevc_nal(38, b"\xff\xff\x80")
    first, second, third = hevc_slice(21), hevc_slice(21, first=False), hevc_slice(21, first=False, body=b"\x42")
    units = [DELIMITER + hevc_slice(1),                              # a leading non-IRAP picture
             DELIMITER + first + second + filler + third + filler,   # the CRA picture: three segments
             DELIMITER + hevc_slice(19)]
    out = ts_key_frame(units, capfd)
    sets = b"".join(b"\x00\x00\x00\x01" + s for s in (hevc_vps(), hevc_sps(), hevc_pps()))
    assert out == sets + first + second + filler + third
    # The picture ends where the next one starts, even without a delimiter.
    out = ts_key_frame([hevc_slice(19) + hevc_slice(19, first=False) + hevc_slice(19) + hevc_slice(20)], capfd)
    assert split_annexb(out)[3:] == [hevc_slice(19, start_code=b""), hevc_slice(19, first=False, start_code=b"")]


def test_ts_without_irap_picture_has_no_key_frame(capfd):
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        ts_key_frame([DELIMITER + hevc_slice(1), DELIMITER + hevc_slice(9)], capfd)

