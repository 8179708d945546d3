"""A few real XML files already on the machine parse to the standard library's tree, or differ
in a known way (`make corpus-diff` does this for some 16,000 files)."""

import glob
import os
import sys

import pytest
from corpus_compare import UNEXPLAINED, compare

PLACES = [
    "/usr/share/mime/packages/*.xml",
    "/usr/share/X11/xkb/rules/*.xml",
    "/etc/fonts/conf.avail/*.conf",
    "/usr/share/glib-2.0/schemas/*.xml",
    "/usr/share/polkit-1/actions/*.policy",
    "/usr/share/dbus-1/*.conf",
    "/usr/share/icons/Adwaita/scalable/*/*.svg",
    os.path.join(os.path.dirname(os.__file__), "test", "xmltestdata", "*.xml"),
]
EACH = 8  # files from each place: a smoke, not the corpus


def files():
    found = []
    for pattern in PLACES:
        found += sorted(p for p in glob.glob(pattern) if os.path.getsize(p) < 1_000_000)[:EACH]
    return found


FILES = files()


@pytest.mark.skipif(len(FILES) < 5, reason="too few XML files on this machine")
def test_real_files_agree_with_the_standard_library():
    verdicts = {}
    for path in FILES:
        with open(path, "rb") as f:
            verdicts[path] = compare(f.read())
    unexplained = {p: v.detail for p, v in verdicts.items() if v.category == UNEXPLAINED}
    assert unexplained == {}
    equal = sum(v.category == "equal" for v in verdicts.values())
    print(f"{len(FILES)} files, {equal} equal", file=sys.stderr)
    assert equal >= len(FILES) // 2
