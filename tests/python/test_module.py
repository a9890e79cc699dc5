"""The module tree, the type-name translations and the error rules."""
import importlib
import inspect
import subprocess
import sys

import pytest

import orvala


def test_module_tree_and_registry_keys():
    assert orvala.__version__ == "3.8.3"
    assert sys.modules["orvala.tables"] is orvala.tables
    assert sys.modules["orvala.quanta"] is orvala.quanta
    assert orvala.__all__[:3] == ["__version__", "numpy_dtype", "casa_type"]
    assert orvala.__all__[-2:] == ["tables", "quanta"]
    import orvala.tables as tables_again
    from orvala import quanta

    assert tables_again is orvala.tables and quanta is orvala.quanta


def test_reimport_after_removal_gives_the_identical_module():
    first = sys.modules.pop("orvala")
    try:
        again = importlib.import_module("orvala")
        assert again is first
    finally:
        sys.modules["orvala"] = first


@pytest.mark.parametrize(
    "name, dtype",
    [
        ("boolean", "bool"), ("Bool", "bool"), ("BOOL", "bool"), ("uchar", "uint8"),
        ("fcomplex", "complex64"), ("record", "record"), ("string", "object"),
        ("Integer", "int32"), ("usmallint", "uint16"), ("dcomplex", "complex128"),
    ],
)
def test_numpy_dtype(name, dtype):
    assert orvala.numpy_dtype(name) == dtype
    assert orvala.numpy_dtype(casa_type=name) == dtype


@pytest.mark.parametrize(
    "dtype, name",
    [("float64", "DOUBLE"), ("object", "STRING"), ("uint8", "BYTE"), ("complex64", "COMPLEX"),
     ("record", "RECORD"), ("int64", "INT64")],
)
def test_casa_type(dtype, name):
    assert orvala.casa_type(dtype) == name
    assert orvala.casa_type(orvala.numpy_dtype(name)) == name


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orvala.numpy_dtype(""), 'unknown CASA value type name: ""'),
        (lambda: orvala.numpy_dtype(" INT"), 'unknown CASA value type name: " INT"'),
        (lambda: orvala.numpy_dtype("ta\"b\tle"), 'unknown CASA value type name: "ta\\"b\\tle"'),
        (lambda: orvala.casa_type("int"), 'unknown numpy dtype: "int"'),
        (lambda: orvala.casa_type("FLOAT64"), 'unknown numpy dtype: "FLOAT64"'),
    ],
)
def test_unknown_names_raise_value_error_with_quoted_name(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: orvala.numpy_dtype(1), "casa_type"),
        (lambda: orvala.casa_type(b"float64"), "numpy_dtype"),
        (lambda: orvala.numpy_dtype(), "casa_type"),
        (lambda: orvala.numpy_dtype("INT", "INT"), "at most 1 argument"),
        (lambda: orvala.numpy_dtype(name="INT"), "unexpected keyword argument 'name'"),
        (lambda: orvala.numpy_dtype("INT", casa_type="INT"), "multiple values"),
    ],
)
def test_argument_errors_are_type_errors_naming_the_parameter(call, fragment):
    with pytest.raises(TypeError, match=fragment):
        call()


def test_every_callable_has_a_text_signature():
    for module in (orvala, orvala.tables, orvala.quanta):
        for name in module.__all__:
            obj = getattr(module, name)
            if callable(obj) and not isinstance(obj, type):
                inspect.signature(obj)  # raises ValueError when the docstring lacks it
    assert list(inspect.signature(orvala.numpy_dtype).parameters) == ["casa_type"]
    assert list(inspect.signature(orvala.casa_type).parameters) == ["numpy_dtype"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_import_does_not_import_numpy():
    result = run_python("import sys, orvala; print('numpy' in sys.modules)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_second_interpreter_is_refused():
    code = """
import orvala
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    print("skip"); raise SystemExit
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import orvala")
except Exception as error:
    print("refused:", error)
else:
    print("accepted")
print(orvala.numpy_dtype("double"))
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("skip"):
        pytest.skip("no subinterpreter support in this Python")
    lines = result.stdout.splitlines()
    assert lines[0].startswith("refused:") and "subinterpreter" in lines[0]
    assert lines[1] == "float64"
