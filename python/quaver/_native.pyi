# Type hints for quaver._native, the package layer's extension module.

from typing import Callable, Iterable, Iterator, Literal, Optional, Tuple, Union

SNIFF_LENGTH: int

class PanicException(BaseException):
    """An internal fault of the library (the class _quaver raises too)."""

class Error(ValueError):
    """Input quaver cannot use; the subclass says why."""

class DamagedInput(Error):
    """Bytes that contradict themselves: cut short, corrupted or damaged."""

class UnsupportedInput(Error):
    """A format, codec or layout quaver does not carry."""

class NothingToDo(Error):
    """No track or sample for the job: nothing would be written."""

def remux(data: bytes, report: Optional[Callable[[str], object]] = None, video: Optional[int] = None,
          audio: Optional[Iterable[int]] = None) -> bytes:
    """Any supported input to a regular MP4, the job chosen from its content; audio () keeps none."""

def probe(data: bytes, video: Optional[int] = None, audio: Optional[Iterable[int]] = None) -> str:
    """What quaver sees in the input, as JSON text."""

def has_video(data: bytes) -> bool:
    """Whether an MP4 holds a video track with a sample."""

def thumbnail(data: bytes, report: Optional[Callable[[str], object]] = None) -> bytes:
    """The first key frame of a TS or MP4 as Annex B (H.264 or HEVC)."""

def key_frame(data: bytes, report: Optional[Callable[[str], object]] = None,
              kind: Optional[Literal["ts", "mp4"]] = None) -> Tuple[Literal["h264", "hevc", "mpeg2video"], bytes]:
    """(codec, Annex B) of the first key frame; kind 'ts' or 'mp4' runs that container's exact search."""

def merge(video: bytes, audio: bytes, video_name: Optional[str] = None, audio_name: Optional[str] = None) -> bytes:
    """A video fMP4 and an audio fMP4 into one regular MP4, renumbering a clashing audio track ID."""

def defragment_mp4(data: bytes) -> bytes:
    """_quaver.defragment_mp4, refusing an empty result, with the package's errors."""

def reset_mp4_timestamps(data: bytes) -> bytes:
    """_quaver.reset_mp4_timestamps, refusing an empty result, with the package's errors."""

def convert_mp4_reset_timestamps(data: bytes) -> bytes:
    """_quaver.convert_mp4_reset_timestamps, refusing an empty result, with the package's errors."""

def detect_format(data: bytes) -> Literal["ts", "fmp4", "segment", "mp4"]:
    """'ts', 'fmp4', 'segment' or 'mp4'; an error saying what else the bytes are."""

def sniff(data: bytes) -> Optional[Literal["ts", "m2ts", "mp4"]]:
    """What a file's first bytes (SNIFF_LENGTH of them) look like, or None."""

def check_segment(data: bytes) -> None:
    """Raises unless data is a fragmented MP4 segment holding a sample."""

def check_init_segment(data: bytes) -> None:
    """Raises unless data is an MP4 with a moov box."""

def remux_file(src: Union[bytes, int], dst: Optional[int], report: Optional[Callable[[str], object]] = None,
               video: Optional[int] = None, audio: Optional[Iterable[int]] = None) -> Union[bytes, bool]:
    """remux, reading src (bytes, or the descriptor of an open file, read through a map) and writing into the open
    file dst (a descriptor, opened for reading and writing), then returning whether the result holds video; or
    returning bytes where dst is None."""

def cached_bytes(fd: int) -> int:
    """Bytes of the open file held in the page cache: how much of a result being written has been written so far."""

def set_32_bit_limit(limit: int) -> int:
    """For tests: the largest value a written 32-bit size, offset or duration holds (4294967295); larger ones take the 64-bit forms. Returns the limit it replaces."""

def remux_batch(inputs: Iterable[bytes], workers: int, window: int,
                report: Optional[Callable[[int, str], object]] = None, raise_errors: bool = False,
                video: Optional[int] = None, audio: Optional[Iterable[int]] = None,
                ) -> Iterator[Union[bytes, Exception]]:
    """remux on each input, on `workers` threads, keeping the streams asked for as remux does: an iterator over
    the outcomes in input order."""

def thumbnail_batch(inputs: Iterable[bytes], workers: int, window: int,
                    report: Optional[Callable[[int, str], object]] = None,
                    raise_errors: bool = False) -> Iterator[Union[bytes, Exception]]:
    """thumbnail on each input, on `workers` threads: an iterator over the outcomes in input order."""
