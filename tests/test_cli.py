"""The `quaver` command line, driven as a subprocess on real fixtures."""
import collections
import fcntl
import io
import json
import os
import pathlib
import select
import signal
import shutil
import struct
import subprocess
import sys
import termios
import time

import av
import pytest

import _quaver
import quaver
from builders import find_all, find_box, length_prefixed_nals, set_track_id, split_annexb, u16, u32

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
        r = run(*args, out, "-y")
        assert r.returncode == 0, r.stderr
        assert out.read_bytes() == expected and r.stdout == b""
    r = run("live", tmp_path / "live", paths["live_0.m4s"], paths["live_1.m4s"])
    assert r.returncode == 0, r.stderr
    assert r.stderr == b"quaver: rebased 2 of 2 segments\n"
    p = _quaver.FragmentedMP4Processor()
    for name in ("live_0.m4s", "live_1.m4s"):
        assert (tmp_path / "live" / name).read_bytes() == p.process_segment(fixture_bytes(name))
    # With its initialisation segment, as quaver.LiveProcessor given it.
    init = tmp_path / "live_init.mp4"
    init.write_bytes(fixture_bytes("live_init.mp4"))
    r = run("live", "-q", "--init", init, tmp_path / "with_init", paths["live_0.m4s"], paths["live_1.m4s"])
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    live = quaver.LiveProcessor(init.read_bytes())
    for name in ("live_0.m4s", "live_1.m4s"):
        assert (tmp_path / "with_init" / name).read_bytes() == live.process_segment(fixture_bytes(name))


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
    assert f"quaver: {bad}: No video data found (the file holds no track or sample this command can use)\n" in err
    assert err.endswith(f"quaver: converted 3 of 4 files; 1 failed: {bad}\n")
    assert sorted(p.name for p in (tmp_path / "in").glob("*.mp4")) == ["seg0.mp4", "seg1.mp4", "seg2.mp4"]


