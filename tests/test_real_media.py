"""ffmpeg-made transport streams converted and read back by an independent reader (PyAV)."""
import io

import av
import pytest

import _quaver
import quaver
from builders import (BitReader, drop_pes, find_all, find_box, length_prefixed_nals, loas_payload, mp4_sample_table,
                      remove_emulation_prevention, rewrite_pes, split_annexb, started_inside_pes, without_nal_units)


def gap_of_two_seconds(fixture_bytes):
    """ntsc_60.ts without pictures 480-599 (the next is a key frame) and the audio PES of that time."""
    ts, dts = fixture_bytes("ntsc_60.ts"), []
    drop_pes(ts, 0x100, lambda k, pts, d: dts.append(d))
    ts = drop_pes(ts, 0x100, lambda k, pts, d: 480 <= k < 600)
    return drop_pes(ts, 0x101, lambda k, pts, d: dts[480] <= pts < dts[600])


def mid_gop(fixture_bytes):
    """open_gop.ts as a recording started inside its sixth picture: no IDR from there on,
    its entry points the recovery points of its open GOPs."""
    return started_inside_pes(fixture_bytes("open_gop.ts"), 0x100, 5)


# Recordings damaged as networks and recorders damage them, cut from the fixtures.
DAMAGED = {"lost_audio_pes": lambda fb: drop_pes(fb("film_44k.ts"), 0x101, lambda k, pts, dts: k == 3),
           "gap_of_two_seconds": gap_of_two_seconds, "mid_gop": mid_gop,
           "hevc_mid_gop": lambda fb: started_inside_pes(fb("hevc_aac.ts"), 0x100, 5),
           "mpeg2_mid_gop": lambda fb: started_inside_pes(fb("mpeg2_aac.ts"), 0x100, 5),
           # ... and without its SEI: only its intra pictures tell where decoding may start.
           "mid_gop_without_sei": lambda fb: rewrite_pes(mid_gop(fb), 0x100, lambda p: without_nal_units(p, {6}))}
FIXTURES = ["sample.ts", "muxer_aud.ts", "late_audio_44k.ts", "video_only.ts", "interlaced.ts",
            "mp2_audio.ts", "mp2_and_aac.ts", "audio_lead.ts", "hls_segment.ts", "clock_wrap.ts",
            "no_delimiters.ts", "multi_slice.ts", "hevc_aac.ts", "hevc_eac3.ts", "h264_ac3.ts",
            "h264_eac3_51.ts", "h264_mp3.ts", "h264_mp3_lsf.ts", "dvb_ac3.ts", "mp2_ac3_aac.ts",
            "ntsc_60.ts", "film_44k.ts", "joined.ts", "fps_change.ts", "two_audio.ts", "two_programs.ts",
            "sample.m2ts", "audio_only.ts", "open_gop.ts", "mpeg2_aac.ts", "h264_latm.ts",
            "h264_opus.ts"] + list(DAMAGED)
WITH_AUDIO = [f for f in FIXTURES if f not in ("video_only.ts", "audio_only.ts")]


def source_bytes(name, fixture_bytes):
    return DAMAGED[name](fixture_bytes) if name in DAMAGED else fixture_bytes(name)


# Audio the conversion takes, by the reader's own codec names, most wanted first.
# Readers call every MPEG audio layer in an MP4 "mp3", so layers are one family,
# and AAC from LATM is plain AAC in an MP4.
AUDIO_PREFERENCE = ["aac", "aac_latm", "ac3", "eac3", "mpeg audio", "opus"]
CARRIED_AS = {"aac_latm": "aac"}


def audio_family(stream):
    name = stream.codec_context.name
    return "mpeg audio" if name[:3] in ("mp1", "mp2", "mp3") else name


def chosen_audio(container):
    """The audio stream of the source that the conversion should take, or None."""
    ranked = [s for family in AUDIO_PREFERENCE for s in container.streams.audio if audio_family(s) == family]
    return ranked[0] if ranked else None


