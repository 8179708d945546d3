"""Every attack class ends with its exact outcome at n and 4n, and its time grows linearly
or not at all (`make attack-bench` runs the same table at large sizes)."""

import os

import pytest
from attack_table import ATTACKS, outcome_matches, stdlib_parse, time_growth

from vorlane import parse_xml
from vorlane.common import ParseError

# Under the sanitizers every byte touched costs several times more, unevenly: outcomes are
# still checked, times are not.
SANITIZED = bool(os.environ.get("VORLANE_SANITIZED"))
LINEAR = 10  # between 4 (linear) and 16 (quadratic), with room for a noisy machine


def growth(parse, small, large):
    t_small, t_large = time_growth(parse, small, large, rounds=5, budget=0.25)
    return t_large / t_small, t_small, t_large


@pytest.mark.parametrize("attack", ATTACKS, ids=[a.name for a in ATTACKS])
def test_outcome_and_growth(attack):
    n = attack.ci_n
    for size in (n, 4 * n):
        failure = outcome_matches(attack.expect(size), lambda size=size: attack.run(size))
        assert failure is None, f"at {size}: {failure}"
    if SANITIZED:
        return
    small, large = attack.build(n), attack.build(4 * n)
    options_small, options_large = attack.options(n), attack.options(4 * n)

    def ours(doc):
        return parse_xml(doc, **(options_large if doc is large else options_small))

    allowed = LINEAR
    if attack.stdlib:
        # Past the caches neither parser stays at 4x; the standard library's growth on the
        # same documents is the yardstick.
        theirs, _, _ = growth(stdlib_parse, small, large)
        allowed = max(LINEAR, 1.5 * theirs)
    # A busy spell of the machine can last a while: up to three measurements, the best one
    # judged. Quadratic work never measures below 10x; noise now and then does.
    best = None
    for _ in range(3):
        best = min(best or (float("inf"),), growth(ours, small, large))
        if best[0] < allowed:
            break
    ratio, t_small, t_large = best
    assert ratio < allowed, f"{t_small * 1e3:.2f} ms at n, {t_large * 1e3:.2f} ms at 4n"


# Invalid UTF-8 of every kind in every place the input is checked. The expected index and
# length come from Python's own decoder, which reports the same maximal subparts: the
# decoder is run on the stretch that is checked as one piece (a text run, or a markup
# construct from its "<" to its ">").
BAD_SEQUENCES = {
    "lone continuation 80": b"\x80",
    "lone continuation BF": b"\xbf",
    "overlong C0 80": b"\xc0\x80",
    "overlong C1 BF": b"\xc1\xbf",
    "overlong E0 80 80": b"\xe0\x80\x80",
    "overlong E0 9F BF": b"\xe0\x9f\xbf",
    "overlong F0 8F BF BF": b"\xf0\x8f\xbf\xbf",
    "surrogate ED A0 80": b"\xed\xa0\x80",
    "surrogate ED BF BF": b"\xed\xbf\xbf",
    "past U+10FFFF F4 90 80 80": b"\xf4\x90\x80\x80",
    "lead F5": b"\xf5\x80\x80\x80",
    "five bytes F8": b"\xf8\x88\x80\x80\x80",
    "six bytes FC": b"\xfc\x84\x80\x80\x80\x80",
    "byte FE": b"\xfe",
    "byte FF": b"\xff",
    "two-byte lead then ASCII": b"\xc3x",
    "three-byte cut after two": b"\xe2\x82x",
    "four-byte cut after three": b"\xf0\x9f\x98x",
    "lead at the end of the stretch": b"\xe2\x82",
    "lead at the end, four bytes": b"\xf0\x9f\x98",
}
# (before the checked stretch, its start, its end, after it)
PLACES = {
    "text": (b"<r>", b"ab", b"", b"</r>"),
    "text after a reference": (b"<r>&amp;", b"", b"", b"</r>"),
    "attribute value": (b"", b"<r a='x", b"'/>", b""),
    "element name": (b"", b"<r", b"/>", b""),
    "attribute name": (b"", b"<r a", b"='1'/>", b""),
    "comment": (b"<r>", b"<!--", b"-->", b"</r>"),
    "CDATA": (b"<r>", b"<![CDATA[", b"]]>", b"</r>"),
    "processing instruction": (b"<r>", b"<?pi ", b"?>", b"</r>"),
    "XML declaration": (b"", b"<?xml version='1.0' encoding='", b"'?>", b"<r/>"),
    "DOCTYPE literal": (b"", b"<!DOCTYPE r SYSTEM '", b"'>", b"<r/>"),
    "internal subset": (b"", b"<!DOCTYPE r [<!-- ", b" -->]>", b"<r/>"),
    "reference name": (b"<r>", b"&a", b";", b"</r>"),
    "after the root": (b"<r/>", b"", b"", b""),
}


def decoder_message(stretch):
    try:
        stretch.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return f"cannot decode input using UTF-8: incomplete utf-8 byte sequence from index {error.start}"
        return (
            f"cannot decode input using UTF-8: invalid utf-8 sequence of {error.end - error.start} bytes "
            f"from index {error.start}"
        )
    raise AssertionError(f"{stretch!r} decodes")


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("sequence", BAD_SEQUENCES)
def test_invalid_utf8(sequence, place):
    before, start, end, after = PLACES[place]
    bad = BAD_SEQUENCES[sequence]
    with pytest.raises(ParseError) as info:
        parse_xml(before + start + bad + end + after)
    assert info.value.args == (decoder_message(start + bad + end),)
