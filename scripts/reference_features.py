#!/usr/bin/env python3
"""A second, deliberately plain implementation of the feature files, used to
check the C++ tool bit for bit.

Single precision is emulated exactly: an operation on single-precision values
done in double and rounded once to single gives the correctly rounded single
result for +, -, *, / and sqrt (double has more than twice single's bits plus
two), and Python's math.log/log10/sin/cos are the C library's.

    reference_features.py [--c12-eng] RECORDING OUT_PREFIX MODE...

writes OUT_PREFIX.<extension> for each mode (CMN, MVNMA, NONE) and, with
--c12-eng, OUT_PREFIX.C12 and OUT_PREFIX.ENG.
"""
import math
import os
import struct
import sys

PI15 = 3.14159265358979
MAX_SAMPLES = 1440000
EXTENSIONS = {"CMN": "mfcKVR0DAZC39", "MVNMA": "mfcKVR0DAC39mvacqx_kvr", "NONE": "mfcKVR0DAC39"}


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


_TCOS_LISTED = """
0.997859 0.980785 0.946930 0.896873 0.831470 0.751840 0.659346 0.555570 0.442289 0.321439 0.195090 0.065403
-0.065403 -0.195090 -0.321440 -0.442289 -0.555570 -0.659346 -0.751840 -0.831470 -0.896873 -0.946930 -0.980785 -0.997859
0.991445 0.923880 0.793353 0.608761 0.382683 0.130526 -0.130526 -0.382683 -0.608761 -0.793353 -0.923880 -0.991445
-0.991445 -0.923880 -0.793353 -0.608761 -0.382683 -0.130526 0.130526 0.382684 0.608762 0.793353 0.923880 0.991445
0.980785 0.831470 0.555570 0.195090 -0.195090 -0.555570 -0.831470 -0.980785 -0.980785 -0.831470 -0.555570 -0.195090
0.195090 0.555570 0.831470 0.980785 0.980785 0.831470 0.555570 0.195090 -0.195091 -0.555570 -0.831470 -0.980785
0.965926 0.707107 0.258819 -0.258819 -0.707107 -0.965926 -0.965926 -0.707107 -0.258819 0.258819 0.707107 0.965926
0.965926 0.707107 0.258819 -0.258819 -0.707107 -0.965926 -0.965926 -0.707107 -0.258819 0.258819 0.707107 0.965926
0.946930 0.555570 -0.065403 -0.659346 -0.980785 -0.896873 -0.442289 0.195090 0.751840 0.997859 0.831470 0.321440
-0.321439 -0.831470 -0.997859 -0.751840 -0.195091 0.442289 0.896873 0.980785 0.659346 0.065403 -0.555570 -0.946930
0.923880 0.382683 -0.382683 -0.923880 -0.923880 -0.382683 0.382684 0.923880 0.923879 0.382683 -0.382684 -0.923880
-0.923879 -0.382683 0.382684 0.923880 0.923879 0.382683 -0.382684 -0.923880 -0.923879 -0.382683 0.382684 0.923880
0.896873 0.195090 -0.659346 -0.997859 -0.555570 0.321440 0.946930 0.831469 0.065403 -0.751840 -0.980785 -0.442288
0.442289 0.980785 0.751839 -0.065404 -0.831470 -0.946930 -0.321438 0.555571 0.997859 0.659345 -0.195092 -0.896873
0.866025 0.000000 -0.866025 -0.866025 0.000000 0.866026 0.866025 0.000000 -0.866026 -0.866025 0.000000 0.866026
0.866025 0.000000 -0.866026 -0.866025 0.000000 0.866026 0.866025 -0.000001 -0.866026 -0.866025 0.000001 0.866026
0.831470 -0.195090 -0.980785 -0.555570 0.555570 0.980785 0.195090 -0.831470 -0.831470 0.195090 0.980785 0.555570
-0.555570 -0.980785 -0.195090 0.831470 0.831470 -0.195090 -0.980785 -0.555570 0.555570 0.980785 0.195090 -0.831470
0.793353 -0.382683 -0.991445 -0.130526 0.923880 0.608762 -0.608761 -0.923880 0.130526 0.991445 0.382684 -0.793353
-0.793353 0.382683 0.991445 0.130527 -0.923879 -0.608762 0.608761 0.923880 -0.130526 -0.991445 -0.382684 0.793353
0.751840 -0.555570 -0.896873 0.321440 0.980785 -0.065404 -0.997859 -0.195090 0.946930 0.442288 -0.831470 -0.659345
0.659346 0.831469 -0.442290 -0.946930 0.195091 0.997859 0.065402 -0.980786 -0.321438 0.896873 0.555569 -0.751841
0.707107 -0.707107 -0.707107 0.707107 0.707107 -0.707107 -0.707107 0.707107 0.707107 -0.707107 -0.707106 0.707107
0.707106 -0.707107 -0.707106 0.707107 0.707106 -0.707107 -0.707106 0.707107 0.707106 -0.707107 -0.707106 0.707107
"""


