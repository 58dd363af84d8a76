"""Shared by the benchmarks: timing, and the peer they compare against (PyAV)."""
import io
import time


def best_of(rounds, fn):
    """The shortest of `rounds` timed calls, in seconds."""
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def pyav_remux(data, input_format=None):
    """Remux every audio and video packet of `data` into a regular MP4 with PyAV."""
    import av
    out = io.BytesIO()
    with av.open(io.BytesIO(data), format=input_format) as src, av.open(out, "w", format="mp4") as dst:
        streams = {s.index: dst.add_stream_from_template(s) for s in src.streams if s.type in ("video", "audio")}
        # Inputs built by repetition restart their clock on every repetition;
        # carry an offset per stream so the peer sees increasing timestamps.
        shift, last = dict.fromkeys(streams, 0), dict.fromkeys(streams, None)
        for packet in src.demux(*[s for s in src.streams if s.index in streams]):
            if packet.dts is None:
                continue
            i = packet.stream.index
            if last[i] is not None and packet.dts + shift[i] <= last[i]:
                shift[i] = last[i] + 3600 - packet.dts
            packet.dts += shift[i]
            packet.pts += shift[i]
            last[i] = packet.dts
            packet.stream = streams[i]
            dst.mux(packet)
    return out.getvalue()
