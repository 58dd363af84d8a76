"""mux_fmp4_tracks: a video fMP4 and an audio fMP4 into one regular MP4."""
import inspect
import io
import re
import struct

import av
import pytest

import _quaver
import quaver
from builders import (box, check_presentation, defaults_in_trex, find_all, find_box, fragment, full_box, init_moov, init_trak, iter_boxes,
                      mp4_sample_table, mvhd, partially_fragmented, protected_entry, set_track_id, shift_decode_times,
                      tkhd, u32, visual_entry, wide_mdats)

mux = _quaver.mux_fmp4_tracks


def video_file(track_id=1, samples=(b"v1" * 10, b"v2" * 12), **kw):
    return init_moov(init_trak(track_id, 90000), timescale=1000, **kw) + fragment((track_id, list(samples)),
                                                                               duration=3000)


def audio_file(track_ids=(2,), samples=(b"a1" * 5, b"a2" * 6)):
    traks = [init_trak(t, 48000, handler="soun") for t in track_ids]
    return init_moov(*traks) + fragment(*[(t, list(samples)) for t in track_ids], duration=1024)


def test_bindings():
    assert str(inspect.signature(mux)) == "(video, audio)"
    assert mux.__doc__ == "따로 전송된 영상 fMP4 와 소리 fMP4 를 트랙 두 개짜리 MP4 로 합친다."
    v, a = video_file(), audio_file()
    assert mux(video=v, audio=a) == mux(v, a)
    with pytest.raises(TypeError, match="'audio'"):
        mux(v, bytearray(a))
    with pytest.raises(TypeError, match="'video'"):
        mux(memoryview(v), bytearray(a))


@pytest.mark.parametrize("version", [0, 1])
def test_merged_layout(version):
    v = video_file(mvhd_box=mvhd(1000, version=version))
    out = mux(v, audio_file())
    assert [t for t, *_ in iter_boxes(out)] == ["ftyp", "moov", "mdat"]
    assert out[:32] == box("ftyp", b"isom\x00\x00\x00\x02isomiso2avc1mp41")
    moov = find_box(out, "moov")
    assert [t for t, *_ in iter_boxes(moov)] == ["mvhd", "trak", "trak"]  # mvex dropped
    mvhd_body = find_box(out, "moov/mvhd")
    assert mvhd_body[0] == 0 and u32(mvhd_body, 96) == 3
    vt, at = (mp4_sample_table(t) for t in find_all(out, "moov/trak"))
    assert vt["chunk_offsets"][0] == 48 + len(moov)
    assert find_box(out, "mdat") == b"v1" * 10 + b"v2" * 12 + b"a1" * 5 + b"a2" * 6
    assert at["chunk_offsets"][0] == vt["chunk_offsets"][0] + 44
    # 2 x 3000 at 90 kHz and 2 x 1024 at 48 kHz, in a 1000 Hz movie: the longer wins.
    assert u32(mvhd_body, 16) == 66
    assert [u32(b, 20) for b in find_all(out, "moov/trak/tkhd")] == [66, 42]


def test_every_track_of_both_inputs_is_placed():
    out = mux(video_file(), audio_file((3, 2)))
    ids = [u32(b, 12) for b in find_all(out, "moov/trak/tkhd")]
    assert ids == [1, 3, 2]
    assert u32(find_box(out, "moov/mvhd"), 96) == 4


def test_inputs_without_fragments_give_empty_tracks():
    v = init_moov(init_trak(1, 90000))
    a = init_moov(init_trak(2, 48000, handler="soun"))
    out = mux(v, a)
    assert len(find_box(out, "mdat")) == 0 and out.endswith(box("mdat"))


def test_a_partially_fragmented_input_keeps_the_samples_of_its_moov_first():
    out = mux(partially_fragmented([b"v0" * 3], [b"v1" * 10], duration=3000), audio_file())
    assert find_box(out, "mdat") == b"v0" * 3 + b"v1" * 10 + b"a1" * 5 + b"a2" * 6


def test_template_children_keep_their_places():
    udta = box("udta", b"meta")
    v = init_moov(init_trak(1, 90000), init_trak(5, 90000), extra=udta)
    out = mux(v, audio_file())
    assert [t for t, *_ in iter_boxes(find_box(out, "moov"))] == ["mvhd", "trak", "trak", "trak", "udta"]
    no_mvhd = box("moov", init_trak(1, 90000)) + fragment((1, [b"x"]))
    assert [t for t, *_ in iter_boxes(find_box(mux(no_mvhd, audio_file()), "moov"))] == ["trak", "trak"]


