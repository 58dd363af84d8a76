"""Live fragmented-MP4 streams: segments rebased one after another as they arrive."""

from __future__ import annotations

from typing import Optional

import _quaver
from quaver import _native
from quaver.api import BytesLike, _as_bytes


class LiveProcessor:
    """Rebases the segments of one live fragmented-MP4 stream so that it starts at time 0.

    Give it the stream's initialisation segment (the ``moov``), then each
    media segment (``moof`` and ``mdat``) in stream order; every segment
    comes back with its track-fragment decode times (``tfdt``) rebased and
    every other byte as it was, so box sizes and data offsets stay valid.

    With the initialisation segment the processor knows each track's
    timescale: the earliest first decode time of the first segment, in
    seconds over all tracks, becomes the origin, and every track is rebased
    from it in its own timescale, so a track that starts later than another
    keeps that delay; a track the initialisation segment does not name starts
    from its own first decode time. Without an initialisation segment the
    processor cannot know the tracks' timescales and keeps a single base:
    the first decode time it sees, subtracted from the decode times of every
    track as they are, whatever their timescales.

    Unlike ``_quaver.FragmentedMP4Processor``, which it wraps, it refuses
    input that is not a fragmented segment, and a segment without samples,
    instead of returning it unchanged or empty; such a refusal leaves the
    state as it was. Methods raise :class:`quaver.Error` subclasses, which
    are ``ValueError``.
    """

    def __init__(self, init_segment: Optional[BytesLike] = None) -> None:
        """Start with no base; ``init_segment``, when given, is stored as by :meth:`set_init_segment`."""
        self._processor = _quaver.FragmentedMP4Processor()
        if init_segment is not None:
            self.set_init_segment(init_segment)

    def set_init_segment(self, data: BytesLike) -> None:
        """Store the stream's initialisation segment, whose ``moov`` gives each track's timescale.

        Raises:
            UnsupportedInput: ``data`` holds no ``moov`` (a media segment, a
                transport stream, anything else); the stored one stays.
        """
        data = _as_bytes(data, "data")
        _native.check_init_segment(data)
        self._processor.set_init_segment(data)

    def process_segment(self, data: BytesLike) -> bytes:
        """Return the segment with its decode times rebased; the first segment fixes the origin.

        Raises:
            UnsupportedInput: ``data`` is not a fragmented MP4 segment.
            NothingToDo: the segment holds no samples.
            DamagedInput: a box size on the walked path is impossible.
        """
        data = _as_bytes(data, "data")
        _native.check_segment(data)
        try:
            return self._processor.process_segment(data)
        except ValueError as exc:  # the box sizes the wrapped class refuses
            raise _native.DamagedInput(str(exc)) from None

    def reset(self) -> None:
        """Forget the base, so that the next segment starts the stream again; the initialisation segment stays."""
        self._processor.reset()

    @property
    def base_decode_time(self) -> Optional[int]:
        """The base of the first track seen, in that track's timescale; ``None`` before the first segment."""
        return self._processor.base_decode_time
