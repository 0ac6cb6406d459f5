import pytest


@pytest.fixture
def workdir(in_tmp_dir, monkeypatch):
    """Working directory tmp/cwd, so that "../vodED/saved_models/" is tmp/vodED/saved_models."""
    cwd = in_tmp_dir / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    return in_tmp_dir
