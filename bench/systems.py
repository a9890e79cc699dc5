"""The systems compared by the benchmark, each behind the same few calls.

Every system writes a NumPy array to its own storage and reads it back into a
NumPy array. The raw file read through numpy.memmap and written with
ndarray.tofile is the physical limit; h5py and pyarrow Feather are what a user
would otherwise pick; orvala is measured against all three.
"""
import os
import shutil

import numpy as np


def remove(path):
    """Removes a file or a directory tree, if it exists."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


# ---------------------------------------------------------------- raw bytes

def raw_write(path, arr):
    arr.tofile(path)


def raw_write_fsync(path, arr):
    with open(path, "wb") as f:
        arr.tofile(f)
        f.flush()
        os.fsync(f.fileno())


def raw_read(path, dtype, shape):
    """A NumPy copy of the file's bytes, mapped with numpy.memmap."""
    m = np.memmap(path, dtype=dtype, mode="r", shape=shape)
    out = np.array(m)
    del m
    return out


# ---------------------------------------------------------------- h5py

def h5_write(path, name, arr):
    import h5py
    with h5py.File(path, "w") as f:
        f.create_dataset(name, data=arr)


def h5_read(path, name):
    import h5py
    with h5py.File(path, "r") as f:
        return f[name][...]


# ---------------------------------------------------------------- pyarrow Feather

def _to_arrow(arr):
    import pyarrow as pa
    if np.iscomplexobj(arr):
        # Arrow has no complex type: each cell is a fixed-size list of its
        # interleaved real and imaginary parts, the same bytes as in NumPy.
        parts = arr.dtype.itemsize // 2
        flat = np.ascontiguousarray(arr).view(np.dtype(f"<f{parts}")).reshape(-1)
        per_row = flat.size // max(arr.shape[0], 1)
        return pa.FixedSizeListArray.from_arrays(pa.array(flat), per_row)
    return pa.array(arr)


def feather_write(path, name, arr):
    import pyarrow as pa
    from pyarrow import feather
    feather.write_feather(pa.table({name: _to_arrow(arr)}), path, compression="uncompressed")


def feather_read(path, name, dtype, shape):
    """Reads the file (no memory map) and hands the column over as NumPy."""
    from pyarrow import feather
    col = feather.read_table(path, columns=[name]).column(name)
    chunk = col.chunk(0) if col.num_chunks == 1 else col.combine_chunks()
    if np.dtype(dtype).kind == "c":
        return chunk.flatten().to_numpy().view(dtype).reshape(shape)
    return chunk.to_numpy()


# ---------------------------------------------------------------- orvala

def orvala_table():
    from orvala.tables import table
    return table


def scalar_col(value_type, manager="StandardStMan", group=None):
    return {"valueType": value_type, "dataManagerType": manager,
            "dataManagerGroup": group or manager}


def array_col(value_type, shape, manager="StandardStMan", group=None):
    """An array column of a fixed cell shape, given in C order (NumPy's)."""
    return {"valueType": value_type, "ndim": len(shape), "shape": list(shape),
            "dataManagerType": manager, "dataManagerGroup": group or manager}


def orvala_create(path, desc, nrow, columns):
    """A new table of nrow rows, the given columns put whole, then flushed."""
    t = orvala_table()(path, desc, nrow=nrow)
    for name, arr in columns.items():
        t.putcol(name, arr)
    t.flush()
    return t


def orvala_read(path, name):
    return orvala_table()(path, readonly=True).getcol(name)
