"""A path with an embedded NUL is refused; it never opens the path cut at the NUL."""
import pytest
from conftest import open_db


@pytest.mark.parametrize("tail", ["\0", "\0tail", "\0/nested"])
def test_path_with_embedded_nul_is_refused_not_truncated(tmp_path, tail):
    with pytest.raises(ValueError, match="embedded null byte"):
        open_db(str(tmp_path / "db") + tail)
    assert not (tmp_path / "db").exists()
