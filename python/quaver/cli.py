"""The ``quaver`` command line: give it files, it works out what they are.

``quaver convert IN... [-o OUT]`` turns each input into a regular MP4 by its
content (or, with ``--concat``, all of them into one), ``quaver merge`` joins
a video fMP4 and an audio fMP4, ``quaver thumbnail`` takes the first key
frame. Results go to files (or to standard output for ``-``), messages and,
with ``-v``, report lines to standard error. An existing file is replaced
only with ``-y``. Exit status: 0 when everything was done, 1 when any input
failed or gave nothing to write, 2 for a command line that cannot be run.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import stat
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, NamedTuple, Optional, Sequence

from quaver import __version__, _native, api
from quaver.live import LiveProcessor

# What to do about a refusal, by its kind. An unsupported input needs none:
# its message says what the input is and what the command takes.
_HINTS = {
    _native.DamagedInput: "the file may be damaged or cut short",
    _native.NothingToDo: "the file holds no track or sample this command can use",
}


class UsageError(Exception):
    """A command line that cannot be run as given (exit status 2)."""


class JobError(Exception):
    """One input that could not be done, with a message naming it."""


def _explain(path: str, exc: ValueError) -> str:
    hint = next((h for kind, h in _HINTS.items() if isinstance(exc, kind)), None)
    return f"{path}: {exc} ({hint})" if hint else f"{path}: {exc}"


def _label(path: str) -> str:
    return "standard input" if path == "-" else path


def _read(path: str) -> bytes:
    try:
        return sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()
    except OSError as exc:
        raise JobError(f"{_label(path)}: cannot read it ({exc.strerror or exc}); check the path and its "
                       f"permissions") from exc


def _exists_message(path: str) -> str:
    return f"{path} exists; give -y to replace it"


def _refuse_existing(path: str, overwrite: bool) -> None:
    """A single output is checked before any work: replacing a file needs -y."""
    if path != "-" and not overwrite and os.path.lexists(path):
        raise UsageError(_exists_message(path))


def _write(path: str, data: bytes, overwrite: bool) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    # Written beside the target and renamed into place, so a failure never
    # leaves half a file under the output's name.
    target = Path(path)
    partial = target.with_name(f".{target.name}.{os.getpid()}.{threading.get_ident()}.part")
    try:
        try:
            with open(partial, "xb") as f:
                f.write(data)
            if not overwrite and os.path.lexists(target):
                raise JobError(_exists_message(path))
            os.replace(partial, target)
        finally:
            with contextlib.suppress(FileNotFoundError):
                partial.unlink()
    except OSError as exc:
        raise JobError(f"cannot write {path} ({exc.strerror or exc}); check that its folder exists and is "
                       f"writable") from exc


def _make_folder(folder: Path) -> None:
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise JobError(f"cannot create the folder {folder} ({exc.strerror or exc})") from exc


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


class _Tally:
    """The files of a batch that failed, each said when it fails and named again at the end."""

    def __init__(self, messages: _Messages, total: int, bar=None) -> None:
        self.messages, self.total, self.bar = messages, total, bar
        self.failed: list[str] = []
        self._lock = threading.Lock()

    def fail(self, source: str, message: str) -> None:
        self.messages.say(f"quaver: {message}")
        with self._lock:
            self.failed.append(source)

    def step(self) -> None:
        if self.bar is not None:
            with self._lock:
                self.bar.update()

    def finish(self, verb: str, noun: str) -> int:
        if self.bar is not None:
            self.bar.close()
        if not self.messages.quiet:
            done = self.total - len(self.failed)
            line = f"quaver: {verb} {done} of {self.total} {noun}{'s' if self.total != 1 else ''}"
            if self.failed:
                names = ", ".join(self.failed[:5]) + (f" and {len(self.failed) - 5} more"
                                                      if len(self.failed) > 5 else "")
                line += f"; {len(self.failed)} failed: {names}"
            self.messages.say(line)
        return 1 if self.failed else 0


def _progress_bar(total: int, quiet: bool):
    if quiet or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    return tqdm(total=total, file=sys.stderr, unit="file", dynamic_ncols=True, leave=True)


# --------------------------------------------------------------------------
# Planning outputs: a constant number of file-system calls per input
# --------------------------------------------------------------------------


class _Job(NamedTuple):
    source: str
    target: str
    exists: bool = False  # the target was there when the batch was planned


def _identity(path: str) -> Optional[tuple[int, int]]:
    """The file behind a path, or None where there is none (one stat call)."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


