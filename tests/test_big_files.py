"""A transport stream of gigabytes converted file to file, in bounded memory, into an MP4 beyond 4 GiB."""
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import av
import pytest

from builders import find_box, iter_boxes, length_prefixed_nals, mp4_sample_table, repeat_ts, split_annexb

pytestmark = pytest.mark.big

DATA = pathlib.Path(__file__).parent / "data"
# The input: its result's mdat needs the 64-bit form, and since each track's
# samples are one run, the audio, which follows more than 4 GiB of video,
# needs 64-bit chunk offsets (at 4.6 GB the video still ends below 4 GiB).
SIZE = 5_000_000_000
PERIOD = 117120  # dense.ts's audio, in 90 kHz ticks: each repeat's clock starts where the last one's audio ended
# dense.ts holds 32 pictures and 61 AAC frames.
PICTURES, AUDIO_FRAMES = 32, 61

# The converting process samples its own anonymous memory while it works:
# ru_maxrss would count the mapped input's pages.
CHILD = r"""
import sys, threading, time, quaver
def anon():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))
peak, done = [anon()], threading.Event()
def sample():
    while not done.wait(0.01):
        peak[0] = max(peak[0], anon())
threading.Thread(target=sample, daemon=True).start()
try:
    quaver.remux(sys.argv[1], sys.argv[2])
except quaver.UnsupportedInput as exc:
    print("refused", exc)
    sys.exit()
done.set()
print("peak", max(peak[0], anon()))
"""


def top_level(path):
    """(type, offset, header length, size) of each top-level box, read header by header."""
    boxes = []
    with open(path, "rb") as f:
        end = os.fstat(f.fileno()).st_size
        at = 0
        while at < end:
            f.seek(at)
            head = f.read(16)
            size, kind = struct.unpack(">I4s", head[:8])
            header = 16 if size == 1 else 8
            size = struct.unpack(">Q", head[8:16])[0] if size == 1 else size
            boxes.append((kind.decode("latin-1"), at, header, size))
            at += size
    return boxes


def last_source_picture():
    with av.open(str(DATA / "dense.ts")) as c:
        packets = [p for p in c.demux(c.streams.video[0]) if p.size]
    return [u for u in split_annexb(bytes(packets[-1])) if u[0] & 0x1F not in (7, 8, 9)]


def durations(mp4):
    with av.open(mp4) as c:
        return [(s.type, s.frames, float(s.duration * s.time_base)) for s in c.streams]


def test_a_stream_of_gigabytes_converts_file_to_file_in_bounded_memory(tmp_path):
    free = shutil.disk_usage(tmp_path).free
    if free < 2 * SIZE + (500 << 20):
        pytest.skip(f"needs {2 * SIZE / 1e9:.1f} GB of free disk for the input and its result; "
                    f"{tmp_path} has {free / 1e9:.1f} GB")
    clip = (DATA / "dense.ts").read_bytes()
    src, dst = tmp_path / "big.ts", tmp_path / "big.mp4"
    try:
        repeats = repeat_ts(clip, src, SIZE, period=PERIOD)
        run = subprocess.run([sys.executable, "-c", CHILD, str(src), str(dst)], capture_output=True, text=True,
                             timeout=600)
        assert run.returncode == 0, run.stderr
        if run.stdout.startswith("refused Output too large"):
            pytest.skip("NEEDS_64_BIT_LAYOUT: this build refuses results beyond 4 GiB: " + run.stdout.strip())
        samples = repeats * (PICTURES + AUDIO_FRAMES)
        peak = int(run.stdout.split()[1])
        assert peak <= (64 << 20) + 128 * samples, f"{peak / 1e6:.0f} MB of anonymous memory for {samples} samples"
        src.unlink()

        boxes = top_level(dst)
        assert [b[0] for b in boxes] == ["ftyp", "moov", "mdat"]
        (_, moov_at, moov_header, moov_size), (_, _, mdat_header, mdat_size) = boxes[1], boxes[2]
        assert mdat_header == 16 and mdat_size > 1 << 32  # the 64-bit form
        with open(dst, "rb") as f:
            f.seek(moov_at)
            moov = f.read(moov_size)
            assert find_box(moov, "moov/trak/mdia/minf/stbl/co64") is not None
            traks = [mp4_sample_table(moov[b:e]) for kind, b, e, _ in iter_boxes(moov, moov_header) if kind == "trak"]
            video = next(t for t in traks if t["handler"] == "vide")
            # The last picture, read where its 64-bit offset says, is the source's last.
            assert video["offsets"][-1] > 1 << 32
            f.seek(video["offsets"][-1])
            assert length_prefixed_nals(f.read(video["sizes"][-1])) == last_source_picture()

        # An independent reader's counts and durations: those of two repeats, and one more period per repeat.
        small_ts, small_mp4 = tmp_path / "two.ts", tmp_path / "two.mp4"
        repeat_ts(clip, small_ts, 2 * len(clip), period=PERIOD)
        import quaver
        quaver.remux(small_ts, small_mp4)
        expected = [(kind, frames // 2 * repeats, seconds + (repeats - 2) * PERIOD / 90000)
                    for kind, frames, seconds in durations(str(small_mp4))]
        got = durations(str(dst))
        assert [(kind, frames) for kind, frames, _ in got] == [(kind, frames) for kind, frames, _ in expected]
        assert [kind for kind, _, _ in got] == ["video", "audio"]
        for (_, _, seconds), (_, _, want) in zip(got, expected):
            assert seconds == pytest.approx(want, abs=0.05)
    finally:
        for path in tmp_path.iterdir():
            path.unlink()
