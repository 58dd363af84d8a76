"""The ``quaver`` command line: give it files, it works out what they are.

``quaver convert IN... [-o OUT]`` turns each input into a regular MP4 by its
content (or, with ``--concat``, all of them into one), ``quaver merge`` joins
a video fMP4 and an audio fMP4, ``quaver thumbnail`` takes the first key
frame. Results go to files (or to standard output for ``-``), messages and,
with ``-v``, report lines to standard error. Exit status: 0 when everything
was done, 1 when any input failed, 2 for a command line that cannot be run.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, Iterator, NamedTuple, Optional, Sequence

import _quaver
from quaver import _native, api

# Advice added to a core message that does not say what to do by itself.
_HINTS = {
    "No video data found": "quaver needs the H.264 video of the stream; check that the file has a video track",
    "No I-frame found": "the stream has no key frame to show; try a longer piece of it",
    "moov box not found": "give a fragmented MP4 with its initialisation segment (moov), or join them with "
                          "'quaver convert --concat init.mp4 seg*.m4s'",
    "가 중복됨": "two tracks of one input share an ID; that input is damaged",
}
_GENERIC_HINT = "the file may be damaged or cut short"


class UsageError(Exception):
    """A command line that cannot be run as given (exit status 2)."""


class JobError(Exception):
    """One input that could not be done, with a message naming it."""


def _explain(path: str, exc: BaseException) -> str:
    if isinstance(exc, OSError):
        reason = exc.strerror or str(exc)
        return f"{path}: cannot read or write ({reason}); check the path and its permissions"
    message = str(exc)
    if message.startswith(("not a transport stream", "an MP4 without", "a fragmented MP4 media segment",
                           "empty input")):
        return f"{path}: {message}"
    hint = next((h for key, h in _HINTS.items() if key in message), _GENERIC_HINT)
    return f"{path}: {message} ({hint})"


def _read(path: str) -> bytes:
    return sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()


def _write(path: str, data: bytes) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    # Written beside the target and renamed into place, so a failure never
    # leaves half a file under the output's name.
    target = Path(path)
    partial = target.with_name(f".{target.name}.{os.getpid()}.{threading.get_ident()}.part")
    try:
        partial.write_bytes(data)
        os.replace(partial, target)
    finally:
        with contextlib.suppress(FileNotFoundError):
            partial.unlink()


def _label(path: str) -> str:
    return "standard input" if path == "-" else path


class _Messages:
    """Standard-error output that stays readable under a progress bar."""

    def __init__(self, quiet: bool, verbose: bool, bar=None) -> None:
        self.quiet, self.verbose, self.bar = quiet, verbose, bar
        self._lock = threading.Lock()

    def say(self, text: str) -> None:
        with self._lock:
            if self.bar is not None:
                self.bar.write(text, file=sys.stderr)
            else:
                print(text, file=sys.stderr, flush=True)

    def report_sink(self, prefix: str = "") -> Optional[Callable[[str], None]]:
        if not self.verbose:
            return None
        return lambda line: self.say(f"{prefix}{line}")


# --------------------------------------------------------------------------
# convert
# --------------------------------------------------------------------------


class _Job(NamedTuple):
    source: str
    target: str


def _same_file(a: Path, b: Path) -> bool:
    try:
        return a.resolve() == b.resolve() or (a.exists() and b.exists() and os.path.samefile(a, b))
    except OSError:
        return False


def _looks_like_input(path: str) -> bool:
    # A transport stream named as the output of the two-argument form is far
    # more likely a second input: refuse rather than overwrite it.
    try:
        with open(path, "rb") as f:
            head = f.read(188 * 5)
    except OSError:
        return False
    try:
        return _native.detect_format(head) == "ts"
    except ValueError:
        return False


def _plan_batch(inputs: Sequence[str], output: Optional[str]) -> list[_Job]:
    if output == "-":
        raise UsageError("standard output takes one result: give one input, or join them with --concat")
    out_dir = Path(output) if output else None
    if out_dir is not None and out_dir.exists() and not out_dir.is_dir():
        raise UsageError(f"{output} is a file; with several inputs -o names a directory")
    sources = [Path(p) for p in inputs]
    jobs, seen = [], {}
    for src in sources:
        if src.is_dir():
            raise UsageError(f"{src} is a directory; give the files in it (for example {src}/*.ts)")
        folder = out_dir if out_dir is not None else src.parent
        target = folder / (src.stem + ".mp4")
        if any(_same_file(target, s) for s in sources):
            target = folder / (src.stem + ".remux.mp4")  # never overwrite an input
        key = str(target.resolve())
        if key in seen:
            raise UsageError(f"{seen[key]} and {src} would both be written to {target}; "
                             f"rename one of them or convert them separately")
        seen[key] = src
        jobs.append(_Job(str(src), str(target)))
    return jobs


def _convert_one(job: _Job, messages: _Messages, prefix: str = "") -> None:
    try:
        data = _read(job.source)
        result = api.remux(data, report=messages.report_sink(prefix))
        _write(job.target, result)
    except (OSError, ValueError) as exc:
        raise JobError(_explain(_label(job.source), exc)) from exc


def _progress_bar(total: int, quiet: bool):
    if quiet or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    return tqdm(total=total, file=sys.stderr, unit="file", dynamic_ncols=True, leave=False)


def _convert_batch(jobs: list[_Job], args: argparse.Namespace) -> int:
    if jobs and jobs[0].target != "-":
        Path(jobs[0].target).parent.mkdir(parents=True, exist_ok=True)
    bar = _progress_bar(len(jobs), args.quiet)
    messages = _Messages(args.quiet, args.verbose, bar)
    failed = 0
    tally = threading.Lock()

    def run(job: _Job) -> None:
        nonlocal failed
        try:
            _convert_one(job, messages, prefix=f"{job.source}: ")
        except JobError as exc:
            messages.say(f"quaver: {exc}")
            with tally:
                failed += 1
        finally:
            if bar is not None:
                with tally:
                    bar.update()

    workers = max(1, min(args.jobs or os.cpu_count() or 1, len(jobs)))
    with ThreadPoolExecutor(max_workers=workers) as pool:
        list(pool.map(run, jobs))
    if bar is not None:
        bar.close()
    if not args.quiet:
        done = len(jobs) - failed
        tail = f"; {failed} failed" if failed else ""
        messages.say(f"quaver: converted {done} of {len(jobs)} file{'s' if len(jobs) != 1 else ''}{tail}")
    return 1 if failed else 0


def _concat_kinds(paths: Sequence[str], data: Sequence[bytes]) -> None:
    """Refuses inputs that cannot be joined into one stream, naming the first offender."""
    kinds = []
    for path, blob in zip(paths, data):
        try:
            kinds.append(_native.detect_format(blob))
        except ValueError as exc:
            raise JobError(_explain(path, exc)) from exc
    if all(k == "ts" for k in kinds):
        return
    first_ts = next((i for i, k in enumerate(kinds) if k == "ts"), None)
    if first_ts is not None:
        other = next(i for i, k in enumerate(kinds) if k != "ts")
        raise JobError(f"{paths[first_ts]} is a transport stream but {paths[other]} is an MP4; "
                       f"--concat joins inputs of one kind")
    if kinds[0] == "segment":
        raise JobError(f"{paths[0]} is a media segment without its initialisation segment; "
                       f"put the initialisation segment (the file with the moov) first")
    for path, kind in zip(paths[1:], kinds[1:]):
        if kind != "segment":
            raise JobError(f"{path} has its own moov box; --concat joins one initialisation segment "
                           f"followed by its media segments")


def _convert_concat(args: argparse.Namespace) -> int:
    target = args.output or str(Path(args.inputs[0]).with_suffix(".mp4"))
    if any(p != "-" and _same_file(Path(target), Path(p)) for p in args.inputs):
        raise UsageError(f"the output {target} is one of the inputs; name another with -o")
    messages = _Messages(args.quiet, args.verbose)
    try:
        try:
            data = [_read(p) for p in args.inputs]
        except OSError as exc:
            raise JobError(_explain(exc.filename or "input", exc)) from exc
        _concat_kinds(args.inputs, data)
        joined = b"".join(data)
        del data
        label = f"{args.inputs[0]} .. {args.inputs[-1]}" if len(args.inputs) > 1 else args.inputs[0]
        try:
            result = api.remux(joined, report=messages.report_sink())
            _write(target, result)
        except (OSError, ValueError) as exc:
            raise JobError(_explain(label, exc)) from exc
    except JobError as exc:
        messages.say(f"quaver convert: {exc}")
        return 1
    if not args.quiet and target != "-":
        messages.say(f"quaver: joined {len(args.inputs)} inputs into {target}")
    return 0


def _convert(args: argparse.Namespace) -> int:
    inputs = args.inputs
    if args.concat:
        return _convert_concat(args)
    if len(inputs) == 2 and args.output is None:
        # The two-argument form: INPUT OUTPUT.
        source, target = inputs
        if target != "-" and source != "-" and _same_file(Path(source), Path(target)):
            raise UsageError(f"{target} is the input itself; name another output")
        if target != "-" and _looks_like_input(target):
            raise UsageError(f"{target} is a transport stream, not an output: to convert both files give "
                             f"-o DIRECTORY; to replace it, delete it first")
        jobs = [_Job(source, target)]
    elif len(inputs) == 1 and (args.output is None or not (args.output.endswith(os.sep) or Path(args.output).is_dir())):
        source = inputs[0]
        if source == "-" and args.output is None:
            raise UsageError("standard input needs an output: give -o FILE (or -o - for standard output)")
        jobs = [_Job(source, args.output)] if args.output else _plan_batch(inputs, None)
        if args.output and args.output != "-" and source != "-" and _same_file(Path(source), Path(args.output)):
            raise UsageError(f"{args.output} is the input itself; name another output")
    else:
        if "-" in inputs:
            raise UsageError("standard input ('-') can only be converted on its own")
        return _convert_batch(_plan_batch(inputs, args.output), args)
    messages = _Messages(args.quiet, args.verbose)
    try:
        _convert_one(jobs[0], messages)
    except JobError as exc:
        messages.say(f"quaver convert: {exc}")
        return 1
    return 0


# --------------------------------------------------------------------------
# merge, thumbnail and the exact jobs
# --------------------------------------------------------------------------


def _output_of(args: argparse.Namespace, positional: Optional[str], command: str) -> str:
    if positional is not None and args.output is not None:
        raise UsageError(f"the output is given twice ({positional} and -o {args.output})")
    output = positional if positional is not None else args.output
    if output is None:
        raise UsageError(f"quaver {command} needs an output: give -o FILE (or -o - for standard output)")
    return output


def _merge(args: argparse.Namespace) -> int:
    output = _output_of(args, args.legacy_output, "merge")
    try:
        video, audio = _read(args.video), _read(args.audio)
    except OSError as exc:
        raise JobError(_explain(exc.filename or "input", exc)) from exc
    try:
        result = api.merge(video, audio)
    except ValueError as exc:
        raise JobError(_explain(f"{args.video} + {args.audio}", exc)) from exc
    _write(output, result)
    return 0


@contextlib.contextmanager
def _descriptor_1_to(fd: int) -> Iterator[None]:
    # _quaver's demultiplexer writes its report to file descriptor 1; the
    # forced --ts job goes through it, so its lines are steered away.
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(fd, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def _forced_thumbnail(data: bytes, args: argparse.Namespace) -> bytes:
    if args.mp4:
        return _quaver.extract_thumbnail_from_mp4(data)
    with open(os.devnull, "wb") as null, _descriptor_1_to(2 if args.verbose else null.fileno()):
        return _quaver.extract_thumbnail_from_ts(data)


def _png(annexb: bytes) -> bytes:
    try:
        import av
    except ImportError:
        raise UsageError("--png needs PyAV to decode the key frame: pip install av") from None
    with av.open(io.BytesIO(annexb), format="h264") as container:
        frame = next(container.decode(video=0), None)
    if frame is None:
        raise ValueError("the key frame does not decode")
    encoder = av.CodecContext.create("png", "w")
    encoder.width, encoder.height, encoder.pix_fmt = frame.width, frame.height, "rgb24"
    packets = list(encoder.encode(frame.reformat(format="rgb24"))) + list(encoder.encode(None))
    return b"".join(bytes(p) for p in packets)


def _thumbnail(args: argparse.Namespace) -> int:
    output = _output_of(args, args.legacy_output, "thumbnail")
    messages = _Messages(args.quiet, args.verbose)
    try:
        data = _read(args.input)
        if args.mp4 or args.ts:
            key = _forced_thumbnail(data, args)
        else:
            key = api.thumbnail(data, report=messages.report_sink())
        _write(output, _png(key) if args.png else key)
    except (OSError, ValueError) as exc:
        raise JobError(_explain(_label(args.input), exc)) from exc
    return 0


def _exact(function: Callable[..., bytes], *names: str) -> Callable[[argparse.Namespace], int]:
    def run(args: argparse.Namespace) -> int:
        try:
            data = [_read(getattr(args, n)) for n in names]
            result = function(*data)
        except (OSError, ValueError) as exc:
            raise JobError(_explain(", ".join(_label(getattr(args, n)) for n in names), exc)) from exc
        _write(args.output, result)
        return 0
    return run


def _live(args: argparse.Namespace) -> int:
    # Segments of one live stream, rebased together from the first decode time seen.
    out_dir = Path(args.output)
    out_dir.mkdir(parents=True, exist_ok=True)
    processor = _quaver.FragmentedMP4Processor()
    for segment in args.segments:
        try:
            result = processor.process_segment(_read(segment))
        except (OSError, ValueError) as exc:
            raise JobError(_explain(segment, exc)) from exc
        _write(str(out_dir / Path(segment).name), result)
    return 0


# --------------------------------------------------------------------------
# The parser
# --------------------------------------------------------------------------

_EXACT = {
    "defragment": ("fragmented MP4 to a regular MP4 (exactly defragment_mp4)", _quaver.defragment_mp4),
    "reset": ("rebase an MP4 so that every track starts at decode time 0", _quaver.reset_mp4_timestamps),
    "normalize": ("unfold a fragmented MP4, or rebase a regular one", _quaver.convert_mp4_reset_timestamps),
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quaver", description="Remux MPEG-TS and MP4 files: give it files, it works out what they are.",
        epilog="'quaver IN...' is short for 'quaver convert IN...'. Run 'quaver COMMAND -h' for a command's options.")
    parser.add_argument("--version", action="version", version=f"quaver {_quaver.__version__}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true", help="write the report lines to standard error")
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("convert", parents=[common], help="each input to a regular MP4, chosen by its content",
                       description="Convert each input (MPEG-TS with H.264 or HEVC and AAC, AC-3, E-AC-3 or "
                                   "MPEG audio; fragmented or regular MP4) to a regular MP4. 'convert IN OUT' "
                                   "converts one file to OUT.")
    p.add_argument("inputs", nargs="+", metavar="IN", help="input files ('-' for standard input)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output directory (default: beside each input, named .mp4); the output file with "
                        "--concat or a single input ('-' for standard output)")
    p.add_argument("--concat", action="store_true",
                   help="join the inputs, in the order given, into one MP4: TS segments of one stream, or an "
                        "fMP4 initialisation segment followed by its media segments")
    p.add_argument("-j", "--jobs", type=int, metavar="N", help="files converted at once (default: the number "
                                                               "of cores)")
    p.add_argument("--reset-timestamps", action="store_true", help="accepted for old scripts; the output "
                                                                   "always starts at 0")
    p.set_defaults(run=_convert)

    p = sub.add_parser("merge", aliases=["mux"], parents=[common],
                       help="a video fMP4 and an audio fMP4 into one regular MP4",
                       description="Merge a video fMP4 and an audio fMP4 (a DASH pair, say) into one regular "
                                   "MP4. An audio track whose ID the video already uses is renumbered.")
    p.add_argument("video", help="the video fMP4 ('-' for standard input)")
    p.add_argument("audio", help="the audio fMP4")
    p.add_argument("legacy_output", nargs="?", metavar="OUT", help=argparse.SUPPRESS)
    p.add_argument("-o", "--output", metavar="OUT", help="output file ('-' for standard output)")
    p.set_defaults(run=_merge)

    p = sub.add_parser("thumbnail", parents=[common], help="the first key frame of a TS or MP4",
                       description="Write the first key frame of a TS or MP4 as Annex B (H.264 or HEVC), or as "
                                   "a PNG picture with --png.")
    p.add_argument("input", help="input file ('-' for standard input)")
    p.add_argument("legacy_output", nargs="?", metavar="OUT", help=argparse.SUPPRESS)
    p.add_argument("-o", "--output", metavar="OUT", help="output file ('-' for standard output)")
    p.add_argument("--png", action="store_true", help="decode the key frame into a PNG picture (needs PyAV)")
    kind = p.add_mutually_exclusive_group()
    kind.add_argument("--mp4", action="store_true", help="treat the input as an MP4 instead of detecting it")
    kind.add_argument("--ts", action="store_true", help="treat the input as a transport stream")
    p.set_defaults(run=_thumbnail)

    for name, (help_text, function) in _EXACT.items():
        p = sub.add_parser(name, parents=[common], help=help_text, description=help_text)
        p.add_argument("input", help="input file ('-' for standard input)")
        p.add_argument("output", help="output file ('-' for standard output)")
        p.set_defaults(run=_exact(function, "input"))

    live = sub.add_parser("live", parents=[common], help="rebase live fMP4 segments from the first decode time "
                                                         "seen",
                          description="Rebase consecutive live fMP4 segments; each is written under OUTPUT "
                                      "with its own file name.")
    live.add_argument("output", help="output directory")
    live.add_argument("segments", nargs="+", help="media segments, in stream order")
    live.set_defaults(run=_live)
    return parser


def _commands(parser: argparse.ArgumentParser) -> set[str]:
    action = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return set(action.choices)


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    if argv and not argv[0].startswith("-") and argv[0] not in _commands(parser):
        argv.insert(0, "convert")  # 'quaver IN...'
    args = parser.parse_args(argv)
    if getattr(args, "jobs", None) is not None and args.jobs < 1:
        parser.error("-j needs a number of 1 or more")
    try:
        return args.run(args)
    except UsageError as exc:
        parser.error(str(exc))
    except JobError as exc:
        print(f"quaver {args.command}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    raise SystemExit(main())
