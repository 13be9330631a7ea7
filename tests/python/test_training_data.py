"""Training data: feature-kaldi's shards hold, bit for bit, the vectors of
the tool's files, read back with tarfile and numpy and by one positioned
read from the index; the same bytes from one worker or two; parts joined
equal one run; the datasets give every utterance once per epoch across
workers and ranks; damaged shards are refused with the shard, member and
reason."""
import hashlib
import os
import signal
import subprocess
import tarfile
import time

import numpy as np
import pytest

import mfcc_frontend as mf
from mfcc_frontend import training

from locations import EXAMPLES, GOLDEN, KALDI, MODES


def corpus(tmp_path):
    """A wav.scp of the golden and example recordings (raw), and each
    recording's samples by key; a key with a dot, as speed-perturbed ones have."""
    lines, samples = [], {}
    for directory, list_name in ((GOLDEN, "list"), (EXAMPLES, "list.txt")):
        with open(os.path.join(directory, list_name)) as f:
            for i, name in enumerate(f.read().split()):
                path = os.path.join(directory, "recordings", name)
                key = name.replace("/", "-") + (".v2" if i == 1 else "")
                lines.append(f"{key} {path}\n")
                samples[key] = np.fromfile(path, "<i2")[: mf.MAX_SAMPLES]
    (tmp_path / "wav.scp").write_text("".join(lines))
    return samples


def kaldi(*arguments):
    run = subprocess.run([KALDI, "-q", "--input-format=raw", *map(str, arguments)], capture_output=True, text=True)
    return run


def test_shards_hold_the_tools_vectors_by_tarfile_and_by_index(tmp_path):
    samples = corpus(tmp_path)
    for mode in MODES:
        out = tmp_path / mode
        run = kaldi("--shard-size=4", f"scp:{tmp_path / 'wav.scp'}", f"shards:{out}", mode)
        keys = [k for k, x in samples.items() if len(x) >= 320]
        assert run.returncode == (0 if len(keys) == len(samples) else 1), run.stderr
        index = training.read_shard_index(out)
        assert [e["key"] for e in index] == keys
        expected = {k: mf.features(samples[k], normalisation=mode) for k in keys}
        got = {}
        for shard in sorted(p.name for p in out.glob("shard-*.tar")):
            names = tarfile.open(out / shard).getnames()
            assert all(a[:-4] == b[:-5] and a.endswith(".npy") for a, b in zip(names[::2], names[1::2]))
            assert all("." not in n[: -4 if n.endswith(".npy") else -5] for n in names)   # one dot: the suffix
            got.update(training.read_shard(out / shard, {e["key"]: e["sha256"] for e in index}))
        assert list(got) == keys
        for e in index:
            assert np.array_equal(got[e["key"]], expected[e["key"]]), e["key"]
            assert e["sha256"] == hashlib.sha256(expected[e["key"]].astype("<f4").tobytes()).hexdigest()
            position = list(samples).index(e["key"])   # failed entries keep their positions
            assert e["shard"] == f"shard-{position // 4:06d}.tar"
        # One positioned read per entry through the index.
        by_index = training.IndexedShards(out, verify=True)
        for e in index:
            key, array = by_index[e["key"]]
            assert np.array_equal(array, expected[key])
        assert by_index[0][0] == keys[0]


def test_workers_and_parts_give_the_same_shards(tmp_path):
    corpus(tmp_path)
    one, two = tmp_path / "one", tmp_path / "two"
    assert kaldi("--shard-size=3", f"scp:{tmp_path / 'wav.scp'}", f"shards:{one}", "CMN").returncode in (0, 1)
    kaldi("-j", "2", "--shard-size=3", f"scp:{tmp_path / 'wav.scp'}", f"shards:{two}", "CMN")
    names = sorted(p.name for p in one.iterdir())
    assert names == sorted(p.name for p in two.iterdir())
    for name in names:
        assert (one / name).read_bytes() == (two / name).read_bytes(), name
    whole = {e["key"]: e["sha256"] for e in training.read_shard_index(one)}
    joined = {}
    parts = tmp_path / "parts"
    for k in range(3):
        kaldi("--part", f"{k}/3", "--shard-size=3", f"scp:{tmp_path / 'wav.scp'}", f"shards:{parts}", "CMN")
        joined.update({e["key"]: e["sha256"] for e in training.read_shard_index(parts, f"shard-{k}-of-3")})
    assert joined == whole
    assert all(p.name.startswith("shard-") and "-of-3" in p.name for p in parts.iterdir())


