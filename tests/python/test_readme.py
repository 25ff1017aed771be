"""Every Python block of the README runs as written, each in a namespace of its own."""
import importlib.util
import pathlib
import re

import numpy as np
import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def imported_modules(code):
    return {m.split(".")[0] for m in re.findall(r"^\s*(?:import|from)\s+([\w.]+)", code, re.M)}


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 5


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(code):
    for name in imported_modules(code):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed")
    namespace = {"__name__": "readme"}
    exec(compile(code, str(README), "exec"), namespace)
    if "DBSCAN(" in code:
        # The example's eps must fit its data: the four blobs, little noise.
        labels = namespace["labels"]
        assert len(set(labels) - {-1}) == 4
        assert np.mean(labels == -1) < 0.05