@pytest.mark.parametrize("video, audio, message", [
    (video_file(), video_file(), "track_id 1 가 중복됨"),
    (init_moov(), init_moov(), "합칠 트랙이 없음"),
    (init_moov(), audio_file(), "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음"),
    (fragment((1, [b"x"])), b"", "moov box not found"),
    (video_file(), fragment((1, [b"x"])), "moov box not found"),
    (box("moov", init_trak(1, 1000, tkhd_box=full_box("tkhd", 0, 0, bytes(8)))), audio_file(),
     "track_id 0 에 해당하는 trak 없음"),
    (init_moov(init_trak(1, 90000, entry=protected_entry(visual_entry(), b"cbcs"))) + fragment((1, [b"x"])),
     audio_file(), 'Encrypted track 1 (scheme "cbcs"): quaver does not decrypt'),
])
def test_failures(video, audio, message):
    with pytest.raises(ValueError) as e:
        mux(video, audio)
    assert str(e.value) == message


def test_real_video_and_audio_files_merge(fixture_bytes):
    video = fixture_bytes("frag_video.mp4")
    audio = set_track_id(fixture_bytes("frag_audio.mp4"), 2)
    out = mux(video, audio)

    def packets(data, kind):
        with av.open(io.BytesIO(data)) as c:
            return [(bytes(p), p.pts, p.dts, p.is_keyframe) for p in c.demux(getattr(c.streams, kind)[0]) if p.size]

    assert packets(out, "video") == packets(video, "video")
    assert packets(out, "audio") == packets(audio, "audio")
    with av.open(io.BytesIO(out)) as c:
        assert [s.type for s in c.streams] == ["video", "audio"]
        counts = {}
        for frame in c.decode(*c.streams):
            counts[type(frame).__name__] = counts.get(type(frame).__name__, 0) + 1
    assert counts == {"VideoFrame": 50, "AudioFrame": len(packets(audio, "audio"))}


# A DASH pair from one encode (each rendition numbers its track 1), as
# stored, with the audio rendition joining 0.5 s later, and in the packagers'
# layout of runs; the first times (video, audio) of the merge in seconds. The
# audio shown first skips its AAC priming.
DASH_PAIRS = {
    "dash": (0.0, 0.0),
    "audio later": (0.0, 0.5),
    "packager": (0.0, 0.0),
}


@pytest.mark.parametrize("pair", DASH_PAIRS)
def test_renditions_keep_their_alignment(pair, fragmented_fixture):
    prefix = "packager:" if pair == "packager" else ""
    v, a = (fragmented_fixture(prefix + name) for name in ("dash/video.mp4", "dash/audio.mp4"))
    a = set_track_id(shift_decode_times(a, 1, 24000) if pair == "audio later" else a, 2)
    out = mux(v, a)
    if prefix:
        # The very samples of the stored pair (PyAV places fragments without
        # a tfdt by the sidx, so it reads the stored pair as the source).
        v, a = fragmented_fixture("dash/video.mp4"), set_track_id(fragmented_fixture("dash/audio.mp4"), 2)
        assert out == mux(v, a)
    firsts = check_presentation([v, a], out)
    assert firsts == pytest.approx(dict(zip(["video", "audio"], DASH_PAIRS[pair])), abs=1e-4)


