"""What a newcomer meets: audio files read as raw samples are counted and
named in the summary, and the auto input format reads them as audio in
every program and in Python."""
import os
import subprocess
import wave

import numpy as np

import mfcc_frontend as mf

from locations import EXAMPLES, KALDI, TOOL


def recordings(tmp_path):
    x = np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2")[:48000]
    x.tofile(tmp_path / "a.raw")
    with wave.open(str(tmp_path / "b.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(x.tobytes())
    (tmp_path / "list").write_text("a.raw\nb.wav\n")
    (tmp_path / "wav.scp").write_text(f"a {tmp_path / 'a.raw'}\nb {tmp_path / 'b.wav'}\n")
    return x


def test_auto_reads_audio_files_as_audio_and_raw_counts_them(tmp_path):
    x = recordings(tmp_path)
    expected = mf.features(x, normalisation="NONE")
    said = "feature: 1 recording began with an audio file's header and was read as raw samples, header included " \
           "(--input-format=auto reads audio files as audio)\n"
    for format, counted in (("raw", True), ("auto", False)):
        out = tmp_path / format
        run = subprocess.run([TOOL, f"--input-format={format}", str(tmp_path / "list"), str(tmp_path), str(out), "NONE"],
                             capture_output=True, text=True, stdin=subprocess.DEVNULL)
        assert run.returncode == 0 and (said in run.stderr) == counted, run.stderr
        assert mf.read_htk(out / "a.raw.mfcKVR0DAC39").data.tobytes() == expected.tobytes()
        wav = mf.read_htk(out / "b.wav.mfcKVR0DAC39").data
        assert (wav.tobytes() == expected.tobytes()) != counted       # raw: the header analysed as sound
    run = subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}", f"ark:{tmp_path / 'f.ark'}",
                          "NONE"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert [(k, a.tobytes()) for k, a in mf.read_kaldi_ark(tmp_path / "f.ark")] == \
        [("a", expected.tobytes()), ("b", expected.tobytes())]
    for name in ("a.raw", "b.wav"):                                   # Python reads with auto by default
        assert mf.read_recording(tmp_path / name).tobytes() == x.tobytes()
        assert mf.features_from_file(tmp_path / name, "NONE").tobytes() == expected.tobytes()


def test_keep_going_and_the_record_of_a_run(tmp_path):
    import json
    recordings(tmp_path)
    (tmp_path / "c.raw").write_bytes(bytes(200))                          # too short for a frame
    def record(path):
        return [(r["name"], r["status"], r["frames"], r["reason"]) for r in map(json.loads, path.read_text().splitlines())]
    missing = "cannot read the recording {}: No such file or directory"
    # A missing recording first, last, or in the middle: the prescribed run stops there; --keep-going goes on.
    for names in (["gone", "a.raw", "c.raw"], ["a.raw", "c.raw", "gone"], ["a.raw", "gone", "c.raw"]):
        (tmp_path / "list").write_text("\n".join(names) + "\n")
        for keep_going in (False, True):
            out, rec = tmp_path / f"out{names.index('gone')}{keep_going}", tmp_path / "run.jsonl"
            run = subprocess.run([TOOL, *(["--keep-going"] if keep_going else []), f"--record={rec}", "--part", "0/1",
                                  str(tmp_path / "list"), str(tmp_path), str(out), "NONE"],
                                 capture_output=True, text=True, stdin=subprocess.DEVNULL)
            assert run.returncode == 1 and f"can't open file {tmp_path}/gone\n" in run.stdout
            stop = names.index("gone")
            expected = []
            for i, n in enumerate(names):
                if n == "gone":
                    expected.append((n, "failed", 0, missing.format(f"{tmp_path}/gone")))
                elif i > stop and not keep_going:
                    expected.append((n, "not tried", 0, ""))
                else:
                    expected.append((n, "done" if n == "a.raw" else "too short", 299 if n == "a.raw" else 0, ""))
            assert record(rec) == expected, (names, keep_going)
            assert (out / "c.raw.mfcKVR0DAC39").exists() == (keep_going or names.index("c.raw") < stop)
    # run_list takes the same keywords; a part's record gets its part in its name.
    (tmp_path / "list").write_text("gone\na.raw\n")
    status = mf.run_list(tmp_path / "list", tmp_path, tmp_path / "py", "NONE", keep_going=True,
                         record=tmp_path / "py.jsonl", part="1/2")
    assert status == 0 and record(tmp_path / "py-1-of-2.jsonl") == [("a.raw", "done", 299, "")]
    # feature-kaldi: every entry fails alone anyway; the record says why.
    (tmp_path / "wav.scp").write_text(f"a {tmp_path / 'a.raw'}\ng {tmp_path / 'gone'}\n")
    run = subprocess.run([KALDI, "-q", "--input-format=raw", f"--record={tmp_path / 'k.jsonl'}", f"scp:{tmp_path / 'wav.scp'}",
                          f"ark:{tmp_path / 'k.ark'}", "NONE"], capture_output=True, text=True)
    assert run.returncode == 1
    got = record(tmp_path / "k.jsonl")
    assert got[0] == ("a", "done", 299, "") and got[1][:3] == ("g", "failed", 0) and "No such file" in got[1][3]


def test_text_archives_give_every_float_back_exactly(tmp_path):
    recordings(tmp_path)
    (tmp_path / "empty.raw").write_bytes(bytes(100))
    (tmp_path / "wav.scp").write_text(f"a {tmp_path / 'a.raw'}\nb {tmp_path / 'b.wav'}\n")
    binary = subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}", "ark:-", "CMN"],
                            capture_output=True, check=True).stdout
    text = subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}", "ark,t:-", "CMN"],
                          capture_output=True, check=True, text=True).stdout
    (tmp_path / "b.ark").write_bytes(binary)
    expected = dict(mf.read_kaldi_ark(tmp_path / "b.ark"))
    entries = text.split("]\n")
    assert entries[-1] == "" and len(entries) == 3
    for entry, (key, matrix) in zip(entries[:-1], expected.items()):
        head, *rows = entry.split("\n  ")
        assert head == f"{key}  [" and all(row.endswith(" ") for row in rows)
        values = np.array([[np.float32(v) for v in row.split()] for row in rows], np.float32)
        assert values.tobytes() == matrix.tobytes()
    run = subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}",
                          f"ark,scp,t:{tmp_path / 't.ark'},{tmp_path / 't.scp'}", "CMN"], capture_output=True)
    assert run.returncode == 0 and (tmp_path / "t.ark").read_text() == text
    offsets = [int(line.rsplit(":", 1)[1]) for line in (tmp_path / "t.scp").read_text().splitlines()]
    assert [text[o:o + 3] for o in offsets] == [" [\n"] * 2


