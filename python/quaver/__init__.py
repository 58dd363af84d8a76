"""quaver: MPEG-TS and MP4 remuxing on in-memory buffers.

Start with :func:`remux` (any supported input to a regular MP4),
:func:`thumbnail` (the first key frame), :func:`merge` (a video fMP4 and an
audio fMP4 into one MP4), :func:`probe` (what quaver sees in a file) and
:class:`LiveProcessor` (live segments rebased one after another);
:func:`remux_many` and :func:`thumbnail_many` run a batch on every core.
They raise :class:`Error` subclasses, which are
``ValueError``: :class:`UnsupportedInput`, :class:`DamagedInput` and
:class:`NothingToDo`. The exact functions of the extension module
``_quaver`` are re-exported as they are, and ``quaver --help`` shows the
command line.
"""

from __future__ import annotations

import _quaver
from _quaver import (
    FragmentedMP4Processor,
    __version__,
    convert_mp4_reset_timestamps,
    convert_ts_to_mp4,
    defragment_mp4,
    extract_thumbnail_from_mp4,
    extract_thumbnail_from_ts,
    mux_fmp4_tracks,
    reset_mp4_timestamps,
)

from quaver._native import DamagedInput, Error, NothingToDo, PanicException, UnsupportedInput
from quaver.api import (BatchReport, Report, merge, probe, remux, remux_iter, remux_many, thumbnail, thumbnail_iter,
                        thumbnail_many)
from quaver.live import LiveProcessor

__all__ = [
    "__version__",
    "remux",
    "thumbnail",
    "merge",
    "probe",
    "remux_many",
    "thumbnail_many",
    "remux_iter",
    "thumbnail_iter",
    "Report",
    "BatchReport",
    "LiveProcessor",
    "Error",
    "UnsupportedInput",
    "DamagedInput",
    "NothingToDo",
    "convert_ts_to_mp4",
    "defragment_mp4",
    "reset_mp4_timestamps",
    "convert_mp4_reset_timestamps",
    "mux_fmp4_tracks",
    "extract_thumbnail_from_ts",
    "extract_thumbnail_from_mp4",
    "FragmentedMP4Processor",
    "PanicException",
]


del _quaver
