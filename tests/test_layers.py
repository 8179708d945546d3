import pathlib
import subprocess
import sys

import pytest

CHECK = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "check-layers"
FOLDERS = ("common", "tokenizer", "doctype", "parser", "module")


@pytest.mark.parametrize(
    "folder, line, problem",
    [
        ("parser", '#include "doctype/x.h"', None),
        ("module", '#include "parser/x.h"', None),
        ("module", "#include <Python.h>", None),
        ("tokenizer", "#include <vector>", None),
        ("doctype", '#include "parser/x.h"', "doctype may not include from parser"),
        ("doctype", '#include "tokenizer/x.h"', "doctype may not include from tokenizer"),
        ("tokenizer", '#include "doctype/x.h"', "tokenizer may not include from doctype"),
        ("common", '#  include "parser/x.h"', "common may not include from parser"),
        ("module", '#include "tokenizer/x.h"', "module may not include from tokenizer"),
        ("parser", "#include <Python.h>", "Python.h outside src/module"),
        ("parser", '#include "x.h"', "does not name its folder"),
        ("parser", '#include "extra/x.h"', "is in no known folder"),
        ("parser", '#include "common/missing.h"', "does not exist"),
    ],
)
def test_includes_point_one_way(tmp_path, folder, line, problem):
    for name in FOLDERS:
        (tmp_path / name).mkdir()
        (tmp_path / name / "x.h").write_text("#pragma once\n")
    (tmp_path / folder / "y.cpp").write_text(f"// a file\n{line}\n")
    result = subprocess.run([sys.executable, str(CHECK), str(tmp_path)], capture_output=True, text=True)
    if problem is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode == 1
        assert f"{folder}/y.cpp:2:" in result.stderr and problem in result.stderr


def test_a_new_folder_needs_a_layer(tmp_path):
    (tmp_path / "extra").mkdir()
    result = subprocess.run([sys.executable, str(CHECK), str(tmp_path)], capture_output=True, text=True)
    assert result.returncode == 1 and "extra/: a folder without a layer" in result.stderr
