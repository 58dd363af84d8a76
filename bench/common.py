"""What the benchmark measures with: the clock, the fresh-memory floor, the two
peers (ffmpeg as a process, PyAV in memory) and the peak memory of one call."""
import contextlib
import heapq
import io
import json
import mmap
import os
import resource
import subprocess
import sys
import time


def timed(fn):
    """(seconds, CPU seconds, what `fn` returned). CPU time counts every thread
    of this process and every child process waited for, so it shows how many
    cores a job kept busy. Whatever `fn` returned is freed after the clock
    stops: a caller pays for building its result, not for dropping it."""
    cpu = cpu_seconds()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, cpu_seconds() - cpu, result


def cpu_seconds():
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


@contextlib.contextmanager
def stdout_to_devnull():
    """File descriptor 1 goes to /dev/null until the block ends. The transport
    stream parser writes its report there; the writes still happen (a user pays
    for them too), they just do not mix with the benchmark's output."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def fresh_copy(data):
    """`data` copied into memory that nobody has touched before: a private
    anonymous mapping straight from the kernel, so every 4 KiB page faults on
    its first write whatever the allocator has cached. (Private: Python's
    default, a shared mapping, is backed by shared memory, whose page faults
    cost more than those of the memory malloc hands out.)"""
    buffer = mmap.mmap(-1, len(data), flags=mmap.MAP_PRIVATE)
    buffer[:] = data  # one memcpy
    return buffer


def warm_copy(data):
    """`data` copied into a buffer from the allocator, which reuses memory it
    has already touched when the size is small."""
    return bytearray(data)


def settle(result):
    """The size in bytes of what a job made, which is then let go: an output
    file is removed, a mapping unmapped, a buffer released."""
    if isinstance(result, int):
        return result
    if isinstance(result, list):  # one result per input of a batch
        return sum(settle(item) for item in result)
    if isinstance(result, (str, os.PathLike)):
        size = os.path.getsize(result)
        os.unlink(result)
        return size
    if isinstance(result, memoryview):
        size = result.nbytes
        result.release()
        return size
    size = len(result)
    if isinstance(result, mmap.mmap):
        result.close()
    return size


# --- ffmpeg, a process per job, input and output on tmpfs -------------------

def ffmpeg_copy_argv(ffmpeg, inputs, output, out_args=()):
    """The command line a user would write to stream-copy every track of
    `inputs` into one MP4 at `output`."""
    argv = [ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    for path in inputs:
        argv += ["-i", str(path)]
    for i in range(len(inputs)):
        argv += ["-map", str(i)]
    return argv + ["-c", "copy", *out_args, "-f", "mp4", str(output)]


def run_ffmpeg(argv, output):
    """Runs one ffmpeg job and returns the path it wrote."""
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise RuntimeError(_last_line(done.stderr.decode(errors="replace"), "ffmpeg failed"))
    return output


# --- PyAV, demux from BytesIO and mux to BytesIO ------------------------------

def pyav_copy(sources, input_format=None, movflags=None):
    """Stream-copies every audio and video track of the files in `sources`
    (bytes) into one MP4 held in a BytesIO, the way a user of PyAV would: the
    input wrapped without a copy, streams added from their templates, packets
    muxed as they are read (interleaved by time when there are two inputs),
    and the result taken as a view of the BytesIO buffer, not copied out."""
    import av
    out = io.BytesIO()
    containers = [av.open(io.BytesIO(data), format=input_format) for data in sources]
    try:
        options = {"movflags": movflags} if movflags else {}
        with av.open(out, "w", format="mp4", options=options) as dst:
            feeds = []
            for src in containers:
                chosen = [s for s in src.streams if s.type in ("video", "audio")]
                targets = {s.index: dst.add_stream_from_template(s) for s in chosen}
                feeds.append(_packets(src, chosen, targets))
            for _, packet in feeds[0] if len(feeds) == 1 else heapq.merge(*feeds, key=lambda item: item[0]):
                dst.mux(packet)
    finally:
        for src in containers:
            src.close()
    return out.getbuffer()


def _packets(src, streams, targets):
    """(decode time in seconds, packet bound to its output stream) for each
    packet of `src`; the demuxer's empty end-of-stream packets are left out."""
    time_bases = {s.index: float(s.time_base) for s in streams}
    for packet in src.demux(streams):
        if packet.dts is None:
            continue
        index = packet.stream.index
        packet.stream = targets[index]
        yield packet.dts * time_bases[index], packet


# --- peak memory of one call --------------------------------------------------

def resident_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def peak_growth(call):
    """Peak resident memory growth, in bytes, of one `call()` in this process,
    and the length of what it returned. The resident set sees every page the
    call touches, whoever allocated it (unlike tracemalloc). The kernel's
    high-water mark is reset first where it allows it; elsewhere it may
    already sit above the current size and hide part of the growth."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        before = resident_kib("VmRSS")
    except OSError:
        before = resident_kib("VmHWM")
    result = call()
    return (resident_kib("VmHWM") - before) * 1024, len(result)


def run_child(argv):
    """Runs a helper process that prints one JSON line last; returns it parsed."""
    done = subprocess.run(argv, capture_output=True, text=True)
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        raise RuntimeError(_last_line(done.stderr, "helper failed"))
    return json.loads(lines[-1])


def _last_line(text, fallback):
    lines = text.strip().splitlines()
    return lines[-1] if lines else fallback
