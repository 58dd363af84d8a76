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
