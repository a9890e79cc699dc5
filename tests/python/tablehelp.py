"""Small builders of description dicts for the table tests."""

MANAGERS = ["StandardStMan", "IncrementalStMan", "TiledColumnStMan", "TiledShapeStMan"]

NUMERIC = {
    "boolean": "bool", "uchar": "uint8", "short": "int16", "ushort": "uint16", "int": "int32",
    "uint": "uint32", "int64": "int64", "float": "float32", "double": "float64",
    "complex": "complex64", "dcomplex": "complex128",
}


def scalar(value_type, manager="StandardStMan", group=None, **extra):
    return {"valueType": value_type, "dataManagerType": manager,
            "dataManagerGroup": group or manager, **extra}


def array(value_type, shape=None, manager="StandardStMan", group=None, ndim=None, **extra):
    d = {"valueType": value_type, "dataManagerType": manager, "dataManagerGroup": group or manager,
         "ndim": ndim if ndim is not None else (len(shape) if shape else -1)}
    if shape:
        d["shape"] = list(shape)
    d.update(extra)
    return d


def sample(dtype, shape, seed=0):
    """Deterministic non-trivial values of a NumPy dtype and shape."""
    import numpy as np

    n = int(np.prod(shape)) if shape else 1
    base = np.arange(n, dtype=np.int64) * 7 + seed * 13 + 1
    if dtype == "bool":
        values = (base % 3) == 0
    elif dtype.startswith("complex"):
        values = (base * 0.5 + 1j * (base - 2)).astype(dtype)
    elif dtype.startswith("float"):
        values = (base * 0.25 - 3).astype(dtype)
    elif dtype.startswith("uint"):
        values = (base % 200).astype(dtype)
    else:
        values = ((base % 200) - 100).astype(dtype)
    return values.reshape(shape) if shape else values.reshape(())
