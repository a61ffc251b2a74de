#!/usr/bin/env python3
"""Measures vestrel.exe's speed and memory under Wine, next to baselines run
the same way in the same session. Every figure is the median of five runs
unless it says otherwise; on a shared machine the ratios are the figures to
trust, not the seconds. Prints a Markdown table (also build/bench/results.md).

Run through scripts/bench.sh, which builds what this needs."""
import json
import os
import random
import re
import shutil
import lzma
import statistics
import struct
import subprocess
import sys
import time
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "test")
BENCH = os.path.join(ROOT, "build", "bench")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
VESTREL = os.path.join(BUILD, "vestrel.exe")
TESTS = os.path.join(BUILD, "tests")
RUNS = 5
PAIRS = 7  # extraction: vestrel.exe and the loop that renames, back to back
SEED = 20261208
MiB = 1024 * 1024


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


# ---------------------------------------------------------------- archives

def data_pool(rng):
    """4 MiB of game-like bytes: about half noise, half repetitive text."""
    words = [b"sword ", b"inn ", b"quest ", b"map ", b"ore ", b"patch ", b"\n"]
    pool = bytearray()
    while len(pool) < 4 * MiB:
        if rng.random() < 0.5:
            pool += rng.randbytes(4096)
        else:
            pool += b"".join(rng.choice(words) for _ in range(700))[:4096]
    return bytes(pool)


def pool_bytes(pool, rng, size):
    out = bytearray()
    while len(out) < size:
        start = rng.randrange(0, len(pool) - 65536)
        out += pool[start:start + min(65536, size - len(out))]
    return bytes(out)


def write_zip(path, entries, rng, pool, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as archive:
        for name, size in entries:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = method
            archive.writestr(info, pool_bytes(pool, rng, size))


def write_xz_zip(path, entries, rng, pool):
    """A zip of XZ entries (method 95), which Python's zipfile does not
    write: each entry's data is one .xz stream from Python's lzma (liblzma)."""
    write_packed_zip(path, [(name, pool_bytes(pool, rng, size)) for name, size in entries], 95,
                     lambda data: lzma.compress(data, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64))


def write_packed_zip(path, contents, method, pack):
    """A zip of (name, data) entries packed by pack under method, laid out by
    hand as APPNOTE.TXT gives the headers."""
    local, central = bytearray(), bytearray()
    for name, data in contents:
        packed = pack(data)
        crc = zlib.crc32(data)
        raw_name = name.encode()
        fields = struct.pack("<HHHHHIIIHH", 63, 0, method, 0, 0x5C21, crc, len(packed), len(data),
                             len(raw_name), 0)
        central += (b"PK\x01\x02" + struct.pack("<H", 63) + fields +
                    struct.pack("<HHHII", 0, 0, 0, 0, len(local)) + raw_name)
        local += b"PK\x03\x04" + fields + raw_name + packed
    count = len(contents)
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, count, count, len(central),
                                        len(local), 0)
    with open(path, "wb") as f:
        f.write(bytes(local) + bytes(central) + end)


def write_zstd_zip(path, entries, rng, pool, level):
    """A zip of zstd entries (method 93), one frame each from Python's
    zstandard (libzstd), laid out by hand as for XZ."""
    import zstandard
    compressor = zstandard.ZstdCompressor(level=level)
    write_packed_zip(path, [(name, pool_bytes(pool, rng, size)) for name, size in entries], 93,
                     compressor.compress)


METHODS = [("deflate", zipfile.ZIP_DEFLATED), ("bzip2", zipfile.ZIP_BZIP2),
           ("LZMA", zipfile.ZIP_LZMA), ("XZ", None), ("zstd level 3", 3), ("zstd level 19", 19)]


