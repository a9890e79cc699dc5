"""A first look at orvala: create a table, write columns, read them back."""
import os
import tempfile

import numpy as np

import orvala
from orvala.tables import table

print("orvala", orvala.__version__)
print("column type DOUBLE is numpy", orvala.numpy_dtype("DOUBLE"),
      "| numpy complex64 is", orvala.casa_type("complex64"))

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "demo.tab")
    desc = {
        "TIME": {"valueType": "double"},
        "ANTENNA": {"valueType": "int", "dataManagerType": "IncrementalStMan",
                    "dataManagerGroup": "ISM"},
        "NAME": {"valueType": "string"},
        # Cells of 2 x 4 complex values, kept in tiles.
        "DATA": {"valueType": "complex", "ndim": 2, "shape": [2, 4],
                 "dataManagerType": "TiledShapeStMan", "dataManagerGroup": "TSM"},
    }
    nrow = 5
    with table(path, desc, nrow=nrow) as t:
        t.putcol("TIME", 4.8e9 + np.arange(nrow) * 10.0)
        t.putcol("ANTENNA", np.array([1, 1, 2, 2, 3], dtype=np.int32))
        t.putcol("NAME", ["a", "b", "c", "d", "e"])
        t.putcol("DATA", (np.arange(nrow * 8) * (1 + 1j)).astype(np.complex64).reshape(nrow, 2, 4))
        t.putkeyword("TELESCOPE", "demo")
    # Leaving the block flushed the table to disk in the table format.

    t = table(path, readonly=True)
    print(t.nrows(), "rows; columns", t.colnames())
    print("TIME   ", t.getcol("TIME"))
    print("ANTENNA", t.getcol("ANTENNA"))
    print("NAME   ", t.getcol("NAME"))
    print("DATA   ", t.getcol("DATA").shape, "first cell:")
    print(t.getcell("DATA", 0))
    print("keywords", t.getkeywords())
