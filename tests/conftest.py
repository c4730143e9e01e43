import pytest

from fendral_testing.ffmpeg_stand_in import FfmpegStandIn


@pytest.fixture
def ffmpeg(tmp_path_factory, tmp_path, monkeypatch):
    """The ffmpeg stand-in first on PATH, recording each run, for a test that runs in tmp_path
    (the stand-in lives elsewhere, out of the test's listings)."""
    monkeypatch.chdir(tmp_path)
    return FfmpegStandIn(tmp_path_factory.mktemp("ffmpeg-stand-in"), monkeypatch)
