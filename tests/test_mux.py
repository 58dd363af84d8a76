"""mux_fmp4_tracks: a video fMP4 and an audio fMP4 into one regular MP4."""
import inspect
import io
import re
import struct

import av
import pytest

import _quaver
import quaver
from builders import (box, defaults_in_trex, find_all, find_box, fragment, full_box, init_moov, init_trak, iter_boxes,
                      mp4_sample_table, mvhd, set_track_id, tkhd, u32, wide_mdats)

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


def test_template_children_keep_their_places():
    udta = box("udta", b"meta")
    v = init_moov(init_trak(1, 90000), init_trak(5, 90000), extra=udta)
    out = mux(v, audio_file())
    assert [t for t, *_ in iter_boxes(find_box(out, "moov"))] == ["mvhd", "trak", "trak", "trak", "udta"]
    no_mvhd = box("moov", init_trak(1, 90000)) + fragment((1, [b"x"]))
    assert [t for t, *_ in iter_boxes(find_box(mux(no_mvhd, audio_file()), "moov"))] == ["trak", "trak"]


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
