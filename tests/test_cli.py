"""The `quaver` command line."""
import subprocess
import sys

import _quaver


def run(*args, **kw):
    return subprocess.run([sys.executable, "-m", "quaver", *args], capture_output=True, timeout=120, **kw)


def test_convert_writes_the_same_bytes_as_the_function(fixture_bytes, tmp_path, capfd):
    src = tmp_path / "in.ts"
    src.write_bytes(fixture_bytes("sample.ts"))
    r = run("convert", str(src), str(tmp_path / "out.mp4"))
    assert r.returncode == 0, r.stderr
    assert b"Total video frames collected: 50" in r.stdout
    assert (tmp_path / "out.mp4").read_bytes() == _quaver.convert_ts_to_mp4(fixture_bytes("sample.ts"))


def test_output_to_stdout_keeps_the_report_out_of_the_file(fixture_bytes, capfd):
    r = run("convert", "-", "-", input=fixture_bytes("sample.ts"))
    assert r.returncode == 0
    assert r.stdout == _quaver.convert_ts_to_mp4(fixture_bytes("sample.ts"))
    assert b"Found PIDs" in r.stderr


def test_bad_input_fails_with_the_message(tmp_path):
    (tmp_path / "bad.ts").write_bytes(b"no sync here")
    r = run("convert", str(tmp_path / "bad.ts"), str(tmp_path / "out.mp4"))
    assert r.returncode == 1
    assert b"No valid TS sync byte found" in r.stderr
    assert not (tmp_path / "out.mp4").exists()


def test_mp4_commands_match_the_functions(fixture_bytes, tmp_path):
    paths = {}
    for name in ("frag_video.mp4", "frag_audio.mp4", "regular_faststart.mp4", "live_0.m4s", "live_1.m4s"):
        paths[name] = tmp_path / name
        paths[name].write_bytes(fixture_bytes(name))
    out = tmp_path / "out"
    cases = [
        (["defragment", paths["frag_video.mp4"]], _quaver.defragment_mp4(fixture_bytes("frag_video.mp4"))),
        (["reset", paths["regular_faststart.mp4"]],
         _quaver.reset_mp4_timestamps(fixture_bytes("regular_faststart.mp4"))),
        (["normalize", paths["frag_video.mp4"]], _quaver.defragment_mp4(fixture_bytes("frag_video.mp4"))),
        (["thumbnail", paths["regular_faststart.mp4"]],
         _quaver.extract_thumbnail_from_mp4(fixture_bytes("regular_faststart.mp4"))),
    ]
    for args, expected in cases:
        r = run(*map(str, args), str(out))
        assert r.returncode == 0, r.stderr
        assert out.read_bytes() == expected
    r = run("mux", str(paths["frag_video.mp4"]), str(paths["frag_video.mp4"]), str(out))
    assert r.returncode == 1 and "track_id 1 가 중복됨" in r.stderr.decode()
    r = run("live", str(tmp_path / "live"), str(paths["live_0.m4s"]), str(paths["live_1.m4s"]))
    assert r.returncode == 0, r.stderr
    p = _quaver.FragmentedMP4Processor()
    for name in ("live_0.m4s", "live_1.m4s"):
        assert (tmp_path / "live" / name).read_bytes() == p.process_segment(fixture_bytes(name))
