"""The manual page is the one tools/gen_manpage.py makes from the command's parser."""

import importlib.util
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
PAGE = ROOT / "man" / "varsift.1"


def test_the_manual_page_is_made_from_the_current_parser():
    spec = importlib.util.spec_from_file_location("gen_manpage", ROOT / "tools" / "gen_manpage.py")
    assert spec is not None and spec.loader is not None
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert PAGE.read_text() == generator.page(), "run tools/gen_manpage.py"


def test_the_manual_page_formats_without_warnings():
    if shutil.which("groff") is None:
        pytest.skip("needs groff")
    formatted = subprocess.run(
        ["groff", "-man", "-ww", "-Tutf8", str(PAGE)], capture_output=True, text=True, check=True
    )
    assert formatted.stderr == ""