class _Inputs:
    """The inputs of a batch by the files behind them, so that no output is ever written over one."""

    def __init__(self, inputs: Sequence[str], distinct: bool = True) -> None:
        self.files: dict[tuple[int, int], str] = {}
        for path in inputs:
            try:
                st = os.stat(path)
            except (OSError, ValueError):
                continue  # reported when it is read
            if stat.S_ISDIR(st.st_mode):
                raise UsageError(f"{path} is a directory; give the files in it (for example {path}/*.ts)")
            first = self.files.get((st.st_dev, st.st_ino))
            if first is not None and distinct:
                raise UsageError(f"{path} is given twice; give it once" if first == path else
                                 f"{first} and {path} are the same file; give it once")
            self.files[(st.st_dev, st.st_ino)] = path
        self._folders: dict[Path, str] = {}
        self._targets: dict[str, str] = {}

    def claim(self, source: str, target: Path) -> None:
        """Refuses a second input written to the same target."""
        folder = self._folders.get(target.parent)
        if folder is None:
            folder = self._folders[target.parent] = os.path.realpath(target.parent)
        key = os.path.join(folder, target.name)
        if key in self._targets:
            raise UsageError(f"{self._targets[key]} and {source} would both be written to {target}; "
                             f"rename one of them or convert them separately")
        self._targets[key] = source


def _plan_batch(inputs: Sequence[str], output: Optional[str]) -> list[_Job]:
    if output == "-":
        raise UsageError("standard output takes one result: give one input, or join them with --concat")
    out_dir = Path(output) if output else None
    if out_dir is not None and os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise UsageError(f"{output} is a file; with several inputs -o names a directory")
    known = _Inputs(inputs)
    jobs = []
    for path in inputs:
        src = Path(path)
        folder = out_dir if out_dir is not None else src.parent
        target = folder / (src.stem + ".mp4")
        found = _identity(str(target))
        if found in known.files:
            target = folder / (src.stem + ".remux.mp4")  # never overwrite an input
            found = _identity(str(target))
            if found in known.files:
                raise UsageError(f"{target} is an input too; convert {path} separately with -o")
        known.claim(path, target)
        jobs.append(_Job(path, str(target), found is not None))
    return jobs


# --------------------------------------------------------------------------
# convert
# --------------------------------------------------------------------------


def _is_media_file(path: str) -> bool:
    """An existing file that quaver can take as an input, by its first bytes."""
    try:
        with open(path, "rb") as f:
            head = f.read(_native.SNIFF_LENGTH)
    except OSError:
        return False
    return _native.sniff(head) is not None


def _convert_one(job: _Job, messages: _Messages, overwrite: bool, prefix: str = "") -> None:
    data = _read(job.source)
    try:
        result = api.remux(data, report=messages.report_sink(prefix))
    except ValueError as exc:
        raise JobError(_explain(_label(job.source), exc)) from exc
    del data
    _write(job.target, result, overwrite)


