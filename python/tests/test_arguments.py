"""The argument parser and the conversions shared by every entry point, seen through chunk()."""
import re

import pytest
from tessaradb import chunk


@pytest.mark.parametrize("args, kwargs, message", [
    (("t",), {}, "chunk() missing 3 required positional arguments: 'strategy', 'chunk_size', "
                 "and 'overlap'"),
    (("t", "fixed"), {}, "chunk() missing 2 required positional arguments: 'chunk_size' and 'overlap'"),
    (("t", "fixed", 1), {}, "chunk() missing 1 required positional argument: 'overlap'"),
    (("t", "fixed", 1, 0, 5), {}, "chunk() takes 4 positional arguments but 5 were given"),
    (("t", "fixed", 1, 0), {"size": 3}, "chunk() got an unexpected keyword argument 'size'"),
    (("t", "fixed", 1), {"chunk_size": 3}, "chunk() got multiple values for argument 'chunk_size'"),
    (("t",), {"strategy": "fixed", "chunk_size": 8, "overlap": 0}, None),
    ((), {"overlap": 0, "chunk_size": 8, "strategy": "fixed", "text": "t"}, None),
], ids=["missing-3", "missing-2", "missing-1", "too-many", "unexpected", "twice", "keywords",
        "keywords-any-order"])
def test_parser_messages(args, kwargs, message):
    if message is None:
        assert [c.text for c in chunk(*args, **kwargs)] == ["t"]
        return
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        chunk(*args, **kwargs)


@pytest.mark.parametrize("args, error, message", [
    ((None, "fixed", 1, 0), TypeError, "argument 'text': 'NoneType' object cannot be converted to 'str'"),
    (("t", b"fixed", 1, 0), TypeError, "argument 'strategy': 'bytes' object cannot be converted to 'str'"),
    (("t", "fixed", -1, 0), OverflowError, "argument 'chunk_size': "),
    (("t", "fixed", 1, -5), OverflowError, "argument 'overlap': "),
    (("t", "fixed", 2**64, 0), OverflowError, "argument 'chunk_size': "),
    (("t", "fixed", 1.0, 0), TypeError, "argument 'chunk_size': 'float' object cannot be converted to 'int'"),
    (("t", "fixed", "1", 0), TypeError, "argument 'chunk_size': 'str' object cannot be converted to 'int'"),
], ids=["none-text", "bytes-strategy", "negative", "negative-overlap", "too-big", "float", "str"])
def test_conversion_errors_name_the_argument(args, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        chunk(*args)


def test_integers_with_index_are_accepted():
    np = pytest.importorskip("numpy")
    assert [c.text for c in chunk("aaaa bbbb cccc", "fixed", np.int64(7), np.uint8(0))] == [
        "aaaa", "bb cccc"]
    assert [c.text for c in chunk("ab", "fixed", True, False)] == ["a", "b"]


def test_lone_surrogate_is_refused_cleanly():
    with pytest.raises(UnicodeEncodeError):
        chunk("bad \udc80", "fixed", 8, 0)
