#!/usr/bin/env python3
"""The overview page rendered by a real browser.

For each table below meldimport-all --uebersicht writes uebersicht.html in a
fresh directory and headless Chromium dumps the DOM it builds from it. Every
figure (elements with fixed ids) must equal what a small model of the rules
computes from the rows written; hostile names must come out as text; neither
file nor DOM may hold a script element or an event attribute. A screenshot of
one page, decoded here, must show the page with its style (the chart's bars
in their colour); --save-screenshot PATH copies it to PATH.

Exit status 0 when all holds, 1 on a failure, 77 (skipped) where Chromium is
missing or cannot start here. Python 3 standard library only.
"""

import argparse
import collections
import contextlib
import html.parser
import os
import pathlib
import re
import shutil
import signal
import string
import struct
import subprocess
import sys
import tempfile
import zlib

SKIP = 77
DEADLINE = 120.0  # seconds for one run of the tool or one render: generous, Chromium can be slow
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]
BAR = (0x3B, 0x6E, 0xA5)  # fill of the chart's bars in the page's style
TOTALS = ["anmeldungen", "personen", "restaurant", "uebernachtung", "zu-pruefen", "doppelt"]


class Skip(Exception):
    pass


class Fail(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Fail(what)


def row(name, mail, persons, eink, nacht, days, text="", tel="T 0123 456789"):
    """A data line as a list of fields; days one J or - per day column."""
    return [name, mail, persons, eink, tel, nacht, *days, text]


# Each case: how the table is written (mark: UTF-8 with mark, CR LF, as the
# import writes; cp1252: Windows-1252 without mark; sheet: saved back by a
# spreadsheet), its day tokens, its lines, and texts the page must show.
CASES = [
    dict(name="utf8-mark", form="mark", days=["Fr12", "Sa13", "So14"], rows=[
        row("Erika Muster", "erika@example.org", "2", "J", "-", "JJ-", "Wir kommen gern.."),
        row("Łukasz Wąs", "lukasz@example.org", "3", "?", "J", "-JJ"),
        row("Anna \"Nanni\" Roth", "anna@example.org", "zwei", "J", "?", "J--"),
        row("<script>alert(1)</script>", "s@example.org", "", "-", "J", "--J"),
        row("<img src=x onerror=alert(1)>", "i@example.org", "0", "J", "J", "JJJ"),
        row("Otto Öztürk", "otto@example.org", "1000", "-", "-", "-J-"),
        row("Erika Muster", "  ERIKA@Example.ORG ", "2", "J", "-", "JJ-", "Nochmal gesendet"),
        row("=2+3 Schmidt", "<b onmouseover=alert(1)>@example.org", "4", "J", "J", "--J", "-- keine Frage"),
        row("Bea Zweimal", " <b onmouseover=alert(1)>@example.org", "1", "-", "-", "J--"),
        row("Kein Tag", "keintag@example.org", "5", "J", "J", "---"),
        row("", "ohnename@example.org", "2", "J", "-", "J--"),
        row("Ohne Adresse", "", "1", "J", "-", "-J-"),
        row("Auch ohne", "   ", "1", "-", "-", "--J"),
        ["Hans Kurz", "hans@example.org", "3", "J", "T 1", "J", "J"],
    ], texts=["<script>alert(1)</script>", "<img src=x onerror=alert(1)>", "Łukasz Wąs", "Otto Öztürk",
              "Anna \"Nanni\" Roth", "=2+3 Schmidt", "<b onmouseover=alert(1)>@example.org", "gelesen als UTF-8"],
         absent=["'=2+3"]),
    dict(name="cp1252", form="cp1252", days=["Sa13", "So14"], rows=[
        row("Jürgen Größ", "juergen@example.de", "2", "J", "J", "JJ", "Grüße aus Köln"),
        row("Hélène Weiß", "helene@example.de", "-1", "-", "J", "-J"),
        row("Jürgen Größ", "Juergen@Example.DE", "2", "J", "J", "JJ"),
        row("Zoë Bär", "zoe@example.de", "7", "J", "?", "J-"),
        row("Jörg Übel", "joerg@example.de", "1", "J", "-", "JJ", "zu viel") + ["extra"],
    ], texts=["Jürgen Größ", "Hélène Weiß", "Zoë Bär", "gelesen als Windows-1252"]),
    dict(name="sheet", form="sheet", days=["Fr12", "Sa13"], rows=[
        row("\"&'<>", "quote@example.org", "2", "J", "-", "J-", "Wir kommen; \"gern\"\nzu zweit"),
        row("Maria Schön", "maria@example.org", "3", "J", "J", "JJ"),
        row("Karl Klein", "karl@example.org", "1", "?", "-", "-J", "Text mit \"\"Anführung\"\""),
        row("'Nachname, Vorname'", "MARIA@example.org", "", "-", "-", "J-", "erneut"),
        row("Paul Groß", "paul@example.org", "1000", "-", "J", "--"),
    ], texts=["\"&'<>", "Maria Schön", "'Nachname, Vorname'", "gelesen als UTF-8"]),
    dict(name="no-days", form="mark", days=[], rows=[
        row("Dora Dreifach", "dora@example.org", "2", "J", "J", ""),
        row("Dora Dreifach", "Dora@example.org", "2", "J", "J", ""),
        row("Dora Dreifach", " DORA@EXAMPLE.ORG", "3", "J", "-", ""),
        row("Emil Fragezeichen", "emil@example.org", "1", "?", "?", ""),
        row("Frieda Fest", "frieda@example.org", "4", "-", "J", ""),
    ], texts=["Die Tabelle hat keine Tagesspalten."]),
    dict(name="header-only", form="cp1252", days=["Fr12", "Sa13", "So14"], rows=[],
         texts=["Keine Zeile zu prüfen."]),
    dict(name="one-registration", form="sheet", days=["Fr12"], rows=[
        row("Ida Einzig", "ida@example.org", "1", "J", "J", "J")], texts=["Ida Einzig"]),
    # The page of the documentation's screenshot: an ordinary weekend.
    dict(name="sample", form="mark", days=["Fr12", "Sa13", "So14"], screenshot=True, rows=[
        row("Erika Mustermann", "erika.mustermann@example.org", "2", "J", "J", "JJJ", "Wir freuen uns!"),
        row("Hans Becker", "hans.becker@example.org", "1", "J", "-", "J--"),
        row("Familie Schulz", "schulz@example.org", "4", "J", "J", "-JJ", "Zwei Kinder, 6 und 9 Jahre"),
        row("Petra Wagner", "p.wagner@example.org", "2", "-", "-", "-J-"),
        row("Klaus Hoffmann", "klaus.hoffmann@example.org", "3", "J", "J", "JJ-"),
        row("Monika Schäfer", "monika.schaefer@example.org", "1", "?", "J", "JJJ", "Restaurant weiß ich noch nicht"),
        row("Stefan Koch", "stefan.koch@example.org", "2", "J", "-", "--J"),
        row("Sabine Richter", "sabine.richter@example.org", "2", "J", "J", "JJJ"),
        row("Thomas Klein", "thomas.klein@example.org", "1", "-", "-", "-J-"),
        row("Ursula Wolf", "ursula.wolf@example.org", "2", "J", "J", "JJ-", "Ein Zimmer mit Balkon, bitte"),
        row("Jürgen Neumann", "juergen.neumann@example.org", "3", "J", "-", "-JJ"),
        row("Hans Becker", "Hans.Becker@example.org", "2", "J", "-", "JJ-", "Jetzt doch zu zweit"),
    ], texts=["Monika Schäfer", "Jürgen Neumann"]),
]


def table_bytes(case):
    header = ["Name", "Mail", "Anzahl", "Eink", "Tel", "Nacht", *case["days"], "Text"]
    # As the import writes them, name, address, persons and text have a
    # "'" in front where a spreadsheet would take them for a formula.
    guard = lambda i, r: "'" + r[i] if i in (0, 1, 2, len(r) - 1) and r[i][:1] in ("=", "+", "-", "@") else r[i]
    lines = [header] + [[guard(i, r) for i in range(len(r))] for r in case["rows"]]
    if case["form"] == "sheet":
        # Text cells in quotes with quotes doubled, empty cells bare, LF,
        # no end after the last line, no ";" at the end of a line.
        quote = lambda v: '"' + v.replace('"', '""') + '"' if v else ""
        return "\n".join(";".join(quote(v) for v in line) for line in lines).encode("utf-8")
    text = "".join(";".join(line) + ";\r\n" for line in lines)
    return b"\xef\xbb\xbf" + text.encode("utf-8") if case["form"] == "mark" else text.encode("cp1252")


def expected(case):
    """The figures of the page by the rules, from the rows as written."""
    days, fig, mails = case["days"], collections.Counter(dict.fromkeys(TOTALS, 0)), collections.Counter()
    for r in case["rows"]:
        field = lambda i: r[i] if i < len(r) else ""  # a short line lacks its last fields
        good = re.fullmatch(r"[0-9]+", field(2)) is not None and 1 <= int(field(2)) <= 999
        n, answers = int(field(2)) if good else 1, [field(6 + k) for k in range(len(days))]
        # The address without surrounding spaces and ASCII case.
        key = field(1).strip(" ").translate(str.maketrans(string.ascii_uppercase, string.ascii_lowercase))
        mails[key] += 1
        # A Counter's update adds.
        fig.update(anmeldungen=1, personen=n, restaurant=n * (field(3) == "J"), uebernachtung=n * (field(5) == "J"))
        for d, a in zip(days, answers):
            fig.update({f"tag-{d}-personen": n * (a == "J"), f"tag-{d}-anmeldungen": int(a == "J")})
        fig["zu-pruefen"] += bool(not good or "?" in (field(3), field(5)) or (days and "J" not in answers)
                              or not field(0).strip() or not key or len(r) != 7 + len(days))
    fig["doppelt"] = sum(c for k, c in mails.items() if k and c > 1)
    return {**{f"tag-{d}-{w}": 0 for d in days for w in ("personen", "anmeldungen")}, **fig}


class Page(html.parser.HTMLParser):
    """Tags, event attributes, text, and the text of each element with an id."""

    VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}

    def __init__(self, markup):
        super().__init__(convert_charrefs=True)
        self.tags, self.events, self.ids, self.twice, self.open, self.parts = set(), [], {}, [], [], []
        self.feed(markup)
        self.close()
        self.text = "".join(self.parts)

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.events += [k for k, _ in attrs if k.startswith("on")]
        ident = dict(attrs).get("id")
        if ident is not None:
            if ident in self.ids:
                self.twice.append(ident)
            self.ids[ident] = ""
        if tag not in self.VOID:
            self.open.append(ident)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in self.VOID:
            self.open.pop()

    def handle_endtag(self, tag):
        if tag not in self.VOID and self.open:
            self.open.pop()

    def handle_data(self, data):
        self.parts.append(data)
        for ident in self.open:
            if ident is not None:
                self.ids[ident] += data


