"""Generate the benchmark documents.

Every document is synthetic and deterministic (a fixed seed per document), so two
runs on any machine produce byte-identical files. Real XML found on the machine is
listed in the manifest next to them but never copied.

    python gen_docs.py --out DIR [--quick]

Writes DIR/<name>.xml (and DIR/many_small.xmls: small documents separated by a NUL
byte, which cannot occur in XML) plus DIR/manifest.json. Files that are already
present for the same generator version and scale are kept.
"""

import argparse
import hashlib
import json
import os
import random
import sys

# Real documents commonly installed on Debian-like systems; missing ones are skipped.
REAL_FILES = [
    ("freedesktop.org.xml (real)", "/usr/share/mime/packages/freedesktop.org.xml"),
    ("iso_639-3.xml (real)", "/usr/share/xml/iso-codes/iso_639-3.xml"),
    ("iso_3166-2.xml (real)", "/usr/share/xml/iso-codes/iso_3166-2.xml"),
    ("xkb base.xml (real)", "/usr/share/X11/xkb/rules/base.xml"),
]

MB = 1_000_000

# Deepest chain of the deep-nesting document. The document root adds one level, so the
# total stays below 65535, the deepest nesting the parser supports.
DEEP_CHAIN = 50_000

XML_DECL = '<?xml version="1.0" encoding="UTF-8"?>\n'


def make_words(rng, count, alphabet, min_len=2, max_len=10):
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(min_len, max_len))) for _ in range(count)]


ASCII_LETTERS = "abcdefghijklmnopqrstuvwxyz"

# Scripts for the multi-byte text: 2-byte (Latin accents, Greek, Cyrillic), 3-byte (CJK,
# Hiragana) and 4-byte (emoji) UTF-8 sequences.
UTF8_ALPHABETS = [
    "aàáâäãåæçèéêëìíîïñòóôöøùúûüýß",
    "αβγδεζηθικλμνξοπρστυφχψω",
    "абвгдежзийклмнопрстуфхцчшщыэюя",
    "的一是不了人我在有他这中大来上国个到说们为子和你地出道也时年",
    "あいうえおかきくけこさしすせそたちつてとなにぬねの",
    "😀😃😄😁🚀🌍🌟🎉",
]


def sentence(rng, words, n_min, n_max):
    return " ".join(rng.choice(words) for _ in range(rng.randint(n_min, n_max)))


class Writer:
    """Collects string parts and reports the UTF-8 size written so far."""

    def __init__(self):
        self.parts = []
        self.size = 0

    def add(self, text):
        self.parts.append(text)
        self.size += len(text.encode("utf-8")) if not text.isascii() else len(text)

    def data(self):
        return "".join(self.parts).encode("utf-8")


# ---------------------------------------------------------------------------------------
# Element-heavy: order records with many small elements and short texts.


def order_record(rng, words, n, indent, level):
    """One record as a list of (level, text) lines; text is a complete line or a tag."""
    lines = []
    lines.append((level, f'<order id="{n}">'))
    lines.append((level + 1, f"<customer>{rng.choice(words)} {rng.choice(words)}</customer>"))
    lines.append((level + 1, f"<date>2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}</date>"))
    lines.append((level + 1, "<lines>"))
    for _ in range(rng.randint(1, 5)):
        lines.append((level + 2, "<line>"))
        lines.append((level + 3, f"<sku>{rng.choice(words).upper()}-{rng.randint(100, 999)}</sku>"))
        lines.append((level + 3, f"<qty>{rng.randint(1, 20)}</qty>"))
        lines.append((level + 3, f"<price>{rng.randint(1, 999)}.{rng.randint(0, 99):02d}</price>"))
        if rng.random() < 0.3:
            lines.append((level + 3, "<gift/>"))
        lines.append((level + 2, "</line>"))
    lines.append((level + 1, "</lines>"))
    lines.append((level + 1, f"<status>{rng.choice(('open', 'paid', 'shipped', 'closed'))}</status>"))
    lines.append((level, "</order>"))
    return lines


