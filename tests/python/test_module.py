"""What an importer sees: the module, the two classes and their shapes."""

import gc
import inspect
import os
import re
import struct
import sys
import weakref

import pytest

import quellgate
from helpers import CONSTRUCTOR_SIGNATURE, run_child

SHARED_SIGNATURE = (
    "($cls, name, /, *, " + CONSTRUCTOR_SIGNATURE[1:-1]
    + ", mode=None, storage=None, storage_timeout=1.0, on_storage_error='raise', lease=30.0, max_keys=None)"
)
SYNC_METHODS = {
    "__enter__": "($self)",
    "__exit__": "($self, _exc_type, _exc_value, _traceback)",
    "acquire": "($self, cost=1, timeout=None)",
    "release": "($self)",
    "reserve": "($self, cost, timeout=None)",
    "get_remaining": "($self)",
    "wait_time": "($self)",
    "key_use": "($self)",
    "shared": SHARED_SIGNATURE,
}
ASYNC_METHODS = {
    "__aenter__": "($self)",
    "__aexit__": "($self, _exc_type, _exc_value, _traceback)",
    "acquire": "($self, cost=1, timeout=None)",
    "release": "($self)",
    "reserve": "($self, cost, timeout=None)",
    "get_remaining": "($self)",
    "wait_time": "($self)",
    "key_use": "($self)",
    "shared": SHARED_SIGNATURE,
}
METHODS_BY_CLASS = {"RateLimiter": SYNC_METHODS, "AsyncRateLimiter": ASYNC_METHODS}

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

ONCE_PER_PROCESS = (
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"
)


def test_module_exports_exactly_the_two_classes_in_order_storage_error_and_remove_shared():
    assert quellgate.__all__ == ["RateLimiter", "AsyncRateLimiter", "StorageError", "remove_shared"]
    assert type(quellgate.__all__) is list
    assert quellgate.__doc__ == ""
    assert quellgate.__name__ == "quellgate"
    public = sorted(name for name in vars(quellgate) if not name.startswith("_"))
    assert public == ["AsyncRateLimiter", "RateLimiter", "StorageError", "remove_shared"]
    assert quellgate.remove_shared.__text_signature__ == "(name, /, *, storage=None, storage_timeout=1.0)"


def test_module_attributes_are_created_in_declared_order():
    own = [name for name in vars(quellgate) if name in ("__all__", "RateLimiter", "AsyncRateLimiter")]
    assert own == ["__all__", "RateLimiter", "AsyncRateLimiter"]


def test_class_names_module_and_empty_doc(limiter_class):
    name = limiter_class.__name__
    assert name in ("RateLimiter", "AsyncRateLimiter")
    assert getattr(quellgate, name) is limiter_class
    assert limiter_class.__qualname__ == name
    assert limiter_class.__module__ == "builtins"
    assert limiter_class.__doc__ == ""
    assert limiter_class.__bases__ == (object,)


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="before 3.10 PyType_FromSpec drops the signature from a class doc",
)
def test_class_text_signature_is_the_constructor(limiter_class):
    assert limiter_class.__text_signature__ == CONSTRUCTOR_SIGNATURE
    assert str(inspect.signature(limiter_class)) == CONSTRUCTOR_SIGNATURE


def test_method_table_docs_and_text_signatures(limiter_class):
    expected = METHODS_BY_CLASS[limiter_class.__name__]
    for name, signature in expected.items():
        method = vars(limiter_class)[name]
        assert method.__name__ == name
        assert method.__doc__ is None, name
        assert method.__text_signature__ == signature, name
    exit_name = "__exit__" if limiter_class is quellgate.RateLimiter else "__aexit__"
    exit_signature = inspect.signature(getattr(limiter_class, exit_name))
    assert str(exit_signature) == "(self, /, _exc_type, _exc_value, _traceback)"


def test_class_defines_nothing_beyond_its_slots_and_method_table(limiter_class):
    expected = set(METHODS_BY_CLASS[limiter_class.__name__])
    slots = {"__module__", "__doc__", "__new__", "__call__", "__getitem__", "__repr__"}
    defined = set(vars(limiter_class)) - slots
    assert defined == expected
    other = SYNC_METHODS if limiter_class is quellgate.AsyncRateLimiter else ASYNC_METHODS
    for name in set(other) - expected:
        assert not hasattr(limiter_class, name), name


def test_unset_slots_are_inherited_from_object(limiter_class):
    for name in ("__init__", "__hash__", "__eq__", "__getattribute__", "__setattr__"):
        assert getattr(limiter_class, name) is getattr(object, name), name
    first, second = limiter_class(sec=1), limiter_class(sec=1)
    assert first != second and first == first
    # Whether "builtins." shows depends on the interpreter version.
    assert re.match(r"<(builtins\.)?%s object at 0x" % limiter_class.__name__, repr(first))


