"""Batches (remux_many, thumbnail_many and their iterator forms): input by input, exactly what single
calls give, in input order, on a pool of threads that is gone whenever and however the batch ends."""
import io
import itertools
import os
import pathlib
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import quaver
from builders import pes, ts_stream

DATA = pathlib.Path(__file__).parent / "data"
SINGLE = {quaver.remux_many: quaver.remux, quaver.thumbnail_many: quaver.thumbnail,
          quaver.remux_iter: quaver.remux, quaver.thumbnail_iter: quaver.thumbnail}
BATCHES = list(SINGLE)


def single(function, data):
    """What one call gives: (its bytes, or the type and message of what it raised; its report lines)."""
    lines = []
    try:
        return function(data, report=lines.append), lines
    except ValueError as e:
        return (type(e), str(e)), lines


def outcome(item):
    return item if isinstance(item, bytes) else (type(item), str(item))


@pytest.fixture(scope="module")
def inputs():
    real = [p.read_bytes() for p in sorted(DATA.rglob("*")) if p.suffix in (".ts", ".mp4", ".m4s")]
    sample, frag = (DATA / "sample.ts").read_bytes(), (DATA / "frag_av.mp4").read_bytes()
    damaged = [sample[:5000] + bytes(3000), frag[:-3000], (DATA / "regular_faststart.mp4").read_bytes()[:20000],
               b"", b"#EXTM3U\n", b"\x47" + bytes(400), ts_stream([], [pes(b"\xff\xf1", pts=9000, stream_id=0xC0)])]
    mixed = real + damaged
    random.Random(23).shuffle(mixed)  # failures between successes, not only at the end
    return mixed


@pytest.fixture(scope="module")
def expected(inputs):
    return {batch: [single(SINGLE[batch], data) for data in inputs] for batch in BATCHES}


@pytest.mark.parametrize("workers", [1, 2, 4])
@pytest.mark.parametrize("batch", BATCHES, ids=lambda f: f.__name__)
def test_each_input_gives_what_a_single_call_gives(batch, workers, inputs, expected, capfd):
    want = expected[batch]
    assert 0 < sum(isinstance(e, bytes) for e, _ in want) < len(want)
    calls, callers = [], set()

    def sink(index, line):
        calls.append((index, line))
        callers.add(threading.get_ident())

    got = list(batch(inputs, workers=workers, report=sink))
    assert [outcome(item) for item in got] == [e for e, _ in want]
    # Each input's lines together, the inputs in order, all from the calling thread.
    assert calls == [(i, line) for i, (_, lines) in enumerate(want) for line in lines]
    assert callers == {threading.get_ident()}
    assert capfd.readouterr() == ("", "")

    # errors="raise": the first failure, after the lines of the inputs up to it.
    first = next(i for i, (e, _) in enumerate(want) if not isinstance(e, bytes))
    calls.clear()
    with pytest.raises(ValueError) as raised:
        list(batch(inputs, workers=workers, report=sink, errors="raise"))
    assert (type(raised.value), str(raised.value)) == want[first][0]
    assert calls == [(i, line) for i, (_, lines) in enumerate(want[:first + 1]) for line in lines]
    assert list(batch(inputs[:first], workers=workers, errors="raise")) == [e for e, _ in want[:first]]


@pytest.mark.parametrize("streams", [{"video": 258}, {"audio": "none"}, {"audio": 2},
                                     {"video": 256, "audio": [258, 257]}], ids=str)
def test_streams_chosen_for_a_batch_are_chosen_in_each_input(streams, inputs):
    want = [single(lambda data, report: quaver.remux(data, report=report, **streams), data) for data in inputs]
    assert 0 < sum(isinstance(e, bytes) for e, _ in want) < len(want)
    for batch in (quaver.remux_many, quaver.remux_iter):
        lines = []
        got = batch(inputs, workers=2, report=lambda index, line: lines.append((index, line)), **streams)
        assert [outcome(item) for item in got] == [e for e, _ in want]
        assert lines == [(i, line) for i, (_, each) in enumerate(want) for line in each]


def test_a_thousand_inputs_on_more_workers_than_cores(inputs, expected):
    order = [random.Random(1000).randrange(len(inputs)) for _ in range(1000)]
    for batch in (quaver.remux_many, quaver.thumbnail_many):
        got = batch((inputs[i] for i in order), workers=4)
        assert [outcome(item) for item in got] == [expected[batch][i][0] for i in order]


