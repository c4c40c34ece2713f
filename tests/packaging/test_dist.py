"""The distributions: the sdist holds the sources, the wheel is built from that sdist (so a source
the build needs and the sdist lacks fails here), installs into a new virtual environment from
the package index and serves.

The wheel's dependencies come from the index as a user gets them, pinned to the versions of
this environment, which pip's cache already holds after `make setup`.
"""
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import httpx
import pytest

import quorvane
from service import Service
from test_stubs import MODULES

REPO_ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(
    not Path(quorvane.__file__).is_relative_to(sysconfig.get_paths()["platlib"]),
    reason="the modules under test come from another build tree (make asan, make clang); "
           "the release run builds and checks the distributions")


def run(*argv, timeout=900):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{argv[:4]} exited with {done.returncode}:\n{(done.stdout + done.stderr)[-4000:]}"
    return done.stdout


@pytest.fixture(scope="session")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, REPO_ROOT)
    return next(out.glob("quorvane-*.tar.gz"))


def test_sdist_holds_the_tracked_sources_and_nothing_of_a_build(sdist):
    with tarfile.open(sdist) as tar:
        names = {name.partition("/")[2] for name in tar.getnames()}
    assert not {n for n in names if n.startswith(("build/", ".venv")) or "__pycache__" in n or n.endswith(".so")}
    if shutil.which("git") is None or not (REPO_ROOT / ".git").exists():
        pytest.skip("not a git checkout: no list of tracked files to compare with")
    tracked = set(run("git", "-C", REPO_ROOT, "ls-files").split())
    assert tracked - {".gitignore"} - names == set()


def test_wheel_from_the_sdist_installs_into_a_new_venv_and_serves(sdist, tmp_path):
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", tmp_path / "dist", sdist)
    wheel = next((tmp_path / "dist").glob("quorvane-*.whl"))
    with zipfile.ZipFile(wheel) as zf:
        files = set(zf.namelist())
    for name in MODULES:
        base = name.replace(".", "/")
        assert base + ".pyi" in files and any(f.startswith(base + ".cpython-313") and f.endswith(".so") for f in files)
    assert "quorvane/py.typed" in files

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    constraints = tmp_path / "constraints.txt"
    constraints.write_text(run(sys.executable, "-m", "pip", "freeze", "--exclude", "quorvane"))
    run(venv / "bin/python", "-m", "pip", "install", "--disable-pip-version-check", "-c", constraints, wheel)

    with Service("--data-dir", tmp_path / "bars", "--log-level", "warning",
                 command=[venv / "bin/quorvane", "serve"]) as served:
        health = httpx.get(f"{served.base}/api/v1/health", timeout=10)
    assert health.status_code == 200
    assert health.json()["status"] == "ok" and health.json()["version"] == quorvane.__version__