def _convert_batch(jobs: list[_Job], args: argparse.Namespace) -> int:
    for folder in {Path(job.target).parent for job in jobs}:
        _make_folder(folder)
    bar = _progress_bar(len(jobs), args.quiet)
    messages = _Messages(args.quiet, args.verbose, bar)
    tally = _Tally(messages, len(jobs), bar)

    def run(job: _Job) -> None:
        try:
            if job.exists and not args.overwrite:
                raise JobError(f"{job.source}: {_exists_message(job.target)}")
            _convert_one(job, messages, args.overwrite, prefix=f"{job.source}: ")
        except JobError as exc:
            tally.fail(job.source, str(exc))
        finally:
            tally.step()

    workers = max(1, min(args.jobs or os.cpu_count() or 1, len(jobs)))
    with ThreadPoolExecutor(max_workers=workers) as pool:
        list(pool.map(run, jobs))
    return tally.finish("converted", "file")


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
    if target != "-" and _identity(target) in _Inputs([p for p in args.inputs if p != "-"], distinct=False).files:
        raise UsageError(f"the output {target} is one of the inputs; name another with -o")
    _refuse_existing(target, args.overwrite)
    messages = _Messages(args.quiet, args.verbose)
    data = [_read(p) for p in args.inputs]
    _concat_kinds(args.inputs, data)
    joined = b"".join(data)
    del data
    label = f"{args.inputs[0]} .. {args.inputs[-1]}" if len(args.inputs) > 1 else args.inputs[0]
    try:
        result = api.remux(joined, report=messages.report_sink())
    except ValueError as exc:
        raise JobError(_explain(label, exc)) from exc
    _write(target, result, args.overwrite)
    if not args.quiet and target != "-":
        messages.say(f"quaver: joined {len(args.inputs)} inputs into {target}")
    return 0


def _convert(args: argparse.Namespace) -> int:
    inputs = args.inputs
    if args.concat:
        return _convert_concat(args)
    if len(inputs) == 2 and args.output is None and (inputs[0] == "-" or not _is_media_file(inputs[1])):
        # The two-argument form: INPUT OUTPUT. A second argument that is
        # media itself makes a batch of two, each written beside its input.
        source, target = inputs
        if target != "-" and os.path.isdir(target):
            raise UsageError(f"{target} is a directory: give -o {target} to write into it")
        if target != "-" and _identity(target) in _Inputs([source]).files:
            raise UsageError(f"{target} is the input itself; name another output")
        job = _Job(source, target)
    elif len(inputs) == 1 and (args.output is None or not (args.output.endswith(os.sep) or os.path.isdir(args.output))):
        source = inputs[0]
        if source == "-" and args.output is None:
            raise UsageError("standard input needs an output: give -o FILE (or -o - for standard output)")
        if args.output is None:
            job = _plan_batch(inputs, None)[0]
        else:
            job = _Job(source, args.output)
            if args.output != "-" and source != "-" and _identity(args.output) in _Inputs([source]).files:
                raise UsageError(f"{args.output} is the input itself; name another output")
    else:
        if "-" in inputs:
            raise UsageError("standard input ('-') can only be converted on its own")
        return _convert_batch(_plan_batch(inputs, args.output), args)
    _refuse_existing(job.target, args.overwrite)
    _convert_one(job, _Messages(args.quiet, args.verbose), args.overwrite)
    return 0


# --------------------------------------------------------------------------
# merge, thumbnail, live and the exact jobs
# --------------------------------------------------------------------------


def _output_of(args: argparse.Namespace, positional: Optional[str], command: str) -> str:
    if positional is not None and args.output is not None:
        raise UsageError(f"the output is given twice ({positional} and -o {args.output})")
    output = positional if positional is not None else args.output
    if output is None:
        raise UsageError(f"quaver {command} needs an output: give -o FILE (or -o - for standard output)")
    _refuse_existing(output, args.overwrite)
    return output


def _merge(args: argparse.Namespace) -> int:
    output = _output_of(args, args.legacy_output, "merge")
    video, audio = _read(args.video), _read(args.audio)
    try:
        result = _native.merge(video, audio, _label(args.video), _label(args.audio))
    except ValueError as exc:
        raise JobError(_explain(f"{_label(args.video)} + {_label(args.audio)}", exc)) from exc
    _write(output, result, args.overwrite)
    return 0


def _png(annexb: bytes, codec: str) -> bytes:
    try:
        import av
    except ImportError:
        raise UsageError("--png needs PyAV to decode the key frame: pip install av") from None
    with av.open(io.BytesIO(annexb), format=codec) as container:
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
    data = _read(args.input)
    kind = "mp4" if args.mp4 else "ts" if args.ts else None
    try:
        codec, key = _native.key_frame(data, messages.report_sink(), kind)
        result = _png(key, codec) if args.png else key
    except ValueError as exc:
        raise JobError(_explain(_label(args.input), exc)) from exc
    _write(output, result, args.overwrite)
    return 0


