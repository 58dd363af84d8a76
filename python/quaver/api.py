"""The Pythonic entry points: the job chosen from the input, quiet by default."""

from __future__ import annotations

import contextlib
import errno
import json
import operator
import os
import threading
from typing import Any, Callable, Dict, Iterable, Iterator, List, Literal, Optional, Protocol, Tuple, Union, overload

from quaver import _native


class TextSink(Protocol):
    """Anything with a ``write(str)`` method: an open text file, ``sys.stderr``, ``io.StringIO``."""

    def write(self, text: str, /) -> object: ...


#: Where report lines go: ``None`` (nowhere), a callable given each line
#: (without its newline), or a writable text file (one line per line).
Report = Union[None, Callable[[str], object], TextSink]

BytesLike = Union[bytes, bytearray, memoryview]

#: Audio streams to keep: ``None`` (the default choice), ``"none"``, one
#: PID or track ID, or several (each kept as its own track).
AudioChoice = Union[None, Literal["none"], int, Iterable[int]]


def _as_bytes(data: BytesLike, name: str) -> bytes:
    # The core reads its input in place with the interpreter lock released,
    # so a mutable buffer is copied first; bytes are taken as they are.
    if type(data) is bytes:
        return data
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError(f"{name} must be bytes-like, not {type(data).__name__}") from None


def _sink(report: Report) -> Optional[Callable[[str], object]]:
    if report is None or callable(report):
        return report
    write = getattr(report, "write", None)
    if not callable(write):
        raise TypeError(f"report must be None, a callable or a writable text file, not {type(report).__name__}")
    return lambda line: write(line + "\n")


