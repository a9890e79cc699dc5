"""The table class: opening, creating, descriptions, keywords, columns, rows and flushing."""
import os
import pathlib

import numpy as np
import pytest

import orvala
from orvala.tables import table
from tablehelp import array, scalar


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.tab")


def make(path, nrow=3, **columns):
    return table(path, columns or {"A": scalar("int"), "B": scalar("double")}, nrow=nrow)


def test_factory_and_class_registration():
    assert orvala.tables.__all__[:2] == ["table", "table"]
    assert table.__module__ == "orvala.tables"
    assert callable(table) and not isinstance(table, type)


def test_create_reopen_and_names(path, tmp_path):
    t = make(path, nrow=3)
    assert isinstance(t, type(t)) and type(t).__name__ == "table"
    assert t.name() == path and t.iswritable() and t.nrows() == 3
    assert t.colnames() == ["A", "B"] == t.colnames2()
    t.putcol("A", np.array([1, 2, 3], dtype=np.int32))
    t.close()
    ro = table(path, readonly=True)
    assert not ro.iswritable()
    assert ro.getcol("A").tolist() == [1, 2, 3]
    os.chdir(tmp_path)
    assert table("t.tab", readonly=True).name() == path
    assert table(pathlib.Path(path), readonly=True).nrows() == 3


def test_readonly_created_table_still_edits_and_flushes(path):
    t = table(path, {"A": scalar("int")}, nrow=3, readonly=True)
    assert not t.iswritable()
    t.putkeyword("k", 5)
    t.flush()
    assert table(path, readonly=True).getkeyword("k") == 5


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda p: table(5), TypeError, "expected a str or os.PathLike"),
        (lambda p: table(p, tabledesc=[1]), TypeError, "tabledesc must be a dict"),
        (lambda p: table(p + "-missing"), RuntimeError, "No such file or directory"),
        (lambda p: table(p, {"A": {"valueType": "foo"}}), RuntimeError, "column A: bad valueType foo"),
        (lambda p: make(p).getcoldesc("nope"), KeyError, "no such column: nope"),
        (lambda p: (make(p).flush(), table(p, readonly=True).putkeyword("k", 1)), ValueError,
         "table is not writable"),
        (lambda p: make(p).addcols([1]), TypeError, "addcols"),
        (lambda p: make(p).removecols(["A", "nope"]), KeyError, "no such column: nope"),
        (lambda p: make(p).addrows(-1), ValueError, "negative"),
    ],
)
def test_errors(path, call, exc, message):
    with pytest.raises(exc) as info:
        call(path)
    assert message in str(info.value)
    assert not isinstance(info.value, OSError)


def test_descriptions_round_trip(path):
    desc = {
        "S": scalar("double", comment="a scalar"),
        "V": array("float", shape=[4, 3]),
        "W": array("int", ndim=2),
        "R": {"valueType": "record"},
        "_keywords_": {"k": 1},
    }
    t = table(path, desc, nrow=1)
    s = t.getcoldesc("S")
    assert list(s) == ["valueType", "dataManagerType", "dataManagerGroup", "option", "maxlen",
                       "comment", "keywords"]
    assert s["valueType"] == "double" and s["comment"] == "a scalar"
    v = t.getcoldesc("V")
    assert v["ndim"] == 2 and v["shape"] == [4, 3] and v["_c_order"] is True
    assert "shape" not in t.getcoldesc("W")
    assert "ndim" not in t.getcoldesc("R")
    d = t._getdesc()
    assert list(d)[-3:] == ["_keywords_", "_private_keywords_", "_define_hypercolumn_"]
    assert d["_keywords_"] == {"k": 1} and d["_define_hypercolumn_"] == {}
    # The output form builds the same table again.
    again = table(path + "2", {k: d[k] for k in ["S", "V", "W", "R"]}, nrow=1)
    for name in "SVWR":
        assert again.getcoldesc(name) == t.getcoldesc(name)


