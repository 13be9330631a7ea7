"""Kaldi archives from Python: read_kaldi_ark and read_kaldi_scp give
feature-kaldi's matrices (the tool's vectors), write_kaldi writes the same
bytes, and damaged archives raise ValueError naming the entry."""
import os
import subprocess

import numpy as np
import pytest

import mfcc_frontend as mf

from locations import KALDI, ROOT
EXAMPLES = os.path.join(ROOT, "examples", "recordings")
NAMES = ("speaker1/fox", "speaker1/features", "speaker2/numbers", "speaker2/stella")


def test_archives_round_trip_and_hold_the_tools_vectors(tmp_path):
    scp = "".join(f"{n.replace('/', '-')} cat {os.path.join(EXAMPLES, n)} |\n" for n in NAMES)
    (tmp_path / "wav.scp").write_text(scp)
    ark, index = str(tmp_path / "f.ark"), str(tmp_path / "f.scp")
    run = subprocess.run([KALDI, "-q", "--input-format=raw", f"scp:{tmp_path / 'wav.scp'}", f"ark,scp:{ark},{index}",
                          "CMN"], capture_output=True)
    assert run.returncode == 0, run.stderr
    expected = {n.replace("/", "-"): mf.features(np.fromfile(os.path.join(EXAMPLES, n), "<i2")) for n in NAMES}
    for pairs in (list(mf.read_kaldi_ark(ark)), list(mf.read_kaldi_scp(index))):
        assert [k for k, _ in pairs] == list(expected)
        for key, matrix in pairs:
            assert matrix.dtype == np.float32 and matrix.tobytes() == expected[key].tobytes(), key
    assert mf.write_kaldi(ark + "2", index + "2", expected.items()) == 4
    assert open(ark + "2", "rb").read() == open(ark, "rb").read()
    assert open(index + "2").read() == open(index).read().replace(ark, ark + "2")
    assert sorted(os.listdir(tmp_path)) == ["f.ark", "f.ark2", "f.scp", "f.scp2", "wav.scp"]


def test_damaged_archives_say_where(tmp_path):
    good = tmp_path / "good.ark"
    mf.write_kaldi(good, None, [("a", np.ones((3, 39), np.float32)), ("b", np.zeros((2, 39)))])
    data = good.read_bytes()
    cases = [
        (data[:-5], "entry 'b' (byte 487): the archive ends inside a matrix of 2 x 39"),
        (data.replace(b"FM ", b"CM ", 1), "entry 'a' (byte 2): a compressed matrix"),
        (b"a [ 1 2 ]\n", "not a binary entry"),
        (data + b"c", "the archive ends inside the key"),
    ]
    for i, (content, says) in enumerate(cases):
        path = tmp_path / f"bad{i}.ark"
        path.write_bytes(content)
        with pytest.raises(ValueError, match=says.replace("(", r"\(").replace(")", r"\)")):
            list(mf.read_kaldi_ark(path))
    (tmp_path / "bad.scp").write_text(f"a {good}:2\nb {good}:x\n")
    with pytest.raises(ValueError, match="line 2: the offset 'x' is no number"):
        list(mf.read_kaldi_scp(tmp_path / "bad.scp"))
    with pytest.raises(ValueError, match="white space"):
        mf.write_kaldi(tmp_path / "k.ark", None, [("two words", np.ones((1, 1)))])
    with pytest.raises(ValueError, match="2-D"):
        mf.write_kaldi(tmp_path / "k.ark", None, [("a", np.ones(3))])
    assert not (tmp_path / "k.ark").exists()
    assert not [f for f in os.listdir(tmp_path) if f.startswith(".")]