def no_active_content(markup, what):
    page = Page(markup)
    check(not re.search(r"<\s*script", markup, re.I) and "script" not in page.tags, f"{what}: a script element")
    check(not page.events, f"{what}: event attributes {page.events}")
    return page


def decode_png(data):
    """Width, height and the RGB pixels (a list of rows of (r, g, b)) of an
    8-bit RGB or RGBA PNG without interlace."""
    check(data[:8] == b"\x89PNG\r\n\x1a\n", "screenshot is no PNG")
    pos, idat = 8, b""
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body, pos = data[pos + 8:pos + 8 + size], pos + size + 12
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            check(depth == 8 and ctype in (2, 6) and interlace == 0, f"PNG kind {depth}/{ctype}/{interlace}")
        elif kind == b"IDAT":
            idat += body
    raw, bpp = zlib.decompress(idat), 3 if ctype == 2 else 4
    stride, prev, rows = width * bpp, bytearray(width * bpp), []
    for y in range(height):
        ftype, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            if ftype == 1:
                line[i] = (line[i] + left) & 255
            elif ftype == 2:
                line[i] = (line[i] + prev[i]) & 255
            elif ftype == 3:
                line[i] = (line[i] + (left + prev[i]) // 2) & 255
            elif ftype == 4:
                up, corner = prev[i], prev[i - bpp] if i >= bpp else 0
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
            else:
                check(ftype == 0, f"PNG filter {ftype}")
        rows.append(list(zip(line[0::bpp], line[1::bpp], line[2::bpp])))
        prev = line
    return width, height, rows


def run(argv, cwd, env=None, out=None):
    """argv in its own session, its output to the file out (or discarded),
    its errors returned; the whole session is ended after it or by the
    deadline, so that no helper process of Chromium outlives it."""
    with open(out or os.devnull, "wb") as o, tempfile.TemporaryFile() as e:
        p = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=o, stderr=e,
                             start_new_session=True)
        try:
            status = p.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            status = None
        with contextlib.suppress(ProcessLookupError):
            os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        e.seek(0)
        return status, e.read().decode("utf-8", "replace")


