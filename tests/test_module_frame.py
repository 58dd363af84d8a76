"""The Python surface of _quaver: attributes, argument rules, errors, the GIL."""
import array
import collections
import datetime
import decimal
import inspect
import io
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _quaver
import quaver


def test_version_and_attributes():
    assert _quaver.__version__ == "0.4.0"
    assert _quaver.__doc__ == ""
    own = [a for a in vars(_quaver) if not (a.startswith("__") and a.endswith("__"))]
    # In the order the module adds them, after __version__.
    assert own == ["convert_ts_to_mp4", "defragment_mp4", "reset_mp4_timestamps", "convert_mp4_reset_timestamps",
                   "mux_fmp4_tracks", "extract_thumbnail_from_ts", "extract_thumbnail_from_mp4",
                   "FragmentedMP4Processor"]
    assert list(vars(_quaver)).index("__version__") < list(vars(_quaver)).index("convert_ts_to_mp4")
    assert "PanicException" not in dir(_quaver)


def test_text_signature_and_docstring():
    f = _quaver.convert_ts_to_mp4
    assert str(inspect.signature(f)) == "(data, reset_timestamps=False)"
    assert f.__doc__ == "MPEG-TS 를 MP4 로 변환한다."


def test_keyword_and_positional_calls_agree(fixture_bytes):
    data = fixture_bytes("sample.ts")
    a = _quaver.convert_ts_to_mp4(data)
    assert _quaver.convert_ts_to_mp4(data, False) == a
    assert _quaver.convert_ts_to_mp4(data=data, reset_timestamps=False) == a
    assert _quaver.convert_ts_to_mp4(data, reset_timestamps=True) == a
    assert _quaver.convert_ts_to_mp4(data, np.True_) == a
    assert _quaver.convert_ts_to_mp4(data, np.bool_(False)) == a

    class Sub(bytes):
        pass

    assert _quaver.convert_ts_to_mp4(Sub(data)) == a


@pytest.mark.parametrize("bad", [bytearray(b"G"), memoryview(b"G"), "G", None, 0])
def test_non_bytes_data_is_refused_naming_the_parameter(bad):
    with pytest.raises(TypeError, match="'data'"):
        _quaver.convert_ts_to_mp4(bad)


class _Plain:
    class Nested:
        pass


def _interpreter_type_name(obj):
    # The interpreter's own messages carry the type's internal name.
    try:
        obj()
    except TypeError as e:
        return str(e).split("'")[1]
    raise AssertionError("callable")


@pytest.mark.parametrize("make", [
    bytearray, lambda: memoryview(b""), lambda: 1.5, lambda: np.int64(1), lambda: np.zeros(2),
    lambda: array.array("b"), io.BytesIO, collections.deque, lambda: decimal.Decimal(1), datetime.date.today,
    lambda: _Plain(), lambda: _Plain.Nested(), lambda: type("Made", (bytearray,), {})(), lambda: range(2),
    lambda: _quaver.FragmentedMP4Processor(), lambda: iter([]), lambda: {}.keys(),
])
def test_refusals_name_the_type_as_the_interpreter_does(make):
    # The module is built for the stable ABI, where the type object is
    # opaque; the name in its messages must still be the interpreter's.
    obj = make()
    with pytest.raises(TypeError) as e:
        _quaver.defragment_mp4(obj)
    assert str(e.value) == f"argument 'data': '{_interpreter_type_name(obj)}' object is not an instance of 'bytes'"
    with pytest.raises(TypeError) as e:
        _quaver.convert_ts_to_mp4(b"", obj)
    assert str(e.value) == f"argument 'reset_timestamps': '{_interpreter_type_name(obj)}' object is not an " \
                           f"instance of 'bool'"


@pytest.mark.parametrize("bad", [1, 0, None, "yes", np.int64(1)])
def test_non_boolean_flag_is_refused(bad):
    with pytest.raises(TypeError, match="reset_timestamps"):
        _quaver.convert_ts_to_mp4(b"", bad)


def test_first_wrong_parameter_is_named():
    with pytest.raises(TypeError, match="'data'"):
        _quaver.convert_ts_to_mp4(bytearray(), 1)


@pytest.mark.parametrize("call", [
    lambda: _quaver.convert_ts_to_mp4(),
    lambda: _quaver.convert_ts_to_mp4(b"", False, 3),
    lambda: _quaver.convert_ts_to_mp4(b"", nope=True),
    lambda: _quaver.convert_ts_to_mp4(b"", data=b""),
])
def test_binding_errors_name_the_function(call):
    with pytest.raises(TypeError, match="convert_ts_to_mp4"):
        call()


def test_core_errors_are_value_errors_with_the_exact_message(capfd):
    with pytest.raises(ValueError) as e:
        _quaver.convert_ts_to_mp4(b"")
    assert str(e.value) == "No valid TS sync byte found"
    assert capfd.readouterr().out == ""  # nothing is reported without a sync byte
    with pytest.raises(ValueError) as e:
        _quaver.convert_ts_to_mp4(b"\x47" + bytes(400))
    assert str(e.value) == "No video data found"


def test_panic_exception_is_a_direct_base_exception_subclass():
    assert quaver.PanicException.__bases__ == (BaseException,)
    assert not issubclass(quaver.PanicException, Exception)


def test_report_write_failure_is_a_panic_not_a_crash(fixture_bytes, tmp_path):
    # A report that cannot be written (a full device) is an internal fault: it
    # must surface as PanicException and leave the interpreter running.
    script = textwrap.dedent("""
        import sys, _quaver, quaver
        data = open(sys.argv[1], 'rb').read()
        try:
            _quaver.convert_ts_to_mp4(data)
        except Exception:
            sys.stderr.write('caught as Exception\\n')
        except BaseException as e:
            sys.stderr.write('panic:%s:%s\\n' % (type(e) is quaver.PanicException, e))
        sys.stderr.write('alive\\n')
    """)
    path = tmp_path / "in.ts"
    path.write_bytes(fixture_bytes("sample.ts"))
    with open("/dev/full", "wb") as full:
        r = subprocess.run([sys.executable, "-c", script, str(path)], stdout=full,
                           stderr=subprocess.PIPE, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "panic:True:" in r.stderr and "alive" in r.stderr


def test_closed_stdout_drops_the_report(fixture_bytes, tmp_path):
    script = "import sys, _quaver; out = _quaver.convert_ts_to_mp4(open(sys.argv[1], 'rb').read()); " \
             "sys.stderr.write('ok %d\\n' % len(out))"
    path = tmp_path / "in.ts"
    path.write_bytes(fixture_bytes("sample.ts"))
    r = subprocess.run([sys.executable, "-c", script, str(path)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True, timeout=60,
                       preexec_fn=lambda: os.close(1))
    assert r.returncode == 0 and r.stderr.startswith("ok "), r.stderr


def test_gil_is_released_during_conversion(fixture_bytes, capfd):
    # Many repetitions of the sample make a stream that takes a while to convert.
    big = fixture_bytes("sample.ts") * 600
    ticks = []
    stop = threading.Event()
    started = threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            ticks.append(time.perf_counter())

    t = threading.Thread(target=spin)
    t.start()
    started.wait()
    try:
        begin = time.perf_counter()
        _quaver.convert_ts_to_mp4(big)
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
    # Progress strictly inside the call, away from the hand-over at its edges.
    margin = (end - begin) * 0.2
    inside = [x for x in ticks if begin + margin < x < end - margin]
    assert end - begin > 0.005
    assert len(inside) > 100