@pytest.mark.parametrize("options, streams", [
    ([], {}),
    (["--audio", "none", "-v"], {"audio": "none"}),
    (["--strict"], {}),
    (["--video", "258", "--audio", "259"], {"video": 258, "audio": 259}),
], ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_a_batch_converts_each_file_as_it_would_alone(options, streams, tmp_path):
    from quaver import cli

    inputs = copies(tmp_path, TS_SEGMENTS[0], DATA / "two_audio.ts", DATA / "two_programs.ts",
                    DATA / "audio_only.ts", DATA / "sample.m2ts", DATA / "frag_av.mp4")
    missing, bad = tmp_path / "in" / "missing.ts", tmp_path / "in" / "bad.ts"
    bad.write_bytes(TS_SEGMENTS[0].read_bytes()[:188 * 3])
    inputs[2:2] = [missing, bad]  # failures between files that convert
    # Each file's messages in its turn, as a conversion of it alone says them.
    said, outputs, failed = [], {}, []
    for src in inputs:
        if src == missing:
            said.append(f"quaver: {src}: cannot read it (No such file or directory); check the path and its "
                        f"permissions")
            failed.append(src)
            continue
        lines = []
        try:
            result = quaver.remux(src.read_bytes(), report=lines.append, **streams)
        except ValueError as exc:
            result = exc
        left_out = [line for line in lines if line.startswith("left out: ")]
        said += [f"quaver: warning: {src}: {line}" if line in left_out else f"{src}: {line}"
                 for line in lines if line in left_out or "-v" in options]
        if isinstance(result, ValueError):
            said.append(f"quaver: {cli._explain(str(src), result)}")
        elif left_out and "--strict" in options:
            said.append(f"quaver: {src}: --strict refuses a result that leaves out what the warnings above name; "
                        f"choose the streams with --video/--audio, or convert without --strict")
        else:
            outputs[pathlib.Path(src.stem + (".mp4" if quaver._native.has_video(result) else ".m4a"))] = result
            continue
        failed.append(src)
    assert outputs and failed
    names = ", ".join(map(str, failed[:5])) + (f" and {len(failed) - 5} more" if len(failed) > 5 else "")
    said.append(f"quaver: converted {len(inputs) - len(failed)} of {len(inputs)} files; {len(failed)} failed: {names}")
    for jobs in ("1", "2"):
        r = run("convert", "-j", jobs, *options, *inputs, "-o", tmp_path / jobs)
        assert (r.returncode, r.stdout) == (1, b"")
        assert r.stderr.decode().splitlines() == said
        assert tree(tmp_path / jobs) == outputs


def test_large_files_are_converted_on_their_own_in_their_turn(tmp_path, monkeypatch, capsys):
    from quaver import cli

    inputs = copies(tmp_path, *TS_SEGMENTS, DATA / "sample.ts", DATA / "two_audio.ts")
    inputs.insert(1, tmp_path / "in" / "missing.ts")
    limit = 30_000  # the segments go to the pool, the two larger files each on their own
    alone, convert_large = [], cli._convert_large
    monkeypatch.setattr(cli, "_POOL_LIMIT", limit)
    monkeypatch.setattr(cli, "_convert_large", lambda job, *rest: (alone.append(job.source),
                                                                   convert_large(job, *rest)))
    read, read_whole = [], cli._read
    monkeypatch.setattr(cli, "_read", lambda path: (read.append(path), read_whole(path))[1])
    assert cli.main(["convert", "-j", "2", "-v", *map(str, inputs), "-o", str(tmp_path / "out")]) == 1
    assert alone == [str(p) for p in inputs if p.exists() and p.stat().st_size > limit] and len(alone) == 2
    assert not set(alone) & set(read)  # converted file to file, never read into memory
    for src in inputs[:1] + inputs[2:]:
        assert (tmp_path / "out" / (src.stem + ".mp4")).read_bytes() == quaver.remux(src.read_bytes())
    # Every file's lines, and the failure, in input order.
    said = [line.removeprefix("quaver: ").removeprefix("warning: ").split(": ")[0]
            for line in capsys.readouterr().err.splitlines()]
    assert list(dict.fromkeys(said)) == [str(p) for p in inputs] + ["converted 5 of 6 files; 1 failed"]


def test_a_single_large_file_shows_a_byte_bar_on_a_terminal(tmp_path, monkeypatch):
    from quaver import cli

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(cli, "_POOL_LIMIT", 30_000)
    for quiet in ([], ["-q"]):
        err = Terminal()
        monkeypatch.setattr(sys, "stderr", err)
        out = tmp_path / f"out{len(quiet)}.mp4"
        assert cli.main(["convert", *quiet, str(DATA / "sample.ts"), str(out)]) == 0
        assert out.read_bytes() == quaver.remux((DATA / "sample.ts").read_bytes())
        size = (DATA / "sample.ts").stat().st_size
        assert ("100%" in err.getvalue() and f"{size / 1000:.1f}k/{size / 1000:.1f}k" in err.getvalue()) != bool(quiet)


def test_ctrl_c_stops_a_batch_leaving_whole_files_only(tmp_path):
    segment = TS_SEGMENTS[0].read_bytes()
    (tmp_path / "in").mkdir()
    inputs = [tmp_path / "in" / f"{i:02}.ts" for i in range(12)]
    for path in inputs[:8] + inputs[9:]:
        path.write_bytes(segment)
    # A read that never returns, as from a FIFO no one writes: the batch is still running when interrupted.
    os.mkfifo(inputs[8])
    out = tmp_path / "out"
    p = subprocess.Popen([sys.executable, "-m", "quaver", "convert", "-j", "2", *map(str, inputs), "-o", str(out)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        for _ in range(600):
            if (out / "03.mp4").exists():
                break
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        stdout, stderr = p.communicate(timeout=20)
    finally:
        p.kill()
    assert (p.returncode, stdout, stderr) == (130, b"", b"")
    written = sorted(f.name for f in out.iterdir())
    assert written and set(written) <= {f"{i:02}.mp4" for i in range(8)}  # no part file, nothing after the FIFO
    assert all((out / name).read_bytes() == quaver.remux(segment) for name in written)


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
    # The bar's final state stays on screen, above the summary.
    assert "| 3/3 [" in err.split("\r\n")[-3]
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


@pytest.mark.parametrize("src, fmt, size", [(TS_SEGMENTS[1], "h264", (160, 120)),
                                            (DATA / "mpeg2_aac.ts", "mpegvideo", (320, 240))])
def test_thumbnail_as_annex_b_or_png(src, fmt, size, tmp_path):
    r = run("thumbnail", src, "-o", "-")
    assert r.returncode == 0 and r.stdout == quaver.thumbnail(src.read_bytes())
    r = run("thumbnail", "--png", src, "-o", tmp_path / "key.png")
    assert r.returncode == 0, r.stderr
    png = (tmp_path / "key.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    with av.open(str(tmp_path / "key.png")) as c:
        frame = next(c.decode(video=0))
    assert (frame.width, frame.height) == size
    with av.open(io.BytesIO(r.stdout or quaver.thumbnail(src.read_bytes())), format=fmt) as c:
        key = next(c.decode(video=0)).to_ndarray(format="rgb24")
    assert (frame.to_ndarray(format="rgb24") == key).all()  # the picture of that very key frame


# ---- no file lost, no silent failure ------------------------------------------------


def tree(folder):
    """Every file under folder with its bytes: what a refusal must leave as it was."""
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def unwritable_folder(tmp_path):
    folder = tmp_path / "readonly"
    folder.mkdir()
    folder.chmod(0o555)
    try:
        (folder / "probe").touch()
    except PermissionError:
        return folder
    (folder / "probe").unlink()
    return pathlib.Path("/sys")  # root writes anywhere, but sysfs takes no new files


@pytest.mark.parametrize("make_args, code, message", [
    # Command lines that cannot run (2).
    (lambda t: ["convert", t / "a.ts", t / "a.ts"], 2, "a.ts is given twice"),
    (lambda t: ["convert", t / "a.ts", t / "b.ts", t / "sub" / ".." / "a.ts"], 2, "a.ts are the same file"),
    (lambda t: ["convert", t / "a.ts", "-o", t / "sub" / ".." / "a.ts"], 2, "a.ts is the input itself"),
    (lambda t: ["convert", t / "a.ts", t / "sub"], 2, "sub is a directory: give -o"),
    (lambda t: ["convert", t / "a.ts", t / "sub" / "a.ts", "-o", t / "out"], 2, "would both be written to"),
    (lambda t: ["convert", t / "a.ts", t, t / "b.ts"], 2, "is a directory; give the files in it"),
    (lambda t: ["convert", "-j", "0", t / "a.ts", t / "b.ts"], 2, "-j needs a number of 1 or more"),
    (lambda t: ["merge", t / "a.ts", t / "b.ts"], 2, "quaver merge needs an output: give -o FILE"),
    (lambda t: ["convert", "-"], 2, "standard input needs an output"),
    (lambda t: ["convert", t / "a.ts", t / "b.ts", "-o", "-"], 2, "standard output takes one result"),
    (lambda t: ["live", t, t / "a.ts"], 2, "a.ts is an input; write the segments into another directory"),
    (lambda t: ["live", t / "b.ts", t / "a.ts"], 2, "b.ts is a file; live writes each segment into a directory"),
    # Inputs that cannot be used (1): the message names the file and says what to do.
    (lambda t: ["convert", t / "junk.m4s", t / "out.mp4"], 1, "{t}/junk.m4s: not a transport stream or an MP4"),
    (lambda t: ["convert", t / "seg.m4s", "-o", t / "out.mp4"], 1, "put the initialisation segment in front of it"),
    (lambda t: ["convert", t / "missing.ts", "-o", t / "out.mp4"], 1,
     "{t}/missing.ts: cannot read it (No such file or directory); check the path"),
    (lambda t: ["thumbnail", t / "seg.m4s", "-o", "-"], 1, "without its initialisation segment"),
    (lambda t: ["convert", "--concat", t / "a.ts", t / "init.mp4", "-o", t / "out.mp4"], 1,
     "{t}/a.ts is a transport stream but {t}/init.mp4 is an MP4"),
    (lambda t: ["convert", "--concat", t / "seg.m4s", t / "seg.m4s", "-o", t / "out.mp4"], 1,
     "{t}/seg.m4s is a media segment without its initialisation segment"),
    (lambda t: ["convert", "--concat", t / "init.mp4", t / "init.mp4", "-o", t / "out.mp4"], 1,
     "{t}/init.mp4 has its own moov box"),
    (lambda t: ["convert", "--concat", t / "a.ts", t / "junk.m4s", "-o", t / "out.mp4"], 1,
     "{t}/junk.m4s: not a transport stream"),
    # A single output that exists is replaced only with -y; nothing is read or written.
    (lambda t: ["convert", t / "a.ts", t / "clip.mkv"], 2, "clip.mkv exists; give -y to replace it"),
    (lambda t: ["convert", t / "a.ts"], 2, "a.mp4 exists; give -y to replace it"),
    (lambda t: ["convert", "--concat", t / "a.ts", t / "b.ts", "-o", t / "clip.mkv"], 2, "clip.mkv exists"),
    (lambda t: ["thumbnail", t / "a.ts", "-o", t / "clip.mkv"], 2, "clip.mkv exists"),
    (lambda t: ["merge", t / "video.mp4", t / "audio.mp4", t / "clip.mkv"], 2, "clip.mkv exists"),
    (lambda t: ["defragment", t / "video.mp4", t / "clip.mkv"], 2, "clip.mkv exists"),
    # Folders that cannot take the output: the message names the output and the OS error.
    (lambda t: ["convert", t / "b.ts", t / "missing" / "b.mp4"], 1,
     "cannot write {t}/missing/b.mp4 (No such file or directory)"),
    (lambda t: ["convert", t / "b.ts", "-o", unwritable_folder(t) / "b.mp4"], 1, "cannot write {ro}/b.mp4 ("),
    (lambda t: ["convert", t / "b.ts", t / "c.ts", "-o", t / "clip.mkv" / "out"], 1, "cannot create the folder"),
    # Inputs of the wrong kind say what they are and what the command wants.
    (lambda t: ["merge", t / "a.ts", t / "audio.mp4", "-o", t / "out.mp4"], 1,
     "merge needs fragmented MP4 inputs; {t}/a.ts is an MPEG-TS"),
    (lambda t: ["merge", t / "regular.mp4", t / "audio.mp4", "-o", t / "out.mp4"], 1,
     "merge needs fragmented MP4 inputs; {t}/regular.mp4 is an MP4 without fragments (a regular file"),
    (lambda t: ["merge", t / "init.mp4", t / "init.mp4", "-o", t / "out.mp4"], 1,
     "{t}/init.mp4 is an MP4 without fragments (a regular file, or an initialisation segment alone)"),
    (lambda t: ["merge", t / "audio.mp4", t / "audio.mp4", "-o", t / "out.mp4"], 1,
     "merge takes the video from {t}/audio.mp4, which holds no video samples (the file holds no track"),
    (lambda t: ["thumbnail", t / "audio.mp4", "-o", t / "out.mp4"], 1, "no video track: a key frame is taken from"),
    # Results without a sample are refused, not written.
    (lambda t: ["convert", t / "init.mp4", "-o", t / "out.mp4"], 1, "nothing to write: the result would hold no"),
    (lambda t: ["live", t / "live", t / "junk.m4s"], 1, "{t}/junk.m4s: a live segment must be a fragmented MP4 "
                                                        "media segment (moof and mdat); the input is unrecognised"),
    (lambda t: ["live", "--init", t / "junk.m4s", t / "live", t / "seg.m4s"], 1,
     "{t}/junk.m4s: an initialisation segment must be an MP4 with a moov box"),
    # Streams: omissions refused with --strict, streams asked for that are not there, joins of other streams.
    (lambda t: ["convert", "--strict", t / "two.ts", "-o", t / "out.mp4"], 1,
     "quaver: warning: {t}/two.ts: left out: PID 258 audio AC-3 [eng]: second audio track\n"
     "quaver convert: {t}/two.ts: --strict refuses a result that leaves out what the warnings above name"),
    (lambda t: ["convert", "--video", "999", t / "two.ts", "-o", t / "out.mp4"], 1,
     "no video stream with PID 999 in the input (its video: PID 256 (H.264))"),
    (lambda t: ["convert", "--audio", "3", t / "regular.mp4", "-o", t / "out.mp4"], 1,
     "no audio track with ID 3 in the input (its audio tracks: 2)"),
    (lambda t: ["convert", "--audio", "none", "--audio", "257", t / "two.ts", "-o", t / "out.mp4"], 2,
     "--audio none keeps no audio: give it alone"),
    (lambda t: ["convert", "--concat", t / "a.ts", t / "cam.m2ts", "-o", t / "out.mp4"], 1,
     "{t}/cam.m2ts does not continue the stream of {t}/a.ts: its audio is ac3 48000 Hz, 2 channels, not aac "
     "48000 Hz, 2 channels; --concat joins pieces of one stream (give --force to join them anyway)"),
    (lambda t: ["convert", "--concat", t / "a.ts", t / "b.ts", t / "radio.ts", "-o", t / "out.mp4"], 1,
     "{t}/radio.ts does not continue the stream of {t}/a.ts: it has audio where {t}/a.ts has video, audio"),
    (lambda t: ["convert", t / "radio.ts"], 2, "radio.m4a exists; give -y to replace it"),
    (lambda t: ["thumbnail", t / "radio.ts", "-o", t / "out.mp4"], 1,
     "no video: a key frame is taken from video, and the input holds audio only"),
])
def test_refusals_write_nothing_and_change_no_input(make_args, code, message, fixture_bytes, tmp_path):
    t = tmp_path / "in"
    t.mkdir()
    for name, source in [("a.ts", "hls_ts/seg0.ts"), ("b.ts", "hls_ts/seg1.ts"), ("c.ts", "hls_ts/seg2.ts"),
                         ("video.mp4", "frag_video.mp4"), ("audio.mp4", "frag_audio.mp4"),
                         ("regular.mp4", "regular_faststart.mp4"), ("init.mp4", "live_init.mp4"),
                         ("seg.m4s", "live_0.m4s"), ("two.ts", "two_audio.ts"), ("radio.ts", "audio_only.ts"),
                         ("cam.m2ts", "sample.m2ts")]:
        (t / name).write_bytes(fixture_bytes(source))
    (t / "clip.mkv").write_bytes(b"\x1a\x45\xdf\xa3 my holiday")
    (t / "a.mp4").write_bytes(b"an older conversion")
    (t / "radio.m4a").write_bytes(b"an older conversion")
    (t / "junk.m4s").write_bytes(b"<html>not found</html>")
    (t / "sub").mkdir()
    (t / "sub" / "a.ts").write_bytes(fixture_bytes("hls_ts/seg0.ts"))
    args = make_args(t)
    before = tree(tmp_path)
    r = run(*args, input=b"")
    assert r.returncode == code and r.stdout == b""
    assert message.format(t=t, ro=pathlib.Path(args[-1]).parent) in r.stderr.decode(), r.stderr
    assert tree(tmp_path) == before  # no output, no part file, every input as it was


def test_batches_never_replace_a_file_without_consent(fixture_bytes, tmp_path):
    folder = tmp_path / "rr"
    folder.mkdir()
    (folder / "a.ts").write_bytes(fixture_bytes("hls_ts/seg0.ts"))
    (folder / "b.mp4").write_bytes(fixture_bytes("regular_faststart.mp4"))
    # 'quaver convert rr/*': the second file is an MP4, so both are inputs, each converted beside itself.
    r = run("convert", *sorted(folder.iterdir()))
    assert (r.returncode, r.stderr) == (0, b"quaver: converted 2 of 2 files\n")
    assert (folder / "b.mp4").read_bytes() == fixture_bytes("regular_faststart.mp4")
    assert (folder / "a.mp4").read_bytes() == quaver.remux(fixture_bytes("hls_ts/seg0.ts"))
    assert (folder / "b.remux.mp4").read_bytes() == quaver.remux(fixture_bytes("regular_faststart.mp4"))
    # An output that exists fails alone; the others convert; the summary names it.
    (folder / "c.ts").write_bytes(fixture_bytes("hls_ts/seg2.ts"))
    (folder / "a.mp4").write_bytes(b"keep me")
    r = run("convert", folder / "a.ts", folder / "c.ts", "-j", "2")
    assert r.returncode == 1
    assert r.stderr.decode() == (f"quaver: {folder / 'a.ts'}: {folder / 'a.mp4'} exists; give -y to replace it\n"
                                 f"quaver: converted 1 of 2 files; 1 failed: {folder / 'a.ts'}\n")
    assert (folder / "a.mp4").read_bytes() == b"keep me"
    assert (folder / "c.mp4").read_bytes() == quaver.remux(fixture_bytes("hls_ts/seg2.ts"))
    r = run("convert", "-y", "-q", folder / "a.ts", folder / "c.ts")
    assert (r.returncode, r.stderr) == (0, b"")
    assert (folder / "a.mp4").read_bytes() == quaver.remux(fixture_bytes("hls_ts/seg0.ts"))
    # Live segments too: the output that exists is kept, and later segments are rebased as ever.
    out = tmp_path / "live"
    out.mkdir()
    (out / "live_0.m4s").write_bytes(b"keep me too")
    segments = copies(tmp_path, DATA / "live_0.m4s", DATA / "live_1.m4s")
    r = run("live", out, *segments)
    assert r.returncode == 1 and "live_0.m4s exists; give -y" in r.stderr.decode()
    assert (out / "live_0.m4s").read_bytes() == b"keep me too"
    p = _quaver.FragmentedMP4Processor()
    p.process_segment(segments[0].read_bytes())
    assert (out / "live_1.m4s").read_bytes() == p.process_segment(segments[1].read_bytes())
    # A single output is replaced with -y, through a part file renamed into place.
    (tmp_path / "clip.mkv").write_bytes(b"old")
    r = run("convert", folder / "c.ts", tmp_path / "clip.mkv", "-y")
    assert r.returncode == 0 and (tmp_path / "clip.mkv").read_bytes() == (folder / "c.mp4").read_bytes()
    assert not list(tmp_path.rglob("*.part"))


@pytest.mark.parametrize("junk", [bytes((i * 71 + 0x47) % 256 for i in range(300)), bytes(1000)],
                         ids=["300 junk bytes", "1000 zero bytes"])
def test_a_transport_stream_behind_junk_converts(junk, fixture_bytes, tmp_path):
    ts = fixture_bytes("sample.ts")
    (tmp_path / "capture.ts").write_bytes(junk + ts)
    r = run("convert", tmp_path / "capture.ts", tmp_path / "out.mp4")
    assert (r.returncode, r.stderr) == (0, b"")
    assert (tmp_path / "out.mp4").read_bytes() == _quaver.convert_ts_to_mp4(ts)
    # The two-argument form knows it for an input too.
    (tmp_path / "other.ts").write_bytes(junk + ts)
    r = run("convert", "-q", tmp_path / "capture.ts", tmp_path / "other.ts")
    assert r.returncode == 0 and (tmp_path / "other.mp4").exists()


@pytest.mark.parametrize("name, forced", [("hevc_aac.ts", "--ts"), ("hevc_hvc1.mp4", "--mp4"),
                                          ("hevc_frag.mp4", None), ("sample.ts", None)])
def test_png_key_frames_decode_with_their_own_codec(name, forced, fixture_bytes, tmp_path):
    src = tmp_path / name
    src.write_bytes(fixture_bytes(name))
    r = run("thumbnail", "--png", *([forced] if forced else []), src, "-o", tmp_path / "key.png")
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b""), r.stderr
    with av.open(str(tmp_path / "key.png")) as c:
        picture = next(c.decode(video=0)).to_ndarray(format="rgb24")
    codec, annexb = quaver._native.key_frame(fixture_bytes(name))
    assert codec == ("hevc" if "hevc" in name else "h264")
    with av.open(io.BytesIO(annexb), format=codec) as c:
        key = next(c.decode(video=0)).to_ndarray(format="rgb24")
    assert (picture == key).all()


def test_streams_are_named_when_left_out_chosen_and_kept_as_alternates(tmp_path):
    two, programs, radio, camera = copies(tmp_path, DATA / "two_audio.ts", DATA / "two_programs.ts",
                                          DATA / "audio_only.ts", DATA / "sample.m2ts")
    # What a conversion leaves out is a warning, without -v; --strict has nothing against a camera file.
    r = run("convert", "-j", "1", two, programs, camera, "--strict")
    assert r.returncode == 1 and (tmp_path / "in" / "sample.mp4").exists()
    assert r.stderr.decode().splitlines() == [
        f"quaver: warning: {two}: left out: PID 258 audio AC-3 [eng]: second audio track",
        f"quaver: {two}: --strict refuses a result that leaves out what the warnings above name; choose the "
        f"streams with --video/--audio, or convert without --strict",
        f"quaver: warning: {programs}: left out: program 2 (PID 258 video H.264, PID 259 audio AAC): another program",
        f"quaver: {programs}: --strict refuses a result that leaves out what the warnings above name; choose the "
        f"streams with --video/--audio, or convert without --strict",
        f"quaver: converted 1 of 3 files; 2 failed: {two}, {programs}"]
    assert (tmp_path / "in" / "sample.mp4").read_bytes() == quaver.remux(camera.read_bytes())
    # Both audio tracks, each its own trak: the first named is the default, the other an alternative of its group.
    r = run("convert", two, "--audio", "258", "--audio", "257", "-o", tmp_path / "both.mp4")
    assert (r.returncode, r.stderr) == (0, b"")
    mp4 = (tmp_path / "both.mp4").read_bytes()
    with av.open(io.BytesIO(mp4)) as c:
        assert [(s.codec_context.name, s.disposition.value, s.language) for s in c.streams] == [
            ("h264", 1, "und"), ("ac3", 1, "eng"), ("aac", 0, "und")]
    with av.open(str(two)) as c:
        source = [bytes(p) for p in c.demux(c.streams.audio[1]) if p.size]
    assert [bytes(p) for p in packets_of(mp4, 1)] == source
    assert decoded(mp4)["audio"] > len(source)  # both tracks decode
    headers = [find_box(t, "tkhd") for t in find_all(mp4, "moov/trak")]
    assert [(u32(h, 0) & 0xFFFFFF, u16(h, 34)) for h in headers] == [(7, 0), (7, 1), (6, 1)]
    # Another programme by its video; audio alone, named .m4a; the choice is there for MP4s too.
    r = run("convert", programs, "--video", "258", "-o", tmp_path / "second.mp4")
    assert r.stderr.decode() == (f"quaver: warning: {programs}: left out: program 1 (PID 256 video H.264, "
                                 f"PID 257 audio AAC): another program\n")
    with av.open(str(programs)) as c:
        second = [bytes(p) for p in c.demux(c.streams.video[1]) if p.size]
    assert [length_prefixed_nals(bytes(p)) for p in packets_of((tmp_path / "second.mp4").read_bytes(), 0)] == [
        [u for u in split_annexb(p) if u[0] & 0x1F not in (7, 8, 9)] for p in second]
    r = run("convert", radio, "-q")
    assert r.returncode == 0 and (tmp_path / "in" / "audio_only.m4a").exists()
    assert decoded((tmp_path / "in" / "audio_only.m4a").read_bytes()) == {"audio": 95}
    r = run("convert", tmp_path / "both.mp4", "--audio", "3", "-o", tmp_path / "aac.mp4")
    with av.open(str(tmp_path / "aac.mp4")) as c:
        assert [s.codec_context.name for s in c.streams] == ["h264", "aac"]


def packets_of(mp4, index):
    with av.open(io.BytesIO(mp4)) as c:
        return [p for p in c.demux(c.streams[index]) if p.size]


def test_probe_tells_what_pyav_sees():
    for name in ("two_audio.ts", "two_programs.ts", "sample.m2ts", "audio_only.ts", "frag_av.mp4"):
        r = run("probe", DATA / name)
        assert r.returncode == 0 and r.stderr == b""
        tracks = json.loads(r.stdout)["tracks"]
        with av.open(str(DATA / name)) as c:
            counts = collections.Counter(p.stream.index for p in c.demux() if p.size)
            # An MP4 says "und" where a probe leaves the language out.
            streams = [(s.id, s.type, s.codec_context.name, {"und": None}.get(s.language, s.language), counts[s.index],
                        (s.codec_context.width, s.codec_context.height, float(s.average_rate)) if s.type == "video"
                        else (s.codec_context.sample_rate, s.codec_context.channels)) for s in c.streams]
        key = "track_id" if name.endswith(".mp4") else "pid"
        # A stream of another programme is named, not read: it has no counts.
        seen = lambda t: (t["samples"], (t["width"], t["height"], t["frame_rate"]) if t["kind"] == "video" else
                          (t["sample_rate"], t["channels"])) if "samples" in t else None
        assert [(t[key], t["kind"], t["codec"], t.get("language")) for t in tracks] == [s[:4] for s in streams]
        assert [seen(t) for t in tracks] == [s[4:] if "samples" in t else None for t, s in zip(tracks, streams)]
        assert all("samples" in t for t in tracks if t["kept"])


def test_forced_ts_key_frame_reports_to_stderr_only(fixture_bytes, tmp_path):
    src = tmp_path / "in.ts"
    src.write_bytes(fixture_bytes("sample.ts"))
    r = run("thumbnail", "--ts", "-v", src, "-o", "-")
    assert r.returncode == 0 and r.stdout == quaver.thumbnail(fixture_bytes("sample.ts"))
    assert b"Found PIDs - Video: 256, Audio: 257\n" in r.stderr and b"Found PIDs" not in r.stdout


def test_batch_planning_takes_a_constant_number_of_path_calls_per_file(tmp_path, monkeypatch):
    from quaver import cli

    names = [tmp_path / f"seg{i:04}.ts" for i in range(3000)]
    for path in names:
        path.write_bytes(b"G")
    (tmp_path / "seg0007.mp4").write_bytes(b"there before")
    calls = collections.Counter()

    def counted(name, function):
        def call(*args, **kw):
            calls[name] += 1
            return function(*args, **kw)
        return call

    for name in ("stat", "lstat", "listdir", "scandir", "access"):
        monkeypatch.setattr(os, name, counted(name, getattr(os, name)))
    for name in ("realpath", "samefile", "exists", "isdir", "lexists"):
        monkeypatch.setattr(os.path, name, counted(name, getattr(os.path, name)))
    jobs = cli._plan_batch([str(p) for p in names], str(tmp_path / "out"))
    assert len(jobs) == 3000 and [j.exists for j in jobs].count(True) == 0
    assert sum(calls.values()) <= 2 * 3000 + 40, calls  # a stat of each input and of each target
    calls.clear()
    jobs = cli._plan_batch([str(p) for p in names], None)
    assert [j.target for j in jobs if j.exists] == [str(tmp_path / "seg0007.mp4")]
    assert sum(calls.values()) <= 2 * 3000 + 40, calls