def test_type_flags_heap_type_without_base_or_gc(limiter_class):
    flags = limiter_class.__flags__
    assert flags & Py_TPFLAGS_HEAPTYPE
    assert not flags & Py_TPFLAGS_BASETYPE
    assert not flags & Py_TPFLAGS_HAVE_GC
    assert not gc.is_tracked(limiter_class(sec=1))


def test_classes_cannot_be_subclassed(limiter_class):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (limiter_class,), {})


def test_instances_have_no_dict_and_refuse_new_attributes(limiter_class):
    instance = limiter_class(sec=1)
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(AttributeError):
        instance.__dict__
    with pytest.raises(AttributeError):
        instance.acquire = None


def test_instances_do_not_support_weak_references(limiter_class):
    with pytest.raises(TypeError):
        weakref.ref(limiter_class(sec=1))


def test_reimport_after_removal_fails_with_import_error_and_keeps_module():
    report = run_child(
        """
        import json, sys
        import quellgate
        first = quellgate
        del sys.modules["quellgate"]
        try:
            import quellgate
            outcome = ["imported", None]
        except ImportError as error:
            outcome = [type(error).__name__, list(error.args)]
        sys.modules["quellgate"] = first
        alive = first.RateLimiter(sec=3).get_remaining()
        print(json.dumps({"outcome": outcome, "alive": alive, "all": first.__all__}))
        """
    )
    assert report["outcome"] == ["ImportError", [ONCE_PER_PROCESS]]
    assert report["alive"] == {"second": 3}
    assert report["all"] == ["RateLimiter", "AsyncRateLimiter", "StorageError", "remove_shared"]


LOAD_COMPANION = """
    import importlib.machinery, importlib.util, json
    import quellgate

    def load_companion():
        loader = importlib.machinery.ExtensionFileLoader("pyo3_async_runtimes", quellgate.__file__)
        spec = importlib.util.spec_from_file_location("pyo3_async_runtimes", quellgate.__file__, loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        return module
"""


def test_same_library_loaded_as_companion_module_exposes_rust_panic():
    report = run_child(
        LOAD_COMPANION
        + """
    companion = load_companion()
    panic = companion.RustPanic
    print(json.dumps({
        "name": companion.__name__,
        "doc": companion.__doc__,
        "all": companion.__all__,
        "public": sorted(n for n in vars(companion) if not n.startswith("_")),
        "is_exception": issubclass(panic, Exception),
        "bases": [b.__name__ for b in panic.__bases__],
        "class_doc": panic.__doc__,
        "class_module": panic.__module__,
        "class_name": panic.__name__,
        "message": str(panic("boom")),
        "quellgate_all": quellgate.__all__,
    }))
    """
    )
    assert report == {
        "name": "pyo3_async_runtimes",
        "doc": "",
        "all": ["RustPanic"],
        "public": ["RustPanic"],
        "is_exception": True,
        "bases": ["Exception"],
        "class_doc": None,
        "class_module": "pyo3_async_runtimes",
        "class_name": "RustPanic",
        "message": "boom",
        "quellgate_all": ["RateLimiter", "AsyncRateLimiter", "StorageError", "remove_shared"],
    }


def test_companion_module_also_initialises_only_once():
    report = run_child(
        LOAD_COMPANION
        + """
    load_companion()
    try:
        load_companion()
        outcome = ["loaded", None]
    except ImportError as error:
        outcome = [type(error).__name__, list(error.args)]
    print(json.dumps(outcome))
    """
    )
    assert report == ["ImportError", [ONCE_PER_PROCESS]]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's loader")
@pytest.mark.skipif(bool(os.environ.get("QUELLGATE_SANITIZER")), reason="instrumented builds do not ship")
def test_thread_locals_fit_the_static_tls_that_glibc_keeps_for_loaded_modules():
    # Beyond 512 bytes, every thread_local access in the module goes through
    # __tls_get_addr instead of being a load.
    with open(quellgate.__file__, "rb") as image:
        elf = image.read()
    assert elf[:6] == b"\x7fELF\x02\x01", "a little-endian ELF64 file"
    (table,) = struct.unpack_from("<Q", elf, 0x20)
    entry_size, count = struct.unpack_from("<HH", elf, 0x36)
    for at in range(table, table + count * entry_size, entry_size):
        if struct.unpack_from("<I", elf, at)[0] == 7:  # PT_TLS, whose size in memory follows
            assert struct.unpack_from("<Q", elf, at + 0x28)[0] <= 512