class Browser:
    def __init__(self, work):
        self.exe = "/usr/bin/chromium" if os.access("/usr/bin/chromium", os.X_OK) else shutil.which("chromium")
        if not self.exe:
            raise Skip("chromium not found (Debian: apt-get install chromium)")
        self.work, self.count = work, 0
        # A home of its own: Chromium writes below it, and the user running
        # the test may have none that is writable.
        self.env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=work, XDG_CACHE_HOME=work)

    def render(self, page, extra, out):
        """Chromium with a fresh profile on the file page; status and errors."""
        self.count += 1
        profile = os.path.join(self.work, f"profile{self.count}")
        argv = [self.exe, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *extra, pathlib.Path(page).as_uri()]
        return run(argv, self.work, self.env, out)

    def dom(self, page):
        out = os.path.join(self.work, f"dom{self.count + 1}.html")
        status, err = self.render(page, ["--dump-dom"], out)
        check(status == 0, f"chromium --dump-dom {page}: status {status}\n{err[-2000:]}")
        with open(out, encoding="utf-8") as f:
            return f.read()

    def probe(self):
        """Skips where Chromium cannot render a page of our own."""
        page = os.path.join(self.work, "probe.html")
        with open(page, "w") as f:
            f.write("<!DOCTYPE html><title>probe</title><p id=probe>ok</p>\n")
        try:
            ok = Page(self.dom(page)).ids.get("probe") == "ok"
        except Fail as e:
            raise Skip(f"chromium cannot start here: {e}")
        if not ok:
            raise Skip("chromium renders no DOM here")