def gen_elements(target, pretty):
    rng = random.Random(1001)
    words = make_words(rng, 2000, ASCII_LETTERS)
    w = Writer()
    w.add(XML_DECL)
    w.add("<orders>")
    n = 0
    while w.size < target:
        n += 1
        lines = order_record(rng, words, n, "  ", 1)
        if pretty:
            w.add("".join("\n" + "  " * level + text for level, text in lines))
        else:
            w.add("".join(text for _, text in lines))
    w.add("\n</orders>\n" if pretty else "</orders>\n")
    return w.data()


# ---------------------------------------------------------------------------------------
# Attribute-heavy: empty elements carrying 8 to 16 attributes each.

ATTR_NAMES = [
    "id",
    "name",
    "kind",
    "owner",
    "group",
    "mode",
    "size",
    "created",
    "modified",
    "checksum",
    "flags",
    "version",
    "region",
    "zone",
    "priority",
    "label",
]


def gen_attributes(target):
    rng = random.Random(1002)
    words = make_words(rng, 1000, ASCII_LETTERS)
    w = Writer()
    w.add(XML_DECL)
    w.add("<inventory>\n")
    n = 0
    while w.size < target:
        n += 1
        count = rng.randint(8, 16)
        attrs = []
        for name in ATTR_NAMES[:count]:
            r = rng.random()
            if name == "id":
                value = str(n)
            elif r < 0.4:
                value = str(rng.randint(0, 10 ** rng.randint(1, 9)))
            elif r < 0.9:
                value = rng.choice(words)
            elif r < 0.97:
                value = f"{rng.choice(words)} {rng.choice(words)}"
            else:
                value = f"{rng.choice(words)} &amp; {rng.choice(words)}"
            attrs.append(f'{name}="{value}"')
        w.add(f"  <item {' '.join(attrs)}/>\n")
    w.add("</inventory>\n")
    return w.data()


# ---------------------------------------------------------------------------------------
# Text-heavy: paragraphs of 300 to 3000 bytes with rare inline markup and references.


def gen_text(target, multibyte):
    rng = random.Random(1003 if not multibyte else 1004)
    if multibyte:
        words = []
        for alphabet in UTF8_ALPHABETS:
            words += make_words(rng, 300, alphabet, 1, 8)
        # Real multilingual text still carries ASCII punctuation, digits and names.
        words += make_words(rng, 200, ASCII_LETTERS)
    else:
        words = make_words(rng, 3000, ASCII_LETTERS)
    w = Writer()
    w.add(XML_DECL)
    w.add("<book>\n")
    chapter = 0
    while w.size < target:
        chapter += 1
        w.add(f'<chapter n="{chapter}">\n<title>{sentence(rng, words, 2, 6)}</title>\n')
        for _ in range(rng.randint(5, 30)):
            parts = []
            length = rng.randint(300, 3000)
            size = 0
            while size < length:
                piece = sentence(rng, words, 5, 20) + ". "
                r = rng.random()
                if r < 0.05:
                    piece += f"<em>{rng.choice(words)}</em> "
                elif r < 0.08:
                    piece += f"{rng.choice(words)} &amp; {rng.choice(words)} "
                elif r < 0.09:
                    piece += "&lt;&#169;&gt; "
                parts.append(piece)
                size += len(piece)
            w.add("<p>" + "".join(parts).rstrip() + "</p>\n")
        w.add("</chapter>\n")
    w.add("</book>\n")
    return w.data()


# ---------------------------------------------------------------------------------------
# Namespace-heavy: a feed with five namespaces, prefixed elements and attributes, and
# local redeclarations of the default namespace.