def make_method_archives(pool):
    """One game-like tree (600 files of 1 to 256 KiB, text and noise, and two
    packs of 8 MiB) packed with every method vestrel.exe reads."""
    rng = random.Random(SEED + 10)
    entries = [(f"data/{i // 50:02d}/asset{i:04d}.bin", rng.randint(1024, 256 * 1024))
               for i in range(600)]
    entries += [(f"packs/pack{i}.pak", 8 * MiB) for i in range(2)]
    paths = {}
    for label, method in METHODS:
        path = os.path.join(BENCH, f"tree-{label.lower().replace(' ', '-')}.zip")
        paths[label] = path
        if os.path.exists(path):
            continue
        if method is None:
            writer = write_xz_zip
        elif label.startswith("zstd"):
            writer = lambda p, e, r, q, level=method: write_zstd_zip(p, e, r, q, level)
        else:
            writer = lambda p, e, r, q, method=method: write_zip(p, e, r, q, method)
        writer(path + ".part", entries, random.Random(SEED + 11), pool)
        os.rename(path + ".part", path)
    return paths


def make_archives():
    os.makedirs(BENCH, exist_ok=True)
    rng = random.Random(SEED)
    pool = data_pool(rng)
    main = os.path.join(BENCH, "many-files.zip")
    small = os.path.join(BENCH, "small-files.zip")
    big = os.path.join(BENCH, "one-300mib-entry.zip")
    for path, packs in ((main, 4), (small, 2)):
        if os.path.exists(path):
            continue
        # Each archive has its own numbers, whichever of them is made first.
        rng = random.Random(SEED + packs)
        entries = [(f"data/{i // 100:02d}/file{i:04d}.bin", rng.randint(1024, 64 * 1024))
                   for i in range(2000)]
        entries += [(f"big/pack{i}.bin", 32 * MiB) for i in range(packs)]
        write_zip(path + ".part", entries, rng, pool)
        os.rename(path + ".part", path)
    if not os.path.exists(big):
        write_zip(big + ".part", [("huge.bin", 300 * MiB)], rng, pool)
        os.rename(big + ".part", big)
    # The same for LZMA, against a smaller LZMA entry with the same dictionary
    # (zipfile's preset, 8 MiB): what the decoder needs is set by the archive,
    # not by the entry's size, but only an entry larger than the dictionary
    # fills it, so the smaller one is 16 MiB.
    for name, size in (("one-300mib-lzma-entry.zip", 300 * MiB), ("one-16mib-lzma-entry.zip", 16 * MiB)):
        path = os.path.join(BENCH, name)
        if not os.path.exists(path):
            write_zip(path + ".part", [("huge.bin", size)], rng, pool, zipfile.ZIP_LZMA)
            os.rename(path + ".part", path)
    empty = os.path.join(BENCH, "empty.zip")
    with open(empty, "wb") as f:
        f.write(b"PK\x05\x06" + bytes(18))
    with zipfile.ZipFile(main) as archive:
        unpacked = sum(info.file_size for info in archive.infolist())
        count = len(archive.infolist())
    return main, small, big, empty, unpacked, count, make_method_archives(pool), pool


# ---------------------------------------------------------------- running

def fresh_dir(name, base=BENCH):
    """An empty folder for one run. What a run before it wrote goes to the
    trash, emptied between rounds (empty_trash): deleting it now would have
    the file system discard its blocks while the next run is timed."""
    path = os.path.join(base, name)
    if os.path.exists(path):
        trash = os.path.join(base, "trash")
        os.makedirs(trash, exist_ok=True)
        os.rename(path, os.path.join(trash, f"{name}-{time.monotonic_ns()}"))
    os.makedirs(path)
    return path


def empty_trash(base=BENCH):
    shutil.rmtree(os.path.join(base, "trash"), ignore_errors=True)
    os.sync()


def settled():
    """Writes out what earlier runs left in the page cache, so that no run
    pays for the one before it: a flush on ext4 commits the journal, and
    with it every run's dirty data."""
    os.sync()


def timed(command, cwd):
    # Standard output goes to a file, as a patcher that keeps it would have
    # it: Wine writes to /dev/null one character at a time, slowly.
    settled()
    with open(os.path.join(BENCH, "stdout.txt"), "w") as out:
        start = time.perf_counter()
        subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, check=False)
        return time.perf_counter() - start