def test_arguments_are_checked(inputs):
    assert quaver.remux_many([]) == [] and list(quaver.thumbnail_iter(iter([]))) == []
    sample = (DATA / "sample.ts").read_bytes()
    assert quaver.remux_many([bytearray(sample), memoryview(sample)]) == [quaver.remux(sample)] * 2
    with pytest.raises(TypeError, match=r"inputs\[1\] must be bytes-like, not str"):
        quaver.remux_many([sample, "clip.ts"])
    with pytest.raises(ValueError, match="errors must be 'return' or 'raise', not 'ignore'"):
        quaver.remux_many(inputs, errors="ignore")
    with pytest.raises(ValueError, match="workers must be at least 1, not 0"):
        quaver.thumbnail_many(inputs, workers=0)
    with pytest.raises(TypeError, match="report must be None, a callable or a writable text file"):
        quaver.remux_many(inputs, report=3)


def test_a_text_file_takes_the_lines(fixture_bytes):
    text = io.StringIO()
    data = fixture_bytes("sample.ts")
    quaver.remux_many([data, b"", data], report=text)
    lines = []
    quaver.remux(data, report=lines.append)
    assert text.getvalue() == "".join(line + "\n" for line in lines) * 2


def test_a_lazy_source_is_read_no_further_than_two_inputs_per_worker(fixture_bytes):
    pulled = []

    def source():
        for i in range(40):
            pulled.append(i)
            yield fixture_bytes("sample.ts")

    for k, _ in enumerate(quaver.remux_iter(source(), workers=3)):
        assert len(pulled) - (k + 1) <= 2 * 3  # inputs pulled and not yet given back as results
    assert len(pulled) == 40


# ---- however a batch ends, its threads are gone -------------------------------------------------

def threads_now():
    return set(os.listdir("/proc/self/task"))


def no_thread_left(before):
    # A joined thread can stay listed for a moment while the kernel tears it down.
    for _ in range(100):
        if threads_now() <= before:
            return True
        time.sleep(0.001)
    return False


class Interrupted(Exception):
    pass


def interrupt_by_signal(big):
    fired = []

    def handler(signum, frame):
        fired.append(time.monotonic())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            quaver.thumbnail_many(itertools.repeat(big, 20000), workers=2)  # about 10 s if never stopped
        assert time.monotonic() - fired[0] < 1.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def failing_sink(big):
    def sink(index, line):
        if index == 5:
            raise Interrupted(line)

    with pytest.raises(Interrupted, match="Found PIDs"):
        quaver.remux_many([big] * 20, workers=2, report=sink)


def failing_source(big):
    def source(error):
        yield from [big] * 5
        raise error

    it = quaver.thumbnail_iter(source(Interrupted("disk gone")), workers=4)
    assert len(list(itertools.islice(it, 5))) == 5  # the inputs before the source's error come first
    with pytest.raises(Interrupted, match="disk gone"):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    # An interrupt raised while reading the source stops the batch at once.
    with pytest.raises(KeyboardInterrupt):
        next(quaver.thumbnail_iter(source(KeyboardInterrupt()), workers=4))


def first_failure(big):
    with pytest.raises(ValueError, match="empty input"):
        quaver.thumbnail_many([big] * 6 + [b""] + [big] * 20, workers=2, errors="raise")


def second_caller(big):
    # The pool has one caller: a next() from inside the batch (or another
    # thread) while one runs is refused, as a generator refuses it.
    def sink(index, line):
        next(running)

    running = quaver.thumbnail_iter([big] * 8, workers=2, report=sink)
    with pytest.raises(ValueError, match="batch already executing"):
        next(running)


def dropped_iterator(big):
    it = quaver.thumbnail_iter(itertools.repeat(big), workers=2)
    next(it), next(it)
    del it


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="lists threads through /proc")
@pytest.mark.parametrize("end", [interrupt_by_signal, failing_sink, failing_source, first_failure, second_caller,
                                 dropped_iterator],
                         ids=lambda f: f.__name__)
def test_a_batch_that_stops_early_leaves_no_thread(end, fixture_bytes):
    big = fixture_bytes("sample.ts") * 40  # about 1 ms a key frame
    before = threads_now()
    end(big)
    assert no_thread_left(before)


def test_a_batch_still_running_at_exit_lets_the_interpreter_exit(tmp_path):
    # Its threads convert ahead of the consumer; the interpreter ends any
    # thread that takes its lock once it finalizes, so they must be gone by then.
    script = tmp_path / "exit.py"
    script.write_text(f"""
import itertools, quaver
big = open({str(DATA / "sample.ts")!r}, "rb").read() * 40
running = quaver.thumbnail_iter(itertools.repeat(big), workers=3)
next(running)

class Late:
    def __del__(self):  # a batch started while the interpreter finalizes
        print(len(quaver.remux_many([big] * 3, workers=2)))

late = Late()
""")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "3\n", "")
