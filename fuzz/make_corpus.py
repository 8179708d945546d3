"""Writes the seed corpus of each fuzz target into one directory per target.

Sources: the bundled examples, every XML document that the pytest suite writes as a string
constant, and the test cases of the W3C XML Conformance Test Suite, read from its zip (never
unpacked; see NOTE.md next to it). The structure-aware target reads its input as choices, not
as XML, so it gets deterministic pseudo-random inputs instead.

    python fuzz/make_corpus.py OUT [--suite DIR]
"""

import argparse
import ast
import csv
import hashlib
import pathlib
import random
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]

# What each target expects before the document: fuzz_parse_core one selector byte (0x06: the
# default switches), fuzz_roundtrip the 7 option bytes of fuzz_support.h (zeros: the defaults),
# fuzz_stream a selector byte and two bytes of split seed (zeros: the defaults, small pieces).
PREFIXES = {
    "fuzz_parse_core": b"\x06",
    "fuzz_roundtrip": b"\x00" * 7,
    "fuzz_tokenizer": b"",
    "fuzz_stream": b"\x00\x00\x00",
}
STRUCTURED_SEEDS = 256


def test_documents():
    """String and bytes constants of tests/*.py that look like markup."""
    for path in sorted((ROOT / "tests").glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
                value = node.value if isinstance(node.value, bytes) else node.value.encode("utf-8", "surrogatepass")
                if b"<" in value and len(value) <= 1 << 16:
                    yield value


def suite_documents(suite):
    archive_path = suite / "xmlts20130923.zip"
    with open(suite / "xmlconf.tsv", newline="", encoding="utf-8") as handle:
        paths = [row["path"] for row in csv.DictReader(handle, delimiter="\t")]
    with zipfile.ZipFile(archive_path) as archive:
        for path in paths:
            yield archive.read(path)


def write(directory, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--suite", type=pathlib.Path, help="directory holding xmlts20130923.zip and xmlconf.tsv")
    args = parser.parse_args()

    documents = {
        path.read_bytes() for folder in ("examples", "fuzz/seeds") for path in sorted((ROOT / folder).glob("*.xml"))
    }
    documents.update(test_documents())
    from_tests = len(documents)
    ours = sorted(documents)
    if args.suite and (args.suite / "xmlts20130923.zip").exists():
        documents.update(suite_documents(args.suite))
    for target, prefix in PREFIXES.items():
        for document in documents:
            write(args.out / target, prefix + document)

    # fuzz_stream: the documents of the examples and tests once more, each under another option
    # set and piece size (selectors 1 to 31) with a split seed of its own.
    stream_rng = random.Random(18)
    for i, document in enumerate(ours):
        prefix = bytes([1 + i % 31, stream_rng.randrange(256), stream_rng.randrange(256)])
        write(args.out / "fuzz_stream", prefix + document)

    rng = random.Random(12)
    for _ in range(STRUCTURED_SEEDS):
        clean = rng.choice([b"\x01", b"\x00"])
        body = bytes(rng.randrange(256) for _ in range(rng.randrange(16, 512)))
        write(args.out / "fuzz_structured", b"\x00" * 7 + clean + body)
    print(
        f"seed corpus: {len(documents)} documents ({from_tests} from examples and tests) "
        f"for each document target, {STRUCTURED_SEEDS} inputs for fuzz_structured, in {args.out}"
    )


if __name__ == "__main__":
    main()