def run_with_usage(command, cwd):
    """Wall seconds and CPU seconds of one run."""
    settled()
    with open(os.path.join(BENCH, "stdout.txt"), "w") as out:
        start = time.perf_counter()
        child = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        return time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def peak_resident_kib(command, cwd):
    """The run's peak resident set (VmHWM), read until the process ends.
    wine-run.sh and Wine exec one another, so the pid is vestrel.exe's."""
    settled()
    with open(os.path.join(BENCH, "stdout.txt"), "w") as out:
        child = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)
        peak = 0
        while child.poll() is None:
            try:
                with open(f"/proc/{child.pid}/status") as status:
                    for line in status:
                        if line.startswith("VmHWM:"):
                            peak = max(peak, int(line.split()[1]))
            except OSError:
                pass
            time.sleep(0.005)
        return peak


def vestrel_unpack(archive, name, exe=VESTREL):
    out = fresh_dir(name)
    copy = os.path.join(out, "update.zip")
    os.link(archive, copy)  # the run deletes its archive: give it a second name
    return [WINE_RUN, exe, "2", "update.zip", "bench-nothing.exe"], out


def unpacked_by(exe, archive):
    """Seconds of one unpack by a build of vestrel.exe (run mode 2)."""
    command, out = vestrel_unpack(archive, "out-vestrel", exe)
    seconds = timed(command, out)
    assert not os.path.exists(os.path.join(out, "update.zip")), f"{exe} did not finish"
    return seconds


def staged_loop(archive, mode="staged"):
    out = fresh_dir("out-" + mode + "100")
    return timed([WINE_RUN, os.path.join(TESTS, "raw_extract.exe"), windows_path(archive), "100",
                  mode], out)


# Builds of vestrel.exe with one part left out (tests/bench/without_*.cpp),
# and the unpack alone in a console program.
PARTS = [
    ("flush", "flushing each new file before the moves"),
    ("reports", "the per-entry lines (log file, standard output, debugger)"),
    ("debugger", "of those, the debugger output alone (OutputDebugStringA)"),
    ("journal", "the journal (plan written, three records, recovery's look)"),
    ("queries", "the plan's file-system queries (one per target and new folder)"),
]


def ratios(ours, theirs):
    values = [a / b for a, b in zip(ours, theirs)]
    return statistics.median(values), min(values), max(values)


def extraction(archive, small):
    """Each round runs, back to back: vestrel.exe and the loop that renames
    on both archives, the other extractors, and the builds that leave a part
    out. Medians of the seconds, and of each round's ratios."""
    results = {key: [] for key in ("vestrel", "staged100", "durable100", "raw100", "raw64k",
                                   "unzip", "small", "small_staged", "small_durable", "alone")}
    results.update({part: [] for part, _ in PARTS})
    raw = os.path.join(TESTS, "raw_extract.exe")

    def alone():
        out = fresh_dir("out-alone")
        os.link(archive, os.path.join(out, "update.zip"))
        return timed([WINE_RUN, os.path.join(TESTS, "extract_only.exe"), "update.zip"], out)

    def other(key, command):
        out = fresh_dir("out-" + key)
        return timed(command(out), out)

    runs = [
        [("vestrel", lambda: unpacked_by(VESTREL, archive)), ("durable100", lambda: staged_loop(archive, "durable"))],
        [("small", lambda: unpacked_by(VESTREL, small)), ("small_durable", lambda: staged_loop(small, "durable"))],
        [("staged100", lambda: staged_loop(archive))],
        [("small_staged", lambda: staged_loop(small))],
        [("alone", alone)],
        [("raw100", lambda: other("raw100", lambda out: [WINE_RUN, raw, windows_path(archive), "100"]))],
        [("raw64k", lambda: other("raw64k", lambda out: [WINE_RUN, raw, windows_path(archive), "65536"]))],
        [("unzip", lambda: other("unzip", lambda out: ["unzip", "-o", "-q", archive, "-d", out]))],
    ] + [[(part, lambda part=part: unpacked_by(os.path.join(TESTS, f"vestrel_without_{part}.exe"),
                                               archive))] for part, _ in PARTS]
    # Every run takes every place in the rounds by turns, and the two of a
    # pair swap places: a place in the round costs no run more than another.
    for round_ in range(PAIRS):
        turn = round_ % len(runs)
        for unit in runs[turn:] + runs[:turn]:
            for key, run in (unit if round_ % 2 == 0 else list(reversed(unit))):
                results[key].append(run())
        empty_trash()
    # Every run's seconds, for a look behind the medians.
    with open(os.path.join(BENCH, "extraction.json"), "w") as f:
        json.dump(results, f, indent=1)
    medians = {key: statistics.median(values) for key, values in results.items()}
    medians["pairs"] = ratios(results["vestrel"], results["durable100"])
    medians["small_pairs"] = ratios(results["small"], results["small_durable"])
    medians["renaming_pairs"] = ratios(results["vestrel"], results["staged100"])
    # What a part costs: how much longer the whole build takes than the one
    # without it, in each round, against that round's loop.
    for part in [part for part, _ in PARTS] + ["alone"]:
        medians["cost_" + part] = statistics.median(
            (ours - without) / loop for ours, without, loop in
            zip(results["vestrel"], results[part], results["durable100"]))
    return medians


