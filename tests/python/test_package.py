"""The Python package against the tool: the same bytes for the golden, example
and random recordings in every mode, the errors Python users expect, threads,
the file readers and writers, and whole lists."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import mfcc_frontend as mf

from locations import GOLDEN, EXAMPLES, TOOL, MODES, ROOT


def run_tool(*args):
    return subprocess.run([TOOL, "-q", *args], stdin=subprocess.DEVNULL, capture_output=True, text=True)


def names(list_file):
    with open(list_file) as f:
        return f.read().split()


def assert_same_bits(a, b, what):
    assert a.dtype == b.dtype == np.float32, what
    assert a.shape == b.shape, what
    assert a.tobytes() == b.tobytes(), what


def check_against_tool(list_file, recordings, tmp_path):
    for mode in MODES:
        out = tmp_path / mode
        assert run_tool("--c12-eng", list_file, recordings, str(out), mode).returncode == 0
        for name in names(list_file):
            raw = open(os.path.join(recordings, name), "rb").read()
            samples = np.frombuffer(raw[:len(raw) // 2 * 2], dtype="<i2")
            got = mf.extract(samples, normalisation=mode, truncate=True)
            prefix = str(out / name)
            htk = mf.read_htk(prefix + "." + mf.extension(mode))
            assert_same_bits(got.features, htk.data, (mode, name))
            assert (htk.sample_period, htk.parm_kind) == (100000, 6)
            assert_same_bits(np.ascontiguousarray(got.cepstra[:, :12]), mf.read_c12(prefix + ".C12"), name)
            assert_same_bits(got.energies, mf.read_eng(prefix + ".ENG"), name)
            # bytes in, the same out
            assert_same_bits(mf.features(raw[:len(raw) // 2 * 2], normalisation=mode, truncate=True),
                             got.features, name)


def test_golden_and_example_recordings_give_the_tools_vectors(tmp_path):
    check_against_tool(os.path.join(GOLDEN, "list"), os.path.join(GOLDEN, "recordings"), tmp_path / "golden")
    check_against_tool(os.path.join(EXAMPLES, "list.txt"), os.path.join(EXAMPLES, "recordings"), tmp_path / "ex")


def test_random_recordings_of_random_lengths(tmp_path):
    rng = np.random.default_rng(20261208)
    recordings = tmp_path / "in"
    recordings.mkdir()
    lines = []
    for i in range(24):
        n = [0, 1, 319, 320, 100000][i] if i < 5 else int(rng.integers(0, 100001))
        kind = i % 4
        if kind == 0:
            x = np.zeros(n, np.int16)
        elif kind == 1:
            x = np.where(np.arange(n) // 41 % 2 == 0, 32767, -32768).astype(np.int16)
        elif kind == 2:
            level = 2 ** int(rng.integers(0, 16))
            x = rng.integers(-level, level, n).astype(np.int16)
        else:
            t = np.arange(n) / 16000.0
            x = (8000 * np.sin(2 * np.pi * 180 * t) * (np.sin(2 * np.pi * 4 * t) > 0)).astype(np.int16)
        x.astype("<i2").tofile(recordings / f"r{i}")
        lines.append(f"r{i}")
    (tmp_path / "list").write_text("\n".join(lines) + "\n")
    check_against_tool(str(tmp_path / "list"), str(recordings), tmp_path / "out")


def test_shapes_strides_and_byte_orders():
    x = np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2")
    expected = mf.features(x)
    assert expected.shape == (327, 39)
    wide = np.zeros(2 * x.size, np.int16)
    wide[::2] = x
    assert_same_bits(mf.features(wide[::2]), expected, "strided")
    assert_same_bits(mf.features(x.astype(">i2")), expected, "big-endian array")
    assert_same_bits(mf.features(bytearray(x.tobytes())), expected, "bytearray")
    assert mf.features(x[:319]).shape == (0, 39)
    assert mf.cepstra(x).shape == (327, 13)
    assert mf.energies(x).shape == (327,)
    assert mf.features(np.zeros(0, np.int16), normalisation="MVNMA").shape == (0, 39)


def test_bad_input_says_what_is_wrong(tmp_path):
    x = np.zeros(16000, np.int16)
    with pytest.raises(TypeError, match=r"float64 samples need a scale: pass scale=32768 for waveforms in \[-1, 1\]"):
        mf.features(x.astype(np.float64))
    with pytest.raises(TypeError, match="16-bit integer samples are required, not int32.*astype"):
        mf.features(x.astype(np.int32))
    with pytest.raises(TypeError, match=r"1-D array of samples is required, not shape \(2, 8000\)"):
        mf.features(x.reshape(2, 8000))
    with pytest.raises(TypeError, match="numpy int16 array, a torch tensor or bytes"):
        mf.features([0] * 1000)
    with pytest.raises(ValueError, match="sample_rate 22050: the features are defined for 16000 Hz"):
        mf.features(x, sample_rate=22050)
    with pytest.raises(ValueError, match="unknown normalisation 'cmn': CMN, MVNMA or NONE"):
        mf.features(x, normalisation="cmn")
    with pytest.raises(ValueError, match="odd number of bytes"):
        mf.features(b"\x00\x01\x02")
    long = np.zeros(mf.MAX_SAMPLES + 1, np.int16)
    with pytest.raises(ValueError, match="longer than the 90-second limit.*truncate=True"):
        mf.features(long)
    assert mf.features(long, truncate=True).shape == (8999, 39)

    with pytest.raises(FileNotFoundError) as missing:
        mf.read_htk(tmp_path / "missing.htk")
    assert missing.value.filename == str(tmp_path / "missing.htk")
    with pytest.raises(FileNotFoundError):
        mf.read_recording(tmp_path / "missing.raw")
    # Read as raw, a file that is really an audio file gets the tool's
    # warning as a Python one; read as the default auto, it is read as
    # audio (and this one is refused as what it is).
    (tmp_path / "song.mp3").write_bytes(b"ID3\x04" + bytes(4000))
    with pytest.warns(UserWarning, match=r"song.mp3 begins with an MP3 \(ID3 tag\) header, which is read as samples"):
        mf.features_from_file(tmp_path / "song.mp3", input_format="raw")
    with pytest.raises(ValueError, match="song.mp3: not an audio file that can be read"):
        mf.features_from_file(tmp_path / "song.mp3")
    with pytest.raises(IsADirectoryError):
        mf.read_recording(tmp_path)
    (tmp_path / "short.htk").write_bytes(b"\x00\x00\x00\x01")
    with pytest.raises(ValueError, match="not an HTK file: shorter than the 12-byte HTK header"):
        mf.read_htk(tmp_path / "short.htk")
    mf.write_htk(tmp_path / "ok.htk", np.ones((3, 39), np.float32))
    (tmp_path / "cut.htk").write_bytes((tmp_path / "ok.htk").read_bytes()[:-4])
    with pytest.raises(ValueError, match="length 476 bytes, but the HTK header promises 12 \\+ 3 x 156 = 480"):
        mf.read_htk(tmp_path / "cut.htk")
    with pytest.raises(FileNotFoundError, match="No such file or directory"):
        mf.write_htk(tmp_path / "no" / "such" / "x.htk", np.ones((3, 39), np.float32))
    with pytest.raises(ValueError, match="2-D array"):
        mf.write_htk(tmp_path / "x.htk", np.ones(39, np.float32))


def test_write_htk_gives_the_tools_file(tmp_path):
    recordings = os.path.join(EXAMPLES, "recordings")
    assert run_tool(os.path.join(EXAMPLES, "list.txt"), recordings, str(tmp_path / "tool"), "MVNMA").returncode == 0
    x = mf.read_recording(os.path.join(recordings, "speaker2", "numbers"))
    mf.write_htk(tmp_path / "numbers.htk", mf.features(x, normalisation="MVNMA"))
    tool = (tmp_path / "tool" / "speaker2" / ("numbers." + mf.extension("MVNMA"))).read_bytes()
    assert (tmp_path / "numbers.htk").read_bytes() == tool


def test_audio_files_and_refusals(tmp_path):
    import wave
    x = np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2")
    with wave.open(str(tmp_path / "fox.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(x.tobytes())
    assert np.array_equal(mf.read_recording(tmp_path / "fox.wav", "audio"), x)
    assert_same_bits(mf.features_from_file(tmp_path / "fox.wav", "NONE", "audio"),
                     mf.features(x, normalisation="NONE"), "wav")
    with wave.open(str(tmp_path / "fast.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(22050)
        w.writeframes(x.tobytes())
    with pytest.raises(ValueError, match="refused .*fast.wav: 22050 Hz, 1 channel"):
        mf.read_recording(tmp_path / "fast.wav", "audio")


def test_threads_give_the_same_bytes():
    x = np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "features"), "<i2")
    expected = mf.features(x, normalisation="MVNMA")
    results = []

    def work():
        for _ in range(20):
            results.append(mf.features(x, normalisation="MVNMA").tobytes() == expected.tobytes())

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 80


def test_run_list_writes_the_tools_tree(tmp_path):
    list_file = os.path.join(EXAMPLES, "list.txt")
    recordings = os.path.join(EXAMPLES, "recordings")
    assert run_tool("--c12-eng", list_file, recordings, str(tmp_path / "tool"), "CMN").returncode == 0
    assert mf.run_list(list_file, recordings, tmp_path / "py", "CMN", jobs=2, c12_eng=True) == 0
    tool_files = sorted(p.relative_to(tmp_path / "tool") for p in (tmp_path / "tool").rglob("*") if p.is_file())
    py_files = sorted(p.relative_to(tmp_path / "py") for p in (tmp_path / "py").rglob("*") if p.is_file())
    assert tool_files == py_files and len(tool_files) == 12
    for f in tool_files:
        assert (tmp_path / "tool" / f).read_bytes() == (tmp_path / "py" / f).read_bytes()
    (tmp_path / "bad").write_text("speaker1/fox\nmissing\n")
    assert mf.run_list(tmp_path / "bad", recordings, tmp_path / "py2", "NONE") == 1
    with pytest.raises(OSError):
        mf.run_list(tmp_path / "no-list", recordings, tmp_path / "py3")


def test_paths_as_the_system_names_them(tmp_path):
    """str with surrogate escapes, bytes and path objects name the same files;
    NUL bytes and impossible writes raise what open() would."""
    samples = np.arange(-4000, 4000, 3, dtype=np.int16)
    odd = os.fsencode(tmp_path) + b"/caf\xe9 \xff.raw"  # not UTF-8
    with open(odd, "wb") as f:
        f.write(samples.astype("<i2").tobytes())
    for path in (odd, os.fsdecode(odd)):
        assert mf.read_recording(path).tobytes() == samples.tobytes()
        target = os.fsdecode(odd) + ".htk" if isinstance(path, str) else odd + b".htk"
        mf.write_htk(target, mf.features(samples))
        assert mf.read_htk(target).data.tobytes() == mf.features(samples).tobytes()
    nul = str(tmp_path / "a.htk") + "\0.txt"
    vectors = np.ones((2, 39), np.float32)
    for call in (lambda: mf.write_htk(nul, vectors), lambda: mf.read_recording(nul), lambda: mf.read_htk(nul),
                 lambda: mf.read_list(nul), lambda: mf.run_list(nul, tmp_path, tmp_path / "o"),
                 lambda: mf.run_list(tmp_path / "l", str(tmp_path) + "\0x", tmp_path / "o")):
        with pytest.raises(ValueError, match="null byte"):
            call()
    assert not (tmp_path / "a.htk").exists()
    # The real errno, whatever the call: the exception is chosen by it.
    for call, target, kind, code in ((mf.write_htk, tmp_path / "no" / "x.htk", FileNotFoundError, 2),
                                     (mf.write_htk, tmp_path, IsADirectoryError, 21),
                                     (mf.read_recording, tmp_path, IsADirectoryError, 21),
                                     (mf.features_from_file, tmp_path / "none.wav", FileNotFoundError, 2)):
        with pytest.raises(kind) as raised:
            call(target, vectors) if call is mf.write_htk else call(target, input_format="audio")
        assert (raised.value.errno, raised.value.filename) == (code, str(target))
        assert raised.value.strerror == os.strerror(code)
    with pytest.raises(ValueError, match="sample period"):
        mf.write_htk(tmp_path / "p.htk", vectors, sample_period=0)
    with pytest.raises(ValueError, match="0 to 1024, not 2000"):
        mf.run_list(tmp_path / "l", tmp_path, tmp_path / "o", jobs=2000)
    (tmp_path / "names").write_bytes(b"a\xc2\xa0b /lead\tcaf\xe9\n\n  x/y ")
    assert [os.fsencode(n) for n in mf.read_list(tmp_path / "names")] == [b"a\xc2\xa0b", b"/lead", b"caf\xe9", b"x/y"]


INTERRUPTED = r"""
import os, signal, sys, threading, time
import mfcc_frontend as mf
list_file, recordings, out, jobs = sys.argv[1:]
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    mf.run_list(list_file, recordings, out, "NONE", jobs=int(jobs))
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_stops_run_list(tmp_path, jobs):
    """SIGINT ends run_list after the utterances under way: KeyboardInterrupt,
    complete files only, no temporaries, most of a long list never started."""
    recordings = tmp_path / "in"
    recordings.mkdir()
    (recordings / "long").write_bytes(np.random.default_rng(3).integers(-3000, 3000, 160000, np.int16).tobytes())
    for i in range(3000):
        os.symlink("long", recordings / f"u{i}")
    (tmp_path / "list").write_text("".join(f"u{i}\n" for i in range(3000)))
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-c", INTERRUPTED, str(tmp_path / "list"), str(recordings), str(out), str(jobs)],
                         capture_output=True, text=True, timeout=120)
    assert run.stdout == "interrupted\n", run.stderr
    written = list(out.iterdir())
    assert 0 < len(written) < 2000
    assert all(p.name.endswith(".mfcKVR0DAC39") and p.stat().st_size == 12 + 156 * 999 for p in written)