def test_datasets_give_every_utterance_once_per_epoch(tmp_path, monkeypatch):
    arrays = [(f"utt{i}.x", np.full((i % 5 + 1, 3), i, np.float32)) for i in range(23)]
    assert training.write_shards(tmp_path / "s", arrays, per_shard=2) == 23
    keys = sorted(k for k, _ in arrays)
    dataset = training.ShardDataset(tmp_path / "s", shuffle=True, seed=5, buffer=4, verify=True)
    orders = []
    for epoch in range(2):
        dataset.set_epoch(epoch)
        seen = []
        for rank in range(2):
            monkeypatch.setenv("RANK", str(rank))
            monkeypatch.setenv("WORLD_SIZE", "2")
            torch = pytest.importorskip("torch")
            loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2)
            seen += [key for key, _ in loader]
        assert sorted(seen) == keys
        orders.append(seen)
    assert orders[0] != orders[1]
    monkeypatch.delenv("RANK")
    monkeypatch.delenv("WORLD_SIZE")
    plain = training.ShardDataset(tmp_path / "s")
    assert [k for k, _ in plain] == [k for k, _ in arrays]
    batch = training.pad_collate([arrays[0], arrays[4]])
    assert batch[1].shape == (2, 5, 3) and list(batch[2]) == [1, 5]
    # Kaldi's feats.scp by key, the same arrays as read_kaldi_scp.
    mf.write_kaldi(tmp_path / "a.ark", tmp_path / "a.scp", arrays)
    scp = training.KaldiScpDataset(tmp_path / "a.scp")
    assert len(scp) == 23 and np.array_equal(scp["utt7.x"][1], arrays[7][1])


def test_damaged_shards_are_refused_with_shard_member_and_reason(tmp_path):
    arrays = [(f"u{i}", np.full((4, 39), i, np.float32)) for i in range(3)]
    training.write_shards(tmp_path, arrays, per_shard=10)
    shard = tmp_path / "shard-000000.tar"
    good = shard.read_bytes()
    index = training.read_shard_index(tmp_path)
    cases = []
    flipped = bytearray(good)
    flipped[index[1]["offset"]] ^= 1                                          # a value changed
    cases.append((bytes(flipped), "entry u1: its checksum is not the index's"))
    cases.append((good[:1500], "damaged"))                                     # cut short
    header = good.find(b"'descr': '<f4'")
    cases.append((good[:header] + b"'descr': '<f8'" + good[header + 14:], "member u0.npy: not a numpy array"))
    shape = good.find(b"(4, 39)")
    cases.append((good[:shape] + b"(2, 78)" + good[shape + 7:], "member u0.json: it says 4 x 39, the array is 2 x 78"))
    cases.append((good[:header] + b"'descr': '<i4'" + good[header + 14:], "a 2-D float32 array was expected"))
    for damaged, says in cases:
        shard.write_bytes(damaged)
        with pytest.raises(ValueError) as refused:
            list(training.read_shard(shard, {e["key"]: e["sha256"] for e in index}))
        assert str(shard) in str(refused.value) and says in str(refused.value), str(refused.value)
    shard.write_bytes(flipped)
    with pytest.raises(ValueError, match="checksum"):
        training.IndexedShards(tmp_path, verify=True)[1]
    for damaged, says in ((flipped, "entry u1: its checksum is not the index's"),
                          (good[:index[2]["offset"] + 8], "entry u2: the shard ends before its values")):
        shard.write_bytes(bytes(damaged))
        with pytest.raises(ValueError) as refused:
            list(training.ShardDataset(tmp_path, verify=True))
        assert str(refused.value) == f"{shard}: {says}"
    shard.unlink()
    with pytest.raises(FileNotFoundError):
        list(training.ShardDataset(tmp_path))
    with pytest.raises(ValueError, match="not UTF-8"):
        training.write_shards(tmp_path / "k", [("\udcff", arrays[0][1])])
    (tmp_path / "shard.jsonl").write_text('{"key": "u0"}\n')
    with pytest.raises(ValueError, match="line 1 is no index entry"):
        training.read_shard_index(tmp_path)


