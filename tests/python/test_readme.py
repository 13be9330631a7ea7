"""The README's code blocks that work on the shipped examples run as
written, in README order, in one scratch directory: each is marked
<!-- runnable -->; every other sh, bash or python block is marked
<!-- not run: why -->, and this test lists them."""
import os
import re
import shutil
import subprocess
import sys

from locations import ROOT, TOOL

FENCE = re.compile(r"^(<!-- (runnable|not run: [^>]*) -->\n)?```(sh|bash|python)\n(.*?)^```$", re.S | re.M)


def blocks():
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    return [(text[:m.start()].count("\n") + 1, m.group(2), m.group(3), m.group(4)) for m in FENCE.finditer(text)]


def test_every_block_is_marked_and_the_runnable_ones_run_as_written(tmp_path):
    found = blocks()
    unmarked = [line for line, mark, _, _ in found if mark is None]
    assert not unmarked, f"README blocks without <!-- runnable --> or <!-- not run: why -->, at lines {unmarked}"
    print("not run:", *(f"line {line}: {mark[9:]}" for line, mark, _, _ in found if mark != "runnable"), sep="\n  ")
    runnable = [(line, language, code) for line, mark, language, code in found if mark == "runnable"]
    assert len(runnable) >= 6
    programs = os.path.dirname(os.path.abspath(TOOL))
    os.symlink(os.path.join(ROOT, "examples"), tmp_path / "examples")
    os.symlink(programs, tmp_path / "build")
    environment = dict(os.environ, PATH=programs + os.pathsep + os.environ["PATH"],
                       PYTHONPATH=os.pathsep.join(sys.path))
    if shutil.which("sox") is None:
        runnable = [b for b in runnable if "sox " not in b[2]]
    for line, language, code in runnable:
        command = ["sh", "-eu", "-c", code] if language != "python" else [sys.executable, "-c", code]
        run = subprocess.run(command, cwd=tmp_path, env=environment, capture_output=True, text=True,
                             stdin=subprocess.DEVNULL, timeout=300)
        assert run.returncode == 0, f"README line {line}:\n{code}\n{run.stdout}{run.stderr}"
    made = ["features/speaker1/fox.mfcKVR0DAZC39", "fox.png", "feats/a.mfc", "feats/b.mfc"]
    if shutil.which("sox") is not None:
        made += ["feats/spk1/fox.mfc", f"features/{tmp_path}/corpus/spk1/fox.mfcKVR0DAZC39", "say.wav"]
    for path in made:
        assert (tmp_path / path).stat().st_size > 12, path
