"""The release wheel as users get it: built by .ci/wheels for glibc 2.17, installed into a fresh
environment, and checked there with the command line and the suite."""
import json
import os
import pathlib
import re
import site
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import _quaver

pytestmark = pytest.mark.packaging

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
# Fuzzing the compiled core again adds nothing here: the installed modules
# are the very binaries the rest of the suite has exercised.
SAME_BINARY_FUZZING = ["test_hostile_input.py", "test_hostile_mp4.py"]


def call(*args, env=(), **kw):
    env = dict(os.environ, PATH=sysconfig.get_path("scripts") + os.pathsep + os.environ.get("PATH", ""), **dict(env))
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, env=env, **kw)
    assert r.returncode == 0, f"{args}\n{r.stdout[-3000:]}\n{r.stderr[-3000:]}"
    return r


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The release wheel installed into a new environment: (wheel path, environment's python)."""
    work = tmp_path_factory.mktemp("wheel")
    # The script keeps its tools, zig's cache and the build tree in build/wheels, so
    # only a changed source is compiled again.
    call(ROOT / ".ci" / "wheels", work / "dist", env={"PYTHON": sys.executable})
    (wheel,) = (work / "dist").glob("*.whl")

    env = work / "env"
    call(sys.executable, "-m", "venv", "--without-pip", env)
    python = env / "bin" / "python"
    call(sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index", "-q", wheel)
    # The test dependencies are taken from the running interpreter: its
    # site-packages go after the environment's own, so the installed wheel
    # shadows any copy of quaver installed there. (Added after installing,
    # so that pip does not take such a copy for the wheel being installed.)
    purelib = call(python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))").stdout.strip()
    (pathlib.Path(purelib) / "test-dependencies.pth").write_text("\n".join(site.getsitepackages()) + "\n")
    return wheel, python


def test_the_wheel_is_one_manylinux2014_abi3_wheel_with_everything_in_it(installed, tmp_path):
    wheel, _ = installed
    assert wheel.name == "quaver-0.4.0-cp39-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    shown = call(sys.executable, "-m", "auditwheel", "show", wheel).stdout
    assert 'consistent with the following platform tag:\n"manylinux_2_17_x86_64"' in shown
    names = set(zipfile.ZipFile(wheel).namelist())
    for member in ("_quaver.abi3.so", "_quaver.pyi", "quaver/__init__.py", "quaver/__main__.py",
                   "quaver/_native.abi3.so", "quaver/_native.pyi", "quaver/api.py", "quaver/cli.py", "quaver/live.py",
                   "quaver/py.typed", "quaver-0.4.0.dist-info/entry_points.txt"):
        assert member in names
    entry_points = zipfile.ZipFile(wheel).read("quaver-0.4.0.dist-info/entry_points.txt").decode()
    assert "quaver = quaver.cli:main" in entry_points

    # Nothing newer than glibc 2.17 is asked for, and no library came along: the
    # C++ runtime is linked in, once, in _quaver's object, which quaver._native loads.
    objects = sorted(n for n in names if ".so" in n)
    assert objects == ["_quaver.abi3.so", "quaver/_native.abi3.so"]
    zipfile.ZipFile(wheel).extractall(tmp_path, objects)
    needed, glibc = {}, set()
    for name in objects:
        versions = call("readelf", "-V", "-W", tmp_path / name).stdout
        glibc |= {tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([0-9.]+)", versions)}
        dynamic = call("readelf", "-d", "-W", tmp_path / name).stdout
        needed[name] = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic)
    assert glibc and max(glibc) <= (2, 17), sorted(glibc)
    assert not [lib for libs in needed.values() for lib in libs if "c++" in lib or "gcc" in lib]
    assert needed["quaver/_native.abi3.so"] == ["_quaver.abi3.so"]


def test_the_command_line_runs_from_the_installed_copy(installed, tmp_path):
    _, python = installed
    env_dir = python.parent.parent
    r = call(python, "-c", "import json, quaver, _quaver, quaver._native as n; "
                           "print(json.dumps([quaver.__file__, _quaver.__file__, n.__file__]))", cwd=tmp_path)
    for path in json.loads(r.stdout):
        assert pathlib.Path(path).resolve().is_relative_to(env_dir.resolve()), path
    script = python.parent / "quaver"
    r = call(script, "convert", DATA / "sample.ts", tmp_path / "out.mp4", cwd=tmp_path)
    assert r.stdout == ""
    assert (tmp_path / "out.mp4").read_bytes() == _quaver.convert_ts_to_mp4((DATA / "sample.ts").read_bytes())
    assert call(script, "--version").stdout == call(python, "-m", "quaver", "--version").stdout == "quaver 0.4.0\n"


def test_the_suite_passes_against_the_installed_copy(installed, tmp_path):
    _, python = installed
    ignore = [f"--ignore={ROOT / 'tests' / name}" for name in SAME_BINARY_FUZZING]
    # Run from elsewhere, so that nothing of the source tree is importable.
    r = subprocess.run([str(python), "-m", "pytest", "-q", "-m", "not packaging and not big", "-p", "no:cacheprovider",
                        *ignore, str(ROOT / "tests")], capture_output=True, text=True, timeout=900, cwd=tmp_path)
    assert r.returncode == 0, r.stdout[-5000:] + r.stderr[-3000:]
    assert " passed" in r.stdout.splitlines()[-1] and "failed" not in r.stdout.splitlines()[-1]
