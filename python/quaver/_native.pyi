# Type hints for quaver._native, the package layer's extension module.

from typing import Callable, Optional

def remux(data: bytes, report: Optional[Callable[[str], object]] = None) -> bytes:
    """Any supported input to a regular MP4, the job chosen from its content."""

def thumbnail(data: bytes, report: Optional[Callable[[str], object]] = None) -> bytes:
    """The first key frame of a TS or MP4 as Annex B (H.264 or HEVC)."""

def merge(video: bytes, audio: bytes) -> bytes:
    """A video fMP4 and an audio fMP4 into one regular MP4, renumbering a clashing audio track ID."""

def detect_format(data: bytes) -> str:
    """'ts', 'fmp4', 'segment' or 'mp4'; ValueError saying what else the bytes are."""
