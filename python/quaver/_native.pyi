# Type hints for quaver._native, the package layer's extension module.

from typing import Callable, Iterable, Iterator, Optional, Union

def remux(data: bytes, report: Optional[Callable[[str], object]] = None) -> bytes:
    """Any supported input to a regular MP4, the job chosen from its content."""

def thumbnail(data: bytes, report: Optional[Callable[[str], object]] = None) -> bytes:
    """The first key frame of a TS or MP4 as Annex B (H.264 or HEVC)."""

def merge(video: bytes, audio: bytes) -> bytes:
    """A video fMP4 and an audio fMP4 into one regular MP4, renumbering a clashing audio track ID."""

def detect_format(data: bytes) -> str:
    """'ts', 'fmp4', 'segment' or 'mp4'; ValueError saying what else the bytes are."""

def remux_batch(inputs: Iterable[bytes], workers: int, window: int,
                report: Optional[Callable[[int, str], object]] = None,
                raise_errors: bool = False) -> Iterator[Union[bytes, Exception]]:
    """remux on each input, on `workers` threads: an iterator over the outcomes in input order."""

def thumbnail_batch(inputs: Iterable[bytes], workers: int, window: int,
                    report: Optional[Callable[[int, str], object]] = None,
                    raise_errors: bool = False) -> Iterator[Union[bytes, Exception]]:
    """thumbnail on each input, on `workers` threads: an iterator over the outcomes in input order."""