def test_keywords(path, tmp_path):
    t = make(path)
    t.putkeyword("i", 3)
    t.putkeyword("big", 2**40)
    t.putkeywords({"s": "text", "l": [1.5, 2], "nested": {"x": True, "arr": np.arange(6.0).reshape(2, 3)}})
    t.putcolkeyword("A", "unit", "Jy")
    t.putkeyword("sub", "Table: " + path + "/SUB")
    t.flush()
    ro = table(path, readonly=True)
    kw = ro.getkeywords()
    assert kw["i"] == 3 and kw["big"] == 2**40 and kw["s"] == "text"
    assert kw["l"] == {"shape": [2], "array": [1.5, 2.0]}
    assert kw["nested"]["x"] is True
    assert kw["nested"]["arr"] == {"shape": [2, 3], "array": [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]}
    assert kw["sub"] == "Table: " + path + "/SUB"
    assert ro.getsubtables() == [os.path.realpath(path) + "/SUB"]
    assert ro.getcolkeywords("A") == {"unit": "Jy"}
    assert ro.getcolkeywords("nope") == {}
    assert ro.getkeyword("missing") is None
    w = table(path)
    w.removekeyword("i")
    w.removecolkeyword("A", "unit")
    w.flush()
    assert "i" not in table(path, readonly=True).getkeywords()
    assert table(path, readonly=True).getcolkeywords("A") == {}


@pytest.mark.parametrize(
    "value, message",
    [([1, "a"], "cannot convert mixed list to a keyword array"), ({1: 2}, "keyword names must be strings")],
)
def test_keyword_conversion_errors(path, value, message):
    with pytest.raises(TypeError, match=message):
        make(path).putkeyword("k", value)


def test_integer_beyond_64_bits_is_refused(path):
    with pytest.raises(OverflowError):
        make(path).putkeyword("k", 2**70)


def test_columns_and_rows(path):
    t = make(path, nrow=2)
    t.putcol("A", [5, 6])
    t.addcols({"C": scalar("string"), "D": array("double", shape=[2])})
    assert t.colnames() == ["A", "B", "C", "D"]
    assert t.getcol("C") == ["", ""]
    assert t.getcol("D").tolist() == [[0.0, 0.0], [0.0, 0.0]]
    with pytest.raises(ValueError, match="already exists"):
        t.addcols({"E": scalar("int"), "A": scalar("int")})
    assert t.colnames() == ["A", "B", "C", "D"]
    t.addrows(2)
    assert t.nrows() == 4
    assert t.getcol("A").tolist() == [5, 6, 0, 0]
    t.removecols(["B", "C", "B"])
    t.removecol("D")
    assert t.colnames() == ["A"]
    t.flush()
    ro = table(path, readonly=True)
    assert ro.colnames() == ["A"] and ro.getcol("A").tolist() == [5, 6, 0, 0]
    t.removecol("A")
    assert t.nrows() == 0


def test_writable_handles_share_edits_and_readonly_open_flushes(path):
    make(path, nrow=2).flush()
    first, second = table(path), table(path)
    first.putcell("A", 1, 42)
    assert second.getcell("A", 1) == 42
    del first, second
    assert table(path, readonly=True).getcell("A", 1) == 42


def test_superseded_state_never_flushes_over_a_new_table(path):
    old = make(path, nrow=2)
    old.putcell("A", 0, 7)
    new = table(path, {"X": scalar("string")}, nrow=1)
    with pytest.raises(RuntimeError, match="created again"):
        old.flush()
    assert table(path, readonly=True).colnames() == ["X"]
    new.close()


def test_with_block_flushes_and_keeps_exceptions(path):
    with make(path, nrow=1) as t:
        t.putcell("A", 0, 9)
    assert table(path, readonly=True).getcell("A", 0) == 9
    with pytest.raises(ZeroDivisionError):
        with table(path) as t:
            t.putcell("A", 0, 10)
            1 / 0
    assert table(path, readonly=True).getcell("A", 0) == 10


def test_advisory_methods(path):
    t = make(path)
    assert t.lock() is None and t.lock(True, False, 3) is None and t.unlock() is None
    assert t.setmaxcachesize("A", 100) is None
    assert t.store_col_len(0) == 3 and t.store_col_len(9) == 0
    with pytest.raises(TypeError):
        t.lock(write=1.5)
    t.close()
    t.close()


def test_subtable_handle_names(tmp_path):
    main = str(tmp_path / "x.ms")
    table(main, {"A": scalar("int")}, nrow=1).flush()
    sub = table(main + "/SUB", {"B": scalar("int")}, nrow=2)
    sub.flush()
    handle = table(main + "::SUB")
    assert handle.name() == main + "::SUB" and handle.nrows() == 2
    handle.putkeyword("self", "Table: " + main + "/SUB/INNER")
    handle.flush()
    assert handle.getkeywords()["self"] == "Table: " + main + "/SUB/INNER"