def methods(paths):
    """Patch size and unpack time of the same tree with every method."""
    times = {label: [] for label in paths}
    for _ in range(3):
        for label, path in paths.items():
            times[label].append(unpacked_by(VESTREL, path))
        empty_trash()
    return {label: (os.path.getsize(paths[label]), statistics.median(values))
            for label, values in times.items()}


def methods_report(by_method):
    lines = ["The same game-like tree (600 files of 1 to 256 KiB and two packs of 8 MiB) packed "
             "with every method vestrel.exe reads, unpacked by vestrel.exe (median of 3):", "",
             "| Method | Patch | Unpack, seconds |", "|---|---|---|"]
    for label, (size, seconds) in by_method.items():
        lines.append(f"| {label} | {size / 1e6:.1f} MB | {seconds:.2f} |")
    return "\n".join(lines)


def memory(big, empty):
    lzma_big = os.path.join(BENCH, "one-300mib-lzma-entry.zip")
    lzma_small = os.path.join(BENCH, "one-16mib-lzma-entry.zip")
    peaks = {"big": [], "empty": [], "lzma_big": [], "lzma_small": []}
    for _ in range(RUNS):
        for key, archive in (("big", big), ("empty", empty), ("lzma_big", lzma_big),
                             ("lzma_small", lzma_small)):
            command, out = vestrel_unpack(archive, "out-memory")
            peaks[key].append(peak_resident_kib(command, out))
        empty_trash()
    return {key: statistics.median(values) for key, values in peaks.items()}


def wineserver_cpu():
    total = 0.0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().startswith("wineserver"):
                    total += process_cpu(pid)
        except OSError:
            continue
    return total


def waiting_cpu():
    """CPU seconds per second of a 3-second wait (start-up included), for
    vestrel.exe and for wineserver, which answers every process snapshot."""
    ours, server = [], []
    stand_in = os.path.join(TESTS, "stand_in.exe")
    for _ in range(RUNS):
        out = fresh_dir("wait")
        shutil.copy(stand_in, os.path.join(out, "bench-held.exe"))
        held = subprocess.Popen([WINE_RUN, "bench-held.exe", "--sleep", "3000"], cwd=out)
        for _ in range(200):
            if os.path.exists(os.path.join(out, "bench-held.exe.time")):
                break
            time.sleep(0.02)
        server_before = wineserver_cpu()
        wall, cpu = run_with_usage([WINE_RUN, VESTREL, "7", "-", "bench-held.exe"], out)
        server.append((wineserver_cpu() - server_before) / wall)
        ours.append(cpu / wall)
        held.wait()
    return statistics.median(ours), statistics.median(server)


def wait_bench(*args):
    out = fresh_dir("wait-bench")
    result = subprocess.run([WINE_RUN, os.path.join(TESTS, "wait_bench.exe"), *args], cwd=out,
                            capture_output=True, text=True, check=False)
    # The restarted updaters print their launch path; keep the bench's own lines.
    return "\n".join(line for line in result.stdout.splitlines() if not line.startswith('"'))


