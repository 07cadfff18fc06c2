import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from media import make_source, write_key_info  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def pytest_configure(config):
    for tool in ("ffmpeg", "ffprobe", "openssl"):
        if shutil.which(tool) is None:
            raise pytest.UsageError(f"the tests need the {tool} tool")


@pytest.fixture(scope="session")
def sources(tmp_path_factory):
    """Makes each named test source once per session: sources(name, **make_source args)."""
    directory = tmp_path_factory.mktemp("sources")
    made = {}

    def get(name, **kwargs):
        if name not in made:
            made[name] = make_source(directory / name, **kwargs)
        return made[name]

    return get


class Workdir:
    def __init__(self, path):
        self.path = path
        self.key, self.keyinfo = write_key_info(path)


@pytest.fixture
def workdir(tmp_path):
    """A working directory holding enc.key and enc.keyinfo (the job's default
    key-info path), where the renditions are written."""
    return Workdir(tmp_path)
