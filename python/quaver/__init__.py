"""quaver: MPEG-TS and MP4 remuxing on in-memory buffers.

Start with :func:`remux` (any supported input to a regular MP4),
:func:`thumbnail` (the first key frame) and :func:`merge` (a video fMP4 and
an audio fMP4 into one MP4); :func:`remux_many` and :func:`thumbnail_many`
run a batch on every core. The exact functions of the extension module
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

from quaver.api import (BatchReport, Report, merge, remux, remux_iter, remux_many, thumbnail, thumbnail_iter,
                        thumbnail_many)

__all__ = [
    "__version__",
    "remux",
    "thumbnail",
    "merge",
    "remux_many",
    "thumbnail_many",
    "remux_iter",
    "thumbnail_iter",
    "Report",
    "BatchReport",
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


def _find_panic_exception() -> type[BaseException]:
    # The extension raises this type for internal faults but does not expose
    # it as an attribute; find it among BaseException's direct subclasses.
    for cls in BaseException.__subclasses__():
        if cls.__name__ == "PanicException" and cls.__module__ == "_quaver":
            return cls
    raise ImportError("_quaver.PanicException not found")


PanicException = _find_panic_exception()
del _quaver
