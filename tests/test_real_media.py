"""ffmpeg-made transport streams converted and read back by an independent reader (PyAV)."""
import io

import av
import pytest

import _quaver
from builders import find_all, find_box, length_prefixed_nals, mp4_sample_table, split_annexb, u32

FIXTURES = ["sample.ts", "muxer_aud.ts", "late_audio_44k.ts", "video_only.ts", "interlaced.ts",
            "mp2_audio.ts", "mp2_and_aac.ts", "audio_lead.ts", "hls_segment.ts", "clock_wrap.ts",
            "no_delimiters.ts", "multi_slice.ts", "hevc_aac.ts", "hevc_eac3.ts", "h264_ac3.ts",
            "h264_eac3_51.ts", "h264_mp3.ts", "h264_mp3_lsf.ts", "dvb_ac3.ts", "mp2_ac3_aac.ts"]
WITH_AUDIO = [f for f in FIXTURES if f != "video_only.ts"]
# Audio the conversion takes, by the reader's own codec names, most wanted first.
# Readers call every MPEG audio layer in an MP4 "mp3", so layers are one family.
AUDIO_PREFERENCE = ["aac", "ac3", "eac3", "mpeg audio"]


def audio_family(stream):
    name = stream.codec_context.name
    return "mpeg audio" if name[:3] in ("mp1", "mp2", "mp3") else name


def chosen_audio(container):
    """The audio stream of the source that the conversion should take, or None."""
    ranked = [s for family in AUDIO_PREFERENCE for s in container.streams.audio if audio_family(s) == family]
    return ranked[0] if ranked else None


def audio_payload(packet, family):
    """A source audio packet as an MP4 sample holds it: AAC without its ADTS header."""
    data = bytes(packet)
    return data[7 if data[1] & 1 else 9:] if family == "aac" else data


def video_payload(packet, codec):
    """The NAL units of a source access unit that a sample keeps (no parameter sets or delimiters)."""
    units = split_annexb(bytes(packet))
    if codec == "hevc":
        return [u for u in units if not 32 <= (u[0] >> 1) & 0x3F <= 35]
    return [u for u in units if u[0] & 0x1F not in (7, 8, 9)]


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


def stream_facts(stream):
    cc = stream.codec_context
    if stream.type == "video":
        return cc.name, cc.width, cc.height
    return audio_family(stream), cc.sample_rate, cc.layout.name


@pytest.mark.parametrize("name", FIXTURES)
def test_every_frame_decodes_and_matches_the_source(name, fixture_bytes, capfd):
    data = fixture_bytes(name)
    mp4 = _quaver.convert_ts_to_mp4(data)
    with av.open(io.BytesIO(data), format="mpegts") as c:
        source = [c.streams.video[0]] + [s for s in [chosen_audio(c)] if s]
        facts = [stream_facts(s) for s in source]
        packets = [(p, p.stream.type) for p in c.demux(*source) if p.size]
    video = [p for p, kind in packets if kind == "video"]
    audio = [p for p, kind in packets if kind == "audio"]
    with av.open(io.BytesIO(mp4)) as c:
        # The codec, picture size, sample rate and channel layout the source has.
        assert [stream_facts(s) for s in c.streams] == facts
    counts, sizes = decode_all(mp4)
    assert counts.get("video") == len(video)
    # Every audio frame is in the file, byte for byte. Those an edit skips are
    # not decoded (the reader skips more when the audio timescale is not the
    # sample rate, as with the 90 kHz AAC track: it counts the media time in samples).
    tracks = [mp4_sample_table(t) for t in find_all(mp4, "moov/trak")]
    samples = [mp4[o:o + n] for t in tracks[1:] for o, n in zip(t["offsets"], t["sizes"])]
    assert samples == [audio_payload(p, facts[1][0]) for p in audio]
    with av.open(io.BytesIO(mp4)) as c:
        ours_audio = [p for s in c.streams.audio for p in c.demux(s) if p.size]
    kept = sum(not p.is_discard for p in ours_audio)
    skips_lead = any(u32(e, 4) == 1 for e in find_all(mp4, "moov/trak/edts/elst"))
    assert 0 < counts["audio"] <= kept if skips_lead else counts.get("audio", 0) == kept

    with av.open(io.BytesIO(mp4)) as c:
        ours = [p for p in c.demux(c.streams.video[0]) if p.size]
    assert len(ours) == len(video)
    for mine, theirs in zip(ours, video):
        assert length_prefixed_nals(bytes(mine)) == video_payload(theirs, facts[0][0])
    assert [p.is_keyframe for p in ours] == [p.is_keyframe for p in video]
    # Every picture is shown when the source shows it, relative to the first;
    # B-frames come before the picture decoded first, so the offsets are signed.
    shown = lambda ps: [p.pts - min(q.pts for q in ps) for p in ps]
    assert shown(ours) == shown(video)
    assert find_box(mp4, "moov/trak/mdia/minf/stbl/ctts")[0] == 1


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


