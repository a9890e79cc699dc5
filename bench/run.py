"""orvala benchmark suite: orvala against the physical limit, h5py and pyarrow.

    python3 bench/run.py [--scale small|full] [--reps N] [--only CASES]
                         [--record bench/RESULTS.md] [--wait-load 1.5]

Builds the same data in every system, then times each operation side by side
in one run, with several repetitions, and reports medians and every figure as
a ratio to its references measured in the same run. Installs h5py, pyarrow
and psutil with pip when they are missing; orvala itself must be installed
(`pip install .` at the top of the repository).
"""
import argparse
import gc
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)

EXTRA_PACKAGES = {"h5py": "h5py", "pyarrow": "pyarrow", "psutil": "psutil"}

SCALES = {
    # rows of the Double column, rows of the array column, rows of the table
    # edited in place (5e5 rows of 2 KiB cells: about 1 GB), single cells
    "full": dict(scalar_rows=10**7, array_rows=10**5, edit_rows=500_000, cells=10**5, reps=5),
    "small": dict(scalar_rows=10**5, array_rows=1000, edit_rows=5000, cells=1000, reps=5),
}
CELL = (64, 4)          # a [4, 64] cell as stored (first axis fastest): (64, 4) in C order
CELL_DTYPE = np.complex64
ARRAY_MANAGERS = [("StandardStMan", "SSM"), ("TiledShapeStMan", "TSM"), ("TiledColumnStMan", "TCM")]
CASES = ["read_double", "read_array", "write_double", "write_array", "edit", "cells", "memory"]


def ensure_packages():
    missing = [pip for mod, pip in EXTRA_PACKAGES.items() if importlib.util.find_spec(mod) is None]
    if missing:
        print("installing", " ".join(missing), flush=True)
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q",
                               "--disable-pip-version-check", *missing])
    try:
        import orvala.tables  # noqa: F401
    except ImportError as e:
        sys.exit(f"orvala is not installed ({e}); run `pip install .` at the top of the repository")


# ---------------------------------------------------------------- timing

def sync_disk():
    """Writes back dirty pages, so that one measurement's write-back does not
    land in the next one."""
    os.sync()


def warm(path):
    """Reads every file under path once, so that the page cache holds it."""
    paths = [path] if os.path.isfile(path) else [
        os.path.join(d, f) for d, _, fs in os.walk(path) for f in fs]
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.read(1 << 24):
                pass


def measure(op, reps, setup=None, warmup=1):
    """Times op() reps times after warmup untimed calls; setup() runs untimed
    before each call. The result of op() is dropped outside the timed part."""
    times = []
    for i in range(warmup + reps):
        if setup:
            setup()
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            out = op()
            t1 = time.perf_counter()
        finally:
            gc.enable()
        del out
        if i >= warmup:
            times.append(t1 - t0)
    return times


class Results:
    def __init__(self):
        self.timings = {}      # (case, system) -> (times, bytes moved)
        self.ratios = []       # dicts: what, num, den, ratio, target text, met
        self.memory = []       # dicts from peakmem.py with the case name
        self.notes = []
        self.loads = {}        # case -> 1-minute load when the case started

    def time(self, case, system, times, nbytes=None, items=None):
        """Records the times of one system; nbytes gives a rate, items a time per item."""
        self.timings[(case, system)] = (times, nbytes, items)
        print(f"  {case:<30} {system:<34} median {statistics.median(times) * 1e3:10.2f} ms "
              f"(min {min(times) * 1e3:.2f}, {len(times)} reps){_rate(times, nbytes, items)}",
              flush=True)

    def median(self, case, system):
        return statistics.median(self.timings[(case, system)][0])

    def ratio(self, case, num, den, limit=None, strict=False):
        """Records median(num) / median(den); the target is ratio <= limit (or < when strict)."""
        r = self.median(case, num) / self.median(case, den)
        met = None if limit is None else (r < limit if strict else r <= limit)
        target = "" if limit is None else ("< " if strict else "<= ") + f"{limit:g}"
        self.ratios.append(dict(case=case, num=num, den=den, ratio=r,
                                target=target, met=met))

    def note(self, text):
        print("  note:", text, flush=True)
        self.notes.append(text)


# ---------------------------------------------------------------- data sets

