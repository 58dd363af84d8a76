"""Command line: ``quaver convert in.ts out.mp4`` and friends."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from pathlib import Path
from typing import Callable, Sequence

import _quaver


def _read(path: str) -> bytes:
    return sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()


def _write(path: str, data: bytes) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        Path(path).write_bytes(data)


def _convert(args: argparse.Namespace) -> bytes:
    return _quaver.convert_ts_to_mp4(_read(args.input), args.reset_timestamps)


# (name, help, handler, extra arguments); a command appears only when the
# extension provides the function behind it.
def _commands() -> list[tuple[str, str, Callable[[argparse.Namespace], bytes], list[str]]]:
    table = [
        ("convert", "MPEG-TS (H.264 + AAC) to a regular MP4", _convert, ["input"], "convert_ts_to_mp4"),
        ("defragment", "fragmented MP4 to a regular MP4",
         lambda a: _quaver.defragment_mp4(_read(a.input)), ["input"], "defragment_mp4"),
        ("reset", "rebase an MP4 so every track starts at decode time 0",
         lambda a: _quaver.reset_mp4_timestamps(_read(a.input)), ["input"], "reset_mp4_timestamps"),
        ("normalize", "unfold a fragmented MP4, or rebase a regular one",
         lambda a: _quaver.convert_mp4_reset_timestamps(_read(a.input)), ["input"],
         "convert_mp4_reset_timestamps"),
        ("mux", "merge a video fMP4 and an audio fMP4 into one MP4",
         lambda a: _quaver.mux_fmp4_tracks(_read(a.video), _read(a.audio)), ["video", "audio"],
         "mux_fmp4_tracks"),
        ("thumbnail", "first key frame of a TS or MP4 as H.264 Annex B",
         lambda a: (_quaver.extract_thumbnail_from_mp4 if a.mp4 else _quaver.extract_thumbnail_from_ts)(
             _read(a.input)), ["input"], "extract_thumbnail_from_ts"),
    ]
    return [(n, h, f, ins) for n, h, f, ins, needs in table if hasattr(_quaver, needs)]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quaver", description="Remux MPEG-TS and MP4 files in memory.")
    parser.add_argument("--version", action="version", version=f"quaver {_quaver.__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    for name, help_text, handler, inputs in _commands():
        p = sub.add_parser(name, help=help_text, description=help_text)
        for arg in inputs:
            p.add_argument(arg, help="input file ('-' for standard input)")
        p.add_argument("output", help="output file ('-' for standard output)")
        if name == "convert":
            p.add_argument("--reset-timestamps", action="store_true",
                           help="accepted for compatibility; the output always starts at 0")
        if name == "thumbnail":
            p.add_argument("--mp4", action="store_true", help="the input is an MP4 (default: TS)")
        p.set_defaults(handler=handler)
    return parser


@contextlib.contextmanager
def _report_to_stderr(active: bool):
    # The demultiplexer writes its report lines to file descriptor 1; keep
    # them out of the result when the result itself goes to standard output.
    if not active:
        yield
        return
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        with _report_to_stderr(args.output == "-"):
            result = args.handler(args)
    except (OSError, ValueError) as exc:
        print(f"quaver {args.command}: {exc}", file=sys.stderr)
        return 1
    _write(args.output, result)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