def audio_payload(packet, family):
    """A source audio packet as an MP4 sample holds it: AAC without its ADTS header,
    or the payload of its LOAS frame."""
    data = bytes(packet)
    if family == "aac_latm":
        return loas_payload(data)
    return data[7 if data[1] & 1 else 9:] if family == "aac" else data


def sample_units(sample, codec):
    """What a video sample holds: NAL units, or an MPEG-2 picture as it stands."""
    return bytes(sample) if codec == "mpeg2video" else length_prefixed_nals(bytes(sample))


def video_payload(packet, codec):
    """The NAL units of a source access unit that a sample keeps (no parameter sets or
    delimiters); an MPEG-2 picture whole, with its headers."""
    if codec == "mpeg2video":
        return bytes(packet)
    units = split_annexb(bytes(packet))
    if codec == "hevc":
        return [u for u in units if not 32 <= (u[0] >> 1) & 0x3F <= 35]
    return [u for u in units if u[0] & 0x1F not in (7, 8, 9)]


def all_intra(packet):
    """Every slice of an H.264 access unit is I or SI (slice_type, after first_mb_in_slice)."""
    slices = [u for u in split_annexb(bytes(packet)) if 1 <= u[0] & 0x1F <= 5]
    types = [BitReader(remove_emulation_prevention(u[1:])) for u in slices]
    return bool(slices) and all((r.ue(), r.ue())[1] % 5 in (2, 4) for r in types)


def random_access_points(video):
    """Which source pictures (decode order) a decoder may start at: the reader's key
    frames; in a stream without any, its all-intra pictures."""
    keys = [p.is_keyframe for p in video]
    return keys if any(keys) else [all_intra(p) for p in video]


def kept_pictures(video):
    """The source pictures a file keeps, with their random access flags: from the first
    random access point on, without the pictures shown before it that follow it (up to
    the next point). A stream that starts at a point, or has none, keeps every picture,
    its first one marked."""
    keys = random_access_points(video)
    if True not in keys:
        return video, [True] + [False] * (len(video) - 1)
    k = keys.index(True)
    if k == 0:
        return video, keys
    first, leading = video[k], True
    kept = [k]
    for i in range(k + 1, len(video)):
        leading = leading and not keys[i]
        if not (leading and first.dts < video[i].pts < first.pts):
            kept.append(i)
    return [video[i] for i in kept], [keys[i] for i in kept]


def source_packets(data, kind, codec=None):
    with av.open(io.BytesIO(data), format="mpegts") as c:
        streams = [s for s in c.streams if s.type == kind and (codec is None or s.codec_context.name == codec)]
        if not streams:
            return []
        return [p for p in c.demux(streams[0]) if p.size]


def decode_all(mp4, showall=False):
    """Frames decoded by kind, and picture sizes and sample rates. `showall`: pictures
    before one the decoder knows as a key frame are shown too (a stream without any)."""
    counts, sizes = {}, {}
    with av.open(io.BytesIO(mp4)) as c:
        for s in c.streams:
            if showall and s.type == "video":
                s.codec_context.options = {"flags2": "+showall"}
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
    return CARRIED_AS.get(audio_family(stream), audio_family(stream)), cc.sample_rate, cc.layout.name


