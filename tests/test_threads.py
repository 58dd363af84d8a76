"""Several threads at once: the module functions give exactly their sequential results, a
processor shared by threads stays in a state that some sequential order of the calls gives, and
daemon threads still converting when the program exits let it exit."""
import pathlib
import random
import subprocess
import sys
import threading

import pytest

import _quaver
from builders import live_segment, set_track_id, traf_body

DATA = pathlib.Path(__file__).parent / "data"
THREADS = 4


def run_threads(work):
    """work(k) in THREADS threads started together; the exceptions they raised, if any."""
    start = threading.Barrier(THREADS)
    errors = []

    def body(k):
        try:
            start.wait()
            work(k)
        except BaseException as e:  # noqa: B036 -- a PanicException must fail the test too
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def outcome(function, *args):
    try:
        return function(*args)
    except ValueError as e:
        return ("ValueError", str(e))


@pytest.fixture(scope="module")
def jobs(fixture_bytes):
    read = fixture_bytes

    ts = [read(p.name) for p in sorted(DATA.glob("*.ts"))]
    regular = [read(n) for n in ("regular_faststart.mp4", "regular_moov_end.mp4", "audio_first.mp4")]
    fragmented = [read(n) for n in ("frag_av.mp4", "frag_video.mp4", "frag_every_frame.mp4",
                                    "cmaf_segments.mp4", "frag_late_start.mp4")]
    audio = set_track_id(read("frag_audio.mp4"), 2)
    damaged = [ts[0][:5000] + bytes(3000), regular[0][:20000], b"", b"\x47" * 400]
    out = []
    for data in ts + damaged:
        out += [(_quaver.convert_ts_to_mp4, (data,)), (_quaver.extract_thumbnail_from_ts, (data,))]
    out.append((_quaver.convert_ts_to_mp4, (ts[0], True)))
    for data in regular + fragmented + damaged:
        out += [(_quaver.extract_thumbnail_from_mp4, (data,)), (_quaver.defragment_mp4, (data,)),
                (_quaver.reset_mp4_timestamps, (data,)), (_quaver.convert_mp4_reset_timestamps, (data,))]
    out += [(_quaver.mux_fmp4_tracks, (read("frag_video.mp4"), audio)),
            (_quaver.mux_fmp4_tracks, (read("frag_av.mp4"), read("frag_audio.mp4"))),  # repeated track ID
            (_quaver.mux_fmp4_tracks, (damaged[1], audio))]
    return out


def test_module_functions_give_their_sequential_results(jobs, capfd):
    expected = [outcome(f, *args) for f, args in jobs]
    assert sum(isinstance(e, bytes) for e in expected) > len(jobs) // 2  # mostly real work, not refusals
    got = [[None] * len(jobs) for _ in range(THREADS)]

    def work(k):
        order = list(range(len(jobs)))
        random.Random(k).shuffle(order)  # each thread meets the jobs in its own order
        for _ in range(2):
            for i in order:
                f, args = jobs[i]
                result = outcome(f, *args)
                if got[k][i] is None or result != expected[i]:
                    got[k][i] = result

    assert run_threads(work) == []
    for k in range(THREADS):
        for i, (f, _) in enumerate(jobs):
            assert got[k][i] == expected[i], f"thread {k}, job {i} ({f.__name__})"


def first_decode_time(segment):
    """The decode time of the first tfdt of a segment, as the processor reads it."""
    probe = _quaver.FragmentedMP4Processor()
    probe.process_segment(segment)
    return probe.base_decode_time


def rebased(segment, base):
    """The segment as a processor whose base is `base` writes it."""
    p = _quaver.FragmentedMP4Processor()
    p.process_segment(live_segment(traf_body(1, base)))
    assert p.base_decode_time == base
    return p.process_segment(segment)


@pytest.fixture(scope="module")
def segments(fixture_bytes):
    crafted = [live_segment(traf_body(1, 90000 * k + 7, version=k % 2), traf_body(2, 48000 * k), sequence=k)
               for k in range(1, 7)]
    return [fixture_bytes(f"live_{k}.m4s") for k in range(3)] + crafted


