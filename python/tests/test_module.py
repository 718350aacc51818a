import _tessaradb
import tessaradb

DOCSTRING = "TessaraDB \u2014 embedded vector + graph memory for AI agents."


def test_module_docstring():
    assert _tessaradb.__doc__ == DOCSTRING
    assert tessaradb.__doc__ == DOCSTRING
