import os
import subprocess
import sys

import pytest

import tarnel

PKG_DIR = os.path.dirname(os.path.dirname(tarnel.__file__))


@pytest.fixture(params=["memory", "file"])
def db(request, tmp_path):
    d = tarnel.open(str(tmp_path / "t.db")) if request.param == "file" else tarnel.open()
    yield d
    d.close()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.db")


@pytest.fixture
def coll(db):
    return db.collection("c")


def run_child(code, *args):
    """Runs `code` in a fresh interpreter that imports tarnel from this build."""
    env = dict(os.environ, PYTHONPATH=PKG_DIR)
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True,
                          text=True, timeout=60)