NAMESPACES = {
    "": "http://www.w3.org/2005/Atom",
    "dc": "http://purl.org/dc/elements/1.1/",
    "media": "http://search.yahoo.com/mrss/",
    "geo": "http://www.w3.org/2003/01/geo/wgs84_pos#",
    "ex": "urn:example:feed:extensions:v2",
}


def gen_namespaces(target):
    rng = random.Random(1005)
    words = make_words(rng, 2000, ASCII_LETTERS)
    decls = " ".join(f'xmlns="{uri}"' if not p else f'xmlns:{p}="{uri}"' for p, uri in NAMESPACES.items())
    w = Writer()
    w.add(XML_DECL)
    w.add(f"<feed {decls}>\n")
    n = 0
    while w.size < target:
        n += 1
        out = [
            f'<entry ex:seq="{n}">',
            f"<title>{sentence(rng, words, 2, 6)}</title>",
            f"<id>urn:uuid:{rng.getrandbits(128):032x}</id>",
            f"<dc:creator>{rng.choice(words)} {rng.choice(words)}</dc:creator>",
            f"<dc:date>2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}</dc:date>",
        ]
        for _ in range(rng.randint(1, 3)):
            out.append(
                f'<media:content url="http://example.com/{rng.choice(words)}.jpg" '
                f'media:medium="image" ex:w="{rng.randint(10, 4000)}"/>'
            )
        if rng.random() < 0.5:
            out.append(
                f"<geo:Point><geo:lat>{rng.uniform(-90, 90):.5f}</geo:lat>"
                f"<geo:long>{rng.uniform(-180, 180):.5f}</geo:long></geo:Point>"
            )
        if rng.random() < 0.2:
            # A local scope: a new default namespace and a prefix bound only here.
            out.append(
                f'<ex:meta xmlns="urn:example:meta" xmlns:m2="urn:example:m2:{n % 7}">'
                f'<key m2:type="s">{rng.choice(words)}</key><m2:value>{rng.choice(words)}</m2:value>'
                f"</ex:meta>"
            )
        out.append(f"<summary>{sentence(rng, words, 5, 15)}</summary>")
        out.append("</entry>\n")
        w.add("".join(out))
    w.add("</feed>\n")
    return w.data()


# ---------------------------------------------------------------------------------------
# Deep nesting: bare chains of DEEP_CHAIN elements under one root.


def gen_deep(target):
    names = ["a", "b", "c", "d"]
    depth = DEEP_CHAIN
    opening = "".join(f"<{names[i % 4]}>" for i in range(depth))
    closing = "".join(f"</{names[i % 4]}>" for i in reversed(range(depth)))
    chain = opening + closing + "\n"
    w = Writer()
    w.add(XML_DECL)
    w.add("<deep>\n")
    while True:  # at least one chain, even for a tiny target
        w.add(chain)
        if w.size >= target:
            break
    w.add("</deep>\n")
    return w.data()


# ---------------------------------------------------------------------------------------
# Bare elements: empty siblings without attributes under one root, where the fixed cost of
# each element is all there is. Four bytes an element: the target size sets the count.


