"""The shared builders checked against an independent reader (PyAV) and real fixtures."""
import io
import pathlib

import av
import pytest

from builders import (START, adts_frame, crc32_mpeg2, find_all, find_box, length_prefixed_nals, mp4_sample_table,
                      parse_avcc, parse_sps, pes, picture_size, sps, split_annexb, ts_stream)

DATA = pathlib.Path(__file__).parent / "data"


def packets(path, kind):
    with av.open(str(path)) as c:
        return [(bytes(p), p.pts, p.dts) for p in c.demux(getattr(c.streams, kind)[0]) if p.size]


def test_crc_check_value():
    assert crc32_mpeg2(b"123456789") == 0x0376E6E7  # catalogued CRC-32/MPEG-2 check value


def test_ts_stream_read_back_by_pyav(tmp_path):
    base = 0x1C0000000  # exercises the top bits of the 33-bit PTS/DTS fields
    video = packets(DATA / "sample.ts", "video")[:6]
    audio = packets(DATA / "sample.ts", "audio")[:6]
    vpes = [pes(b, pts=base + p, dts=base + d) for b, p, d in video]
    apes = [pes(adts_frame(b[7:], sf_index=3), pts=base + p, stream_id=0xC0) for b, p, _ in audio]
    out = tmp_path / "built.ts"
    out.write_bytes(ts_stream(vpes, apes))
    assert [(p[1] - base, p[2] - base) for p in packets(out, "video")] == [p[1:] for p in video]
    assert [p[1] - base for p in packets(out, "audio")] == [p[1] for p in audio]
    with av.open(str(out)) as c:
        frames = list(c.decode(video=0, audio=0))
    audio_frames = [f for f in frames if isinstance(f, av.AudioFrame)]
    assert len(frames) - len(audio_frames) == 6 and audio_frames[0].sample_rate == 48000
    assert len(audio_frames[0].layout.channels) == 2

def test_sps_rebuilt_from_real_stream_decodes():
    first_au = packets(DATA / "sample.ts", "video")[0][0]
    nals = split_annexb(first_au)
    fields = parse_sps(next(n for n in nals if n[0] & 0x1F == 7))
    assert picture_size(fields) == (320, 240) and fields["profile_idc"] == 100
    fields.pop("vui_present")
    assert parse_sps(sps(**fields)) == dict(fields, vui_present=False)
    fields["crop"] = (0, 2, 0, 4)  # 4 pixels off the right, 8 off the bottom
    au = b"".join(START + (sps(**fields) if n[0] & 0x1F == 7 else n) for n in nals)
    ctx = av.CodecContext.create("h264", "r")
    frames = ctx.decode(av.Packet(au)) + ctx.decode(None)
    assert (frames[0].width, frames[0].height) == (316, 232) == picture_size(fields)


def test_interlaced_fixture_sps():
    nals = split_annexb(packets(DATA / "interlaced.ts", "video")[0][0])
    assert parse_sps(next(n for n in nals if n[0] & 0x1F == 7))["frame_mbs_only"] == 0


def test_mp4_sample_table_matches_pyav(tmp_path):
    out = tmp_path / "remux.mp4"
    with av.open(str(DATA / "sample.ts")) as src, av.open(str(out), "w") as dst:
        streams = {s.index: dst.add_stream_from_template(s) for s in src.streams}
        for p in src.demux():
            if p.size:
                p.stream = streams[p.stream.index]
                dst.mux(p)
    data = out.read_bytes()
    traks = {mp4_sample_table(t)["handler"]: t for t in find_all(data, "moov/trak")}
    vt = mp4_sample_table(traks["vide"])
    assert [data[o:o + n] for o, n in zip(vt["offsets"], vt["sizes"])] == [
        p[0] for p in packets(out, "video")]
    assert len(vt["sizes"]) == 50 and vt["stss"] == [1, 26]
    avcc = parse_avcc(find_box(traks["vide"], "mdia/minf/stbl/stsd/avc1/avcC"))
    assert parse_sps(avcc["sps"][0])["pic_width_in_mbs_minus1"] == 19


@pytest.mark.parametrize("name", ["co64:regular_negative_cts.mp4", "co64:nal2:regular_negative_cts.mp4",
                                  "nal2:frag_av.mp4"])
def test_relaid_files_play_like_their_originals(name, fragmented_fixture):
    # The same packets at the same times, the video's NAL units the same
    # behind their narrower length fields, every frame decoded.
    def read(data):
        with av.open(io.BytesIO(data)) as c:
            length = 4
            if c.streams.video[0].codec_context.extradata:
                length = parse_avcc(c.streams.video[0].codec_context.extradata)["length_size"]
            units = [(p.stream.type, p.pts, p.dts, p.is_keyframe,
                      length_prefixed_nals(bytes(p), length) if p.stream.type == "video" else bytes(p))
                     for p in c.demux() if p.size]
        with av.open(io.BytesIO(data)) as c:
            return units, sum(1 for _ in c.decode(*c.streams))
    variant = fragmented_fixture(name)
    assert read(variant) == read(fragmented_fixture(name.rpartition(":")[2]))
    assert (find_box(variant, "moov/trak/mdia/minf/stbl/co64") is not None) == name.startswith("co64")