def tree(root):
    return {p.relative_to(root): p.read_bytes() for p in root.rglob("*") if p.is_file()}


@pytest.mark.parametrize("options, flags", [
    ({"part": "1/3"}, ["--part", "1/3"]),
    ({"part": (2, 3), "jobs": 2}, ["--part", "2/3", "-j", "2"]),
    ({"no_empty_files": True}, ["--no-empty-files"]),
    ({"htk_qualifiers": True, "c12_eng": True}, ["--htk-qualifiers", "--c12-eng"]),
    ({"pairs": True, "jobs": 2}, ["--pairs", "-j", "2"]),  # the golden list as pairs name -> feats/name.htk
])
def test_run_list_takes_the_tools_options(tmp_path, options, flags):
    list_file, recordings = os.path.join(GOLDEN, "list"), os.path.join(GOLDEN, "recordings")
    if options.get("pairs"):
        names = open(list_file).read().split()
        list_file = str(tmp_path / "pairs.scp")
        with open(list_file, "w") as f:
            f.writelines(f"{name} feats/{name}.htk\n" for name in names)
    assert run_tool(*flags, list_file, recordings, str(tmp_path / "tool"), "MVNMA").returncode == 0
    assert mf.run_list(list_file, recordings, tmp_path / "py", "MVNMA", **options) == 0
    assert tree(tmp_path / "py") == tree(tmp_path / "tool")


