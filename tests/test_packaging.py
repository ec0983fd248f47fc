"""What a user installs: the wheel from `pip wheel .`, its metadata, a fresh environment that
imports it, and the source distribution."""

import email.parser
import json
import subprocess
import sys
import tarfile
import zipfile

import pytest

from installed_wheel import REPOSITORY, installed_wheel, run

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    return installed_wheel(tmp_path_factory)


def wheel_names(installed):
    with zipfile.ZipFile(installed.wheel) as archive:
        return archive.namelist()


def test_wheel_holds_the_two_modules_and_their_stubs_and_nothing_else(installed):
    names = wheel_names(installed)
    payload = sorted(name for name in names if ".dist-info/" not in name)
    assert len(payload) == 7, payload
    assert payload[0] == "lumagnis-stubs/__init__.pyi"
    tag = f"cpython-{sys.version_info.major}{sys.version_info.minor}"
    assert payload[1].startswith(f"lumagnis.{tag}-") and payload[1].endswith(".so")
    assert payload[2:4] == ["lumagnis_fspl-stubs/__init__.pyi", "lumagnis_fspl-stubs/jax.pyi"]
    assert payload[4] == "lumagnis_fspl/__init__.py"
    assert payload[5].startswith(f"lumagnis_fspl/_native.{tag}-") and payload[5].endswith(".so")
    assert payload[6] == "lumagnis_fspl/jax.py"
    assert not any("lumagnis_testing" in name for name in names)
    assert "lumagnis-0.1.0.dist-info/licenses/LICENSE" in names


def test_wheel_metadata_is_complete(installed):
    with zipfile.ZipFile(installed.wheel) as archive:
        text = archive.read("lumagnis-0.1.0.dist-info/METADATA").decode()
    metadata = email.parser.Parser().parsestr(text)
    assert metadata["Name"] == "lumagnis"
    assert metadata["License-Expression"] == "MIT"
    assert metadata["License-File"] == "LICENSE"
    assert metadata["Requires-Python"] == ">=3.12"
    assert metadata["Description-Content-Type"] == "text/markdown"
    # JAX only with the extra: the core needs numpy alone.
    assert metadata.get_all("Requires-Dist") == [
        "numpy>=1.26",
        'jax>=0.12.1; extra == "jax"',
        'jaxlib>=0.12.1; extra == "jax"',
    ]
    assert metadata.get_all("Provides-Extra") == ["jax"]
    assert "pip install ." in metadata.get_payload()
    classifiers = set(metadata.get_all("Classifier"))
    assert {
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Scientific/Engineering :: Astronomy",
        "Intended Audience :: Science/Research",
        "Typing :: Typed",
    } <= classifiers
    # A license expression replaces the license classifiers; carrying both is rejected by
    # the package index.
    assert not any(c.startswith("License ::") for c in classifiers)


def test_fresh_environment_imports_the_installed_module(installed):
    probe = """
import importlib.metadata, importlib.util, json, lumagnis, lumagnis_fspl
print(json.dumps({
    "file": lumagnis.__file__,
    "all": lumagnis.__all__,
    "limb": lumagnis.witt_mao_magnification([1.0], 1.0, 1.0)[0],
    "testing": importlib.util.find_spec("lumagnis_testing") is not None,
    "fspl_file": lumagnis_fspl.__file__,
    "fspl_version": lumagnis_fspl.__version__,
    "distribution_version": importlib.metadata.version("lumagnis"),
    "fspl_centre": lumagnis_fspl.uniform([0.0], 1.0).tolist(),
}))
"""
    result = run([installed.python, "-c", probe], cwd=installed.outside)
    report = json.loads(result.stdout)
    assert report["file"].startswith(str(installed.python.parents[1]))
    assert len(report["all"]) == 7
    # Lens on the limb of a source of one Einstein radius: ((0 + pi/2) 2 + 2)/pi.
    assert report["limb"] == 1.6366197723675813
    assert report["testing"] is False
    assert report["fspl_file"].startswith(str(installed.python.parents[1]))
    assert report["fspl_version"] == report["distribution_version"] == "0.1.0"
    # A uniform source of one Einstein radius centred on the lens: sqrt(1 + 4) / 1.
    assert report["fspl_centre"] == [pytest.approx(5**0.5, rel=1e-14)]


@pytest.mark.parametrize("module", ["lumagnis", "lumagnis_fspl/_native"])
def test_installed_library_exports_only_its_initialisation(installed, tmp_path, module):
    (library,) = [n for n in wheel_names(installed) if n.startswith(module + ".cpython")]
    with zipfile.ZipFile(installed.wheel) as archive:
        path = archive.extract(library, tmp_path)
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout.split()
    initialisation = "PyInit_" + module.rpartition("/")[2]
    assert [s for s in symbols if s[:1].isalpha() and len(s) > 1] == [initialisation]


def test_sdist_carries_everything_the_build_needs(tmp_path):
    build = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    result = subprocess.run(
        [sys.executable, "-c", build, str(tmp_path)],
        cwd=REPOSITORY, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    name = result.stdout.split()[-1]
    assert name == "lumagnis-0.1.0.tar.gz"
    with tarfile.open(tmp_path / name) as archive:
        members = {m.split("/", 1)[1] for m in archive.getnames() if "/" in m}
        metadata = email.parser.Parser().parsestr(
            archive.extractfile("lumagnis-0.1.0/PKG-INFO").read().decode()
        )
    tracked = subprocess.run(
        ["git", "ls-files", "src", "cmake", "stubs"],
        cwd=REPOSITORY, capture_output=True, text=True, check=True,
    ).stdout.split()
    needed = set(tracked) | {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE"}
    assert needed <= members, sorted(needed - members)
    assert not any(m.startswith((".venv", "build/", ".git/")) for m in members)
    assert metadata["Requires-Python"] == ">=3.12"
    assert metadata["License-Expression"] == "MIT"
