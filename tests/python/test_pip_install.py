"""The package installs into a fresh virtual environment offline, as a user
would install it: pip install --no-build-isolation --no-index ./python."""

import os
import shutil
import subprocess
import sys
import venv

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
