"""The extension module for pip: the version and the sources are the CMake build's."""
import os
import re
from pathlib import Path

from setuptools import Extension, setup

here = Path(__file__).resolve().parent
root = here.parent
header = (root / "include/agentclient/pa.h").read_text()
version = ".".join(re.search(rf"\n#define PA_VERSION_{part} (\d+)\n", header)[1] for part in ("MAJOR", "MINOR", "PATCH"))
library_dirs = [d for d in os.environ.get("AGENTCLIENT_LIBRARY_DIR", "").split(os.pathsep) if d]

setup(
    version=version,
    ext_modules=[Extension(
        "agentclient._agentclient",
        sources=sorted(str(source.relative_to(here)) for source in (here / "src").glob("*.cc")),
        include_dirs=[str(root / "include"), str(root / "libs/protocol")],
        libraries=["agentclient"],
        library_dirs=library_dirs,
        runtime_library_dirs=library_dirs,
        extra_compile_args=["-std=c++20", "-fvisibility=hidden"],
        language="c++",
    )],
)