def cosine_table():
    """The listed six-decimal DCT table (rows n = 1..12, columns k = 1..24),
    as single-precision values; row 0 and column 0 unused. Kept here, apart
    from the C++ source, so that a changed coefficient there shows."""
    values = [float(v) for v in _TCOS_LISTED.split()]
    assert len(values) == 12 * 24, len(values)
    rows = [[0.0] * 25]
    for n in range(12):
        rows.append([0.0] + [f32(v) for v in values[24 * n:24 * n + 24]])
    return rows


TCOS = cosine_table()


def mel(k):
    ratio = f32(f32(k - 1) * f32(0.04464286))
    return f32(1127.0 * math.log(f32(ratio + 1.0)))


def filter_bank():
    mel_max = mel(257)
    bounds = [0.0] + [f32(f32(j / 25.0) * mel_max) for j in range(1, 26)]
    index, share = [], []
    j = 0
    for k in range(256):
        b = mel(k + 1)
        if b > bounds[j + 1]:
            j += 1
        index.append(j)
        if j >= 1:
            share.append(f32(f32(bounds[j + 1] - b) / f32(bounds[j + 1] - bounds[j])))
        else:
            share.append(f32(f32(bounds[1] - b) / bounds[1]))
    return index, share


FILTER_INDEX, FILTER_SHARE = filter_bank()
WINDOW_STEP = 2 * PI15 / 319
WINDOW = [f32(0.54 - 0.46 * math.cos(i * WINDOW_STEP)) for i in range(320)]


def fft512(re, im):
    """Forward transform of re[1..512], im[1..512] in place."""
    n = 512
    half = int(n * 0.5)
    i, j = 1, 1
    while True:
        m = half
        while m < j:
            j -= m
            m = int(m * 0.5)
        i += 1
        if i == n:
            break
        j += m
        if j > i:
            re[i], re[j] = re[j], re[i]
            im[i], im[j] = im[j], im[i]
    for s in range(1, 10):
        span = int(math.pow(2, s))
        h = int(span * 0.5)
        theta = PI15 / h
        wr, wi = math.cos(theta), -1 * math.sin(theta)
        ur, ui = 1.0, 0.0
        for j in range(1, h + 1):
            for i in range(j, n + 1, span):
                p = i + h
                tr = re[p] * ur - im[p] * ui
                ti = re[p] * ui + im[p] * ur
                re[p] = re[i] - tr
                im[p] = im[i] - ti
                re[i] = re[i] + tr
                im[i] = im[i] + ti
            ur, ui = wr * ur - wi * ui, wi * ur + wr * ui


def frame_energy(total):
    return f32(f32(math.log10(total / 320.0)) * 10.0)


def analyse(samples):
    """Frame energies and 24 filter outputs per frame."""
    n = len(samples)
    frames = 0 if n < 320 else n // 160 - 1
    energies, bands = [None] * frames, []
    waiting = -1
    for f in range(frames):
        x = [float(v) for v in samples[160 * f:160 * f + 320]]
        total = 0.0
        for v in x:
            total += f32(v * v)
        if total != 0.0:
            energies[f] = frame_energy(total)
            if waiting >= 0:
                for g in range(waiting, f):
                    energies[g] = energies[f]
                waiting = -1
        elif waiting < 0:
            waiting = f
        mean = _double_sum(x) / 320.0
        x = [f32(v - mean) for v in x]
        c95 = f32(0.95)
        for j in range(319, 0, -1):
            x[j] = f32(x[j] - f32(x[j - 1] * c95))
        x[0] = f32(x[0] * f32(1.0 - c95))
        x = [f32(x[j] * WINDOW[j]) for j in range(320)]
        re = [0.0] + x + [0.0] * 192
        im = [0.0] * 513
        fft512(re, im)
        band = [0.0] * 25
        for k in range(1, 256):
            magnitude = f32(math.sqrt(re[k + 1] * re[k + 1] + im[k + 1] * im[k + 1]))
            idx = FILTER_INDEX[k]
            lower = f32(magnitude * FILTER_SHARE[k])
            if idx > 0:
                band[idx] += lower
            if idx < 24:
                band[idx + 1] += f32(magnitude - lower)
        bands.append(band)
    if waiting >= 0:
        value = energies[waiting - 1] if waiting > 0 else f32(f32(math.log10(1.0 / 320.0)) * 10.0)
        for g in range(waiting, frames):
            energies[g] = value
    return energies, bands


