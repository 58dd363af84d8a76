"""The `quaver` command line, driven as a subprocess on real fixtures."""
import fcntl
import io
import os
import pathlib
import select
import shutil
import struct
import subprocess
import sys
import termios

import av
import pytest

import _quaver
import quaver
from builders import set_track_id

DATA = pathlib.Path(__file__).parent / "data"
TS_SEGMENTS = sorted((DATA / "hls_ts").glob("seg*.ts"))
FMP4_SEGMENTS = [DATA / "hls_fmp4" / "init.mp4"] + sorted((DATA / "hls_fmp4").glob("seg*.m4s"))


def run(*args, **kw):
    return subprocess.run([sys.executable, "-m", "quaver", *map(str, args)], capture_output=True, timeout=120, **kw)


def copies(tmp_path, *sources, folder="in"):
    """The sources copied into tmp_path/folder, so outputs written beside them stay in tmp_path."""
    (tmp_path / folder).mkdir(exist_ok=True)
    out = []
    for src in sources:
        dst = tmp_path / folder / pathlib.Path(src).name
        shutil.copyfile(src, dst)
        out.append(dst)
    return out


def packets(mp4, kind):
    with av.open(io.BytesIO(mp4)) as c:
        streams = getattr(c.streams, kind)
        return [(bytes(p), p.is_keyframe) for p in c.demux(streams[0]) if p.size] if streams else []


def decoded(mp4):
    counts = {}
    with av.open(io.BytesIO(mp4)) as c:
        for frame in c.decode(*c.streams):
            kind = "video" if isinstance(frame, av.VideoFrame) else "audio"
            counts[kind] = counts.get(kind, 0) + 1
    return counts


# ---- the forms that were there before -----------------------------------------


def test_convert_writes_the_same_bytes_as_the_function(fixture_bytes, tmp_path):
    src = tmp_path / "in.ts"
    src.write_bytes(fixture_bytes("sample.ts"))
    r = run("convert", src, tmp_path / "out.mp4")
    assert r.returncode == 0, r.stderr
    assert (r.stdout, r.stderr) == (b"", b"")  # the report goes nowhere by default
    assert (tmp_path / "out.mp4").read_bytes() == _quaver.convert_ts_to_mp4(fixture_bytes("sample.ts"))
    r = run("convert", "-v", src, tmp_path / "out.mp4")
    assert r.stdout == b"" and b"Total video frames collected: 50\n" in r.stderr


def test_output_to_stdout_keeps_the_report_out_of_the_file(fixture_bytes):
    r = run("convert", "-", "-", input=fixture_bytes("sample.ts"))
    assert r.returncode == 0
    assert r.stdout == _quaver.convert_ts_to_mp4(fixture_bytes("sample.ts"))
    assert r.stderr == b""
    r = run("convert", "-v", "-", "-o", "-", input=fixture_bytes("sample.ts"))
    assert r.stdout == _quaver.convert_ts_to_mp4(fixture_bytes("sample.ts"))
    assert b"Found PIDs" in r.stderr


def test_bad_input_fails_naming_the_file_and_what_it_is(tmp_path):
    (tmp_path / "bad.ts").write_bytes(b"no sync here")
    r = run("convert", tmp_path / "bad.ts", tmp_path / "out.mp4")
    assert r.returncode == 1 and r.stdout == b""
    assert f"{tmp_path / 'bad.ts'}: not a transport stream or an MP4".encode() in r.stderr
    assert not (tmp_path / "out.mp4").exists()