@pytest.mark.parametrize("name", FIXTURES)
def test_every_frame_decodes_and_matches_the_source(name, fixture_bytes, capfd):
    data = source_bytes(name, fixture_bytes)
    with av.open(io.BytesIO(data), format="mpegts") as c:
        source = list(c.streams.video[:1]) + [s for s in [chosen_audio(c)] if s]
        facts = [stream_facts(s) for s in source]
        # PyAV's decoder names (mp3float) against the probe's codec names (mp3).
        probed = [(s.codec_context.name.replace("float", ""), s.type) for s in source]
        packets = [(p, p.stream.type) for p in c.demux(*source) if p.size]
    video, keys = kept_pictures([p for p, kind in packets if kind == "video"])
    audio = [p for p, kind in packets if kind == "audio"]
    # The package takes what _quaver takes, and makes an audio-only file of a stream without video.
    mp4 = _quaver.convert_ts_to_mp4(data) if video else quaver.remux(data)
    assert quaver.remux(data) == mp4
    with av.open(io.BytesIO(mp4)) as c:
        # The codec, picture size, sample rate and channel layout the source has.
        assert [stream_facts(s) for s in c.streams] == facts
    counts, sizes = decode_all(mp4, showall=bool(video) and not any(p.is_keyframe for p in video))
    assert counts.get("video", 0) == len(video)
    # Every audio frame is in the file, byte for byte. Those an edit skips whole
    # are not decoded, and every other one is.
    tracks = [mp4_sample_table(t) for t in find_all(mp4, "moov/trak")]
    samples = [mp4[o:o + n] for t in tracks[1 if video else 0:] for o, n in zip(t["offsets"], t["sizes"])]
    assert samples == [audio_payload(p, audio_family(source[-1])) for p in audio]
    with av.open(io.BytesIO(mp4)) as c:
        ours_audio = [p for s in c.streams.audio for p in c.demux(s) if p.size]
    assert counts.get("audio", 0) == sum(not p.is_discard for p in ours_audio)
    # The probe sees what the conversion keeps.
    kept = [t for t in quaver.probe(data)["tracks"] if t["kept"]]
    assert [(t["codec"], t["samples"], (t["width"], t["height"]) if t["kind"] == "video" else t["sample_rate"])
            for t in kept] == [(name, len(video if kind == "video" else audio), f[1:] if kind == "video" else f[1])
                               for (name, kind), f in zip(probed, facts)]
    if not video:
        return

    with av.open(io.BytesIO(mp4)) as c:
        ours = [p for p in c.demux(c.streams.video[0]) if p.size]
    assert len(ours) == len(video)
    for mine, theirs in zip(ours, video):
        assert sample_units(mine, facts[0][0]) == video_payload(theirs, facts[0][0])
    # The sync samples, as the file lists them (a reader takes a non-IDR picture
    # that no SEI marks for no key frame, whatever the table says).
    stss = mp4_sample_table(find_all(mp4, "moov/trak")[0])["stss"]
    assert [i + 1 in stss if stss else True for i in range(len(ours))] == keys
    assert kept[0]["key_frames"] == sum(keys)
    # Every picture is shown when the source shows it, relative to the first of
    # its recording; B-frames come before the picture decoded first, so the
    # offsets are signed.
    starts = recording_starts(video) + [len(video)]
    shown = lambda ps: [p.pts - min(q.pts for q in ps) for p in ps]
    for a, b in zip(starts, starts[1:]):
        assert shown(ours[a:b]) == shown(video[a:b])
    assert find_box(mp4, "moov/trak/mdia/minf/stbl/ctts")[0] == 1


def recording_starts(video):
    """Where recordings joined end to end start: the source's video packets (decode
    order) whose decode time goes back."""
    return [0] + [i for i in range(1, len(video)) if video[i].dts < video[i - 1].dts]


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


def source_recordings(data):
    """The source's video presentation times and its chosen audio as (payload, time,
    recording, duration) in file order, times in seconds. Each track's clock goes
    back where a recording joined to the one before it starts."""
    with av.open(io.BytesIO(data), format="mpegts") as c:
        stream = chosen_audio(c)
        family = audio_family(stream)
        video, _ = kept_pictures([p for p in c.demux(c.streams.video[0]) if p.size])
        starts = recording_starts(video) + [len(video)]
        pictures = [(float(p.pts * p.time_base), k) for k, (a, b) in enumerate(zip(starts, starts[1:]))
                    for p in video[a:b]]
    with av.open(io.BytesIO(data), format="mpegts") as c:
        audio, part, last = [], 0, None
        for p in c.demux(chosen_audio(c)):
            if not p.size:
                continue
            part += last is not None and p.pts < last - p.duration // 2
            last = p.pts
            audio.append((audio_payload(p, family), float(p.pts * p.time_base), part, float(p.duration * p.time_base)))
    return pictures, audio