def test_stream_without_delimiters_is_cut_where_its_pes_start(fixture_bytes, capfd):
    # muxer_aud.ts with its delimiters taken out: one sample per PES, as in the source.
    mp4 = _quaver.convert_ts_to_mp4(fixture_bytes("no_delimiters.ts"))
    v, a = (mp4_sample_table(t) for t in find_all(mp4, "moov/trak"))
    video = source_packets(fixture_bytes("muxer_aud.ts"), "video")
    kept = [[u for u in split_annexb(bytes(p)) if u[0] & 0x1F not in (7, 8, 9)] for p in video]
    assert v["sizes"] == [sum(4 + len(u) for u in units) for units in kept]
    assert v == mp4_sample_table(find_all(_quaver.convert_ts_to_mp4(fixture_bytes("muxer_aud.ts")), "moov/trak")[0])


def audio_times(container, audio):
    """(payload, seconds after the first picture) of each audio packet, in file order."""
    packets = [(p, p.stream.type, p.pts * p.time_base) for p in container.demux(container.streams.video[0], audio)
               if p.size]
    first_picture = min(t for _, kind, t in packets if kind == "video")
    return [(bytes(p), float(t - first_picture)) for p, kind, t in packets if kind == "audio"]


@pytest.mark.parametrize("name", WITH_AUDIO)
def test_audio_plays_in_sync_with_the_video(name, fixture_bytes, capfd):
    data = fixture_bytes(name)
    with av.open(io.BytesIO(data), format="mpegts") as c:
        stream = chosen_audio(c)
        family = audio_family(stream)
        source = audio_times(c, stream)
    if family == "aac":
        source = [(p[7 if p[1] & 1 else 9:], t) for p, t in source]  # without the ADTS header
    with av.open(io.BytesIO(_quaver.convert_ts_to_mp4(data))) as c:
        ours = audio_times(c, c.streams.audio[0])
    # The reader may leave out frames an edit skips whole; the rest line up
    # with the tail of the source's frames and keep their distance to the
    # first picture, and none at or after that picture is missing.
    skipped = len(source) - len(ours)
    assert [p for p, _ in ours] == [p for p, _ in source[skipped:]]
    assert all(t < 0 for _, t in source[:skipped])
    for (_, mine), (_, theirs) in zip(ours, source[skipped:]):
        assert abs(mine - theirs) < 0.001


def test_clock_wrap_keeps_the_track_length(fixture_bytes, capfd):
    data = fixture_bytes("clock_wrap.ts")
    video = source_packets(data, "video")
    mp4 = _quaver.convert_ts_to_mp4(data)
    with av.open(io.BytesIO(mp4)) as c:
        s = c.streams.video[0]
        frames = [f.time for f in c.decode(s)]
        length = float(s.duration * s.time_base)
    assert len(frames) == len(video) and frames == sorted(frames)
    source_length = (max(p.pts for p in video) - min(p.pts for p in video) + 3600) / 90000
    assert abs(length - source_length) <= 1 / 25
    # The report counts on past 2^33 = 8589934592.
    assert "Video PTS range: 8589852000 - 8590024800 (95442.80 - 95444.72 sec)" in capfd.readouterr().out
