"""The Pythonic entry points: the job chosen from the input, quiet by default."""

from __future__ import annotations

from typing import Callable, Optional, Protocol, Union

from quaver import _native


class TextSink(Protocol):
    """Anything with a ``write(str)`` method: an open text file, ``sys.stderr``, ``io.StringIO``."""

    def write(self, text: str, /) -> object: ...


#: Where report lines go: ``None`` (nowhere), a callable given each line
#: (without its newline), or a writable text file (one line per line).
Report = Union[None, Callable[[str], object], TextSink]

BytesLike = Union[bytes, bytearray, memoryview]


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


def remux(data: BytesLike, *, report: Report = None) -> bytes:
    """Convert any supported input to a regular MP4 and return its bytes.

    The job is chosen from the content: an MPEG transport stream is converted,
    a fragmented MP4 is unfolded, and a regular MP4 is returned with its
    timeline rebased to start at 0.

    A transport stream may start behind junk (up to 64 KiB of it, such as
    the tail of a packet cut by a capture, or padding): it is read from its
    first packet.

    Args:
        data: the whole input file.
        report: where the transport-stream demultiplexer's report lines go
            (PIDs found, frame counts, timestamp ranges): ``None`` for
            nowhere, a callable given each line as ``str``, or a writable text
            file. Lines are delivered once the conversion is done, from the
            calling thread, so several threads may convert at once, each with
            its own sink.

    Raises:
        UnsupportedInput: the input is not a transport stream or an MP4 (the
            message says what it looks like), or a media segment without
            its initialisation segment.
        DamagedInput: the input contradicts itself or is cut short.
        NothingToDo: no video in a transport stream, or no sample at all:
            an empty result is refused rather than returned.
    """
    return _native.remux(_as_bytes(data, "data"), _sink(report))


def thumbnail(data: BytesLike, *, report: Report = None) -> bytes:
    """Return the first key frame of a transport stream or an MP4 as Annex B (H.264 or HEVC).

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
