"""quaver: MPEG-TS and MP4 remuxing on in-memory buffers.

The work is done by the extension module ``_quaver``; this package re-exports
its functions and adds a command line (``quaver --help``).
"""

from __future__ import annotations

import _quaver
from _quaver import __version__, convert_ts_to_mp4, defragment_mp4

__all__ = ["__version__", "convert_ts_to_mp4", "defragment_mp4", "PanicException"]


def _find_panic_exception() -> type[BaseException]:
    # The extension raises this type for internal faults but does not expose
    # it as an attribute; find it among BaseException's direct subclasses.
    for cls in BaseException.__subclasses__():
        if cls.__name__ == "PanicException" and cls.__module__ == "_quaver":
            return cls
    raise ImportError("_quaver.PanicException not found")


PanicException = _find_panic_exception()
del _quaver