def test_a_later_video_rendition_and_edits_of_another_movie_timescale(fixture_bytes):
    # The video joins 0.5 s after the audio: its empty edit counts in the
    # merged movie's 1000 Hz, and the audio's edits (its file counts them in
    # 48 kHz) are rescaled into it.
    video = shift_decode_times(fixture_bytes("dash/video.mp4"), 1, 6400)
    audio = set_track_id(fixture_bytes("dash/audio.mp4"), 2)
    out = mux(video, audio)
    assert check_presentation([video, audio], out) == pytest.approx({"video": 0.5, "audio": 0.0}, abs=1e-4)
    v, a = find_all(out, "moov/trak")
    assert find_box(v, "edts/elst")[8:16] == struct.pack(">Ii", 500, -1)
    a_source = init_trak(2, 48000, handler="soun", extra=box("edts", full_box("elst", 0, 0, struct.pack(
        ">IIiHHIiHH", 2, 960, -1, 1, 0, 0, 0, 1, 0))))
    out = mux(video_file(), init_moov(a_source, timescale=48000) + fragment((2, [b"a" * 9] * 3), duration=1024))
    assert find_box(find_all(out, "moov/trak")[1], "edts/elst")[4:] == struct.pack(
        ">IIiHHIiHH", 2, 20, -1, 1, 0, 3 * 1024 * 1000 // 48000, 0, 1, 0)


@pytest.mark.parametrize("rewrite", [wide_mdats, defaults_in_trex])
def test_rewritten_inputs_merge_like_their_originals(rewrite, fixture_bytes):
    # Each input is read with its own box positions and its own trex defaults.
    video, audio = fixture_bytes("frag_video.mp4"), set_track_id(fixture_bytes("frag_audio.mp4"), 2)
    assert mux(rewrite(video), rewrite(audio)) == mux(video, audio)


# ---- quaver.merge: the same merge, renumbering an audio track ID the video uses -------------------------


@pytest.mark.parametrize("video, audio", [
    (video_file(), audio_file()),
    (video_file(), audio_file((3, 2))),
    (video_file(7, mvhd_box=mvhd(1000, version=1)), audio_file((2,))),
])
def test_merge_of_distinct_ids_is_mux_byte_for_byte(video, audio):
    assert quaver.merge(video, audio) == mux(video, audio)


@pytest.mark.parametrize("video_ids, audio_ids, written, next_id", [
    ((1,), (1,), [1, 2], 3),
    ((1, 5), (1,), [1, 5, 6], 7),
    ((3,), (3, 4), [3, 5, 4], 6),         # the fresh ID skips the audio input's own 4
    ((2,), (1, 2), [2, 1, 3], 4),
    ((1,), (1, 9), [1, 2, 9], 10),
    ((0xFFFFFFFF,), (0xFFFFFFFF,), [0xFFFFFFFF, 1], None),  # wraps to the first free ID
])
def test_merge_renumbers_clashing_audio_tracks(video_ids, audio_ids, written, next_id):
    traks = [init_trak(t, 90000) for t in video_ids]
    video = init_moov(*traks) + fragment(*[(t, [b"v%d" % t * 3]) for t in video_ids], duration=3000)
    out = quaver.merge(video, audio_file(audio_ids))
    assert [u32(b, 12) for b in find_all(out, "moov/trak/tkhd")] == written
    if next_id is not None:
        assert u32(find_box(out, "moov/mvhd"), 96) == next_id
    # The samples stay with their tracks: the output is that of inputs
    # numbered apart beforehand.
    assert out == mux(video, audio_file(tuple(written[len(video_ids):])))


def test_merge_of_a_real_dash_pair_equals_mux_after_renumbering(fixture_bytes):
    video, audio = fixture_bytes("dash/video.mp4"), fixture_bytes("dash/audio.mp4")
    with pytest.raises(ValueError, match="track_id 1 가 중복됨"):
        mux(video, audio)
    assert quaver.merge(video, audio) == mux(video, set_track_id(audio, 2))
    for version in (0, 1):  # the ID sits at another place in a version 1 track header
        a = init_moov(init_trak(1, 48000, handler="soun", tkhd_box=tkhd(1, version=version))) + fragment(
            (1, [b"a" * 7]), duration=1024)
        assert quaver.merge(video_file(), a) == mux(video_file(), set_track_id(a, 2))


@pytest.mark.parametrize("video, audio, kind, message", [
    (init_moov(init_trak(1, 90000), init_trak(1, 90000)) + fragment((1, [b"x"])), audio_file(), quaver.DamagedInput,
     "track_id 1 가 중복됨"),
    (video_file(), audio_file((2, 2)), quaver.DamagedInput, "track_id 2 가 중복됨"),
    (video_file(), audio_file((1, 1)), quaver.DamagedInput, "track_id 1 가 중복됨"),  # within the audio input itself
    # Inputs of the wrong kind, or without samples of the kind they stand for.
    (fragment((1, [b"x"])), audio_file(), quaver.UnsupportedInput, "merge needs fragmented MP4 inputs; the video "
     "input is a fragmented MP4 media segment without its initialisation segment"),
    (init_moov(init_trak(1, 90000)), init_moov(init_trak(2, 48000, handler="soun")), quaver.UnsupportedInput,
     "merge needs fragmented MP4 inputs; the video input is an MP4 without fragments (a regular file, or an "
     "initialisation segment alone)"),
    (video_file(), init_moov(), quaver.UnsupportedInput, "merge needs fragmented MP4 inputs; the audio input is an "
                                                         "MP4 without fragments"),
    (audio_file(), audio_file(), quaver.NothingToDo, "merge takes the video from the video input, which holds no "
                                                     "video samples"),
    (video_file(), video_file(2), quaver.NothingToDo, "merge takes the audio from the audio input, which holds no "
                                                      "audio samples"),
    (video_file(), audio_file(samples=()), quaver.NothingToDo, "which holds no audio samples"),
    (b"\x47" + bytes(187), audio_file(), quaver.UnsupportedInput, "the video input is an MPEG-TS"),
    (video_file()[:40], audio_file(), quaver.DamagedInput, "the video input is an MP4 that cannot be read (Box "),
])
def test_merge_refuses_inputs_it_cannot_merge(video, audio, kind, message):
    with pytest.raises(kind, match=re.escape(message)):
        quaver.merge(video, audio)