def startup():
    times = {"vestrel": [], "minimal": []}
    out = fresh_dir("startup")
    for _ in range(RUNS):
        times["vestrel"].append(timed([WINE_RUN, VESTREL], out))
        times["minimal"].append(timed([WINE_RUN, os.path.join(TESTS, "minimal.exe")], out))
    return {key: statistics.median(values) for key, values in times.items()}


# ------------------------------------- small entries: the program's own work

SMALL_COUNTS = (1000, 8000, 32000)
TMPFS = "/dev/shm/vestrel-bench"
PREFIX = os.path.join(ROOT, "build", "wine", "desktop-0")
WINE64 = "/usr/lib/wine/wine64"
# What wine-run.sh sets for desktop 0; the runs below start Wine's loader
# themselves, so that no shell of the launcher counts in their CPU time.
WINE_ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=":77")
LOOP = ("the durable loop", None)
BUILDS = [("vestrel.exe", VESTREL)] + [
    (f"without {part}", os.path.join(TESTS, f"vestrel_without_{part}.exe")) for part, _ in PARTS]


def make_small_entry_archives(pool):
    """Archives of small files (256 B to 2 KiB of game-like bytes, deflated)
    in folders of 100."""
    paths = {}
    for count in SMALL_COUNTS:
        path = os.path.join(BENCH, f"small-entries-{count}.zip")
        paths[count] = path
        if os.path.exists(path):
            continue
        rng = random.Random(SEED + 20 + count)
        entries = [(f"data/{i // 100:03d}/file{i:05d}.bin", rng.randint(256, 2048))
                   for i in range(count)]
        write_zip(path + ".part", entries, rng, pool)
        os.rename(path + ".part", path)
    return paths


def process_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wall_and_cpu(program, archive, base, server):
    """Wall seconds, and CPU seconds of the program and the Wine server
    together, of one unpack of archive in a fresh folder under base: by a
    build of vestrel.exe (run mode 2), or by the durable loop (None)."""
    out = fresh_dir("out-small", base)
    if program is None:
        command = [WINE64, os.path.join(TESTS, "raw_extract.exe"), windows_path(archive), "100",
                   "durable"]
    else:
        os.link(archive, os.path.join(out, "update.zip"))
        command = [WINE64, program, "2", "update.zip", "bench-nothing.exe"]
    settled()
    with open(os.path.join(base, "stdout.txt"), "w") as stdout:
        before = process_cpu(server)
        start = time.perf_counter()
        child = subprocess.Popen(command, cwd=out, stdout=stdout, stderr=subprocess.STDOUT,
                                 env=WINE_ENV)
        _, _, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        cpu = usage.ru_utime + usage.ru_stime + process_cpu(server) - before
    assert program is None or not os.path.exists(os.path.join(out, "update.zip")), \
        f"{program} did not finish"
    return wall, cpu


def small_entries(pool, server, rounds):
    """vestrel.exe and the durable loop, by turns, on archives of 1,000 to
    32,000 small entries, on a tmpfs (where a flush costs almost nothing)
    and on the disk; on the tmpfs at 8,000 entries also the builds that
    leave a part out. Every run's wall and CPU seconds, by place, count and
    program."""
    archives = make_small_entry_archives(pool)
    shutil.rmtree(TMPFS, ignore_errors=True)
    os.makedirs(TMPFS)
    # Warm the desktop and the prefix: the first windowed runs after a
    # start of Wine stall.
    for _ in range(2):
        wall_and_cpu(VESTREL, archives[SMALL_COUNTS[0]], BENCH, server)
    results = {}
    for place, base in (("tmpfs", TMPFS), ("disk", BENCH)):
        for count, archive in archives.items():
            if base == TMPFS:
                archive = shutil.copy(archive, TMPFS)
            programs = [("vestrel.exe", VESTREL), LOOP]
            if base == TMPFS and count == 8000:
                programs += BUILDS[1:]
            for round_ in range(rounds):
                turn = round_ % len(programs)
                for label, program in programs[turn:] + programs[:turn]:
                    results.setdefault((place, count, label), []).append(
                        wall_and_cpu(program, archive, base, server))
                empty_trash(base)
    shutil.rmtree(TMPFS, ignore_errors=True)
    with open(os.path.join(BENCH, "small-entries.json"), "w") as f:
        json.dump({" / ".join(map(str, key)): value for key, value in results.items()}, f, indent=1)
    return results


