"""The module function chunk() and the ChunkResult objects it returns."""
import pytest
from tessaradb import ChunkResult, TessaraDBError, chunk

STRATEGIES = ["fixed", "recursive", "semantic", "markdown", "json"]


@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("text", ["", " \n\t\u2003 "], ids=["empty", "white-space"])
def test_blank_text_gives_no_chunks(strategy, text):
    assert chunk(text, strategy, 512, 50) == []


def test_fixed_windows_reach_python_unchanged():
    chunks = chunk("aaaa bbbb cccc", "fixed", 7, 0)
    assert [(c.index, c.text, c.metadata) for c in chunks] == [(0, "aaaa", None), (1, "bb cccc", None)]
    assert all(type(c) is ChunkResult for c in chunks)


def test_strategy_names_are_case_insensitive_and_markdown_ignores_chunk_size():
    text = "# A\ntext\n## B\nmore"
    expected = ["# A text", "## B more"]
    assert [c.text for c in chunk(text, "Markdown", 1, 0)] == expected
    assert [c.text for c in chunk(text, "MARKDOWN", 100000, 0)] == expected


@pytest.mark.parametrize("name", ["markdown ", "Fixed ", "tokens", ""])
def test_unknown_strategy_is_reported_as_written(name):
    message = (f"Unknown chunking strategy '{name}'. "
               "Valid values: 'fixed', 'recursive', 'semantic', 'markdown', 'json'")
    with pytest.raises(TessaraDBError) as info:
        chunk("some text", name, 512, 50)
    assert type(info.value) is TessaraDBError
    assert info.value.args == (message,)


def test_json_chunks_carry_path_and_value_other_strategies_none():
    chunks = chunk('{"b": [1, true], "a": {"x": "y"}}', "json", 0, 0)
    assert [(c.index, c.text, c.metadata) for c in chunks] == [
        (0, "y", {"key": "a.x", "value": "y"}),
        (1, "1", {"key": "b[0]", "value": "1"}),
        (2, "true", {"key": "b[1]", "value": "true"}),
    ]
    assert chunk("not json", "json", 0, 0)[0].metadata is None
    assert chunk("two\n\nparagraphs", "semantic", 0, 0)[0].metadata is None


def test_metadata_is_a_new_dict_per_access():
    result = chunk('{"k": "v"}', "json", 0, 0)[0]
    first = result.metadata
    first["key"] = "changed"
    assert result.metadata == {"key": "k", "value": "v"}


@pytest.mark.parametrize("text, shown", [
    ("0123456789", "0123456789"),
    ("x" * 60, "x" * 50),
    ("x" * 49 + "\u00e9" + "tail", "x" * 49),                  # byte 50 inside a 2-byte character
    ("x" * 48 + "\u00e9" + "tail", "x" * 48 + "\u00e9"),       # the character ends at byte 50
    ("x" * 48 + "\U0001F600" + "tail", "x" * 48),              # a 4-byte character across the cut
], ids=["short", "ascii-cut", "split-2-byte", "2-byte-at-boundary", "split-4-byte"])
def test_chunk_result_repr_cuts_at_50_bytes_on_a_character_boundary(text, shown):
    (result,) = chunk(text, "fixed", 1000, 0)
    assert result.text == text
    assert repr(result) == f"ChunkResult(index=0, text='{shown}...')"


def test_chunk_result_is_read_only():
    result = chunk("text", "fixed", 10, 0)[0]
    with pytest.raises(AttributeError):
        result.text = "other"
    with pytest.raises(AttributeError):
        result.extra = 1


def test_text_signature_and_docstring():
    assert chunk.__text_signature__ == "(text, strategy='recursive', *, chunk_size=512, overlap=50)"
    assert chunk.__doc__.startswith("Chunk text using the specified strategy.")
    for name in STRATEGIES:
        assert f'"{name}"' in chunk.__doc__