def _exact(function: Callable[[bytes], bytes]) -> Callable[[argparse.Namespace], int]:
    def run(args: argparse.Namespace) -> int:
        _refuse_existing(args.output, args.overwrite)
        data = _read(args.input)
        try:
            result = function(data)
        except ValueError as exc:
            raise JobError(_explain(_label(args.input), exc)) from exc
        _write(args.output, result, args.overwrite)
        return 0
    return run


def _live(args: argparse.Namespace) -> int:
    # Segments of one live stream, rebased together: from one origin in
    # seconds with the initialisation segment, else from the first decode
    # time seen. Each is written under OUT_DIR with its own name.
    out_dir = Path(args.output)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise UsageError(f"{args.output} is a file; live writes each segment into a directory")
    known = _Inputs([s for s in args.segments if s != "-"])
    jobs = []
    for segment in args.segments:
        target = out_dir / Path(segment).name
        if _identity(str(target)) in known.files:
            raise UsageError(f"{target} is an input; write the segments into another directory")
        known.claim(segment, target)
        jobs.append(_Job(segment, str(target), os.path.lexists(target)))
    processor = LiveProcessor()
    if args.init is not None:
        init = _read(args.init)
        try:
            processor.set_init_segment(init)
        except ValueError as exc:
            raise JobError(_explain(_label(args.init), exc)) from exc
    _make_folder(out_dir)
    messages = _Messages(args.quiet, args.verbose)
    tally = _Tally(messages, len(jobs))
    for job in jobs:
        try:
            data = _read(job.source)
            try:
                # Processed even when its output is kept, so that the later
                # segments are rebased as they would have been.
                result = processor.process_segment(data)
            except ValueError as exc:
                raise JobError(_explain(_label(job.source), exc)) from exc
            if job.exists and not args.overwrite:
                raise JobError(f"{job.source}: {_exists_message(job.target)}")
            _write(job.target, result, args.overwrite)
        except JobError as exc:
            tally.fail(job.source, str(exc))
    return tally.finish("rebased", "segment")


# --------------------------------------------------------------------------
# The parser
# --------------------------------------------------------------------------

_EXACT = {
    "defragment": ("fragmented MP4 to a regular MP4 (exactly defragment_mp4)", _native.defragment_mp4),
    "reset": ("rebase an MP4 so that every track starts at decode time 0", _native.reset_mp4_timestamps),
    "normalize": ("unfold a fragmented MP4, or rebase a regular one", _native.convert_mp4_reset_timestamps),
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quaver", description="Remux MPEG-TS and MP4 files: give it files, it works out what they are.",
        epilog="'quaver IN...' is short for 'quaver convert IN...'. Run 'quaver COMMAND -h' for a command's options.")
    parser.add_argument("--version", action="version", version=f"quaver {__version__}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true", help="write the report lines to standard error")
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    common.add_argument("-y", "--overwrite", action="store_true", help="replace output files that exist")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("convert", parents=[common], help="each input to a regular MP4, chosen by its content",
                       description="Convert each input (MPEG-TS with H.264 or HEVC and AAC, AC-3, E-AC-3 or "
                                   "MPEG audio; fragmented or regular MP4) to a regular MP4. 'convert IN OUT' "
                                   "converts one file to OUT, unless OUT is a TS or MP4 itself: then both are "
                                   "converted, each beside itself.")
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
        p.set_defaults(run=_exact(function))

    live = sub.add_parser("live", parents=[common], help="rebase live fMP4 segments so the stream starts at 0",
                          description="Rebase consecutive live fMP4 segments; each is written under OUTPUT "
                                      "with its own file name. With --init, every track is rebased from one "
                                      "origin in seconds; without it, the first decode time seen is subtracted "
                                      "from every track as it is.")
    live.add_argument("output", help="output directory")
    live.add_argument("segments", nargs="+", help="media segments, in stream order")
    live.add_argument("--init", metavar="FILE", help="the stream's initialisation segment (its moov), which "
                                                     "gives each track's timescale")
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
