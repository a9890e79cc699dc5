"""A real Measurement Set written by another program reads completely through the Python API."""
import os

import numpy as np
import pytest

from orvala.tables import table


@pytest.fixture(scope="module")
def ms(request):
    path = os.path.join(os.path.dirname(__file__), "..", "data", "lwa-downselected.ms")
    return os.path.realpath(path)


def tables_of(ms):
    return [ms] + sorted(os.path.join(ms, d) for d in os.listdir(ms) if os.path.isdir(os.path.join(ms, d)))


def same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=np.asarray(a).dtype.kind in "fc")
    return a == b


def test_every_column_of_every_table(ms):
    seen = 0
    for path in tables_of(ms):
        t = table(path, readonly=True)
        n = t.nrows()
        for name in t.colnames():
            col = t.getcol(name)
            cells = [t.getcell(name, row) for row in range(n)]
            if isinstance(col, np.ndarray) and cells and isinstance(cells[0], np.ndarray):
                shapes = {c.shape for c in cells}
                if len(shapes) == 1:
                    assert same(col, np.stack(cells)), (path, name)
            elif isinstance(col, np.ndarray):
                assert same(col, np.array(cells, dtype=col.dtype)), (path, name)
            else:
                assert len(col) == n
            seen += 1
    assert seen > 100


def test_main_table_values(ms):
    t = table(ms, readonly=True)
    assert t.nrows() == 210
    data = t.getcol("DATA")
    assert data.ndim == 3 and data.shape[0] == 210 and data.dtype == np.complex64
    assert np.isfinite(data).all() and np.abs(data).sum() > 0
    assert t.getcol("UVW").shape == (210, 3)
    assert "ANTENNA" in "".join(t.getsubtables())
    names = table(os.path.join(ms, "ANTENNA"), readonly=True).getcol("NAME")
    assert all(isinstance(n, str) and n.strip() for n in names)


def test_writable_handle_reads_the_same(ms, tmp_path):
    import shutil

    copy = str(tmp_path / "copy.ms")
    shutil.copytree(ms, copy)
    ro, rw = table(copy, readonly=True), table(copy)
    for name in ro.colnames():
        assert same(ro.getcol(name), rw.getcol(name)) or ro.getcoldesc(name)["valueType"] == "uchar", name
