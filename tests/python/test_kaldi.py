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


def test_writers_write_into_fifos_and_devices_and_follow_links(tmp_path):
    """write_kaldi and write_htk with feature-kaldi's rules: a FIFO or device
    at the name is written into, a link followed (it stays a link), a
    directory or two outputs in one file refused before anything is written."""
    items = [("a", np.ones((3, 39), np.float32)), ("b", np.arange(78, dtype=np.float32).reshape(2, 39))]
    mf.write_kaldi(tmp_path / "plain.ark", tmp_path / "plain.scp", items)
    mf.write_htk(tmp_path / "plain.htk", items[1][1])
    plain = {kind: (tmp_path / f"plain.{kind}").read_bytes() for kind in ("ark", "htk")}
    (tmp_path / "storage").mkdir()
    for kind, write in (("ark", lambda p: mf.write_kaldi(p, None, items)), ("htk", lambda p: mf.write_htk(p, items[1][1]))):
        fifo = tmp_path / f"fifo.{kind}"
        os.mkfifo(fifo)
        got = []
        reader = __import__("threading").Thread(target=lambda: got.append(open(fifo, "rb").read()))
        reader.start()
        write(fifo)
        reader.join()
        assert got == [plain[kind]] and fifo.is_fifo()
        link = tmp_path / f"link.{kind}"
        os.symlink(f"storage/x.{kind}", link)  # dangling
        write(link)
        assert link.is_symlink() and (tmp_path / "storage" / f"x.{kind}").read_bytes() == plain[kind]
        if os.geteuid() == 0:
            null = tmp_path / f"null.{kind}"
            os.mknod(null, 0o666 | __import__("stat").S_IFCHR, os.makedev(1, 3))
            write(null)
            assert __import__("stat").S_ISCHR(os.lstat(null).st_mode)
        (tmp_path / f"dir.{kind}").mkdir()
        with pytest.raises(IsADirectoryError):
            write(tmp_path / f"dir.{kind}")
    with pytest.raises(ValueError, match="the index and the archive are one file"):
        mf.write_kaldi(tmp_path / "same", tmp_path / "same", items)
    assert not (tmp_path / "same").exists()
    assert not [f for f in os.listdir(tmp_path) if f.startswith(".")]


def test_readers_check_sizes_before_allocating(tmp_path):
    """A header that claims more than the file holds raises at once (no
    MemoryError); an index whose archive path holds a space is read as
    Kaldi reads it; frames far past the ready ones raise IndexError."""
    huge = tmp_path / "huge.ark"
    huge.write_bytes(b"k \0BFM \x04\xff\xff\xff\x7f\x04\x27\x00\x00\x00")
    with pytest.raises(ValueError, match=r"entry 'k' \(byte 2\): the archive ends inside a matrix of 2147483647 x 39"):
        list(mf.read_kaldi_ark(huge))
    (tmp_path / "huge.scp").write_text(f"k {huge}:2\n")
    with pytest.raises(ValueError, match="the archive ends inside a matrix of 2147483647 x 39"):
        list(mf.read_kaldi_scp(tmp_path / "huge.scp"))
    spaced = tmp_path / "fox sp ace.ark"
    items = [("a", np.ones((3, 39), np.float32))]
    mf.write_kaldi(spaced, tmp_path / "spaced.scp", items)
    assert (tmp_path / "spaced.scp").read_text() == f"a {spaced}:2\n"
    [(key, matrix)] = list(mf.read_kaldi_scp(tmp_path / "spaced.scp"))
    assert key == "a" and matrix.tobytes() == items[0][1].tobytes()
    online = mf.OnlineExtractor("NONE")
    online.accept_waveform(np.zeros(3200, np.int16))
    with pytest.raises(IndexError, match="frame 999999999 is not available"):
        online.get_frames(0, 10**9)