def test_tables_of_an_entry_longer_than_90_seconds(tmp_path):
    import json
    import tarfile
    long = np.resize(np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2"), 16000 * 100)
    long.tofile(tmp_path / "long.raw")
    (tmp_path / "wav.scp").write_text(f"long {tmp_path / 'long.raw'}\n")
    run = subprocess.run([KALDI, "--input-format=raw", f"--write-num-frames=ark,t:{tmp_path / 'frames'}",
                          f"--write-utt2dur=ark,t:{tmp_path / 'dur'}", f"scp:{tmp_path / 'wav.scp'}",
                          f"ark:{tmp_path / 'f.ark'}", "NONE"], capture_output=True, text=True)
    assert run.returncode == 0 and "1 cut at 90 s" in run.stderr
    assert (tmp_path / "frames").read_text() == "long 8999\n" and (tmp_path / "dur").read_text() == "long 100\n"
    subprocess.run([KALDI, "-q", "--input-format=raw", f"scp:{tmp_path / 'wav.scp'}", f"shards:{tmp_path / 's'}", "NONE"],
                   check=True)
    with tarfile.open(tmp_path / "s" / "shard-000000.tar") as shard:
        assert json.load(shard.extractfile("long.json"))["seconds"] == 90


def test_a_missing_relative_archive_says_where_it_was_looked_for(tmp_path, monkeypatch):
    import pytest
    from mfcc_frontend import training
    (tmp_path / "feats.scp").write_text("a mfcc/raw.ark:2\n")
    monkeypatch.chdir(tmp_path)
    words = f"(feats.scp line 1: a relative archive path is taken in the working directory, {tmp_path}, as Kaldi takes it"
    for read in (lambda: list(mf.read_kaldi_scp("feats.scp")), lambda: training.KaldiScpDataset("feats.scp")[0]):
        with pytest.raises(FileNotFoundError) as e:
            read()
        assert words in str(e.value)


def test_truncate_says_once_per_call_how_many_recordings_it_cut(tmp_path):
    import pytest
    import warnings
    long = np.resize(np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2"), mf.MAX_SAMPLES + 1)
    short = long[:mf.MAX_SAMPLES]
    long.tofile(tmp_path / "long.raw")
    for call, count in ((lambda: mf.features(long, truncate=True), 1),
                        (lambda: mf.features(short, truncate=True), 0),
                        (lambda: mf.features_batch([long, short, long], truncate=True, jobs=1), 2),
                        (lambda: mf.features_from_file(tmp_path / "long.raw", truncate=True), 1)):
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            call()
        cut = [str(w.message) for w in said if "longer than 90 s" in str(w.message)]
        assert len(cut) == (1 if count else 0) and all(w.filename == __file__ for w in said if "90 s" in str(w.message))
        if count:
            assert cut[0].startswith(f"{count} recording{'s were' if count > 1 else ' was'} longer than 90 s")


def test_help_and_manuals_name_the_sibling_programs():
    from locations import ROOT
    programs = ("feature", "feature-kaldi", "feature-stream", "feature-inspect")
    said = subprocess.run([TOOL, "--help"], capture_output=True, text=True).stdout
    assert all(p in said.split("See also:")[1] for p in programs[1:])
    for page in programs:
        with open(os.path.join(ROOT, "man", page + ".1")) as f:
            see_also = f.read().split(".SH SEE ALSO")[1].replace("\\-", "-")
        assert all(p in see_also for p in programs if p != page), page
    with open(os.path.join(ROOT, "man", "feature-kaldi.1")) as f:
        assert "a wav.scp from elsewhere is a program" in f.read()


def test_feature_stream_reads_a_wav_header_instead_of_analysing_it(tmp_path):
    import io
    from locations import STREAM
    x = recordings(tmp_path)

    def wav(samples, rate=16000, channels=1, size=None):
        buffer = io.BytesIO()
        with wave.open(buffer, "wb") as w:
            w.setnchannels(channels)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes(samples.tobytes())
        data = bytearray(buffer.getvalue())
        if size is not None:
            data[40:44] = size.to_bytes(4, "little")       # what a recorder streaming to a pipe writes
        return bytes(data)

    def stream(data, *options):
        return subprocess.run([STREAM, *options, "NONE"], input=data, capture_output=True)

    expected = mf.features(x, normalisation="NONE").astype("<f4").tobytes()
    for data in (wav(x), wav(x, size=0xFFFFFFFF), wav(x, size=0), wav(x) + b"LIST" + (392).to_bytes(4, "little") + bytes(392)):
        run = stream(data)
        assert run.returncode == 0 and run.stdout == expected, run.stderr
    raw = stream(wav(x), "--input-format=raw")
    assert raw.returncode == 0 and raw.stdout != expected            # the header analysed as 22 samples
    assert raw.stdout == mf.features(np.frombuffer(wav(x)[:len(wav(x)) // 2 * 2], "<i2"), normalisation="NONE").tobytes()
    at48 = mf.resample(np.resize(x, 3 * len(x)), 48000)
    refused = stream(wav(np.resize(x, 3 * len(x)), 48000))
    assert refused.returncode == 1 and b"is at 48000 Hz: --convert converts it" in refused.stderr
    converted = stream(wav(np.resize(x, 3 * len(x)), 48000), "--convert")
    assert converted.returncode == 0 and converted.stdout == mf.features(at48, normalisation="NONE").tobytes()
    stereo = stream(wav(np.repeat(x, 2), channels=2))
    assert stereo.returncode == 1 and b"holds 16000 Hz, 2 channels, 16-bit integer samples" in stereo.stderr
    cut = stream(wav(x)[:30])
    assert cut.returncode == 1 and b"ends inside its WAV header" in cut.stderr


def test_the_readme_writes_the_htk_kinds_as_feature_inspect_prints_them(tmp_path):
    import re
    from locations import ROOT
    inspect = os.path.join(os.path.dirname(TOOL), "feature-inspect")
    recordings(tmp_path)
    (tmp_path / "list").write_text("a.raw\n")
    printed = set()
    for options, mode in ((["--htk-qualifiers"], "CMN"), (["--htk-qualifiers"], "NONE"), (["--output=fbank-deltas"], "CMN"),
                          (["--output=fbank"], "NONE")):
        out = tmp_path / "-".join(options + [mode])
        subprocess.run([TOOL, "-q", *options, str(tmp_path / "list"), str(tmp_path), str(out), mode], check=True,
                       stdin=subprocess.DEVNULL)
        (path,) = out.iterdir()
        said = subprocess.run([inspect, "--no-stats", str(path)], capture_output=True, text=True).stdout
        printed.add(re.search(r"parameter kind: \d+ \((\w+)\)", said).group(1))
    with open(os.path.join(ROOT, "README.md")) as f:
        written = set(re.findall(r"`((?:MFCC|FBANK)(?:_[A-Z0-9]+)*)`", f.read()))
    assert printed <= written and written <= printed | {"MFCC", "FBANK_Z", "FBANK_D_A"}, (printed, written)


def test_feature_inspect_reads_every_output(tmp_path):
    import struct
    inspect = os.path.join(os.path.dirname(TOOL), "feature-inspect")
    from locations import STREAM
    x = recordings(tmp_path)
    frames = (len(x) - 160) // 160

    def run(*arguments):
        return subprocess.run([inspect, "--no-stats", *map(str, arguments)], capture_output=True, text=True, cwd=tmp_path)

    subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}",
                    f"ark,scp:{tmp_path / 'f.ark'},{tmp_path / 'f.scp'}", "NONE"], check=True)
    subprocess.run([KALDI, "-q", "--input-format=auto", f"scp:{tmp_path / 'wav.scp'}", f"shards:{tmp_path / 's'}",
                    "--output=fbank", "CMN"], check=True)
    (tmp_path / "a.f32").write_bytes(subprocess.run([STREAM, "NONE"], input=x.tobytes(), capture_output=True,
                                                    check=True).stdout)
    offset = int((tmp_path / "f.scp").read_text().split()[1].rsplit(":", 1)[1])
    for arguments, said in (
            (["f.ark"], ["f.ark[a]: Kaldi archive entry a", "f.ark[b]: Kaldi archive entry b", f"rows (frames): {frames}"]),
            (["--key=b", "f.scp"], ["f.scp[b]: Kaldi archive entry b", "columns: 39"]),
            ([f"f.ark:{offset}", "--frames=0"], [f"f.ark:{offset}: Kaldi archive entry at byte {offset}", "frame 0:"]),
            (["s/shard-000000.tar"], ["s/shard-000000.tar[a]: shard entry a (a.npy: fbank, mode CMN)", "columns: 24",
                                      "SHA-256 of the values: "]),
            (["--dimension=39", "a.f32"], [f"length: {frames * 156} bytes of values"])):
        result = run(*arguments)
        assert result.returncode == 0 and all(s in result.stdout for s in said), (arguments, result.stdout, result.stderr)
    for arguments, said in ((["--dimension=24", "a.f32"], f"{frames * 156} bytes are no whole rows of 24 float32 values"),
                            (["--png", "p.png", "f.ark"], "--png draws one matrix, and it holds 2: name one with --key=KEY"),
                            (["--key=zz", "f.ark"], "no entry zz among its 2")):
        result = run(*arguments)
        assert result.returncode == 1 and said in result.stderr, (arguments, result.stderr)
    # --png with --frames draws that stretch: a narrower picture than the whole.
    widths = {}
    for name, extra in (("whole.png", []), ("part.png", ["--frames=10:20"])):
        assert run("--png", name, "--key=a", *extra, "f.ark").returncode == 0
        widths[name] = struct.unpack(">I", (tmp_path / name).read_bytes()[16:20])[0]
    assert widths["part.png"] < widths["whole.png"]


def test_a_module_built_for_another_python_says_which_to_use(tmp_path):
    import glob
    import sys
    package = os.path.dirname(mf.__file__)
    copy = tmp_path / "mfcc_frontend"
    copy.mkdir()
    for name in os.listdir(package):
        if name.endswith(".py"):
            (copy / name).write_bytes(open(os.path.join(package, name), "rb").read())
    (core,) = glob.glob(os.path.join(package, "_core*.so"))
    (copy / "_core.cpython-399-x86_64-linux-gnu.so").write_bytes(open(core, "rb").read())   # another interpreter's
    run = subprocess.run([sys.executable, "-c", "import mfcc_frontend"], cwd=tmp_path, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert run.returncode == 1
    assert "mfcc_frontend's compiled module (_core.cpython-399-x86_64-linux-gnu.so) does not load in" in run.stderr
    assert "run your program with /usr/bin/python3" in run.stderr


def test_an_offline_build_names_the_packages_it_lacks(tmp_path):
    from locations import ROOT
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--without-pip", str(tmp_path / "bare")], check=True)
    run = subprocess.run([str(tmp_path / "bare" / "bin" / "python"), os.path.join(ROOT, "setup.py"), "bdist_wheel"],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 1
    assert "needs: sudo apt-get install python3-setuptools python3-pybind11 python3-numpy python3-wheel" in run.stderr