class Workspace:
    """The scratch directory with the data of every system, built on demand."""

    def __init__(self, root, scale, seed=20250101):
        self.root = root
        self.s = scale
        self.rng = np.random.default_rng(seed)
        self.built = {}

    def path(self, name):
        return os.path.join(self.root, name)

    def double(self):
        if "double" not in self.built:
            self.built["double"] = self.rng.standard_normal(self.s["scalar_rows"])
        return self.built["double"]

    def array(self):
        if "array" not in self.built:
            n = self.s["array_rows"]
            parts = self.rng.standard_normal((n, *CELL, 2), dtype=np.float32)
            self.built["array"] = parts.view(CELL_DTYPE)[..., 0]
        return self.built["array"]

    def once(self, key, build):
        if key not in self.built:
            self.built[key] = build()
        return self.built[key]

    def scalar_table(self):
        """D (Double) and I (Int) in data managers of their own: D's file holds D alone,
        and an edit of D leaves a column untouched, so that its flush patches in place."""
        import systems as S

        def build():
            x = self.double()
            p = self.path("scalar.tab")
            desc = {"D": S.scalar_col("double", group="SSM_D"), "I": S.scalar_col("int", group="SSM_I")}
            S.orvala_create(p, desc, len(x), {"D": x, "I": np.arange(len(x), dtype=np.int32)})
            return p
        return self.once("scalar_table", build)

    def array_table(self, manager, group):
        import systems as S

        def build():
            a = self.array()
            p = self.path(f"array_{group}.tab")
            S.orvala_create(p, {"C": S.array_col("complex", CELL, manager, group)}, len(a), {"C": a})
            return p
        return self.once(("array_table", group), build)

    def reference_files(self, tag, name, arr):
        """The same array as a raw file, an HDF5 dataset and a Feather file."""
        import systems as S

        def build():
            paths = {"memmap": self.path(f"{tag}.raw"), "h5py": self.path(f"{tag}.h5"),
                     "feather": self.path(f"{tag}.feather")}
            S.raw_write(paths["memmap"], arr)
            S.h5_write(paths["h5py"], name, arr)
            S.feather_write(paths["feather"], name, arr)
            return paths
        return self.once(("refs", tag), build)


# ---------------------------------------------------------------- cases

def read_column(res, ws, case, orv_path, col, arr, refs, reps):
    """Times a whole-column read in orvala and in each reference, from a path to a
    NumPy array. numpy.fromfile (read() into a new array) is shown beside the
    memmap copy: the same bytes by the other route out of the page cache."""
    import systems as S
    for p in [orv_path, *refs.values()]:
        warm(p)
    readers = {
        "memmap copy (limit)": lambda: S.raw_read(refs["memmap"], arr.dtype, arr.shape),
        "fromfile": lambda: np.fromfile(refs["memmap"], dtype=arr.dtype).reshape(arr.shape),
        "h5py": lambda: S.h5_read(refs["h5py"], col),
        "pyarrow feather": lambda: S.feather_read(refs["feather"], col, arr.dtype, arr.shape),
        "orvala": lambda: S.orvala_read(orv_path, col),
    }
    for system, read in readers.items():
        got = read()
        if got.shape != arr.shape or got.dtype != arr.dtype or not np.array_equal(got, arr):
            raise AssertionError(f"{case}: {system} read {got.dtype}{got.shape}, "
                                 f"expected {arr.dtype}{arr.shape} with the written values")
        del got
        res.time(case, system, measure(read, reps), arr.nbytes)
    res.ratio(case, "orvala", "memmap copy (limit)", 1.3)
    res.ratio(case, "orvala", "fromfile")
    res.ratio(case, "orvala", "h5py", 1.0, strict=True)
    res.ratio(case, "orvala", "pyarrow feather", 1.0, strict=True)


def case_read_double(res, ws, reps):
    x = ws.double()
    read_column(res, ws, f"read Double x{len(x):.0e}", ws.scalar_table(), "D", x,
                ws.reference_files("double", "D", x), reps)


def case_read_array(res, ws, reps):
    a = ws.array()
    refs = ws.reference_files("array", "C", a)
    for manager, group in ARRAY_MANAGERS:
        read_column(res, ws, f"read Complex64 {manager}", ws.array_table(manager, group), "C", a,
                    refs, reps)


