"""Throughput of the MP4 operations on large inputs built from the fixtures.

    python bench/bench_mp4.py [--repeat N] [--rounds N]

A large fragmented file is the init segment of tests/data/frag_av.mp4 followed
by its moof/mdat pairs repeated N times. Reports the best time and MB/s of
input for each operation, and PyAV's remux of the same file as a peer.
"""
import argparse
import pathlib
import struct

import sys

import _quaver

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
sys.path.insert(0, str(ROOT / "tests"))
from builders import set_track_id  # noqa: E402  (ffmpeg numbers every file's tracks from 1)
from common import best_of, pyav_remux  # noqa: E402


def top_boxes(data):
    pos, out = 0, []
    while pos + 8 <= len(data):
        size, kind = struct.unpack_from(">I4s", data, pos)
        out.append((kind, data[pos:pos + size]))
        pos += size
    return out


def grown(name, repeat):
    boxes = top_boxes((DATA / name).read_bytes())
    head = b"".join(b for k, b in boxes if k in (b"ftyp", b"moov"))
    body = b"".join(b for k, b in boxes if k in (b"moof", b"mdat"))
    return head + body * repeat


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=400)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    frag = grown("frag_av.mp4", args.repeat)
    video = grown("frag_video.mp4", args.repeat)
    audio = set_track_id(grown("frag_audio.mp4", args.repeat), 2)
    regular = _quaver.defragment_mp4(frag)
    segment = (DATA / "live_0.m4s").read_bytes()
    big_segment = b"".join(b for k, b in top_boxes(segment) if k in (b"moof", b"mdat")) * args.repeat
    cases = [
        ("defragment_mp4", len(frag), lambda: _quaver.defragment_mp4(frag)),
        ("convert_mp4_reset_timestamps", len(frag), lambda: _quaver.convert_mp4_reset_timestamps(frag)),
        ("reset_mp4_timestamps (fragmented)", len(frag), lambda: _quaver.reset_mp4_timestamps(frag)),
        ("reset_mp4_timestamps (regular)", len(regular), lambda: _quaver.reset_mp4_timestamps(regular)),
        ("mux_fmp4_tracks", len(video) + len(audio), lambda: _quaver.mux_fmp4_tracks(video, audio)),
        ("extract_thumbnail_from_mp4", len(regular), lambda: _quaver.extract_thumbnail_from_mp4(regular)),
        ("FragmentedMP4Processor.process_segment", len(big_segment),
         lambda: _quaver.FragmentedMP4Processor().process_segment(big_segment)),
    ]
    for name, size, fn in cases:
        t = best_of(args.rounds, fn)
        print(f"{name:40s} {size / 1e6:7.1f} MB {t * 1e3:9.1f} ms {size / 1e6 / t:9.0f} MB/s")
    try:
        t = best_of(max(1, args.rounds // 2), lambda: pyav_remux(frag))
        print(f"{'PyAV remux of the fragmented file (peer)':40s} {len(frag) / 1e6:7.1f} MB {t * 1e3:9.1f} ms "
              f"{len(frag) / 1e6 / t:9.0f} MB/s")
    except Exception as exc:  # the peer is optional
        print(f"PyAV remux: {exc}")


if __name__ == "__main__":
    main()