def small_entries_report(results, rounds):
    def per_entry(place, count, label, which):
        return statistics.median(run[which] for run in results[(place, count, label)]) / count * 1e6

    def ratio(place, count, which):
        values = [ours[which] / loop[which] for ours, loop in
                  zip(results[(place, count, "vestrel.exe")], results[(place, count, LOOP[0])])]
        return statistics.median(values), min(values), max(values)

    def fit(place, label, which):
        """Fixed milliseconds and microseconds per entry, least squares over
        the counts."""
        xs = list(SMALL_COUNTS)
        ys = [statistics.median(run[which] for run in results[(place, n, label)]) for n in xs]
        mx, my = statistics.mean(xs), statistics.mean(ys)
        slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
        return (my - slope * mx) * 1000, slope * 1e6

    lines = [
        f"Small entries (256 B to 2 KiB, deflated, in folders of 100): vestrel.exe run mode 2 and "
        f"the durable loop by turns, {rounds} rounds; CPU is the program's and the Wine server's "
        "together. Microseconds per entry (medians), and vestrel.exe's ratio to the loop "
        "(median of the rounds, min–max):",
        "",
        "| Place | Entries | vestrel.exe CPU | loop CPU | CPU ratio | vestrel.exe wall | loop wall "
        "| wall ratio |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for place in ("tmpfs", "disk"):
        for count in SMALL_COUNTS:
            cells = []
            for which in (1, 0):
                median, low, high = ratio(place, count, which)
                cells += [f"{per_entry(place, count, 'vestrel.exe', which):.0f} µs",
                          f"{per_entry(place, count, LOOP[0], which):.0f} µs",
                          f"{median:.2f}x ({low:.2f}–{high:.2f})"]
            lines.append(f"| {place} | {count:,} | " + " | ".join(cells) + " |")
    first, last = SMALL_COUNTS[0], SMALL_COUNTS[-1]
    lines += ["", f"Growth of the cost per entry from {first:,} to {last:,} entries, and the "
                  "cost split by a line through the three counts into a fixed part and a part "
                  "per entry:", "",
              "| Place | Program | CPU growth | CPU fixed | CPU per entry | wall growth | wall fixed "
              "| wall per entry |",
              "|---|---|---|---|---|---|---|---|"]
    for place in ("tmpfs", "disk"):
        for label in ("vestrel.exe", LOOP[0]):
            cells = []
            for which in (1, 0):
                growth = per_entry(place, last, label, which) / per_entry(place, first, label, which)
                fixed, slope = fit(place, label, which)
                cells += [f"{growth:.2f}x", f"{fixed:.0f} ms", f"{slope:.0f} µs"]
            lines.append(f"| {place} | {label} | " + " | ".join(cells) + " |")
    lines += ["", "Where vestrel.exe's CPU time goes, on the tmpfs at 8,000 entries: each part's "
                  "cost is how much more CPU vestrel.exe takes than a build of it without that part "
                  "(median over the rounds), per entry:", "",
              "| Part | CPU per entry |", "|---|---|"]
    full = results[("tmpfs", 8000, "vestrel.exe")]
    for (label, _), (part, text) in zip(BUILDS[1:], PARTS):
        cost = statistics.median(ours[1] - without[1] for ours, without in
                                 zip(full, results[("tmpfs", 8000, label)])) / 8000 * 1e6
        lines.append(f"| {text} | {cost:+.0f} µs |")
    loop = statistics.median(ours[1] - loop[1] for ours, loop in
                             zip(full, results[("tmpfs", 8000, LOOP[0])])) / 8000 * 1e6
    lines.append(f"| all of vestrel.exe beyond the loop | {loop:+.0f} µs |")
    return "\n".join(lines)


# ---------------------------------------------------------------- report

def main():
    """With "small", measures only the small entries, in 3 rounds; with
    "methods", only the method table."""
    os.environ.pop("DISPLAY", None)  # wine-run.sh's own Xvfb
    subprocess.run([WINE_RUN, os.path.join(TESTS, "minimal.exe")], check=False)
    # One Wine server for every run, started once the prefix has settled;
    # a server left running for good (-p) by something else is ended.
    try:
        subprocess.run(["wineserver", "-w"], env=WINE_ENV, check=False, timeout=60)
    except subprocess.TimeoutExpired:
        subprocess.run(["wineserver", "-k"], env=WINE_ENV, check=False)
    server = subprocess.Popen(["wineserver", "-p", "-f"], env=WINE_ENV)
    time.sleep(1)
    try:
        if sys.argv[1:] == ["small"]:
            os.makedirs(BENCH, exist_ok=True)
            report = small_entries_report(
                small_entries(data_pool(random.Random(SEED)), server.pid, 3), 3)
        elif sys.argv[1:] == ["methods"]:
            os.makedirs(BENCH, exist_ok=True)
            report = methods_report(methods(make_method_archives(data_pool(random.Random(SEED)))))
        else:
            report = measure(server.pid)
    finally:
        server.terminate()
        empty_trash()
    print(report)
    with open(os.path.join(BENCH, "results.md"), "w") as f:
        f.write(report + "\n")


def measure(server):
    main_zip, small_zip, big_zip, empty_zip, unpacked, count, method_zips, pool = make_archives()
    mb = unpacked / 1e6
    small = small_entries_report(small_entries(pool, server, RUNS), RUNS)
    speed = extraction(main_zip, small_zip)
    by_method = methods(method_zips)
    peaks = memory(big_zip, empty_zip)
    ours, server = waiting_cpu()
    passes = wait_bench("passes", "2")
    level = wait_bench("level", "60")
    restart = wait_bench("restart", "20", windows_path(VESTREL),
                         windows_path(os.path.join(TESTS, "stand_in.exe")),
                         windows_path(os.path.join(TESTS, "poll_restart.exe")))
    start = startup()
    release = os.path.join(ROOT, "build", "release", "vestrel.exe")
    exe_size = os.path.getsize(release) if os.path.exists(release) else 0

    growth = (peaks["big"] - peaks["empty"]) / 1024
    lzma_growth = (peaks["lzma_big"] - peaks["lzma_small"]) / 1024
    delay = float(re.search(r"vestrel.exe: median ([\d.]+) ms", restart).group(1))
    restart_ratio = float(re.search(r"the bare loop: ([\d.]+)x", restart).group(1))
    loop = speed["durable100"]
    lines = [
        f"Measured {time.strftime('%Y-%m-%d')} on this machine ({os.cpu_count()} cores), "
        f"median of {RUNS} runs unless said otherwise.",
        "",
        f"Extraction of the bench archive, {count} entries, {mb:.0f} MB unpacked "
        f"({os.path.getsize(main_zip) / 1e6:.0f} MB deflated), median of {PAIRS} runs:",
        "",
        "| Extractor | Seconds | MB/s | vestrel.exe takes |",
        "|---|---|---|---|",
    ]
    for key, label in (("vestrel", "vestrel.exe run mode 2 (Wine)"),
                       ("durable100", "libzip + WriteFile, 100-byte pieces, each file written aside, "
                                      "flushed, closed and renamed (Wine): the durable loop"),
                       ("staged100", "the same without the flush (Wine)"),
                       ("raw100", "the same without the rename (Wine)"),
                       ("raw64k", "libzip + WriteFile, 64 KiB pieces (Wine)"),
                       ("unzip", "Info-ZIP unzip -o -q (native)")):
        lines.append(f"| {label} | {speed[key]:.2f} | {mb / speed[key]:.0f} | "
                     f"{speed['vestrel'] / speed[key]:.2f}x |")

    def pair(key):
        median, low, high = speed[key]
        return f"{median:.2f}x ({low:.2f}–{high:.2f})"

    def judged(key, target=1.10):
        # A range of ratios wider than the gap to the target cannot say on
        # which side of it the program is.
        median, low, high = speed[key]
        if high - low > abs(median - target):
            return (f"cannot say: the pairs spread over {high - low:.2f}, more than the gap of "
                    f"{abs(median - target):.2f} to {target:.2f}x")
        return "yes" if median <= target else "no"
    lines += [
        "",
        f"vestrel.exe against the durable loop, run back to back in {PAIRS} pairs "
        "(median of the pairs' ratios, and their range):",
        "",
        "| Archive | vestrel.exe / the durable loop | Within 1.10x |",
        "|---|---|---|",
        f"| the bench archive (2,000 files of 1 to 64 KiB and four of 32 MiB) | {pair('pairs')} | "
        f"{judged('pairs')} |",
        f"| small files (2,000 files of 1 to 64 KiB and two of 32 MiB) | {pair('small_pairs')} | "
        f"{judged('small_pairs')} |",
        f"| the bench archive, against the loop without the flush | {pair('renaming_pairs')} | "
        f"(earlier baseline) |",
        "",
        methods_report(by_method),
    ]
    lines += [
        "",
        "Where vestrel.exe's time goes on the bench archive: each part's cost is how much longer "
        "vestrel.exe takes than a build of it without that part, in the loop's time, median of "
        f"the {PAIRS} rounds:",
        "",
        "| Part | Cost, in the loop's time |",
        "|---|---|",
    ]
    for part, label in PARTS:
        lines.append(f"| {label} | {speed['cost_' + part]:+.2f} |")
    lines += [
        f"| the window, the wait, the recovery's look and the restart (vestrel.exe against the "
        f"same unpack in a console program) | {speed['cost_alone']:+.2f} |",
        f"| process start (vestrel.exe exiting at once against a minimal Win32 program) | "
        f"{(start['vestrel'] - start['minimal']) / loop:+.2f} |",
        f"| all of vestrel.exe beyond the loop | {speed['pairs'][0] - 1:+.2f} |",
        "",
        "| Target | Measured | Met |",
        "|---|---|---|",
        f"| peak working set, one 300 MiB entry vs an empty archive: under 8 MiB more | "
        f"{growth:+.1f} MiB ({peaks['big'] / 1024:.1f} vs {peaks['empty'] / 1024:.1f} MiB peak resident) | "
        f"{'yes' if growth < 8 else 'no'} |",
        f"| memory flat on one 300 MiB LZMA entry: against a 16 MiB one with the same 8 MiB dictionary | "
        f"{lzma_growth:+.1f} MiB ({peaks['lzma_big'] / 1024:.1f} vs {peaks['lzma_small'] / 1024:.1f} "
        f"MiB peak resident) | {'yes' if lzma_growth < 1 else 'no'} |",
        f"| restart within 50 ms of the watched program's end (median of 20) | {delay:.1f} ms | "
        f"{'yes' if delay <= 50 else 'no'} |",
        f"| restart within 1.2x of a bare loop that polls the process list the same way | "
        f"{restart_ratio:.2f}x | {'yes' if restart_ratio <= 1.2 else 'no'} |",
        "",
        "The wait:",
        "",
        "```",
        passes.strip(),
        f"CPU per second of waiting: vestrel.exe {ours:.2f} s, wineserver {server:.2f} s",
        level.strip(),
        restart.strip(),
        "```",
        "",
        f"Start-up without arguments (exit 9): vestrel.exe {start['vestrel'] * 1000:.0f} ms, "
        f"a minimal Win32 program {start['minimal'] * 1000:.0f} ms "
        f"({start['vestrel'] / start['minimal']:.2f}x), both under Wine including its start.",
        f"Release vestrel.exe (i686, static, stripped): {exe_size / 1024:.0f} KiB.",
        "",
        small,
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