def write_new(res, ws, case, col, arr, desc, reps):
    """Times writing a new table (or file) holding arr, through to the flush."""
    import systems as S
    target = {}

    def fresh(name):
        def setup():
            p = ws.path(f"write_{name}")
            S.remove(p)
            sync_disk()
            target["p"] = p
        return setup

    writers = {
        "tofile (limit)": lambda: S.raw_write(target["p"], arr),
        "tofile + fsync": lambda: S.raw_write_fsync(target["p"], arr),
        "h5py": lambda: S.h5_write(target["p"], col, arr),
        "pyarrow feather": lambda: S.feather_write(target["p"], col, arr),
        "orvala": lambda: S.orvala_create(target["p"], desc, len(arr), {col: arr}),
    }
    for system, write in writers.items():
        res.time(case, system, measure(write, reps, setup=fresh(system.split()[0])), arr.nbytes)
    got = S.orvala_read(target["p"], col)
    if not np.array_equal(got, arr):
        raise AssertionError(f"{case}: the table written by orvala does not read back")
    for system in writers:
        S.remove(ws.path(f"write_{system.split()[0]}"))
    res.ratio(case, "orvala", "tofile (limit)", 1.5)
    res.ratio(case, "orvala", "tofile + fsync")
    res.ratio(case, "orvala", "h5py")
    res.ratio(case, "orvala", "pyarrow feather")


def case_write_double(res, ws, reps):
    import systems as S
    x = ws.double()
    write_new(res, ws, f"write Double x{len(x):.0e}", "D", x, {"D": S.scalar_col("double")}, reps)


def case_write_array(res, ws, reps):
    import systems as S
    a = ws.array()
    for manager, group in ARRAY_MANAGERS:
        write_new(res, ws, f"write Complex64 {manager}", "C", a,
                  {"C": S.array_col("complex", CELL, manager, group)}, reps)


def _files(path):
    """name -> (inode, mtime, size) of every file in a table directory."""
    out = {}
    for name in sorted(os.listdir(path)):
        st = os.stat(os.path.join(path, name))
        out[name] = (st.st_ino, st.st_mtime_ns, st.st_size)
    return out


def _changed(before, after):
    return sorted(n for n in set(before) | set(after) if before.get(n) != after.get(n))


def case_edit(res, ws, reps):
    """One cell edited and flushed in a table of about 1 GB, against a full
    rewrite of the same table. Setting a table keyword makes the engine's next
    flush rewrite every file; the files touched by each flush are checked."""
    import systems as S
    n = ws.s["edit_rows"]
    path = ws.path("edit.tab")
    desc = {"TIME": S.scalar_col("double", group="SSM_TIME"),
            "DATA": S.array_col("complex", CELL, "TiledShapeStMan", "TSM_DATA")}
    chunk = ws.array()[: min(n, 50_000)]
    t = S.orvala_table()(path, desc, nrow=n)
    t.putcol("TIME", np.arange(n, dtype=np.float64))
    for start in range(0, n, len(chunk)):
        t.putcol("DATA", chunk[: n - start], startrow=start)
    t.flush()
    size = sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))
    case = f"edit in a {size / 1e9:.2f} GB table"
    rows = iter(ws.rng.integers(0, n, size=10 * (reps + 3)).tolist())
    cell = np.full(CELL, 1 + 2j, dtype=CELL_DTYPE)
    warm(path)
    seen = {}

    def flushed(label, edit):
        def op():
            before = _files(path)
            edit()
            t.flush()
            seen[label] = _changed(before, _files(path))
        return op

    ops = [
        ("putcell Double + flush", lambda: t.putcell("TIME", next(rows), 0.5)),
        ("putcell Complex64 cell + flush", lambda: t.putcell("DATA", next(rows), cell)),
        # keyword changes are remembered by the table: every later flush of it is a
        # full rewrite, so this one runs last
        ("putcell Double + putkeyword + flush (full rewrite)",
         lambda: (t.putcell("TIME", next(rows), 0.25), t.putkeyword("bench", next(rows)))),
    ]
    for label, edit in ops:
        res.time(case, label, measure(flushed(label, edit), reps, setup=sync_disk))
        res.note(f"{case}: {label} changed {', '.join(seen[label]) or 'no file'}")
    rewrite = ops[-1][0]
    res.ratio(case, ops[0][0], rewrite, 0.01)
    res.ratio(case, ops[1][0], rewrite, 0.01)
    del t
    S.remove(path)