def decoded_audio(mp4):
    """Each audio packet of our file with its decoded frame, as the reader plays it:
    edit lists applied, with the samples they skip; None for a packet not played."""
    with av.open(io.BytesIO(mp4)) as c:
        stream = c.streams.audio[0]
        out = []
        for p in c.demux(stream):
            if not p.size:
                continue
            frames = stream.codec_context.decode(p)  # the decoder drops what the edit skips
            out.append((bytes(p), frames[0] if frames else None))
    return out


@pytest.mark.parametrize("name", WITH_AUDIO)
def test_audio_plays_in_sync_with_the_video(name, fixture_bytes, capfd):
    data = source_bytes(name, fixture_bytes)
    pictures, source = source_recordings(data)
    mp4 = _quaver.convert_ts_to_mp4(data)
    ours = decoded_audio(mp4)
    with av.open(io.BytesIO(mp4)) as c:
        shown = [float(p.pts * p.time_base) for p in c.demux(c.streams.video[0]) if p.size]
    firsts = lambda times: [min(t for t, (_, part) in zip(times, pictures) if part == k)
                            for k in range(pictures[-1][1] + 1)]
    src_first, out_first = firsts([t for t, _ in pictures]), firsts(shown)
    # The reader may leave out frames an edit skips whole; the rest are the tail
    # of the source's frames, each played at its distance to the first picture
    # of its recording. A frame the lead edit cuts into plays from the first
    # picture on, and none after it is missing.
    skipped = len(source) - len(ours)
    assert [p for p, _ in ours] == [p for p, *_ in source[skipped:]]
    assert all(part == 0 and t < src_first[0] for _, t, part, _ in source[:skipped])
    rate = next(f for _, f in ours if f).sample_rate
    for (_, frame), (_, t, part, duration) in zip(ours, source[skipped:]):
        lead = part == 0 and t < src_first[0]
        assert frame or lead
        if not frame:
            continue
        if lead:
            assert abs(frame.time - out_first[0]) < 0.001
            assert abs(frame.samples / rate - (t + duration - src_first[0])) < 0.001
        else:
            assert abs((frame.time - out_first[part]) - (t - src_first[part])) < 0.001


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


def test_joined_recordings_last_as_long_as_their_parts(fixture_bytes, capfd):
    # Each recording of joined.ts starts where the one before ended (the later of
    # its two tracks), so the file ends after the recordings' spans together: a
    # picture held or a silence covers where one track started later.
    data = fixture_bytes("joined.ts")
    with av.open(io.BytesIO(data), format="mpegts") as c:
        video = [p for p in c.demux(c.streams.video[0]) if p.size]
    with av.open(io.BytesIO(data), format="mpegts") as c:
        audio = [p for p in c.demux(c.streams.audio[0]) if p.size]
    cuts = lambda ts: [0] + [i for i in range(1, len(ts)) if ts[i] < ts[i - 1]] + [len(ts)]
    vparts, aparts = cuts([p.dts for p in video]), cuts([p.pts for p in audio])
    assert len(vparts) == len(aparts) == 4
    spans = []
    for (v0, v1), (a0, a1) in zip(zip(vparts, vparts[1:]), zip(aparts, aparts[1:])):
        start = min(video[v0].dts, audio[a0].pts)
        spans.append((start, max(video[v1 - 1].dts + 3600, audio[a1 - 1].pts + 1920) - start))
    first_picture = min(p.pts for p in video[:vparts[1]])
    expected = (spans[0][0] + sum(length for _, length in spans) - first_picture) / 90000

    mp4 = _quaver.convert_ts_to_mp4(data)
    with av.open(io.BytesIO(mp4)) as c:
        ours = [p for p in c.demux(c.streams.video[0]) if p.size]
        video_end = float((ours[-1].dts + ours[-1].duration) * ours[-1].time_base)
    frames = [f for _, f in decoded_audio(mp4) if f]
    audio_end = float(frames[-1].time) + frames[-1].samples / frames[-1].sample_rate
    assert abs(max(video_end, audio_end) - expected) < 0.001
    # Nothing is dropped: every picture and every audio frame is in the file.
    assert [len(mp4_sample_table(t)["sizes"]) for t in find_all(mp4, "moov/trak")] == [len(video), len(audio)]