def test_a_killed_run_leaves_no_shard_that_looks_whole(tmp_path):
    long = np.tile(np.fromfile(os.path.join(EXAMPLES, "recordings", "speaker1", "fox"), "<i2"), 20)[:1400000]
    long.tofile(tmp_path / "long.raw")
    (tmp_path / "wav.scp").write_text("".join(f"r{i} {tmp_path / 'long.raw'}\n" for i in range(200)))
    process = subprocess.Popen([KALDI, "-q", "--input-format=raw", "--shard-size=7", f"scp:{tmp_path / 'wav.scp'}",
                                f"shards:{tmp_path / 'out'}", "NONE"])
    time.sleep(1.5)
    process.send_signal(signal.SIGKILL)
    process.wait()
    assert not (tmp_path / "out" / "shard.jsonl").exists()
    for shard in (tmp_path / "out").glob("shard-*.tar"):
        assert len(list(training.read_shard(shard))) == 7, shard


def test_skip_existing_resumes_shards_to_the_bytes_of_one_run(tmp_path):
    import shutil
    corpus(tmp_path)
    scp, full, resumed = tmp_path / "wav.scp", tmp_path / "full", tmp_path / "resumed"
    kaldi("--shard-size=3", f"scp:{scp}", f"shards:{full}", "CMN")
    shutil.copytree(full, resumed)
    (resumed / "shard.jsonl").unlink()            # as a killed run leaves it
    shards = sorted(p.name for p in full.glob("shard-*.tar"))
    assert len(shards) >= 3
    (resumed / shards[1]).unlink()
    damaged = resumed / shards[-1]
    damaged.write_bytes(damaged.read_bytes()[:1500])
    last = (resumed / "shard-000000.tar").stat().st_mtime_ns
    run = kaldi("--skip-existing", "--shard-size=3", f"scp:{scp}", f"shards:{resumed}", "CMN")
    assert f"warning: {damaged}: it ends inside member" in run.stderr
    assert sorted(p.name for p in full.iterdir()) == sorted(p.name for p in resumed.iterdir())
    for p in full.iterdir():
        assert p.read_bytes() == (resumed / p.name).read_bytes(), p.name
    assert (resumed / "shard-000000.tar").stat().st_mtime_ns == last   # kept, not written again
    # Shards of another mode or another list are refused, and nothing is written.
    other = tmp_path / "other.scp"
    lines = scp.read_text().splitlines(keepends=True)
    other.write_text("".join(lines[1:] + lines[:1]))
    for arguments, words in (((f"scp:{scp}", "NONE"), f"{resumed}/shard-000000.tar holds {lines[0].split()[0]} as mfcc in mode CMN, not mfcc in NONE"),
                             ((f"scp:{other}", "CMN"), f"{resumed}/shard-000000.tar holds {lines[0].split()[0]}, which is not at its place in this list")):
        run = kaldi("--skip-existing", "--shard-size=3", arguments[0], f"shards:{resumed}", arguments[1])
        assert run.returncode == 1 and words in run.stderr, run.stderr
    for p in full.iterdir():
        assert p.read_bytes() == (resumed / p.name).read_bytes(), p.name