def case_cells(res, ws, reps):
    """Single cells read and written in a loop at random rows: orvala's getcell and
    putcell (then one flush) against h5py's element access (then its flush)."""
    import h5py
    import systems as S
    x = ws.double()
    k = ws.s["cells"]
    case = f"single cells x{k:.0e} of {len(x):.0e}"
    path = ws.scalar_table()
    h5 = ws.reference_files("double", "D", x)["h5py"]
    warm(path)
    warm(h5)
    rows = ws.rng.integers(0, len(x), size=k).tolist()
    vals = x[rows].tolist()       # writes put back the stored values: the data stays as it was

    ro = S.orvala_table()(path, readonly=True)
    rw = S.orvala_table()(path)
    f = h5py.File(h5, "r+")
    ds = f["D"]

    def orv_read():
        get = ro.getcell
        for r in rows:
            get("D", r)

    def h5_read():
        for r in rows:
            ds[r]

    def orv_write():
        put = rw.putcell
        for r, v in zip(rows, vals):
            put("D", r, v)
        rw.flush()

    def h5_write():
        for r, v in zip(rows, vals):
            ds[r] = v
        f.flush()

    if ro.getcell("D", rows[0]) != vals[0] or ds[rows[0]] != vals[0]:
        raise AssertionError("single-cell reads do not return the stored value")
    res.time(case, "h5py read", measure(h5_read, reps), items=k)
    res.time(case, "orvala getcell", measure(orv_read, reps), items=k)
    res.time(case, "h5py write + flush", measure(h5_write, reps), items=k)
    res.time(case, "orvala putcell + flush", measure(orv_write, reps), items=k)
    f.close()
    res.ratio(case, "orvala getcell", "h5py read", 0.2)
    res.ratio(case, "orvala putcell + flush", "h5py write + flush", 0.2)


def case_memory(res, ws, reps):
    """Peak memory of a whole-column read beyond the baseline, over the result size."""
    x, a = ws.double(), ws.array()
    runs = [("Double column", x, ws.scalar_table(), "D", ws.reference_files("double", "D", x))]
    arefs = ws.reference_files("array", "C", a)
    for manager, group in ARRAY_MANAGERS:
        runs.append((f"Complex64 {manager}", a, ws.array_table(manager, group), "C", arefs))
    for label, arr, table_path, col, refs in runs:
        systems = [("orvala", table_path)] + [(s, refs[s]) for s in ("memmap", "h5py", "feather")]
        for system, path in systems:
            warm(path)
            spec = dict(system=system, path=path, name=col, dtype=str(arr.dtype),
                        shape=list(arr.shape), bench_dir=BENCH_DIR)
            out = subprocess.run([sys.executable, os.path.join(BENCH_DIR, "peakmem.py"), json.dumps(spec)],
                                 capture_output=True, text=True)
            if out.returncode != 0:
                raise RuntimeError(f"peak memory of {system}: {out.stderr.strip()}")
            m = json.loads(out.stdout.strip().splitlines()[-1])
            m["label"] = label
            m["ratio"] = (m["peak"] - m["baseline"]) / m["nbytes"]
            res.memory.append(m)
            print(f"  memory {label:<28} {system:<10} baseline {m['baseline'] / 2**20:8.1f} MiB, "
                  f"peak {m['peak'] / 2**20:8.1f} MiB, result {m['nbytes'] / 2**20:8.1f} MiB, "
                  f"(peak - baseline) / result {m['ratio']:.3f}", flush=True)


CASE_FUNCS = {"read_double": case_read_double, "read_array": case_read_array,
              "write_double": case_write_double, "write_array": case_write_array,
              "edit": case_edit, "cells": case_cells, "memory": case_memory}


# ---------------------------------------------------------------- report

def wait_for_quiet(limit, max_wait):
    if limit is None:
        return
    waited = 0
    while os.getloadavg()[0] > limit and waited < max_wait:
        time.sleep(10)
        waited += 10
    if waited:
        print(f"  (waited {waited} s for the 1-minute load to fall below {limit}: "
              f"now {os.getloadavg()[0]:.2f})", flush=True)