def overview(exe, case, work):
    """The page the tool writes for the case's table, its path and text."""
    folder = tempfile.mkdtemp(prefix=case["name"] + ".", dir=work)
    with open(os.path.join(folder, "tabelle.csv"), "wb") as f:
        f.write(table_bytes(case))
    status, err = run([exe, "--uebersicht"], folder)
    check(status == 0, f"{case['name']}: meldimport-all --uebersicht status {status}: {err}")
    check(err.count("\n") == 1 and "uebersicht.html" in err, f"{case['name']}: unexpected messages: {err!r}")
    page = os.path.join(folder, "uebersicht.html")
    check(os.path.isfile(page), f"{case['name']}: no uebersicht.html")
    with open(page, encoding="utf-8") as f:
        return page, f.read()


def check_case(exe, browser, case, work):
    page, markup = overview(exe, case, work)
    no_active_content(markup, f"{case['name']}: uebersicht.html")
    dom = no_active_content(browser.dom(page), f"{case['name']}: DOM")
    want = expected(case)
    check(not dom.twice, f"{case['name']}: ids more than once: {dom.twice}")
    days = {i for i in dom.ids if i.startswith("tag-")}
    check(days == {i for i in want if i.startswith("tag-")}, f"{case['name']}: day ids {sorted(days)}")
    wrong = [f"{i} {dom.ids.get(i)!r} instead of {n}" for i, n in want.items() if dom.ids.get(i) != str(n)]
    check(not wrong, f"{case['name']}: figures " + ", ".join(wrong))
    check("\ufffd" not in dom.text, f"{case['name']}: replacement characters in the page")
    for text in case.get("texts", []):
        check(text in dom.text, f"{case['name']}: the page does not show {text!r} as text")
    for text in case.get("absent", []):
        check(text not in dom.text, f"{case['name']}: the page shows {text!r}")
    return page, len(want)


def check_screenshot(browser, page, save):
    shot = os.path.join(browser.work, "uebersicht.png")
    status, err = browser.render(page, [f"--screenshot={shot}", "--window-size=1200,1600"], None)
    check(status == 0 and os.path.exists(shot), f"chromium --screenshot: status {status}\n{err[-2000:]}")
    with open(shot, "rb") as f:
        width, height, rows = decode_png(f.read())
    pixels = [p for r in rows for p in r]
    colours, dark, bars = len(set(pixels)), sum(1 for p in pixels if sum(p) < 3 * 128), pixels.count(BAR)
    # Text in many shades (anti-aliasing), dark text, and the bars of the
    # chart drawn in the style's colour.
    check(colours >= 16 and dark >= 2000 and bars >= 1000,
          f"screenshot {width}x{height} does not show the styled page: {colours} colours, {dark} dark pixels, "
          f"{bars} pixels of the bars")
    if save:
        shutil.copyfile(shot, save)
    return f"{width}x{height}, {colours} colours, {dark} dark pixels, {bars} bar pixels"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True, help="meldimport-all")
    ap.add_argument("--save-screenshot", metavar="PATH", help="copy the screenshot of the sample page to PATH")
    args = ap.parse_args()
    exe = os.path.abspath(args.exe)
    work = tempfile.mkdtemp(prefix="meld-browser.")
    try:
        browser = Browser(work)
        browser.probe()
        figures, shot = 0, ""
        for case in CASES:
            page, n = check_case(exe, browser, case, work)
            figures += n
            if case.get("screenshot"):
                shot = check_screenshot(browser, page, args.save_screenshot)
        print(f"browser test: {len(CASES)} tables rendered by Chromium, {figures} figures compared; screenshot {shot}")
        return 0
    except Skip as e:
        print(f"browser test skipped: {e}")
        return SKIP
    except Fail as e:
        print(f"browser test FAILED: {e}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