def test_mp4_commands_match_the_functions(fixture_bytes, tmp_path):
    paths = {}
    for name in ("frag_video.mp4", "frag_audio.mp4", "regular_faststart.mp4", "live_0.m4s", "live_1.m4s"):
        paths[name] = tmp_path / name
        paths[name].write_bytes(fixture_bytes(name))
    out = tmp_path / "out"
    video, audio = fixture_bytes("frag_video.mp4"), fixture_bytes("frag_audio.mp4")
    cases = [
        (["defragment", paths["frag_video.mp4"]], _quaver.defragment_mp4(video)),
        (["reset", paths["regular_faststart.mp4"]],
         _quaver.reset_mp4_timestamps(fixture_bytes("regular_faststart.mp4"))),
        (["normalize", paths["frag_video.mp4"]], _quaver.defragment_mp4(video)),
        (["thumbnail", paths["regular_faststart.mp4"]],
         _quaver.extract_thumbnail_from_mp4(fixture_bytes("regular_faststart.mp4"))),
        (["thumbnail", "--mp4", paths["regular_faststart.mp4"]],
         _quaver.extract_thumbnail_from_mp4(fixture_bytes("regular_faststart.mp4"))),
        # Both inputs carry track ID 1: the audio track is renumbered, as quaver.merge does.
        (["mux", paths["frag_video.mp4"], paths["frag_audio.mp4"]], _quaver.mux_fmp4_tracks(
            video, set_track_id(audio, 2))),
        (["merge", paths["frag_video.mp4"], paths["frag_audio.mp4"]], quaver.merge(video, audio)),
    ]
    for args, expected in cases:
        r = run(*args, out)
        assert r.returncode == 0, r.stderr
        assert out.read_bytes() == expected and r.stdout == b""
    r = run("mux", paths["frag_video.mp4"], paths["live_0.m4s"], out)
    assert r.returncode == 1 and "moov box not found" in r.stderr.decode()
    assert str(paths["live_0.m4s"]) in r.stderr.decode()
    r = run("live", tmp_path / "live", paths["live_0.m4s"], paths["live_1.m4s"])
    assert r.returncode == 0, r.stderr
    p = _quaver.FragmentedMP4Processor()
    for name in ("live_0.m4s", "live_1.m4s"):
        assert (tmp_path / "live" / name).read_bytes() == p.process_segment(fixture_bytes(name))


# ---- batches ----------------------------------------------------------------------


def test_a_directory_of_segments_converts_in_parallel(tmp_path):
    inputs = copies(tmp_path, *TS_SEGMENTS)
    r = run("convert", "-j", "2", *inputs, "-o", tmp_path / "out")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    assert r.stderr.decode() == "quaver: converted 3 of 3 files\n"
    for src in inputs:
        mp4 = (tmp_path / "out" / (src.stem + ".mp4")).read_bytes()
        assert mp4 == quaver.remux(src.read_bytes())
        with av.open(str(src)) as c:
            source_audio = sum(1 for p in c.demux(audio=0) if p.size)
        assert packets(mp4, "video")[0][1]  # every segment opens on a key frame
        assert len(packets(mp4, "audio")) == source_audio
        assert decoded(mp4)["video"] == 25
    # Without -o, each output lands beside its input; 'quaver IN...' is 'quaver convert IN...'.
    r = run(*inputs, "-q")
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert all((src.parent / (src.stem + ".mp4")).exists() for src in inputs)


def test_a_corrupt_input_fails_alone(tmp_path):
    inputs = copies(tmp_path, *TS_SEGMENTS)
    bad = tmp_path / "in" / "seg1b.ts"
    bad.write_bytes(TS_SEGMENTS[0].read_bytes()[:188 * 3])  # tables only, no video
    inputs.insert(2, bad)
    r = run("convert", "-j", "2", *inputs)
    assert r.returncode == 1 and r.stdout == b""
    err = r.stderr.decode()
    assert f"quaver: {bad}: No video data found (quaver needs the H.264 video" in err
    assert err.endswith("quaver: converted 3 of 4 files; 1 failed\n")
    assert sorted(p.name for p in (tmp_path / "in").glob("*.mp4")) == ["seg0.mp4", "seg1.mp4", "seg2.mp4"]


def test_an_input_is_never_overwritten(fixture_bytes, tmp_path):
    regular = tmp_path / "clip.mp4"
    regular.write_bytes(fixture_bytes("regular_faststart.mp4"))
    r = run("convert", regular)
    assert r.returncode == 0, r.stderr
    assert regular.read_bytes() == fixture_bytes("regular_faststart.mp4")
    assert (tmp_path / "clip.remux.mp4").read_bytes() == quaver.remux(fixture_bytes("regular_faststart.mp4"))


