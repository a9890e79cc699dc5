"""Cell access from Python: reads (raw and merged), writes, their checks and conversions."""
import numpy as np
import pytest

from orvala.tables import table
from tablehelp import NUMERIC, array, sample, scalar


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.tab")


# Which managers store which kinds of column.
SCALAR_MANAGERS = ["StandardStMan", "IncrementalStMan"]
ARRAY_MANAGERS = ["StandardStMan", "TiledColumnStMan", "TiledShapeStMan"]


@pytest.mark.parametrize("manager", SCALAR_MANAGERS)
def test_scalar_columns_round_trip(path, manager):
    nrow = 7
    desc = {f"C_{vt}": scalar(vt, manager) for vt in NUMERIC}
    if manager == "StandardStMan":
        desc["C_string"] = scalar("string", manager)
    t = table(path, desc, nrow=nrow)
    expected = {}
    for vt, dtype in NUMERIC.items():
        values = sample(dtype, (nrow,), seed=len(vt))
        t.putcol(f"C_{vt}", values)
        expected[f"C_{vt}"] = values
    if "C_string" in desc:
        expected["C_string"] = ["", "a", "exactly8", "nine char", "x" * 300, "é", "z"]
        t.putcol("C_string", expected["C_string"])
    t.close()
    for readonly in (True, False):
        r = table(path, readonly=readonly)
        for name, values in expected.items():
            got = r.getcol(name)
            if isinstance(values, list):
                assert got == values
            else:
                assert np.array_equal(got, values.astype(got.dtype)), name
                assert [r.getcell(name, i) for i in range(nrow)] == [
                    (complex(v).real, complex(v).imag) if np.iscomplexobj(values) else v.item()
                    for v in values
                ]


@pytest.mark.parametrize("manager", ARRAY_MANAGERS)
def test_array_columns_round_trip(path, manager):
    nrow, shape = 5, (3, 4)
    # A tiled data manager stores one column: one group per column.
    desc = {f"C_{vt}": array(vt, shape=list(shape), manager=manager, group=f"G_{vt}") for vt in NUMERIC}
    if manager == "StandardStMan":
        desc["S"] = array("string", ndim=2)
        desc["V"] = array("double", ndim=1)
    t = table(path, desc, nrow=nrow)
    expected = {}
    for vt, dtype in NUMERIC.items():
        values = sample(dtype, (nrow,) + shape, seed=len(vt))
        t.putcol(f"C_{vt}", values)
        expected[f"C_{vt}"] = values
    if manager == "StandardStMan":
        t.putcell("S", 0, {"shape": [2, 2], "array": ["a", "b", "c", "d"]})
        t.putcell("S", 1, ["one", "two", "three"])
        for row in range(nrow):
            t.putcell("V", row, np.arange(row + 1, dtype=np.float64))
    t.close()
    for readonly in (True, False):
        r = table(path, readonly=readonly)
        for name, values in expected.items():
            got = r.getcol(name)
            assert got.shape == values.shape and np.array_equal(got, values), (name, readonly)
            assert np.array_equal(r.getcell(name, 2), values[2])
            assert np.array_equal(r.getcol(name, 1, 2), values[1:3])
            assert np.array_equal(r.getcellslice(name, 1, [0, 1], [1, 2]), values[1, 0:2, 1:3])
            assert np.array_equal(r.getcolslice(name, [1, 0], [2, 3]), values[:, 1:3, 0:4])
        if manager == "StandardStMan":
            assert r.getcell("S", 0) == {"shape": [2, 2], "array": ["a", "b", "c", "d"]}
            assert r.getcell("S", 1) == ["one", "two", "three"]
            varcol = r.getvarcol("V", 1, 2)
            assert list(varcol) == ["r1", "r2"]
            assert varcol["r2"].tolist() == [0.0, 1.0, 2.0]


def test_tiled_column_spanning_several_tiles(path):
    nrow = 6000  # more rows than one tile of [4, 3] doubles holds
    t = table(path, {"D": array("double", shape=[3, 4], manager="TiledShapeStMan")}, nrow=nrow)
    values = np.arange(nrow * 12, dtype=np.float64).reshape(nrow, 3, 4)
    t.putcol("D", values)
    t.close()
    r = table(path, readonly=True)
    assert np.array_equal(r.getcol("D"), values)
    assert np.array_equal(r.getcell("D", 5999), values[5999])


def test_row_arguments(path):
    t = table(path, {"A": scalar("int")}, nrow=5)
    t.putcol("A", np.arange(5, dtype=np.int32))
    t.close()
    for readonly in (True, False):
        r = table(path, readonly=readonly)
        assert r.getcol("A", startrow=-1).tolist() == [4]
        assert r.getcol("A", startrow=-9).tolist() == [0, 1, 2, 3, 4]
        assert r.getcol("A", startrow=10).tolist() == []
        empty = r.getcol("A", nrow=0)
        assert empty.shape == (0,) and empty.dtype == np.int32
        with pytest.raises(ValueError, match=r"row 5 is out of range \(table has 5 rows\)"):
            r.getcell("A", 5)
        assert list(r.getvarcol("A", startrow=3, nrow=2)) == ["r1", "r2"]
    with pytest.raises((RuntimeError, ValueError), match="out of range|outside"):
        table(path, readonly=True).getcol("A", 3, 4)
    with pytest.raises(ValueError, match=r"row range 3\.\.7 is outside the table \(5 rows\)"):
        table(path).getcol("A", 3, 4)


