"""The wheel a user gets from `pip wheel .`, built once per test session and installed into a
fresh virtual environment, for the packaging and typing tests."""

from __future__ import annotations

import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[1]


@dataclass(frozen=True)
class InstalledWheel:
    wheel: Path
    python: Path  # interpreter of the fresh environment the wheel is installed in
    outside: Path  # an empty directory outside the checkout, to run things from


def clean_environment() -> dict[str, str]:
    """The process environment without anything that would point Python at the checkout."""
    environment = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "MYPYPATH", "PYTHONSTARTUP"):
        environment.pop(name, None)
    return environment


def run(command: list[str | Path], cwd: Path, timeout: float = 900) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(
        [str(part) for part in command],
        cwd=cwd,
        env=clean_environment(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if result.returncode != 0:
        raise AssertionError(
            f"{command} failed ({result.returncode}):\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
        )
    return result


_session: list[InstalledWheel] = []


def installed_wheel(tmp_path_factory) -> InstalledWheel:
    """Builds the wheel as a user does, and installs it, without its index, in a new venv.
    Done once per test session; later calls return the same installation."""
    if not _session:
        _session.append(_build_and_install(tmp_path_factory))
    return _session[0]


def _build_and_install(tmp_path_factory) -> InstalledWheel:
    root = tmp_path_factory.mktemp("wheel")
    dist = root / "dist"
    run([sys.executable, "-m", "pip", "wheel", REPOSITORY, "--no-deps", "--wheel-dir", dist], cwd=root)
    (wheel,) = dist.glob("lumagnis-*.whl")
    environment = root / "venv"
    run([sys.executable, "-m", "venv", environment], cwd=root)
    python = environment / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", wheel], cwd=root)
    _link_numpy(python, root)
    outside = root / "elsewhere"
    outside.mkdir()
    return InstalledWheel(wheel=wheel, python=python, outside=outside)


def _link_numpy(python: Path, root: Path) -> None:
    """The wheel's one run-time dependency, numpy, made importable in the fresh environment
    from this one's installation (the tests run without an index), through a .pth file."""
    import numpy

    source = Path(numpy.__file__).parents[1]
    linked = root / "numpy-from-tests"
    linked.mkdir()
    for name in ("numpy", "numpy.libs"):
        if (source / name).exists():
            (linked / name).symlink_to(source / name)
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"], cwd=root)
    (Path(site.stdout.strip()) / "numpy-from-tests.pth").write_text(f"{linked}\n")
