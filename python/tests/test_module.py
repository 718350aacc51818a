"""The module's surface: docstring, registration order, exception classes, class protocols."""
import _tessaradb
import pytest
import tessaradb

DOCSTRING = "TessaraDB \u2014 embedded vector + graph memory for AI agents."
EXCEPTIONS = ["TessaraDBError", "TessaraDBNotFoundError", "TessaraDBConfigError", "TessaraDBIOError"]


def test_module_docstring():
    assert _tessaradb.__doc__ == DOCSTRING
    assert tessaradb.__doc__ == DOCSTRING


def test_module_is_filled_in_registration_order():
    names = [name for name in vars(_tessaradb) if not name.startswith("_")]
    expected = ["TessaraDB", "Hit", "Memory", "Stats", "ChunkResult", "chunk"] + EXCEPTIONS
    if not hasattr(_tessaradb, "TessaraDB"):  # built without the database class
        expected.remove("TessaraDB")
    assert names == expected


def test_package_reexports_the_same_objects():
    public = [name for name in vars(_tessaradb) if not name.startswith("_")]
    assert sorted(tessaradb.__all__) == sorted(public)
    for name in public:
        assert getattr(tessaradb, name) is getattr(_tessaradb, name)


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_classes(name):
    cls = getattr(_tessaradb, name)
    assert cls.__module__ == "tessaradb"
    assert cls.__name__ == name
    assert cls.__doc__ is None
    base = Exception if name == "TessaraDBError" else _tessaradb.TessaraDBError
    assert cls.__bases__ == (base,)
    error = cls("some text")
    assert error.args == ("some text",)
    with pytest.raises(_tessaradb.TessaraDBError):
        raise error


@pytest.mark.parametrize("name", ["Memory", "Stats", "ChunkResult", "TessaraDB"])
def test_classes_without_constructor(name):
    if not hasattr(_tessaradb, name):
        pytest.skip("built without the database class")
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        getattr(_tessaradb, name)()


def test_class_modules_and_docs():
    for name in ["Hit", "Memory", "Stats", "ChunkResult"]:
        assert getattr(_tessaradb, name).__module__ == "tessaradb"
    assert _tessaradb.Hit.__text_signature__ == "(id, score)"
    assert _tessaradb.Hit.__doc__.startswith(
        "A scored query hit. Returned by `TessaraDB.ask_embedding()`.\n\nAttributes:")
    assert _tessaradb.Memory.__doc__.startswith("A full memory entry. Returned by `TessaraDB.get()`.")
    assert "storage_version (int): Storage format version (for forward compatibility)." in (
        _tessaradb.Stats.__doc__)
    assert _tessaradb.ChunkResult.__doc__ == ""
    assert _tessaradb.ChunkResult.__text_signature__ is None


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1, 0.5), {}, "Hit(id=1, score=0.5000)"),
    ((), {"score": -0.25, "id": 18446744073709551615}, "Hit(id=18446744073709551615, score=-0.2500)"),
    ((7, 1), {}, "Hit(id=7, score=1.0000)"),
], ids=["positional", "keywords-max-id", "int-score"])
def test_hit_construction_and_repr(args, kwargs, expected):
    hit = _tessaradb.Hit(*args, **kwargs)
    assert repr(hit) == expected


def test_hit_values_are_read_only_with_float32_precision():
    hit = _tessaradb.Hit(3, 0.1)
    assert (hit.id, hit.score) == (3, 0.10000000149011612)  # 0.1 as a 32-bit float
    with pytest.raises(AttributeError):
        hit.id = 4
    with pytest.raises(AttributeError):
        hit.extra = 1  # no instance dict
    assert not hasattr(hit, "__dict__")
    with pytest.raises(TypeError):
        class Sub(_tessaradb.Hit):  # noqa: F841
            pass


@pytest.mark.parametrize("args, error, message", [
    ((-1, 0.5), OverflowError, "^argument 'id': "),
    ((2**64, 0.5), OverflowError, "^argument 'id': "),
    ((1.5, 0.5), TypeError, "^argument 'id': 'float' object cannot be converted to 'int'$"),
    ((1, "x"), TypeError, "^argument 'score': must be real number, not str$"),
    ((1,), TypeError, r"^Hit.__new__\(\) missing 1 required positional argument: 'score'$"),
], ids=["negative", "too-big", "float-id", "str-score", "missing"])
def test_hit_argument_errors(args, error, message):
    with pytest.raises(error, match=message):
        _tessaradb.Hit(*args)


def test_type_stub_describes_the_module():
    import ast
    import pathlib
    stub = pathlib.Path(tessaradb.__file__).with_name("__init__.pyi")
    assert stub.with_name("py.typed").exists()
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            declared[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = set()
    public = {name for name in vars(_tessaradb) if not name.startswith("_")}
    assert set(declared) == public
    for name, members in declared.items():
        for member in members - {"__init__"}:
            assert hasattr(getattr(_tessaradb, name), member), f"{name}.{member}"