def test_merged_reads_of_writable_handles(path):
    t = table(path, {"A": scalar("double"), "M": array("float", shape=[2])}, nrow=4)
    t.putcol("A", np.array([1.0, 2.0, 3.0, 4.0]))
    t.flush()
    t.putcell("A", 2, 30.0)
    t.addrows(2)
    assert t.getcol("A").tolist() == [1.0, 2.0, 30.0, 4.0, 0.0, 0.0]
    assert t.getcell("A", 5) == 0.0
    t.addcols({"N": scalar("int")})
    assert t.getcol("N").tolist() == [0] * 6
    assert t.getcol("M").shape == (6, 2)
    # A read-only open flushes the edits first; that handle then keeps what it
    # read while the directory is flushed again.
    before = table(path, readonly=True)
    assert before.getcol("A").tolist() == [1.0, 2.0, 30.0, 4.0, 0.0, 0.0]
    t.putcell("A", 0, -1.0)
    t.addrows(1)
    t.flush()
    assert before.getcol("A").tolist() == [1.0, 2.0, 30.0, 4.0, 0.0, 0.0]
    assert table(path, readonly=True).getcol("A").tolist() == [-1.0, 2.0, 30.0, 4.0, 0.0, 0.0, 0.0]


def test_uchar_scalar_dtype_by_handle_kind(path):
    t = table(path, {"U": scalar("uchar")}, nrow=2)
    t.putcol("U", [1, 255])
    t.close()
    assert table(path, readonly=True).getcol("U").dtype == np.uint8
    assert table(path).getcol("U").dtype == np.uint16
    assert table(path).getcol("U").tolist() == [1, 255]


def test_bool_column_read_can_be_written_back(path):
    t = table(path, {"B": scalar("boolean"), "BA": array("boolean", shape=[3], manager="TiledShapeStMan")}, nrow=3)
    t.putcol("B", np.array([True, False, True]))
    t.putcol("BA", np.array([[1, 0, 1], [0, 0, 1], [1, 1, 1]], dtype=bool))
    t.close()
    w = table(path)
    w.putcol("B", w.getcol("B")[::-1].copy())
    w.putcol("BA", w.getcol("BA"))
    w.close()
    r = table(path, readonly=True)
    assert r.getcol("B").tolist() == [True, False, True]
    assert r.getcol("BA").tolist() == [[1, 0, 1], [0, 0, 1], [1, 1, 1]]


@pytest.mark.parametrize(
    "column, value, expected",
    [
        ("C", np.complex64(1 + 2j), (1.0, 2.0)),
        ("B", np.bool_(True), True),
        ("F", np.float32(1.5), 1.5),
        ("L", 2**40, 2**40),
        ("L", np.int64(-3), -3),
        ("I", 7, 7),
        ("S", "Table: /x", "/x"),
    ],
)
def test_putcell_by_value_type(path, column, value, expected):
    desc = {"C": scalar("complex"), "B": scalar("boolean"), "F": scalar("float"), "L": scalar("int64"),
            "I": scalar("int"), "S": scalar("string")}
    t = table(path, desc, nrow=1)
    if column == "S":
        with pytest.raises(TypeError, match="string cannot be stored"):
            t.putcell(column, 0, value)
        return
    t.putcell(column, 0, value)
    assert t.getcell(column, 0) == expected


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda t: t.putcell("F", 0, 1.5), TypeError,
         r"putcol/putcell: double cannot be stored in column F \(valueType float\)"),
        (lambda t: t.putcell("I", 0, 2**40), TypeError, "int64 cannot be stored in column I"),
        (lambda t: t.putcol("D", np.zeros((5, 3))), ValueError,
         r"putcol: cell shape \[3\] does not match column D fixed shape \[4\]"),
        (lambda t: t.putcol("I", np.zeros((2, 2))), TypeError, "cannot be stored"),
        (lambda t: t.putcell("I", 0, [1, "a"]), TypeError, "mixed list"),
        (lambda t: t.putcell("I", 5, 1), RuntimeError, r"row 5 is out of range \(table has 2 rows\)"),
        (lambda t: t.putvarcol("I", {"x1": 1}), ValueError, "bad row key x1"),
        (lambda t: t.putcell("nope", 0, 1), KeyError, "no such column: nope"),
        (lambda t: t.putcolslice("D", np.zeros(0), [0], [1]), ValueError, "putcolslice: empty value"),
        (lambda t: t.putcolslice("D", np.ones(1), [0], [1]), ValueError, "putcolslice"),
        (lambda t: t.putcolslice("D", np.ones(3), [3], [5]), ValueError, "does not fit"),
        (lambda t: t.getcellslice("D", 0, [0], [9]), RuntimeError, r"slice \[0\]\.\.\[9\] does not fit the cell shape \[4\]"),
        (lambda t: t.putcol("S", {"shape": [2], "array": [1, 2]}), TypeError, "expected a string array dict"),
        (lambda t: t.putcol("I", np.array(["a"])), TypeError, "string cannot be stored in column I"),
    ],
)
def test_put_and_get_errors(path, call, exc, message):
    t = table(path, {"F": scalar("float"), "I": scalar("int"), "D": array("double", shape=[4]),
                     "S": array("string", ndim=1)}, nrow=2)
    with pytest.raises(exc, match=message):
        call(t)