def test_the_progress_bar_shows_on_a_terminal_only(tmp_path):
    inputs = copies(tmp_path, *TS_SEGMENTS)

    def stderr_on_a_terminal(*args):
        main, other = os.openpty()
        fcntl.ioctl(other, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a terminal has a width
        try:
            p = subprocess.run([sys.executable, "-m", "quaver", *map(str, args)], stdout=subprocess.PIPE,
                               stderr=other, timeout=120)
            os.close(other)
            seen = b""
            while select.select([main], [], [], 0.5)[0]:
                try:
                    chunk = os.read(main, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            return p.returncode, p.stdout, seen.decode(errors="replace")
        finally:
            os.close(main)

    code, out, err = stderr_on_a_terminal("convert", *inputs, "-o", tmp_path / "a")
    assert code == 0 and out == b""
    assert "0/3 [" in err and "file/s]" in err and err.endswith("quaver: converted 3 of 3 files\r\n")
    code, out, err = stderr_on_a_terminal("convert", "-q", *inputs, "-o", tmp_path / "b")
    assert (code, out, err) == (0, b"", "")


# ---- joining and merging ----------------------------------------------------------


def test_ts_segments_join_into_one_mp4(tmp_path):
    r = run("convert", "--concat", *TS_SEGMENTS, "-o", tmp_path / "joined.mp4")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    mp4 = (tmp_path / "joined.mp4").read_bytes()
    assert mp4 == quaver.remux(b"".join(p.read_bytes() for p in TS_SEGMENTS))
    # Every packet of every segment, once; every picture decodes. (The first
    # audio frame leads the first picture and is trimmed by the audio edit.)
    assert (len(packets(mp4, "video")), len(packets(mp4, "audio"))) == (75, 142)
    assert decoded(mp4)["video"] == 75
    with av.open(io.BytesIO(mp4)) as c:
        dts = [p.dts for p in c.demux(video=0) if p.size]
        pts = sorted(p.pts for p in c.demux(video=0) if p.size)
    assert len(dts) == 75 and all(a < b for a, b in zip(dts, dts[1:]))
    assert all(b - a == 3600 for a, b in zip(pts, pts[1:]))  # no gap or overlap at the joins
    r = run("convert", "--concat", *TS_SEGMENTS, "-o", "-")
    assert r.returncode == 0 and r.stdout == mp4


def test_hls_fmp4_init_and_segments_join_into_one_mp4(tmp_path):
    r = run("convert", "--concat", *FMP4_SEGMENTS, "-o", tmp_path / "joined.mp4")
    assert r.returncode == 0, r.stderr
    mp4 = (tmp_path / "joined.mp4").read_bytes()
    whole = b"".join(p.read_bytes() for p in FMP4_SEGMENTS)
    assert mp4 == _quaver.defragment_mp4(whole)
    for kind in ("video", "audio"):
        assert packets(mp4, kind) == packets(whole, kind)
    assert len(packets(mp4, "video")) == 75
    assert set(decoded(mp4)) == {"video", "audio"}


def test_an_ffmpeg_dash_pair_merges_and_plays(tmp_path):
    video, audio = DATA / "dash" / "video.mp4", DATA / "dash" / "audio.mp4"
    r = run("merge", video, audio, "-o", tmp_path / "merged.mp4")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    mp4 = (tmp_path / "merged.mp4").read_bytes()
    with av.open(io.BytesIO(mp4)) as c:
        assert [(s.type, s.id) for s in c.streams] == [("video", 1), ("audio", 2)]
    assert packets(mp4, "video") == packets(video.read_bytes(), "video")
    assert packets(mp4, "audio") == packets(audio.read_bytes(), "audio")
    assert decoded(mp4)["audio"] == decoded(audio.read_bytes())["audio"]
    r = run("mux", video, audio, "-")
    assert r.returncode == 0 and r.stdout == mp4


@pytest.mark.parametrize("args, message", [
    (["convert", "--concat", TS_SEGMENTS[0], FMP4_SEGMENTS[0]],
     f"{TS_SEGMENTS[0]} is a transport stream but {FMP4_SEGMENTS[0]} is an MP4"),
    (["convert", "--concat", *FMP4_SEGMENTS[1:]], f"{FMP4_SEGMENTS[1]} is a media segment without its "
                                                  f"initialisation segment"),
    (["convert", "--concat", FMP4_SEGMENTS[0], FMP4_SEGMENTS[0]], f"{FMP4_SEGMENTS[0]} has its own moov box"),
    (["convert", "--concat", TS_SEGMENTS[0], DATA / "README.md"], f"{DATA / 'README.md'}: not a transport stream"),
    (["convert", DATA / "live_0.m4s"], "put the initialisation segment in front of it"),
    (["convert", DATA / "missing.ts"], "missing.ts: cannot read or write (No such file or directory); check the path"),
    (["thumbnail", DATA / "hls_fmp4" / "seg0.m4s", "-o", "-"], "without its initialisation segment"),
])
def test_refusals_name_the_file_and_say_what_to_do(args, message, tmp_path):
    r = run(*args, *([] if "-o" in args else ["-o", tmp_path / "out.mp4"]))
    assert r.returncode == 1, r.stderr
    assert r.stdout == b""
    assert message in r.stderr.decode()
    assert not (tmp_path / "out.mp4").exists()


@pytest.mark.parametrize("make_args, message", [
    (lambda t: ["convert", t / "a.ts", t / "b.ts"], "b.ts is a transport stream, not an output"),
    (lambda t: ["convert", t / "a.ts", t / "a.ts"], "a.ts is the input itself"),
    (lambda t: ["convert", t / "a.ts", t / "sub" / "a.ts", "-o", t / "out"], "would both be written to"),
    (lambda t: ["convert", t / "a.ts", t, t / "b.ts"], "is a directory; give the files in it"),
    (lambda t: ["convert", "-j", "0", t / "a.ts", t / "b.ts"], "-j needs a number of 1 or more"),
    (lambda t: ["merge", t / "a.ts", t / "b.ts"], "quaver merge needs an output: give -o FILE"),
    (lambda t: ["convert", "-"], "standard input needs an output"),
    (lambda t: ["convert", t / "a.ts", t / "b.ts", "-o", "-"], "standard output takes one result"),
])
def test_command_lines_that_cannot_run_change_nothing(make_args, message, tmp_path):
    (tmp_path / "sub").mkdir()
    for path in (tmp_path / "a.ts", tmp_path / "b.ts", tmp_path / "sub" / "a.ts"):
        shutil.copyfile(TS_SEGMENTS[0], path)
    r = run(*make_args(tmp_path), input=b"")
    assert r.returncode == 2 and r.stdout == b""
    assert message in r.stderr.decode()
    assert (tmp_path / "b.ts").read_bytes() == TS_SEGMENTS[0].read_bytes()
    assert not list(tmp_path.rglob("*.mp4"))


def test_thumbnail_as_annex_b_or_png(tmp_path):
    src = TS_SEGMENTS[1]
    r = run("thumbnail", src, "-o", "-")
    assert r.returncode == 0 and r.stdout == quaver.thumbnail(src.read_bytes())
    r = run("thumbnail", "--png", src, "-o", tmp_path / "key.png")
    assert r.returncode == 0, r.stderr
    png = (tmp_path / "key.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    with av.open(str(tmp_path / "key.png")) as c:
        frame = next(c.decode(video=0))
    assert (frame.width, frame.height) == (160, 120)
    with av.open(io.BytesIO(r.stdout or quaver.thumbnail(src.read_bytes())), format="h264") as c:
        key = next(c.decode(video=0)).to_ndarray(format="rgb24")
    assert (frame.to_ndarray(format="rgb24") == key).all()  # the picture of that very key frame