def _id(value: object, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a PID or track ID (an int), not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be a PID or track ID (an int), not {type(value).__name__}") from None


def _request(video: Optional[int], audio: AudioChoice) -> Tuple[Optional[int], Optional[Tuple[int, ...]]]:
    """The streams asked for, as the native layer takes them."""
    chosen_video = None if video is None else _id(video, "video")
    if audio is None:
        return chosen_video, None
    if isinstance(audio, str):
        if audio != "none":
            raise ValueError(f"audio must be 'none', a PID or track ID, or several of them, not {audio!r}")
        return chosen_video, ()
    if isinstance(audio, int):
        return chosen_video, (_id(audio, "audio"),)
    return chosen_video, tuple(_id(a, "audio") for a in audio)


PathLike = Union[str, "os.PathLike[str]"]


@overload
def remux(src: Union[BytesLike, PathLike], dst: None = ..., *, overwrite: bool = ..., report: Report = ...,
          video: Optional[int] = ..., audio: AudioChoice = ...) -> bytes: ...
@overload
def remux(src: Union[BytesLike, PathLike], dst: PathLike, *, overwrite: bool = ..., report: Report = ...,
          video: Optional[int] = ..., audio: AudioChoice = ...) -> None: ...
def remux(src, dst=None, *, overwrite=False, report=None, video=None, audio=None):
    """Convert any supported input to a regular MP4 and return its bytes.

    The job is chosen from the content: an MPEG transport stream (188-byte
    packets, or M2TS's 192) is converted, a fragmented MP4 is unfolded, and
    a regular MP4 is returned with its timeline rebased to start at 0.

    A transport stream may start behind junk (up to 64 KiB of it, such as
    the tail of a packet cut by a capture, or padding): it is read from its
    first packet. Its first programme with video quaver carries is taken
    (scrambled ones passed over); a stream without such video (a radio
    service, an HLS audio rendition) gives an audio-only MP4.

    Args:
        src: the whole input as bytes, or the path of the input file. A
            file is read through a map of it rather than into memory.
        dst: where to write the result: a path, or ``None`` to return
            it as bytes. A result written to a file is written straight
            into it (beside the target, renamed into place when done, so a
            failure or an interrupt leaves nothing under that name), and
            the call returns ``None``: with a path on both sides, neither
            the input nor the result is held in memory.
        overwrite: whether an existing ``dst`` may be replaced; without it
            an existing file is refused with ``FileExistsError`` before any
            work.
        report: where the transport-stream demultiplexer's report lines go
            (PIDs found, frame counts, timestamp ranges, and one
            ``"left out: ..."`` line for each video or audio stream or
            programme the result does not carry): ``None`` for nowhere, a
            callable given each line as ``str``, or a writable text file.
            Lines are delivered once the conversion is done, from the
            calling thread, so several threads may convert at once, each
            with its own sink.
        video: the video stream to keep, by PID (transport stream) or track
            ID (MP4). By default, as described above; an MP4 keeps all.
        audio: the audio streams to keep: ``"none"``, one PID or track ID,
            or several, each kept as its own track (the first is the
            default track, the others alternatives a player may switch
            to). By default the programme's first AAC, else AC-3, else
            E-AC-3, else MPEG audio stream; an MP4 keeps all.

    Raises:
        UnsupportedInput: the input is not a transport stream or an MP4 (the
            message says what it looks like), a media segment without
            its initialisation segment, every programme with video is
            scrambled, or a stream asked for is scrambled or of a codec
            quaver does not carry.
        DamagedInput: the input contradicts itself or is cut short.
        NothingToDo: no video or audio in a transport stream, no sample at
            all (an empty result is refused rather than returned), or no
            stream of the kind asked for with that PID or track ID;
            also when the input file changes while it is being read.
        OSError: a file cannot be opened, read or written (``dst``
            exists, without ``overwrite``: ``FileExistsError``).
    """
    chosen_video, chosen_audio = _request(video, audio)
    sink = _sink(report)
    if dst is None and not isinstance(src, (str, os.PathLike)):
        return _native.remux(_as_bytes(src, "data"), sink, chosen_video, chosen_audio)
    convert = lambda source, out: _native.remux_file(source, out, sink, chosen_video, chosen_audio)  # noqa: E731
    if dst is None:
        with _opened(src) as source:
            return convert(source, None)
    target = os.fspath(dst)
    if not isinstance(target, str):
        raise TypeError(f"dst must be a str or os.PathLike path, not {type(dst).__name__}")

    def place(_has_video: bool) -> str:
        if not overwrite and os.path.lexists(target):
            raise FileExistsError(errno.EEXIST, "the output exists; give overwrite=True to replace it", target)
        return target

    place(False)  # refused before any work
    into_file(src, target, convert, place)
    return None


@contextlib.contextmanager
def _opened(src) -> Iterator[Union[bytes, int]]:
    """The input as remux_file takes it: bytes, or the descriptor of the file at a path, open for the call."""
    if not isinstance(src, (str, os.PathLike)):
        yield _as_bytes(src, "src")
        return
    with open(src, "rb") as f:
        yield f.fileno()


def into_file(src, near: str, convert: Callable[[Union[bytes, int], int], Any], place: Callable[[Any], str],
              written: Optional[Callable[[int], None]] = None) -> str:
    """Runs convert(input, out_fd) into a new file beside `near`, then renames it to place(what convert returned).

    The input is opened here when it is a path. written(out_fd) is told the file being written, before the
    conversion starts. Any failure, in the conversion or in place(), and any interrupt remove the new file, so
    nothing is ever left under a partial name or half written under the final one. Returns the final path.
    """
    folder, name = os.path.split(near)
    partial = os.path.join(folder, f".{name}.{os.getpid()}.{threading.get_ident()}.part")
    with _opened(src) as source, open(partial, "x+b") as out:  # read and write: it is mapped for writing
        try:
            if written is not None:
                written(out.fileno())
            returned = convert(source, out.fileno())
            out.close()
            target = place(returned)
            os.replace(partial, target)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(partial)
            raise
    return target


def probe(data: BytesLike, *, video: Optional[int] = None, audio: AudioChoice = None) -> Dict[str, Any]:
    """Describe what quaver sees in an input, as a JSON-ready ``dict``.

    The same parsers and the same choice of streams as :func:`remux` read
    the input (``video`` and ``audio`` as there), so ``kept`` says what a
    remux would keep. The keys: ``container`` (``"mpegts"``, ``"m2ts"``,
    ``"mp4"``, ``"fragmented-mp4"`` or ``"media-segment"``), ``duration``
    (seconds, the longest track kept), ``programs`` (transport streams:
    ``number``, ``pmt_pid``, ``mapped``, ``scrambled``, ``kept``) and
    ``tracks``, each with ``pid`` and ``program`` (transport streams) or
    ``track_id`` (MP4), ``kind`` (``"video"``, ``"audio"`` or
    ``"other"``), ``codec``, and where they apply ``width``, ``height``,
    ``frame_rate``, ``sample_rate``, ``channels``, ``language``,
    ``duration``, ``samples``, ``key_frames``, the video's
    ``parameter_sets`` (hex, transport streams), ``kept``, and ``why`` a
    track is not kept. A transport stream's tracks that are neither kept
    nor readable as audio give their codec only.

    Raises:
        the errors of :func:`remux` about the input and the streams asked for.
    """
    chosen_video, chosen_audio = _request(video, audio)
    return json.loads(_native.probe(_as_bytes(data, "data"), chosen_video, chosen_audio))


def thumbnail(data: BytesLike, *, report: Report = None) -> bytes:
    """Return the first key frame of a transport stream or an MP4 as Annex B (H.264 or HEVC).

    MPEG-2 video gives the elementary stream of its first I picture instead,
    the sequence header in front.

    The format is detected from the content (a transport stream behind
    junk too, as for :func:`remux`); a fragmented MP4 gives the first video
    sample of the first fragment that holds one. The result starts with the
    stream's parameter sets, so a decoder (or ``quaver thumbnail --png``)
    can turn it into a picture on its own.
    ``report`` is as for :func:`remux`.

    Raises:
        UnsupportedInput: the input is not a transport stream or an MP4.
        DamagedInput: the boxes that lead to the key frame cannot be read.
        NothingToDo: no video track, or no key frame in it.
    """
    return _native.thumbnail(_as_bytes(data, "data"), _sink(report))


def merge(video: BytesLike, audio: BytesLike) -> bytes:
    """Merge a video fragmented MP4 and an audio fragmented MP4 into one regular MP4.

    As ``mux_fmp4_tracks``, except that an audio track whose ID the video
    input already uses (ffmpeg's DASH output numbers every file's track 1)
    gets the next free ID, and the movie header's next track ID is set past
    every ID written. Inputs with distinct track IDs give exactly the bytes
    of ``mux_fmp4_tracks``.

    Raises:
        UnsupportedInput: an input is not a fragmented MP4 with a ``moov``
            (a transport stream, a regular MP4, an initialisation segment
            alone); the message says which and what it is.
        NothingToDo: the video input holds no video samples, or the audio
            input no audio samples.
        DamagedInput: an input contradicts itself, or a track ID repeats
            within one input.
    """
    return _native.merge(_as_bytes(video, "video"), _as_bytes(audio, "audio"))


# ---- batches: many inputs at once on a pool of threads -------------------------

#: Where a batch's report lines go: ``None`` (nowhere), a callable given the
#: input's index and each line, or a writable text file (one line per line).
BatchReport = Union[None, Callable[[int, str], object], TextSink]

Errors = Literal["return", "raise"]


def usable_cores() -> int:
    """The number of cores this process may run on: its CPU affinity where the system has one."""
    if hasattr(os, "process_cpu_count"):  # Python 3.13
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def _each_as_bytes(inputs: Iterable[BytesLike]) -> Iterator[bytes]:
    for index, data in enumerate(inputs):
        yield data if type(data) is bytes else _as_bytes(data, f"inputs[{index}]")


def _batch(start, inputs: Iterable[BytesLike], workers: Optional[int], report: BatchReport, errors: str,
           whole: bool, **streams) -> Iterator:
    if errors not in ("return", "raise"):
        raise ValueError(f"errors must be 'return' or 'raise', not {errors!r}")
    workers = usable_cores() if workers is None else operator.index(workers)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if report is None or callable(report):
        sink = report
    else:
        line_sink = _sink(report)
        sink = lambda index, line: line_sink(line)  # noqa: E731
    # Inputs the caller holds in a list anyway may all be in flight at once,
    # so that one slow input never idles the other workers; a lazy source
    # keeps at most two inputs per worker in memory.
    if whole and hasattr(inputs, "__len__"):
        window = max(len(inputs), 1)  # type: ignore[arg-type]
    else:
        window = 2 * workers
    if not (type(inputs) in (list, tuple) and all(type(data) is bytes for data in inputs)):
        inputs = _each_as_bytes(inputs)  # copied or refused one by one, as the batch reaches them
    return start(inputs, workers, window, sink, errors == "raise", **streams)


@overload
def remux_many(inputs: Iterable[BytesLike], *, workers: Optional[int] = ..., report: BatchReport = ...,
               errors: Literal["raise"], video: Optional[int] = ..., audio: AudioChoice = ...) -> List[bytes]: ...
@overload
def remux_many(inputs: Iterable[BytesLike], *, workers: Optional[int] = ..., report: BatchReport = ...,
               errors: Literal["return"] = ..., video: Optional[int] = ...,
               audio: AudioChoice = ...) -> List[Union[bytes, Exception]]: ...
def remux_many(inputs, *, workers=None, report=None, errors="return", video=None, audio=None):
    """:func:`remux` on every input, converted on ``workers`` threads at once; the results in input order.

    Each input is converted exactly as :func:`remux` converts it alone, to
    the same bytes and the same report lines. The interpreter lock is
    released for the whole batch, apart from making each result object, so
    a batch of small inputs uses every core where a thread pool calling
    :func:`remux` would not.

    Args:
        inputs: any iterable of bytes-like objects (one whole input each).
        workers: how many conversions run at once (the calling thread is
            one of them); by default the number of cores this process may
            use.
        report: ``None``, a callable given ``(index, line)`` for each report
            line, or a writable text file. It is called from the calling
            thread, each input's lines together and in input order.
        errors: ``"return"`` puts the exception an input raised in that
            input's place in the list; ``"raise"`` raises the failure of
            the input with the lowest index, once every conversion already
            running has finished.
        video, audio: the streams to keep in every input, as for
            :func:`remux`.

    Raises:
        ValueError: (with ``errors="raise"``) as :func:`remux`.
        TypeError: an item of ``inputs`` is not bytes-like.
        KeyboardInterrupt: (or whatever a signal handler raises) the batch
            stops: no more inputs start, the running ones finish, and the
            exception propagates.
    """
    chosen_video, chosen_audio = _request(video, audio)
    return list(_batch(_native.remux_batch, inputs, workers, report, errors, whole=True, video=chosen_video,
                       audio=chosen_audio))


@overload
def thumbnail_many(inputs: Iterable[BytesLike], *, workers: Optional[int] = ..., report: BatchReport = ...,
                   errors: Literal["raise"]) -> List[bytes]: ...
@overload
def thumbnail_many(inputs: Iterable[BytesLike], *, workers: Optional[int] = ..., report: BatchReport = ...,
                   errors: Literal["return"] = ...) -> List[Union[bytes, Exception]]: ...
def thumbnail_many(inputs, *, workers=None, report=None, errors="return"):
    """:func:`thumbnail` on every input, as :func:`remux_many` runs :func:`remux`."""
    return list(_batch(_native.thumbnail_batch, inputs, workers, report, errors, whole=True))


def remux_iter(inputs: Iterable[BytesLike], *, workers: Optional[int] = None, report: BatchReport = None,
               errors: Errors = "return", video: Optional[int] = None,
               audio: AudioChoice = None) -> Iterator[Union[bytes, Exception]]:
    """:func:`remux_many` as an iterator, for batches too large to hold in memory at once.

    ``inputs`` is read as the workers need it, at most two inputs per worker
    ahead of the result last yielded, and each result is yielded in input
    order as soon as it and those before it are done. With
    ``errors="raise"`` the first failure is raised in its place and ends
    the iteration. Dropping the iterator early stops the batch, once the
    running conversions have finished.
    """
    chosen_video, chosen_audio = _request(video, audio)
    return _batch(_native.remux_batch, inputs, workers, report, errors, whole=False, video=chosen_video,
                  audio=chosen_audio)


def thumbnail_iter(inputs: Iterable[BytesLike], *, workers: Optional[int] = None, report: BatchReport = None,
                   errors: Errors = "return") -> Iterator[Union[bytes, Exception]]:
    """:func:`thumbnail_many` as an iterator, as :func:`remux_iter`."""
    return _batch(_native.thumbnail_batch, inputs, workers, report, errors, whole=False)
