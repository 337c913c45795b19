"""The README's tour runs as written and shows what its comments say."""

import os
import re
import subprocess
import sys

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def test_tour_proves_an_identity_with_a_derived_step(tmp_path):
    with open(README) as f:
        [tour] = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    done = subprocess.run([sys.executable, "-c", tour], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300, check=True)
    # Less the progress lines of the search and of the proof search.
    lines = [line for line in done.stdout.splitlines() if line and not line.startswith(("#", "Exploring "))]
    assert re.fullmatch(r"\d+ classes, 0 failing a check on a fresh random state", lines[0])
    assert lines[1] == "None"
    proof = lines[2:]
    assert re.fullmatch(r"0: Identity \{ .* \} <- \d+, \d+", proof[0]), proof
    assert any(line.endswith("<- ASSUME") for line in proof), proof
    assert (tmp_path / "classes.postcard").is_file()