def test_statistics_are_exact_for_any_workers_and_written_as_recipes_read_them(tmp_path):
    import io
    import json
    import math
    samples = corpus(tmp_path)
    out = tmp_path / "s"
    kaldi("--shard-size=5", f"scp:{tmp_path / 'wav.scp'}", f"shards:{out}", "NONE")
    kaldi(f"scp:{tmp_path / 'wav.scp'}", f"ark,scp:{tmp_path / 'f.ark'},{tmp_path / 'f.scp'}", "NONE")
    arrays = {}
    for shard in sorted(out.glob("shard-*.tar")):
        arrays.update(training.read_shard(shard))
    keys = list(arrays)
    widened = np.concatenate([arrays[k] for k in keys]).astype(np.float64)
    sums = [math.fsum(widened[:, j]) for j in range(39)]
    squares = [math.fsum(widened[:, j] * widened[:, j]) for j in range(39)]
    results = [training.corpus_statistics(out, workers=w) for w in (1, 2)]
    results.append(training.corpus_statistics(reversed([(k, arrays[k]) for k in keys]), workers=3))
    for s in results:
        assert s.frames == len(widened)
        assert s.sums.tobytes() == np.array(sums).tobytes() and s.squares.tobytes() == np.array(squares).tobytes()
    # Per speaker: the first three keys one speaker, the rest another.
    (tmp_path / "utt2spk").write_text("".join(f"{k} {'a' if i < 3 else 'b'}\n" for i, k in enumerate(keys)))
    per = training.corpus_statistics(tmp_path / "f.scp", utt2spk=tmp_path / "utt2spk", workers=2)
    assert list(per) == ["a", "b"] and per["a"].frames + per["b"].frames == len(widened)
    a = np.concatenate([arrays[k] for k in keys[:3]]).astype(np.float64)
    assert per["a"].sums.tolist() == [math.fsum(a[:, j]) for j in range(39)]
    # Kaldi: one double matrix file (global) and an archive by speaker.
    training.write_kaldi_cmvn(tmp_path / "global.cmvn", results[0])
    m = results[0].kaldi_matrix()
    blob = (tmp_path / "global.cmvn").read_bytes()
    assert blob[:15] == b"\0BDM \4" + (2).to_bytes(4, "little") + b"\4" + (40).to_bytes(4, "little")
    assert np.frombuffer(blob[15:], "<f8").reshape(2, 40).tobytes() == m.tobytes() and m[0, 39] == len(widened)
    training.write_kaldi_cmvn(tmp_path / "spk.ark", per, scp=tmp_path / "spk.scp")
    ark = (tmp_path / "spk.ark").read_bytes()
    assert ark.startswith(b"a \0BDM ") and (tmp_path / "spk.scp").read_text() == f"a {tmp_path / 'spk.ark'}:2\nb {tmp_path / 'spk.ark'}:{2 + 15 + 640 + 2}\n"
    # WeNet's JSON (sums, not means) and ESPnet's npz, exactly.
    training.write_wenet_cmvn(tmp_path / "global_cmvn", results[1])
    wenet = json.loads((tmp_path / "global_cmvn").read_text())
    assert wenet == {"mean_stat": sums, "var_stat": squares, "frame_num": len(widened)}
    training.write_espnet_stats(tmp_path / "feats_stats.npz", results[1])
    npz = np.load(io.BytesIO((tmp_path / "feats_stats.npz").read_bytes()))
    assert int(npz["count"]) == len(widened) and npz["sum"].tolist() == sums and npz["sum_square"].tolist() == squares
    # Applied in a dataset: (x - mean) * inverse std in float64, rounded once.
    mean, inverse_std = results[0].mean_and_inverse_std()
    key, normalised = training.IndexedShards(out, statistics=results[0])[keys[0]]
    assert normalised.dtype == np.float32
    assert normalised.tobytes() == ((arrays[key].astype(np.float64) - mean) * inverse_std).astype(np.float32).tobytes()
    # Refusals: a value that is not finite, another dimension, an utterance without a speaker.
    bad = arrays[keys[0]].copy()
    bad[1, 2] = np.inf
    for items, utt2spk, words in (([("x", bad)], None, "'x': value 2 of frame 1 is not a finite number"),
                                  ([("x", arrays[keys[0]][:, :13]), ("y", arrays[keys[0]][:, :12])], None, "'y': 12 values a frame where the statistics have 13"),
                                  ([("x", arrays[keys[0]])], {"z": "a"}, "utterance 'x' has no speaker in utt2spk")):
        with pytest.raises(ValueError) as e:
            training.corpus_statistics(items, utt2spk=utt2spk)
        assert str(e.value) == words


