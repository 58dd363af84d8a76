"""ffmpeg-made transport streams converted and read back by an independent reader (PyAV)."""
import io
import struct

import av
import pytest

import _quaver
from builders import find_all, length_prefixed_nals, mp4_sample_table, pes, split_annexb, ts_stream

FIXTURES = ["sample.ts", "muxer_aud.ts", "late_audio_44k.ts", "video_only.ts", "interlaced.ts",
            "mp2_audio.ts", "mp2_and_aac.ts"]


def source_packets(data, kind, codec=None):
    with av.open(io.BytesIO(data), format="mpegts") as c:
        streams = [s for s in c.streams if s.type == kind and (codec is None or s.codec_context.name == codec)]
        if not streams:
            return []
        return [p for p in c.demux(streams[0]) if p.size]


def decode_all(mp4):
    counts, sizes = {}, {}
    with av.open(io.BytesIO(mp4)) as c:
        for s in c.streams:
            sizes[s.type] = (s.codec_context.width, s.codec_context.height) if s.type == "video" else \
                s.codec_context.sample_rate
        for frame in c.decode(*c.streams):
            kind = "video" if isinstance(frame, av.VideoFrame) else "audio"
            counts[kind] = counts.get(kind, 0) + 1
    return counts, sizes


@pytest.mark.parametrize("name", FIXTURES)
def test_every_frame_decodes_and_matches_the_source(name, fixture_bytes, capfd):
    data = fixture_bytes(name)
    mp4 = _quaver.convert_ts_to_mp4(data)
    video = source_packets(data, "video")
    aac = source_packets(data, "audio", "aac")
    counts, sizes = decode_all(mp4)
    assert counts.get("video") == len(video)
    assert counts.get("audio", 0) == len(aac)

    with av.open(io.BytesIO(mp4)) as c:
        ours = [p for p in c.demux(c.streams.video[0]) if p.size]
    assert len(ours) == len(video)
    for mine, theirs in zip(ours, video):
        expected = [u for u in split_annexb(bytes(theirs)) if u[0] & 0x1F not in (7, 8, 9)]
        assert length_prefixed_nals(bytes(mine)) == expected
    assert [p.is_keyframe for p in ours] == [p.is_keyframe for p in video]
    # Presentation order survives: sorting by PTS gives the same permutation.
    order = lambda ps: sorted(range(len(ps)), key=lambda i: ps[i].pts)
    assert order(ours) == order(video)


def test_interlaced_stream_keeps_its_size(fixture_bytes, capfd):
    _, sizes = decode_all(_quaver.convert_ts_to_mp4(fixture_bytes("interlaced.ts")))
    assert sizes["video"] == (352, 288)


def test_late_44k_audio_plays_at_its_rate_and_time(fixture_bytes, capfd):
    data = fixture_bytes("late_audio_44k.ts")
    mp4 = _quaver.convert_ts_to_mp4(data)
    vt, at = (mp4_sample_table(t) for t in find_all(mp4, "moov/trak"))
    assert at["timescale"] == 44100 and set(at["durations"]) == {1024}
    first_video = min(p.pts for p in source_packets(data, "video"))
    first_audio = min(p.pts for p in source_packets(data, "audio"))
    with av.open(io.BytesIO(mp4)) as c:
        a = c.streams.audio[0]
        first = next(f for f in c.decode(a))
        assert a.codec_context.sample_rate == 44100
        assert abs(float(first.time) - (first_audio - first_video) / 90000) < 0.03
        total = a.duration * a.time_base
    assert abs(float(total) - len(at["sizes"]) * 1024 / 44100) < 1e-6


def test_stream_without_delimiters_is_one_sample(fixture_bytes, capfd):
    # Rebuilt from the sample's own access units, minus every delimiter.
    video = source_packets(fixture_bytes("sample.ts"), "video")
    strip = lambda b: b"".join(b"\x00\x00\x00\x01" + u for u in split_annexb(b) if u[0] & 0x1F != 9)
    ts = ts_stream([pes(strip(bytes(p)), pts=p.pts, dts=p.dts) for p in video])
    mp4 = _quaver.convert_ts_to_mp4(ts)
    v, = (mp4_sample_table(t) for t in find_all(mp4, "moov/trak"))
    kept = [u for p in video for u in split_annexb(bytes(p)) if u[0] & 0x1F not in (7, 8, 9)]
    assert v["sizes"] == [sum(4 + len(u) for u in kept)]
    sample = mp4[v["offsets"][0]:v["offsets"][0] + v["sizes"][0]]
    assert sample == b"".join(struct.pack(">I", len(u)) + u for u in kept)
