"""Command line: ``quaver convert in.ts out.mp4`` and the other jobs."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from pathlib import Path
from typing import Callable, Iterator, Sequence

import _quaver


def _read(path: str) -> bytes:
    return sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()


def _write(path: str, data: bytes) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        Path(path).write_bytes(data)


def _thumbnail(args: argparse.Namespace) -> bytes:
    data = _read(args.input)
    mp4 = args.mp4 or (not args.ts and data[4:8] in (b"ftyp", b"moov", b"mdat", b"free", b"wide", b"skip"))
    return (_quaver.extract_thumbnail_from_mp4 if mp4 else _quaver.extract_thumbnail_from_ts)(data)


def _live(args: argparse.Namespace) -> None:
    # Segments of one live stream, rebased together from the first decode time seen.
    out_dir = Path(args.output)
    out_dir.mkdir(parents=True, exist_ok=True)
    processor = _quaver.FragmentedMP4Processor()
    for segment in args.segments:
        (out_dir / Path(segment).name).write_bytes(processor.process_segment(_read(segment)))


# name -> (help, handler, input arguments)
COMMANDS: dict[str, tuple[str, Callable[[argparse.Namespace], bytes], list[str]]] = {
    "convert": ("MPEG-TS (H.264 or HEVC; AAC, AC-3, E-AC-3 or MPEG audio) to a regular MP4",
                lambda a: _quaver.convert_ts_to_mp4(_read(a.input), a.reset_timestamps), ["input"]),
    "defragment": ("fragmented MP4 to a regular MP4", lambda a: _quaver.defragment_mp4(_read(a.input)), ["input"]),
    "reset": ("rebase an MP4 so that every track starts at decode time 0",
              lambda a: _quaver.reset_mp4_timestamps(_read(a.input)), ["input"]),
    "normalize": ("unfold a fragmented MP4, or rebase a regular one",
                  lambda a: _quaver.convert_mp4_reset_timestamps(_read(a.input)), ["input"]),
    "mux": ("merge a video fMP4 and an audio fMP4 into one regular MP4",
            lambda a: _quaver.mux_fmp4_tracks(_read(a.video), _read(a.audio)), ["video", "audio"]),
    "thumbnail": ("first key frame of a TS or MP4 as Annex B (H.264 or HEVC)", _thumbnail, ["input"]),
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quaver", description="Remux MPEG-TS and MP4 files in memory.")
    parser.add_argument("--version", action="version", version=f"quaver {_quaver.__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    for name, (help_text, handler, inputs) in COMMANDS.items():
        p = sub.add_parser(name, help=help_text, description=help_text)
        for arg in inputs:
            p.add_argument(arg, help="input file ('-' for standard input)")
        p.add_argument("output", help="output file ('-' for standard output)")
        p.set_defaults(handler=handler)
        if name == "convert":
            p.add_argument("--reset-timestamps", action="store_true",
                           help="accepted for compatibility; the output always starts at 0")
        if name == "thumbnail":
            kind = p.add_mutually_exclusive_group()
            kind.add_argument("--mp4", action="store_true", help="the input is an MP4")
            kind.add_argument("--ts", action="store_true", help="the input is a transport stream")
    live = sub.add_parser("live", help="rebase live fMP4 segments from the first decode time seen",
                          description="Rebase consecutive live fMP4 segments; each is written under OUTPUT "
                                      "with its own file name.")
    live.add_argument("output", help="output directory")
    live.add_argument("segments", nargs="+", help="media segments, in stream order")
    live.set_defaults(handler=None)
    return parser


@contextlib.contextmanager
def _report_to_stderr(active: bool) -> Iterator[None]:
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
        if args.command == "live":
            _live(args)
            return 0
        with _report_to_stderr(args.output == "-"):
            result = args.handler(args)
    except (OSError, ValueError) as exc:
        print(f"quaver {args.command}: {exc}", file=sys.stderr)
        return 1
    _write(args.output, result)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