def _double_sum(values):
    total = 0.0
    for v in values:
        total += v
    return total


def cepstra(bands):
    scale = f32(0.28867513)
    records = []
    for band in bands:
        logs = [0.0] + [math.log(v if v >= 1.0 else 1.0) for v in band[1:]]
        record = []
        for n in range(1, 13):
            total = 0.0
            for k in range(1, 25):
                total += TCOS[n][k] * logs[k]
            record.append(f32(total * scale))
        c0 = 0.0
        for k in range(1, 25):
            c0 = f32(c0 + logs[k])
        record.append(f32(c0 * scale))
        records.append(record)
    return records


def lifter(records):
    factors = []
    for n in range(1, 13):
        angle = f32(f32(n) * f32(0.14279966))
        factors.append(f32(1.0 + 11.0 * math.sin(angle)))
    return [[f32(r[n] * factors[n]) for n in range(12)] + [r[12]] for r in records]


def cmn(records):
    n = len(records)
    if n == 0:
        return records
    means = [_double_sum([r[j] for r in records]) / n for j in range(13)]
    return [[f32(r[j] - means[j]) for j in range(13)] for r in records]


def deltas(rows):
    n = len(rows)
    out = []
    for t in range(n):
        row = []
        for j in range(len(rows[t])):
            s = 0.0
            for k in (1, 2):
                lo = max(t - k, 0)
                hi = min(t + k, n - 1)
                d = f32(rows[hi][j] - rows[lo][j])
                s = f32(s + f32(float(k) * d))
            row.append(f32(s / 10.0))
        out.append(row)
    return out


def mvn(vectors):
    n = len(vectors)
    if n == 0:
        return vectors
    y = [list(v) for v in vectors]
    for d in range(39):
        total, squares = 0.0, 0.0
        for t in range(n):
            total += y[t][d]
            squares += f32(y[t][d] * y[t][d])
        mean = total / n
        variance = squares / n - mean * mean
        deviation = f32(math.sqrt(variance)) if variance >= 0 else float("nan")
        for t in range(n):
            centred = y[t][d] - mean
            # A column without spread is only centred (never NaN or infinity).
            y[t][d] = f32(centred / deviation) if deviation > 0 else f32(centred)
        if n > 4:
            for t in range(2, n - 2):
                p = f32(((y[t + 1][d] + y[t - 1][d]) + y[t + 2][d]) + y[t - 2][d])
                y[t][d] = f32(f32(p + y[t][d]) / 5.0)
    return y


def read_samples(path):
    data = open(path, "rb").read()[:2 * MAX_SAMPLES]
    count = len(data) // 2
    return list(struct.unpack("<%dh" % count, data[:2 * count]))


def htk_bytes(vectors):
    out = struct.pack(">iihh", len(vectors), 100000, 156, 6)
    for v in vectors:
        out += struct.pack(">39f", *v)
    return out


def features(path, modes, c12_eng=False):
    """{extension: file bytes} for the recording at path."""
    energies, bands = analyse(read_samples(path))
    records = lifter(cepstra(bands))
    files = {}
    if c12_eng:
        files["C12"] = struct.pack("<i", len(records)) + b"".join(
            struct.pack("<12f", *r[:12]) for r in records)
        files["ENG"] = struct.pack("<i", len(energies)) + b"".join(
            struct.pack("<f", e) for e in energies)
    for mode in modes:
        base = cmn(records) if mode == "CMN" else records
        delta = deltas(base)
        acc = deltas(delta)
        vectors = [base[t] + delta[t] + acc[t] for t in range(len(base))]
        if mode == "MVNMA":
            vectors = mvn(vectors)
        files[EXTENSIONS[mode]] = htk_bytes(vectors)
    return files


def main(argv):
    c12_eng = "--c12-eng" in argv
    args = [a for a in argv if a != "--c12-eng"]
    if len(args) < 3:
        sys.stderr.write(__doc__)
        return 2
    recording, prefix, modes = args[0], args[1], args[2:]
    for extension, data in features(recording, modes, c12_eng).items():
        with open(prefix + "." + extension, "wb") as out:
            out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