def test_version_is_the_tools():
    assert subprocess.run([TOOL, "--version"], capture_output=True, text=True).stdout == f"feature {mf.__version__}\n"
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        assert f'version = "{mf.__version__}"\n' in f.read().splitlines(keepends=True)


def test_run_list_resumes_and_refuses_as_the_tool(tmp_path):
    list_file, recordings = os.path.join(GOLDEN, "list"), os.path.join(GOLDEN, "recordings")
    assert run_tool(list_file, recordings, str(tmp_path / "tool"), "NONE").returncode == 0
    assert run_tool(list_file, recordings, str(tmp_path / "py"), "NONE").returncode == 0
    cut = tmp_path / "py" / "speech_a.mfcKVR0DAC39"
    cut.write_bytes(cut.read_bytes()[:100])
    assert mf.run_list(list_file, recordings, tmp_path / "py", "NONE", skip_existing=True) == 0
    assert tree(tmp_path / "py") == tree(tmp_path / "tool")
    for bad, reason in (({"part": "3/3"}, "0 <= K < N"), ({"part": "x"}, "K/N"), ({"jobs": -1}, "0 to 1024"),
                        ({"input_dir": ""}, "input directory argument is empty"),
                        ({"output_dir": "o" * 255}, "longer than 254 characters")):
        arguments = {"input_dir": recordings, "output_dir": tmp_path / "o", **bad}
        with pytest.raises(ValueError, match=reason):
            mf.run_list(list_file, normalisation="NONE", **arguments)


def test_a_share_of_a_list_holds_exactly_its_members(tmp_path):
    """part K/N of six names: exactly those at positions K and K + 3."""
    (tmp_path / "in").mkdir()
    for i in range(6):
        np.full(800, i, np.int16).tofile(tmp_path / "in" / f"n{i}")
    (tmp_path / "list").write_text("".join(f"n{i}\n" for i in range(6)))
    for k in range(3):
        out = tmp_path / f"out{k}"
        assert mf.run_list(tmp_path / "list", tmp_path / "in", out, "NONE", part=f"{k}/3") == 0
        assert sorted(os.listdir(out)) == [f"n{k}.mfcKVR0DAC39", f"n{k + 3}.mfcKVR0DAC39"]
