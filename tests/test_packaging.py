"""The wheel as users get it: built, repaired to a manylinux tag, installed into a fresh environment,
and checked there with the command line and the suite."""
import importlib.util
import json
import os
import pathlib
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


def call(*args, **kw):
    env = dict(os.environ, PATH=sysconfig.get_path("scripts") + os.pathsep + os.environ.get("PATH", ""))
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, env=env, **kw)
    assert r.returncode == 0, f"{args}\n{r.stdout[-3000:]}\n{r.stderr[-3000:]}"
    return r


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A repaired wheel installed into a new environment: (wheel path, environment's python)."""
    work = tmp_path_factory.mktemp("wheel")
    # The build reuses the build directory that installing the package left
    # in the source tree, so only a changed source is compiled again.
    isolation = [] if importlib.util.find_spec("scikit_build_core") is None else ["--no-build-isolation"]
    call(sys.executable, "-m", "pip", "wheel", "--no-deps", *isolation, "-w", work / "dist", ROOT)
    (built,) = (work / "dist").glob("*.whl")
    call(sys.executable, "-m", "auditwheel", "repair", "-w", work / "repaired", built)
    (wheel,) = (work / "repaired").glob("*.whl")

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


def test_the_wheel_is_one_manylinux_abi3_wheel_with_everything_in_it(installed):
    wheel, _ = installed
    name = wheel.name
    assert name.startswith("quaver-0.4.0-cp39-abi3-manylinux_") and name.endswith("_x86_64.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    for member in ("_quaver.abi3.so", "_quaver.pyi", "quaver/__init__.py", "quaver/__main__.py",
                   "quaver/_native.abi3.so", "quaver/_native.pyi", "quaver/api.py", "quaver/cli.py",
                   "quaver/py.typed", "quaver-0.4.0.dist-info/entry_points.txt"):
        assert member in names
    entry_points = zipfile.ZipFile(wheel).read("quaver-0.4.0.dist-info/entry_points.txt").decode()
    assert "quaver = quaver.cli:main" in entry_points


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
    r = subprocess.run([str(python), "-m", "pytest", "-q", "-m", "not packaging", "-p", "no:cacheprovider",
                        *ignore, str(ROOT / "tests")], capture_output=True, text=True, timeout=900, cwd=tmp_path)
    assert r.returncode == 0, r.stdout[-5000:] + r.stderr[-3000:]
    assert " passed" in r.stdout.splitlines()[-1] and "failed" not in r.stdout.splitlines()[-1]
