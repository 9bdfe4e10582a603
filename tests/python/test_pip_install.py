"""The package installs into a fresh virtual environment offline, as a user
would install it: pip install --no-build-isolation --no-index ./python."""

import os
import shutil
import subprocess
import sys
import venv

import pytest

PACKAGE_SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "python")


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)


def test_pip_install_offline_into_a_venv(tmp_path):
    # A copy, so the build leaves no build/ or egg-info in the source tree.
    source = tmp_path / "python"
    shutil.copytree(PACKAGE_SOURCE, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    env_dir = tmp_path / "venv"
    # System site packages give pip the Debian setuptools and wheel to build with.
    venv.EnvBuilder(system_site_packages=True, with_pip=True).create(env_dir)
    python = env_dir / "bin" / "python"

    install = run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)])
    assert install.returncode == 0, install.stdout + install.stderr

    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    check = run([str(python), "-c",
                 "import lightkit, os, sys; "
                 "print(os.path.dirname(lightkit.__file__)); "
                 "print(os.path.exists(os.path.join(os.path.dirname(lightkit.__file__), 'py.typed'))); "
                 "print(lightkit.sdk_version())"],
                env=environment, cwd=tmp_path)
    assert check.returncode == 0, check.stderr
    where, typed, version = check.stdout.split()
    assert where.startswith(str(env_dir))
    assert (typed, version) == ("True", "20100")


def test_cmake_install_puts_the_package_where_python_finds_it(tmp_path):
    build = os.environ.get("LIGHTKIT_BUILD_DIR")
    if not build:
        pytest.skip("LIGHTKIT_BUILD_DIR names no build folder")
    install = run([os.environ.get("LIGHTKIT_CMAKE", "cmake"), "--install", build, "--component", "python", "--prefix", str(tmp_path)])
    assert install.returncode == 0, install.stdout + install.stderr
    package = tmp_path / "lib" / "python3" / "dist-packages" / "lightkit"
    assert sorted(p.name for p in package.iterdir()) == [
        "__init__.py", "_native.py", "device.py", "errors.py", "ports.py", "py.typed", "remote.py", "sim.py"]
    environment = dict(os.environ, PYTHONPATH=str(package.parent))
    check = run([sys.executable, "-c", "import lightkit; print(lightkit.__file__, lightkit.sdk_version())"],
                env=environment, cwd=tmp_path)
    assert check.returncode == 0, check.stderr
    assert check.stdout.split() == [str(package / "__init__.py"), "20100"]