def gen_bare_siblings(target):
    return b"<r>" + b"<a/>" * (target // 4) + b"</r>"


# ---------------------------------------------------------------------------------------
# Many small documents: messages and settings files of 200 bytes to a few KB.


def small_doc(rng, words, n):
    kind = rng.random()
    out = [XML_DECL]
    if kind < 0.4:
        out.append(
            f'<message id="{n}" priority="{rng.randint(1, 5)}">'
            f"<from>{rng.choice(words)}@example.com</from><to>{rng.choice(words)}@example.com</to>"
            f"<subject>{sentence(rng, words, 2, 8)}</subject>"
            f"<body>{sentence(rng, words, 10, 120)}</body></message>\n"
        )
    elif kind < 0.8:
        out.append(f'<settings version="{rng.randint(1, 9)}">\n')
        for _ in range(rng.randint(3, 40)):
            out.append(
                f'  <setting name="{rng.choice(words)}.{rng.choice(words)}" '
                f'type="{rng.choice(("int", "str", "bool"))}">{rng.choice(words)}</setting>\n'
            )
        out.append("</settings>\n")
    else:
        out.append('<response status="ok"><items>')
        for i in range(rng.randint(1, 30)):
            out.append(f'<item n="{i}"><name>{rng.choice(words)}</name><value>{rng.randint(0, 10**6)}</value></item>')
        out.append("</items></response>\n")
    return "".join(out)


def gen_many_small(target):
    rng = random.Random(1006)
    words = make_words(rng, 1500, ASCII_LETTERS)
    w = Writer()
    n = 0
    while w.size < target:
        n += 1
        if n > 1:
            w.add("\0")
        w.add(small_doc(rng, words, n))
    return w.data()


# ---------------------------------------------------------------------------------------

# (name, file name, kind, generator, size in MB for the full run)
SYNTHETIC = [
    ("element-heavy compact", "element_compact.xml", "element_compact", lambda t: gen_elements(t, False), 25),
    ("element-heavy pretty", "element_pretty.xml", "element_pretty", lambda t: gen_elements(t, True), 20),
    ("attribute-heavy", "attribute_heavy.xml", "attribute", gen_attributes, 20),
    ("text-heavy ASCII", "text_ascii.xml", "text_ascii", lambda t: gen_text(t, False), 20),
    ("text-heavy UTF-8", "text_utf8.xml", "text_utf8", lambda t: gen_text(t, True), 20),
    ("namespace-heavy", "namespaces.xml", "namespace", gen_namespaces, 15),
    ("deep nesting", "deep_nesting.xml", "deep", gen_deep, 6),
    ("many small documents", "many_small.xmls", "many_small", gen_many_small, 5),
    ("bare siblings", "bare_siblings.xml", "bare_siblings", gen_bare_siblings, 0.4),  # 100,000 elements
    ("1,000,000 bare elements", "bare_million.xml", "bare_memory", gen_bare_siblings, 4),
]

# Documents measured for peak memory only.
MEMORY_ONLY = {"bare_memory"}

QUICK_SCALE = 0.02  # 100 to 500 KB per document


def stamp(quick):
    with open(__file__, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    return f"{digest}-{'quick' if quick else 'full'}"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True, help="output directory")
    ap.add_argument("--quick", action="store_true", help="small documents for a smoke run")
    args = ap.parse_args(argv)

    os.makedirs(args.out, exist_ok=True)
    manifest_path = os.path.join(args.out, "manifest.json")
    want = stamp(args.quick)
    old = None
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            old = json.load(f)

    docs = []
    for name, filename, kind, gen, size_mb in SYNTHETIC:
        path = os.path.join(args.out, filename)
        if not (old and old.get("stamp") == want and os.path.exists(path)):
            target = int(size_mb * MB * (QUICK_SCALE if args.quick else 1))
            data = gen(target)
            tmp = path + ".tmp"
            with open(tmp, "wb") as f:
                f.write(data)
            os.replace(tmp, path)
            print(f"  generated {filename}: {len(data) / MB:.1f} MB", file=sys.stderr)
        docs.append(
            {
                "name": name,
                "path": os.path.abspath(path),
                "kind": kind,
                "multi": filename.endswith(".xmls"),
                "memory_only": kind in MEMORY_ONLY,
            }
        )
    import xml.etree.ElementTree as ET

    for name, path in REAL_FILES:
        if not os.path.isfile(path):
            continue
        try:  # some distributions ship malformed copies; they compare nothing
            with open(path, "rb") as f:
                ET.fromstring(f.read())
        except ET.ParseError as e:
            print(f"  skipped {path}: not well-formed ({e})", file=sys.stderr)
            continue
        docs.append({"name": name, "path": path, "kind": "real", "multi": False})

    with open(manifest_path, "w") as f:
        json.dump({"stamp": want, "docs": docs}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
