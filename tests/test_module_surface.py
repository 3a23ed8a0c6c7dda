"""The module object itself: identity across imports, exported names,
signatures and docstrings, and the call wrapper's binding and conversion
errors as seen through the module functions."""

import importlib
import inspect
import sys

import derirezaro
import pytest
from derirezaro import _core

# Initialisation appends to __all__ in this order; names whose
# implementation has not landed yet are simply absent.
FULL_EXPORT_ORDER = ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph"]
VERSION = "0.9.2"


def test_reimport_returns_the_same_module_object():
    first = importlib.import_module("derirezaro._core")
    assert first is _core
    saved = sys.modules.pop("derirezaro._core")
    try:
        again = importlib.import_module("derirezaro._core")
    finally:
        sys.modules["derirezaro._core"] = saved
    # Single-phase init hands back the one module the process keeps, so a
    # second import cannot re-run the body and duplicate __all__ entries.
    assert again is saved
    assert again.__all__ == saved.__all__


def test_all_lists_each_export_once_in_initialisation_order():
    exported = _core.__all__
    assert type(exported) is list
    assert len(set(exported)) == len(exported)
    assert exported == [name for name in FULL_EXPORT_ORDER if name in exported]
    assert exported[:4] == FULL_EXPORT_ORDER[:4]
    for name in exported:
        assert hasattr(_core, name)
    assert derirezaro.__all__ == exported


def test_version_matches_core_version():
    assert _core.__version__ == VERSION
    assert _core.core_version() == VERSION
    assert derirezaro.__version__ == VERSION


def test_module_name_and_docstring():
    assert _core.__name__ == "derirezaro._core"
    assert _core.__doc__ == "The `derirezaro._core` native module."


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "dumps",
            "(obj)",
            "Serialize a Python object to msgpack bytes (derirezaro's stable, cross-language codec).",
        ),
        ("loads", "(data)", "Deserialize msgpack bytes back into a Python object."),
        ("core_version", "()", None),
    ],
)
def test_function_identity_signature_and_doc(name, signature, doc):
    fn = getattr(_core, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "derirezaro._core"
    assert fn.__self__ is _core
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    for param in inspect.signature(fn).parameters.values():
        assert param.kind is param.POSITIONAL_OR_KEYWORD and param.default is param.empty
    if doc is not None:
        assert fn.__doc__ == doc


def test_core_version_doc_is_two_paragraphs_about_the_version():
    doc = _core.core_version.__doc__
    paragraphs = doc.split("\n\n")
    assert len(paragraphs) == 2
    assert all(p.strip() for p in paragraphs)
    assert "version" in paragraphs[0].lower()


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_core_version_refuses_arguments(args, kwargs):
    with pytest.raises(TypeError):
        _core.core_version(*args, **kwargs)


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (_core.dumps, (), {}, "dumps() missing 1 required positional argument: 'obj'"),
        (_core.loads, (), {}, "loads() missing 1 required positional argument: 'data'"),
        (_core.dumps, (1, 2), {}, "dumps() takes 1 positional arguments but 2 were given"),
        (_core.loads, (b"", b"", b""), {}, "loads() takes 1 positional arguments but 3 were given"),
        # The positional count is judged before any keyword is looked at.
        (_core.dumps, (1, 2), {"bogus": 3}, "dumps() takes 1 positional arguments but 2 were given"),
        (_core.dumps, (1,), {"bogus": 2}, "dumps() got an unexpected keyword argument 'bogus'"),
        # An unknown keyword is reported even though 'obj' is also missing.
        (_core.loads, (), {"date": b""}, "loads() got an unexpected keyword argument 'date'"),
        (_core.dumps, (1,), {"obj": 2}, "dumps() got multiple values for argument 'obj'"),
        (_core.loads, (b"\x01",), {"data": b"\x02"}, "loads() got multiple values for argument 'data'"),
        # Keywords are judged in the order given; the first offender decides.
        (_core.dumps, (), {"a": 1, "obj": 2, "b": 3}, "dumps() got an unexpected keyword argument 'a'"),
        (_core.dumps, (1,), {"obj": 2, "b": 3}, "dumps() got multiple values for argument 'obj'"),
        (_core.dumps, (1,), {"b": 3, "obj": 2}, "dumps() got an unexpected keyword argument 'b'"),
    ],
)
def test_argument_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        fn(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message


def test_arguments_bind_by_keyword():
    assert _core.dumps(obj=[1]) == b"\x91\x01"
    assert _core.loads(data=b"\x91\x01") == [1]


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, type_name",
    [
        ("\x01", "str"),
        (bytearray(b"\x01"), "bytearray"),
        (memoryview(b"\x01"), "memoryview"),
        (1, "int"),
        (None, "NoneType"),
        # The qualified name, not the bare one, names the offending type.
        (Outer.Inner(), "Outer.Inner"),
    ],
)
def test_loads_refuses_non_bytes(value, type_name):
    with pytest.raises(TypeError) as exc:
        _core.loads(value)
    assert type(exc.value) is TypeError
    assert str(exc.value) == f"argument 'data': '{type_name}' object cannot be converted to 'PyBytes'"
    assert exc.value.__cause__ is None


def test_loads_accepts_bytes_subclass():
    class Payload(bytes):
        pass

    assert _core.loads(Payload(b"\x92\xc3\xa1x")) == [True, "x"]


def test_panic_exception_is_not_exported():
    assert "PanicException" not in dir(_core)
    assert not hasattr(_core, "PanicException")
    assert "PanicException" not in _core.__all__