def test_statistics_sum_exactly_at_the_edges_of_float():
    import math
    rng = np.random.default_rng(7)
    tiny, huge = np.float32(1e-45), np.float32(3.4e38)
    cases = [np.array([[tiny], [tiny], [-tiny]], np.float32),                      # the smallest subnormal
             np.array([[huge], [huge], [-huge], [np.float32(1.0)]], np.float32),   # cancellation around 2^128
             np.array([[1.0], [2.0 ** -53]], np.float32),                          # a tie: to even (1.0)
             np.array([[1.0], [2.0 ** -53], [2.0 ** -100]], np.float32),           # just past it: up
             np.array([[1.0 + 2.0 ** -23], [2.0 ** -52], [2.0 ** -53]], np.float32),  # a tie: to even (up)
             (rng.standard_normal((3000, 4)) * 10.0 ** rng.integers(-40, 38, (3000, 4))).astype(np.float32)]
    for values in cases:
        s = training.corpus_statistics([("a", values[: len(values) // 2]), ("b", values[len(values) // 2:])], workers=2)
        w = values.astype(np.float64)
        assert s.sums.tolist() == [math.fsum(w[:, j]) for j in range(w.shape[1])]
        assert s.squares.tolist() == [math.fsum(w[:, j] * w[:, j]) for j in range(w.shape[1])]


def test_the_pytorch_example_reads_shards_and_recordings(tmp_path):
    pytest.importorskip("torch")
    import ast
    import sys
    from locations import ROOT
    samples = corpus(tmp_path)
    kaldi("--shard-size=4", f"scp:{tmp_path / 'wav.scp'}", f"shards:{tmp_path / 'shards'}", "CMN")
    example = os.path.join(ROOT, "examples", "pytorch", "dataset.py")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, example, "--shards", str(tmp_path / "shards"), "--epochs", "2"],
                         capture_output=True, text=True, env=environment)
    assert run.returncode == 0, run.stderr
    seen = {0: [], 1: []}
    for line in run.stdout.splitlines():
        epoch, rest = line.split(" ", 1)
        seen[int(epoch)] += ast.literal_eval(rest.split("]")[0] + "]")
    keys = [k for k, x in samples.items() if len(x) >= 320]
    assert sorted(seen[0]) == sorted(keys) == sorted(seen[1]) and seen[0] != seen[1]
    (tmp_path / "list").write_text("fox\nmissing\n")
    recordings = os.path.join(EXAMPLES, "recordings", "speaker1")
    run = subprocess.run([sys.executable, example, "--skip-bad", str(tmp_path / "list"), recordings],
                         capture_output=True, text=True, env=environment)
    assert run.returncode == 0 and "missing: left out" in run.stderr and "['fox']" in run.stdout, run.stderr


def test_the_json_of_an_entry_says_the_sources_own_rate(tmp_path):
    import json
    import wave
    for rate in (8000, 16000, 48000):
        with wave.open(str(tmp_path / f"r{rate}.wav"), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes((np.sin(np.arange(rate) * 0.05) * 3000).astype("<i2").tobytes())
    (tmp_path / "wav.scp").write_text("".join(f"r{rate} {tmp_path / f'r{rate}.wav'}\n" for rate in (8000, 16000, 48000)))
    run = subprocess.run([KALDI, "-q", "--convert", f"scp:{tmp_path / 'wav.scp'}", f"shards:{tmp_path / 's'}", "NONE"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    with tarfile.open(tmp_path / "s" / "shard-000000.tar") as shard:
        facts = [json.load(shard.extractfile(m)) for m in shard.getmembers() if m.name.endswith(".json")]
    assert [(f["key"], f["sample_rate"], f["seconds"], f["frames"]) for f in facts] == \
        [("r8000", 8000, 1, 99), ("r16000", 16000, 1, 99), ("r48000", 48000, 1, 99)]


def test_a_shard_holds_exactly_its_size_and_the_next_one_begins_after_it(tmp_path):
    for count, shards in ((3, [["u0", "u1", "u2"]]), (4, [["u0", "u1", "u2"], ["u3"]])):
        out = tmp_path / str(count)
        training.write_shards(out, [(f"u{i}", np.full((2, 3), i, np.float32)) for i in range(count)], per_shard=3)
        names = sorted(p.name for p in out.glob("shard-*.tar"))
        assert names == [f"shard-{k:06d}.tar" for k in range(len(shards))]
        assert [[key for key, _ in training.read_shard(out / n)] for n in names] == shards
