"""Peak memory of one whole-column read, measured in a fresh process.

Run as `python peakmem.py '<json spec>'`; prints one JSON line. The baseline
is the resident set after the imports and after the table (or file) is
opened; the peak is the highest resident set seen during the read. The
kernel's high-water mark is reset just before the read (/proc/self/clear_refs,
"5"), so a peak reached earlier, while importing, does not count; where that
is not possible, ru_maxrss is used and the earlier peak is reported.
"""
import gc
import json
import resource
import sys

import numpy as np


def _status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(spec):
    system, path, name = spec["system"], spec["path"], spec["name"]
    dtype, shape = np.dtype(spec["dtype"]), tuple(spec["shape"])
    if system == "orvala":
        from orvala.tables import table
        handle = table(path, readonly=True)
        read = lambda: handle.getcol(name)
    elif system == "memmap":
        m = np.memmap(path, dtype=dtype, mode="r", shape=shape)
        read = lambda: np.array(m)
    elif system == "h5py":
        import h5py
        f = h5py.File(path, "r")
        ds = f[name]
        read = lambda: ds[...]
    elif system == "feather":
        sys.path.insert(0, spec["bench_dir"])
        import pyarrow  # noqa: F401  (imported before the baseline)
        from systems import feather_read
        read = lambda: feather_read(path, name, dtype, shape)
    else:
        raise ValueError(system)
    gc.collect()
    before_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    reset = _reset_peak()
    baseline = _status_bytes("VmRSS")
    out = read()
    peak = _status_bytes("VmHWM") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return {"system": system, "baseline": baseline, "peak": peak, "nbytes": int(out.nbytes),
            "shape": list(out.shape), "dtype": str(out.dtype), "peak_reset": reset,
            "peak_before_read": before_peak}


if __name__ == "__main__":
    print(json.dumps(measure(json.loads(sys.argv[1]))))