def report(res, info, args, started_load, ended_load):
    lines = [f"## {info[0][1]}: scale {args.scale}, {args.reps} repetitions, medians", ""]
    lines += ["| machine | |", "|---|---|"] + [f"| {k} | {v} |" for k, v in info[1:]]
    lines += [f"| load (1, 5, 15 min) | at start {_load(started_load)}; at end {_load(ended_load)} |",
              f"| 1-minute load when each case started | "
              f"{', '.join(f'{c} {l:.2f}' for c, l in res.loads.items())} |", ""]
    if res.ratios:
        lines += ["Ratios of median times, orvala over the reference (below 1: orvala is faster):", "",
                  "| operation | orvala | reference | ratio | reference / orvala | target | met |",
                  "|---|---|---|---:|---:|---|---|"]
        for r in res.ratios:
            met = "" if r["met"] is None else ("yes" if r["met"] else "**no**")
            lines.append(f"| {r['case']} | {r['num']} | {r['den']} | {r['ratio']:.3f} | "
                         f"{1 / r['ratio']:.2f} | {r['target']} | {met} |")
        lines.append("")
    if res.memory:
        lines += ["Peak memory of a whole-column read, (peak - baseline) / result size "
                  "(target for orvala: <= 1.1):", "",
                  "| column | system | baseline MiB | peak MiB | result MiB | ratio | met |",
                  "|---|---|---:|---:|---:|---:|---|"]
        for m in res.memory:
            met = ("yes" if m["ratio"] <= 1.1 else "**no**") if m["system"] == "orvala" else ""
            lines.append(f"| {m['label']} | {m['system']} | {m['baseline'] / 2**20:.1f} | "
                         f"{m['peak'] / 2**20:.1f} | {m['nbytes'] / 2**20:.1f} | {m['ratio']:.3f} | {met} |")
        lines.append("")
    lines += ["Times (median and minimum over the repetitions):", "",
              "| operation | system | median ms | min ms | rate |", "|---|---|---:|---:|---:|"]
    for (case, system), (times, nbytes, items) in res.timings.items():
        lines.append(f"| {case} | {system} | {statistics.median(times) * 1e3:.2f} | "
                     f"{min(times) * 1e3:.2f} | {_rate(times, nbytes, items, sep='')} |")
    lines.append("")
    if res.notes:
        lines += ["Notes:", ""] + [f"- {n}" for n in res.notes] + [""]
    return "\n".join(lines)


def _rate(times, nbytes, items, sep=", "):
    med = statistics.median(times)
    if nbytes:
        return f"{sep}{nbytes / med / 1e6:.0f} MB/s"
    if items:
        return f"{sep}{med / items * 1e6:.2f} us each"
    return ""


def _load(avg):
    return ", ".join(f"{v:.2f}" for v in avg)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scale", choices=sorted(SCALES), default="full")
    ap.add_argument("--reps", type=int, help="repetitions per measurement (default 5)")
    ap.add_argument("--only", help="comma-separated cases: " + ",".join(CASES))
    ap.add_argument("--record", metavar="FILE", help="append the results, with date and machine, to FILE")
    ap.add_argument("--workdir", help="scratch directory (default: a new one under TMPDIR, removed at the end)")
    ap.add_argument("--keep", action="store_true", help="keep the scratch directory")
    ap.add_argument("--wait-load", type=float, metavar="LOAD",
                    help="before each case, wait (up to 10 min) until the 1-minute load is below LOAD")
    args = ap.parse_args(argv)
    scale = dict(SCALES[args.scale])
    args.reps = args.reps or scale["reps"]
    cases = CASES if not args.only else [c.strip() for c in args.only.split(",") if c.strip()]
    unknown = [c for c in cases if c not in CASE_FUNCS]
    if unknown:
        ap.error(f"unknown case(s) {', '.join(unknown)}; known: {', '.join(CASES)}")

    ensure_packages()
    import machine
    import systems

    root = args.workdir or tempfile.mkdtemp(prefix="orvala-bench-")
    os.makedirs(root, exist_ok=True)
    info = machine.describe(root)
    for k, v in info:
        print(f"{k:>20}: {v}")
    started = machine.load()
    res = Results()
    ws = Workspace(root, scale)
    try:
        for c in cases:
            wait_for_quiet(args.wait_load, 600)
            res.loads[c] = machine.load()[0]
            print(f"\n== {c} (1-minute load {res.loads[c]:.2f})", flush=True)
            CASE_FUNCS[c](res, ws, args.reps)
    finally:
        if not args.keep and not args.workdir:
            systems.remove(root)
    text = report(res, info, args, started, machine.load())
    print("\n" + text)
    if args.record:
        with open(args.record, "a") as f:
            f.write("\n" + text)
        print(f"appended to {args.record}")
    missed = [r for r in res.ratios if r["met"] is False]
    missed += [m for m in res.memory if m["system"] == "orvala" and m["ratio"] > 1.1]
    print(f"\n{len(missed)} target(s) missed" if missed else "\nall targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