def test_shared_processor_without_reset_keeps_the_first_base(segments):
    p = _quaver.FragmentedMP4Processor()
    outputs = [[] for _ in range(THREADS)]
    seen = [set() for _ in range(THREADS)]

    def work(k):
        order = list(range(len(segments))) * 3
        random.Random(k).shuffle(order)
        for i in order:
            seen[k].add(p.base_decode_time)
            outputs[k].append((i, p.process_segment(segments[i])))
            if k == 0:
                p.set_init_segment(segments[i])

    assert run_threads(work) == []
    base = p.base_decode_time
    # Whichever segment came first set the base, and every call used that base.
    assert base in {first_decode_time(s) for s in segments}
    assert set().union(*seen) <= {None, base}
    for k in range(THREADS):
        for i, out in outputs[k]:
            assert out == rebased(segments[i], base), f"thread {k}, segment {i}"


def test_shared_processor_with_resets_stays_in_a_sequential_state(segments):
    p = _quaver.FragmentedMP4Processor()
    firsts = {first_decode_time(s) for s in segments}
    outputs = [[] for _ in range(THREADS)]
    seen = [set() for _ in range(THREADS)]

    def work(k):
        rng = random.Random(k)
        for _ in range(40):
            if rng.random() < 0.3:
                p.reset()
            i = rng.randrange(len(segments))
            seen[k].add(p.base_decode_time)
            outputs[k].append((i, p.process_segment(segments[i])))

    assert run_threads(work) == []
    # Every call ran with no base (its own first tfdt became one) or a base
    # that some segment's first tfdt set: never a value no order could give.
    assert set().union(*seen) <= {None} | firsts
    assert p.base_decode_time in firsts
    for k in range(THREADS):
        for i, out in outputs[k]:
            assert any(out == rebased(segments[i], b) for b in firsts), f"thread {k}, segment {i}"


# Two daemon threads call CASE in a loop while the program ends. CPython before 3.14 ends each
# one when it asks for the interpreter lock back (after its conversion, in a report sink, in an
# input source), and that must not bring the process down.
EXIT_SCRIPT = """
import sys, threading, time
import _quaver, quaver
read = lambda name: open(f"{sys.argv[1]}/{name}", "rb").read()
ts = read("sample.ts") * 20
mp4 = quaver.remux(ts)
fmp4, video, audio = read("frag_av.mp4"), read("frag_video.mp4"), read("frag_audio.mp4")

def slow(items):  # a source that lets go of the lock for each input
    for item in items:
        time.sleep(0)
        yield item

def loop():
    while True:
        try:
            CASE
        except ValueError:
            pass

for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.1)
"""
EXIT_CASES = {
    "remux": "quaver.remux(ts)",
    "remux_reporting": "quaver.remux(ts, report=lambda line: time.sleep(0))",
    "thumbnail": "quaver.thumbnail(ts)",
    "merge": "quaver.merge(video, audio)",
    "convert_ts_to_mp4": "_quaver.convert_ts_to_mp4(ts)",
    "defragment_mp4": "_quaver.defragment_mp4(fmp4)",
    "reset_mp4_timestamps": "_quaver.reset_mp4_timestamps(mp4)",
    "convert_mp4_reset_timestamps": "_quaver.convert_mp4_reset_timestamps(fmp4)",
    "mux_fmp4_tracks": "_quaver.mux_fmp4_tracks(video, audio)",
    "extract_thumbnail_from_ts": "_quaver.extract_thumbnail_from_ts(ts)",
    "extract_thumbnail_from_mp4": "_quaver.extract_thumbnail_from_mp4(mp4)",
    "remux_many": "quaver.remux_many([ts] * 4, workers=2)",
    "remux_many_reporting": "quaver.remux_many([ts] * 4, workers=2, report=lambda i, line: time.sleep(0))",
    "remux_iter": "list(quaver.remux_iter(slow([ts] * 4), workers=2))",
}


@pytest.mark.parametrize("case", EXIT_CASES)
def test_daemon_threads_inside_a_call_at_exit_let_the_program_exit(case, tmp_path):
    script = tmp_path / "exit.py"
    script.write_text(EXIT_SCRIPT.replace("CASE", EXIT_CASES[case]))
    # Where each thread stands at exit varies: a few runs at once.
    runs = [subprocess.Popen([sys.executable, str(script), str(DATA)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, cwd=tmp_path) for _ in range(3)]
    outcomes = [(run.communicate(timeout=60)[1], run.returncode) for run in runs]
    assert outcomes == [("", 0)] * len(runs)