def test_putcol_coercions_and_row_dicts(path):
    t = table(path, {"I": scalar("int"), "D": scalar("double"), "S": scalar("string")}, nrow=6)
    t.putcol("I", np.array([1.9, -2.9]))  # NumPy's casting truncates toward zero
    t.putcol("D", [1, 2, 3])
    t.putcol("S", np.array(["a", "bb"]), startrow=4)
    t.putvarcol("I", {"r3": 30, "r5": 50}, startrow=2)
    t.putcol("D", {"r1": 9.0, "rr3": 11.0}, startrow=3)
    assert t.getcol("I").tolist() == [1, -2, 30, 0, 50, 0]
    assert t.getcol("D").tolist() == [1.0, 2.0, 3.0, 9.0, 0.0, 11.0]
    assert t.getcol("S") == ["", "", "", "", "a", "bb"]


def test_putcolslice(path):
    t = table(path, {"D": array("int", shape=[2, 3])}, nrow=2)
    t.putcolslice("D", np.array([[[1, 2]], [[3, 4]]]), [1, 0], [1, 1])
    assert t.getcol("D").tolist() == [[[0, 0, 0], [1, 2, 0]], [[0, 0, 0], [3, 4, 0]]]
    t.putcolslice("D", np.full((2, 2, 3), 5))  # no corners: a plain putcol
    assert t.getcol("D").tolist() == [[[5] * 3] * 2] * 2


def test_getcolnp_checks_the_buffer(path):
    t = table(path, {"A": scalar("double"), "M": array("int", shape=[2])}, nrow=3)
    t.putcol("A", np.array([1.0, 2.0, 3.0]))
    t.close()
    for readonly in (True, False):
        r = table(path, readonly=readonly)
        buf = np.zeros(3)
        r.getcolnp("A", buf)
        assert buf.tolist() == [1.0, 2.0, 3.0]
        widened = np.zeros(3, dtype=np.float32)
        r.getcolnp("A", widened)
        assert widened.tolist() == [1.0, 2.0, 3.0]
        with pytest.raises(ValueError):
            r.getcolnp("A", np.zeros(2))
        frozen = np.zeros(3)
        frozen.flags.writeable = False
        with pytest.raises(ValueError):
            r.getcolnp("A", frozen)
        with pytest.raises(ValueError, match="non-contiguous"):
            r.getcolnp("A", np.zeros(6)[::2])
        with pytest.raises(TypeError, match="unsupported buffer dtype"):
            r.getcolnp("A", np.zeros(3, dtype="U4"))
        with pytest.raises(ValueError):
            r.getcolslicenp("M", np.zeros(2, dtype=np.int32), [0], [1])
        out = np.zeros((3, 1), dtype=np.int32)
        r.getcolslicenp("M", out, [1], [1])


def test_zero_extent_cells_read_as_empty_arrays(path):
    t = table(path, {"V": array("double", ndim=2)}, nrow=1)
    t.putcell("V", 0, np.zeros((0, 3)))
    t.close()
    cell = table(path, readonly=True).getcell("V", 0)
    assert cell.shape == (0, 3)


def test_reentrant_use_is_refused_not_deadlocked(path):
    t = table(path, {"R": {"valueType": "record"}, "I": scalar("int")}, nrow=1)

    class Sneaky:
        def __index__(self):
            t.getcell("I", 0)  # another call on the same handle during a conversion
            return 0

    with pytest.raises(RuntimeError, match="in use"):
        t.putcell("I", 0, [Sneaky()])


def test_record_cells(path):
    t = table(path, {"R": {"valueType": "record"}}, nrow=2)
    t.putcell("R", 0, {"a": 1, "b": "x", "c": {"d": [1.5, 2.5]}})
    t.close()
    r = table(path, readonly=True)
    for got in (r.getcell("R", 0), r.getcol("R")[0]):
        assert got["a"] == 1 and got["b"] == "x"
        assert got["c"]["d"] == {"shape": [2], "array": [1.5, 2.5]}
    assert r.getcell("R", 1) == {} and r.getcol("R")[1] == {}
