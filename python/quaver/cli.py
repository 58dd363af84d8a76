"""The ``quaver`` command line: give it files, it works out what they are.

``quaver convert IN... [-o OUT]`` turns each input into a regular MP4 by its
content (or, with ``--concat``, all of them into one), ``quaver merge`` joins
a video fMP4 and an audio fMP4, ``quaver thumbnail`` takes the first key
frame, ``quaver probe`` says what quaver sees in a file. Results go to files
(or to standard output for ``-``), messages, warnings about streams left
out and, with ``-v``, report lines to standard error. An existing file is
replaced only with ``-y``. Exit status: 0 when everything was done, 1 when
any input failed or gave nothing to write (or, with ``--strict``, left a
stream out), 2 for a command line that cannot be run.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import io
import itertools
import json
import os
import stat
import sys
import threading
from pathlib import Path
from typing import Callable, Iterator, NamedTuple, Optional, Sequence, Union

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
    folder, name = os.path.split(path)
    partial = os.path.join(folder, f".{name}.{os.getpid()}.{threading.get_ident()}.part")
    try:
        try:
            with open(partial, "xb") as f:
                f.write(data)
            if not overwrite and os.path.lexists(path):
                raise JobError(_exists_message(path))
            os.replace(partial, path)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(partial)
            raise
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


class _JobReport:
    """One conversion's report lines, held until its file's turn: what it leaves out is always a warning, the
    rest shows with -v."""

    _LEFT_OUT = "left out: "

    def __init__(self, messages: _Messages, label: str, prefix: str = "") -> None:
        self.messages, self.label, self.prefix = messages, label, prefix
        self.lines: list[str] = []

    def __call__(self, line: str) -> None:
        self.lines.append(line)

    def outcome(self, result: Union[bytes, BaseException], strict: bool) -> bytes:
        """Says the lines, then gives the result, or the JobError for a failure or for what --strict refuses."""
        left_out = False
        for line in self.lines:
            if line.startswith(self._LEFT_OUT):
                left_out = True
                self.messages.say(f"quaver: warning: {self.label}: {line}")
            elif self.messages.verbose:
                self.messages.say(f"{self.prefix}{line}")
        if isinstance(result, ValueError):
            raise JobError(_explain(self.label, result)) from result
        if isinstance(result, BaseException):
            raise result  # not a refusal of the input: it ends the command, as it would alone
        if strict and left_out:
            raise JobError(f"{self.label}: --strict refuses a result that leaves out what the warnings above "
                           f"name; choose the streams with --video/--audio, or convert without --strict")
        return result


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
    # The inputs of a batch whose target quaver named: an audio-only result
    # is then named .m4a, never over one of them. None when the user named it.
    inputs: Optional["_Inputs"] = None
    size: int = 0  # of the input, when the batch was planned


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
        self.sizes: dict[str, int] = {}
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
            self.sizes[path] = st.st_size
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
        jobs.append(_Job(path, str(target), found is not None, known, known.sizes.get(path, 0)))
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


def _final_target(job: _Job, has_video: bool) -> tuple[str, bool]:
    """Where a result goes, and whether that file was there: a result without
    video gets .m4a where quaver chose the name."""
    if job.inputs is None or has_video:
        return job.target, job.exists
    planned = Path(job.target)
    target = planned.with_suffix(".m4a")
    if _identity(str(target)) in job.inputs.files:
        target = planned.with_name(Path(job.source).stem + ".remux.m4a")  # never overwrite an input
        if _identity(str(target)) in job.inputs.files:
            raise JobError(f"{target} is an input too; convert {job.source} separately with -o")
    return str(target), os.path.lexists(target)


def _remux(data: bytes, args: argparse.Namespace, report: _JobReport) -> bytes:
    try:
        result = api.remux(data, report=report, video=args.video, audio=args.audio)
    except ValueError as exc:
        result = exc
    return report.outcome(result, args.strict)


def _place(job: _Job, has_video: bool, args: argparse.Namespace, single: bool) -> str:
    """The final name of a result, refusing an existing file without -y."""
    target, exists = _final_target(job, has_video)
    if exists and not args.overwrite:
        if single:
            raise UsageError(_exists_message(target))
        raise JobError(f"{job.source}: {_exists_message(target)}")
    return target


def _save(job: _Job, result: bytes, args: argparse.Namespace, single: bool = False) -> None:
    _write(_place(job, _native.has_video(result), args, single), result, args.overwrite)


class _ByteProgress:
    """A bar of the bytes of one large file converted file to file, on a terminal: how much of the result has
    been written, in proportion to the input's size, read from the page cache every fifth of a second."""

    def __init__(self, size: int) -> None:
        from tqdm import tqdm

        self.size = size
        self.bar = tqdm(total=size, file=sys.stderr, unit="B", unit_scale=True, dynamic_ncols=True, leave=True)
        self._done = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def watch(self, fd: int) -> None:
        self._thread = threading.Thread(target=self._poll, args=(fd,), daemon=True)
        self._thread.start()

    def _poll(self, fd: int) -> None:
        while not self._done.wait(0.2):
            written = os.fstat(fd).st_size  # 0 until the result's size is known
            if written:
                self._advance(self.size * min(_native.cached_bytes(fd), written) // written)

    def _advance(self, n: int) -> None:
        if n > self.bar.n:
            self.bar.update(n - self.bar.n)

    def stop(self) -> None:
        """Ends the polling before the file it watches is closed, and the bar with it."""
        self._done.set()
        if self._thread is not None:
            self._thread.join()
        self._advance(self.size)
        self.bar.close()


def _convert_file(job: _Job, messages: _Messages, args: argparse.Namespace, prefix: str, single: bool,
                  progress: Optional[_ByteProgress]) -> None:
    """A file into a file, holding neither in memory: the input is mapped and the result written in pieces,
    beside its target and renamed into place once its name is known."""
    report = _JobReport(messages, _label(job.source), prefix)
    video, audio = api._request(args.video, args.audio)

    def convert(source: int, out: int) -> bool:
        try:
            try:
                result = _native.remux_file(source, out, report, video, audio)
            finally:
                if progress is not None:
                    progress.stop()
        except ValueError as exc:
            result = exc
        return report.outcome(result, args.strict)

    try:
        api.into_file(job.source, job.target, convert, lambda has_video: _place(job, has_video, args, single),
                      progress.watch if progress is not None else None)
    except OSError as exc:
        if exc.filename == job.source:
            raise JobError(f"{job.source}: cannot read it ({exc.strerror or exc}); check the path and its "
                           f"permissions") from exc
        raise JobError(f"cannot write {job.target} ({exc.strerror or exc}); check that its folder exists and is "
                       f"writable") from exc


def _convert_one(job: _Job, messages: _Messages, args: argparse.Namespace, prefix: str = "",
                 single: bool = False) -> None:
    if job.source != "-" and job.target != "-":
        progress = None
        if single and not args.quiet and sys.stderr.isatty():
            size = _size_of(job.source)
            progress = _ByteProgress(size) if size > _POOL_LIMIT else None
        _convert_file(job, messages, args, prefix, single, progress)
        return
    data = _read(job.source)
    result = _remux(data, args, _JobReport(messages, _label(job.source), prefix))
    del data
    _save(job, result, args, single)


def _size_of(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


# A batch's files up to this size are converted on the pool, which holds two
# per worker in memory; a larger one is converted on its own, in its turn.
_POOL_LIMIT = 64 * 1024 * 1024


def _convert_large(job: _Job, messages: _Messages, args: argparse.Namespace) -> None:
    """A file of a batch over _POOL_LIMIT, converted outside the pool while the pool goes on with the next ones."""
    _convert_one(job, messages, args, prefix=f"{job.source}: ")


def _convert_batch(jobs: list[_Job], args: argparse.Namespace) -> int:
    for folder in {Path(job.target).parent for job in jobs}:
        _make_folder(folder)
    bar = _progress_bar(len(jobs), args.quiet)
    messages = _Messages(args.quiet, args.verbose, bar)
    tally = _Tally(messages, len(jobs), bar)
    # The pool converts while this thread reads the files ahead of it (at most
    # two per worker in memory) and, as the results come back in input order,
    # says each file's messages and writes its result. Files the pool does not
    # convert wait in `turns`, each with what to do in its turn: the error
    # that stopped its read, or None for a large file, converted on its own.
    turns: collections.deque[tuple[_Job, Union[_JobReport, JobError, None]]] = collections.deque()
    reports: dict[int, _JobReport] = {}  # by the pool's index
    pooled = itertools.count()

    def read_for_the_pool() -> Iterator[bytes]:
        for job in jobs:
            if job.size > _POOL_LIMIT:
                turns.append((job, None))
                continue
            try:
                data = _read(job.source)
            except JobError as exc:
                turns.append((job, exc))
                continue
            report = reports[next(pooled)] = _JobReport(messages, job.source, f"{job.source}: ")
            turns.append((job, report))
            yield data

    def settle(job: _Job, work: Callable[[], None]) -> None:
        try:
            work()
        except JobError as exc:
            tally.fail(job.source, str(exc))
        tally.step()

    def settle_turns_before_the_pool() -> None:
        while turns and not isinstance(turns[0][1], _JobReport):
            job, unread = turns.popleft()
            if unread is None:
                settle(job, lambda: _convert_large(job, messages, args))
            else:
                tally.fail(job.source, str(unread))
                tally.step()

    workers = max(1, min(args.jobs or api.usable_cores(), len(jobs)))
    results = api.remux_iter(read_for_the_pool(), workers=workers, report=lambda i, line: reports[i](line),
                             video=args.video, audio=args.audio)
    for index, result in enumerate(results):
        settle_turns_before_the_pool()
        job, report = turns.popleft()
        del reports[index]
        settle(job, lambda: _save(job, report.outcome(result, args.strict), args))
    settle_turns_before_the_pool()
    return tally.finish("converted", "file")


def _concat_kinds(paths: Sequence[str], data: Sequence[bytes]) -> str:
    """Refuses inputs that cannot be joined into one stream, naming the first offender; their kind."""
    kinds = []
    for path, blob in zip(paths, data):
        try:
            kinds.append(_native.detect_format(blob))
        except ValueError as exc:
            raise JobError(_explain(path, exc)) from exc
    if all(k == "ts" for k in kinds):
        return "ts"
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
    return "fmp4"


def _stream_facts(path: str, blob: bytes, args: argparse.Namespace) -> list[tuple[str, str, dict]]:
    """The tracks a conversion of one input keeps: (kind, what, parameters) each."""
    try:
        tracks = api.probe(blob, video=args.video, audio=args.audio)["tracks"]
    except ValueError as exc:
        raise JobError(_explain(path, exc)) from exc
    facts = []
    for t in tracks:
        if not t["kept"]:
            continue
        if t["kind"] == "video":
            what = f"{t['codec']} {t.get('width')}x{t.get('height')}"
            facts.append(("video", what, {"parameter sets": t.get("parameter_sets")}))
        elif t["kind"] == "audio":
            what = f"{t['codec']} {t.get('sample_rate')} Hz, {t.get('channels')} channels"
            facts.append(("audio", what, {}))
    return facts


def _concat_streams(paths: Sequence[str], data: Sequence[bytes], args: argparse.Namespace) -> None:
    """Refuses transport streams whose chosen tracks differ in codec or its parameters, naming the first
    input that differs from the first one."""
    first = _stream_facts(paths[0], data[0], args)
    for path, blob in zip(paths[1:], data[1:]):
        facts = _stream_facts(path, blob, args)
        if facts == first:
            continue
        if [f[0] for f in facts] != [f[0] for f in first]:
            difference = (f"it has {', '.join(f[0] for f in facts) or 'no video or audio'} where "
                          f"{paths[0]} has {', '.join(f[0] for f in first) or 'no video or audio'}")
        else:
            ours, theirs = next((a, b) for a, b in zip(facts, first) if a != b)
            difference = (f"its {ours[0]} is {ours[1]}, not {theirs[1]}" if ours[1] != theirs[1] else
                          f"its {ours[0]} has other {', '.join(k for k in ours[2] if ours[2][k] != theirs[2][k])}")
        raise JobError(f"{path} does not continue the stream of {paths[0]}: {difference}; --concat joins "
                       f"pieces of one stream (give --force to join them anyway)")


def _convert_concat(args: argparse.Namespace) -> int:
    named = args.output is not None
    target = args.output or str(Path(args.inputs[0]).with_suffix(".mp4"))
    inputs = _Inputs([p for p in args.inputs if p != "-"], distinct=False)
    if target != "-" and _identity(target) in inputs.files:
        raise UsageError(f"the output {target} is one of the inputs; name another with -o")
    if named:
        _refuse_existing(target, args.overwrite)
    messages = _Messages(args.quiet, args.verbose)
    data = [_read(p) for p in args.inputs]
    if _concat_kinds(args.inputs, data) == "ts" and not args.force:
        _concat_streams(args.inputs, data, args)
    joined = b"".join(data)
    del data
    label = f"{args.inputs[0]} .. {args.inputs[-1]}" if len(args.inputs) > 1 else args.inputs[0]
    result = _remux(joined, args, _JobReport(messages, label))
    job = _Job(args.inputs[0], target, target != "-" and os.path.lexists(target), None if named else inputs)
    target, exists = _final_target(job, _native.has_video(result))
    if exists and not args.overwrite:
        raise UsageError(_exists_message(target))
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
            # Named by quaver: whether its file exists is known once the result says .mp4 or .m4a.
            _convert_one(_plan_batch(inputs, None)[0], _Messages(args.quiet, args.verbose), args, single=True)
            return 0
        job = _Job(source, args.output)
        if args.output != "-" and source != "-" and _identity(args.output) in _Inputs([source]).files:
            raise UsageError(f"{args.output} is the input itself; name another output")
    else:
        if "-" in inputs:
            raise UsageError("standard input ('-') can only be converted on its own")
        return _convert_batch(_plan_batch(inputs, args.output), args)
    _refuse_existing(job.target, args.overwrite)
    _convert_one(job, _Messages(args.quiet, args.verbose), args, single=True)
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
    # A raw MPEG-2 video stream is read by the demuxer ffmpeg names after MPEG video in general.
    with av.open(io.BytesIO(annexb), format="mpegvideo" if codec == "mpeg2video" else codec) as container:
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


def _probe(args: argparse.Namespace) -> int:
    data = _read(args.input)
    try:
        facts = api.probe(data, video=args.video, audio=args.audio)
    except ValueError as exc:
        raise JobError(_explain(_label(args.input), exc)) from exc
    print(json.dumps(facts, indent=2))
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


def _stream_id(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a PID or track ID") from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"{text} is not a PID or track ID")
    return value


def _audio_id(text: str):
    return "none" if text == "none" else _stream_id(text)


def _add_stream_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--video", type=_stream_id, metavar="ID",
                   help="the video stream to keep: a TS PID or an MP4 track ID (default: the first "
                        "programme's video; an MP4 keeps every track)")
    p.add_argument("--audio", type=_audio_id, action="append", metavar="ID",
                   help="an audio stream to keep, by PID or track ID, or 'none'; give it again to keep "
                        "several, each its own track (the first is the default one)")


def _streams_asked(args: argparse.Namespace) -> None:
    """--audio none stands alone; several IDs are kept in the order given."""
    audio = getattr(args, "audio", None)
    if audio and "none" in audio:
        if len(audio) > 1:
            raise UsageError("--audio none keeps no audio: give it alone, or name the audio streams to keep")
        args.audio = "none"


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
                       description="Convert each input (MPEG-TS or M2TS with H.264, HEVC or MPEG-2 video and "
                                   "AAC, LATM AAC, AC-3, E-AC-3, MPEG audio or Opus; fragmented or regular MP4) "
                                   "to a regular MP4 (.m4a, "
                                   "where quaver names it, for a result without video). 'convert IN OUT' "
                                   "converts one file to OUT, unless OUT is a TS or MP4 itself: then both are "
                                   "converted, each beside itself. Streams left out are named on standard error.")
    p.add_argument("inputs", nargs="+", metavar="IN", help="input files ('-' for standard input)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output directory (default: beside each input, named .mp4); the output file with "
                        "--concat or a single input ('-' for standard output)")
    p.add_argument("--concat", action="store_true",
                   help="join the inputs, in the order given, into one MP4: TS segments of one stream, or an "
                        "fMP4 initialisation segment followed by its media segments")
    p.add_argument("-j", "--jobs", type=int, metavar="N", help="files converted at once (default: the cores "
                                                               "quaver may use)")
    p.add_argument("--reset-timestamps", action="store_true", help="accepted for old scripts; the output "
                                                                   "always starts at 0")
    _add_stream_options(p)
    p.add_argument("--strict", action="store_true",
                   help="fail a file whose result would leave a video or audio stream out (another "
                        "programme, a second audio track, a codec quaver does not carry)")
    p.add_argument("--force", action="store_true",
                   help="with --concat, join transport streams even when their streams differ in codec or "
                        "codec parameters")
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
                       description="Write the first key frame of a TS or MP4 as Annex B (H.264 or HEVC) or as "
                                   "an MPEG-2 video elementary stream, or as a PNG picture with --png.")
    p.add_argument("input", help="input file ('-' for standard input)")
    p.add_argument("legacy_output", nargs="?", metavar="OUT", help=argparse.SUPPRESS)
    p.add_argument("-o", "--output", metavar="OUT", help="output file ('-' for standard output)")
    p.add_argument("--png", action="store_true", help="decode the key frame into a PNG picture (needs PyAV)")
    kind = p.add_mutually_exclusive_group()
    kind.add_argument("--mp4", action="store_true", help="treat the input as an MP4 instead of detecting it")
    kind.add_argument("--ts", action="store_true", help="treat the input as a transport stream")
    p.set_defaults(run=_thumbnail)

    p = sub.add_parser("probe", help="what quaver sees in a file, as JSON",
                       description="Print, as JSON, what quaver sees in a file: its container, its programmes "
                                   "and tracks, and which of them a conversion keeps (and why not).")
    p.add_argument("input", help="input file ('-' for standard input)")
    _add_stream_options(p)
    p.set_defaults(run=_probe)

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
        _streams_asked(args)
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