def pictures_by_time(data, **options):
    """Every decoded picture by its presentation time, the decoder showing all of them."""
    with av.open(io.BytesIO(data), **options) as c:
        s = c.streams.video[0]
        s.codec_context.options = {"flags2": "+showall"}
        return {f.pts: f.to_ndarray(format="rgb24") for f in c.decode(s)}


@pytest.mark.parametrize("name", ["sample.ts", "hevc_aac.ts", "open_gop.ts", "mid_gop", "mid_gop_without_sei",
                                  "hevc_mid_gop", "mpeg2_aac.ts", "mpeg2_mid_gop"])
def test_key_frames_are_the_first_random_access_picture(name, fixture_bytes, capfd):
    data = source_bytes(name, fixture_bytes)
    video, _ = kept_pictures(source_packets(data, "video"))
    expected = pictures_by_time(data, format="mpegts")[video[0].pts]
    codec = "hevc" if "hevc" in name else "mpegvideo" if "mpeg2" in name else "h264"
    mp4 = _quaver.convert_ts_to_mp4(data)
    key_frames = [_quaver.extract_thumbnail_from_ts(data), _quaver.extract_thumbnail_from_mp4(mp4)]
    # The same stream as another writer lays it out: every picture kept, the sync
    # samples listing where decoding may start (where the reader knows).
    if any(p.is_keyframe for p in video):
        key_frames.append(_quaver.extract_thumbnail_from_mp4(copied_into_mp4(data)))
    for key_frame in key_frames:
        decoded = list(pictures_by_time(key_frame, format=codec).values())
        assert len(decoded) == 1 and (decoded[0] == expected).all()


def copied_into_mp4(data):
    """The video of a transport stream copied into a regular MP4 by PyAV."""
    out = io.BytesIO()
    with av.open(io.BytesIO(data), format="mpegts") as src, av.open(out, "w", format="mp4") as dst:
        stream = dst.add_stream_from_template(src.streams.video[0])
        for p in src.demux(src.streams.video[0]):
            if p.size:
                p.stream = stream
                dst.mux(p)
    return out.getvalue()


def played(mp4):
    """What a reader makes of a file: each stream's codec and duration, each packet's bytes and
    times, each decoded frame's time and length (edit lists applied)."""
    with av.open(io.BytesIO(mp4)) as c:
        out = [(s.type, s.codec_context.name, s.duration, s.frames) for s in c.streams] + [c.duration]
        for p in c.demux():
            if p.size:
                out.append((p.stream.index, bytes(p), p.pts, p.dts, p.duration, p.is_keyframe))
            out += [(p.stream.index, f.pts, getattr(f, "samples", None)) for f in p.decode()]
    return out


@pytest.mark.parametrize("make", [
    lambda fb: quaver.remux(fb("audio_lead.ts")),
    lambda fb: quaver.remux(fb("late_audio_44k.ts")),
    lambda fb: quaver.remux(fb("hevc_eac3.ts")),
    lambda fb: quaver.remux(fb("frag_negative_cts.mp4")),
    lambda fb: quaver.remux(fb("frag_late_start.mp4")),
    lambda fb: quaver.merge(fb("frag_video.mp4"), fb("frag_audio.mp4")),
], ids=["ts, audio lead", "ts, late 44.1 kHz audio", "ts, hevc", "unfold, negative offsets", "unfold, late start",
        "merge"])
def test_files_laid_out_beyond_32_bits_play_as_the_others(make, fixture_bytes, limit_32_bits, capfd):
    # Every size, offset and duration in its 64-bit form: co64, a 64-bit
    # mdat size, version 1 headers and edit lists.
    narrow = make(fixture_bytes)
    limit_32_bits(0)
    wide = make(fixture_bytes)
    assert find_box(wide, "moov/trak/mdia/minf/stbl/co64") and find_box(wide, "moov/mvhd")[0] == 1
    assert played(wide) == played(narrow)
