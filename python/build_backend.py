"""setuptools' build backend from Debian's python3-setuptools and python3-wheel, so that
`pip install ./python` builds without downloading anything: pip's isolated build environment
holds neither, and would fetch them."""
import sys

sys.path.append("/usr/lib/python3/dist-packages")

from setuptools.build_meta import *  # noqa: E402,F401,F403


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []
