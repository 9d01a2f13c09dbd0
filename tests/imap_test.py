#!/usr/bin/env python3
"""The folder import against a real IMAP server and a real fetcher.

Dovecot runs with a configuration of its own on a free loopback port; its
own delivery agent (dovecot-lda) puts registrations and a mail that is no
registration into a mail user's Maildir. meldimport-all imports that Maildir
while an IMAP session has INBOX open, and the server is then asked over IMAP
what became of every mail: the imported ones in the folder "importiert",
each once and unread, the other in "keine-anmeldung", nothing left in INBOX,
and no error in the server's log. A second delivery and import adds only the
new mails. Last, getmail6 fetches new mails from the server into a Maildir of
its own (leaving them on the server), and that Maildir is imported into a
second table.

Run by root, Dovecot runs as usual (root, its own users "dovecot" and
"dovenull") and the mails belong to an unprivileged mail user (created as a
system user where absent); meldimport-all runs as root in a table directory
owned by that user, so it takes that user's identity, as it does for root.
Run by another user, Dovecot runs as that user alone (no user switch), and
that user is the mail user.

Exit status 0 when all holds, 1 on a failure, 77 (skipped) where Dovecot or
getmail6 is missing or cannot start here. Python 3 standard library only.
"""

import argparse
import grp
import imaplib
import os
import pwd
import quopri
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
# Generous deadlines: each poll ends as soon as what it waits for holds; a
# program that hangs ends the test (and the server with it) by its deadline.
DEADLINE = 120.0
MAILUSER = "meldtestmail"
PASSWORD = "meld-imap-test"
IMAPUSER = "meld"
DAYS = "Fr12;Sa13;So14;"
HEADER = "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;"


class Skip(Exception):
    pass


class Fail(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Fail(what)


def find(name, extra=()):
    for d in extra:
        p = os.path.join(d, name)
        if os.access(p, os.X_OK):
            return p
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin:/usr/lib/dovecot")


# ---------------------------------------------------------------- the mails


def registration(key, name, mail, people, days, text, qp=False):
    """A registration as the web form sends it: a text/plain mail whose body
    holds the fields, an empty line and the form's end marker. With qp the
    body is UTF-8 in quoted-printable, as mail programs send umlauts."""
    body = (
        f"Name: {name}\r\n"
        f"E-Mail: {mail}\r\n"
        f"Anzahl teilnehmende Pers.: {people}\r\n"
        "Restaurant: ja\r\n"
        "Telefoon: 0123 456789\r\n"
        "Uebernachtung Jugendherberge: nein\r\n"
        f"Tage: {days}\r\n"
        f"Text: {text}\r\n"
        "\r\n"
        "--------------------- Ende des Originaltextes ---\r\n"
    )
    if qp:
        encoded = quopri.encodestring(body.encode("utf-8")).decode("ascii")
        # quopri writes bare LF line ends: the mail's lines end in CRLF.
        encoded = encoded.replace("\r\n", "\n").replace("\n", "\r\n")
        cte = "quoted-printable"
    else:
        encoded = body
        cte = "8bit"
    head = (
        f"From: Anmeldeformular <form@example.org>\r\n"
        f"To: Anmeldung <{IMAPUSER}@example.org>\r\n"
        f"Subject: Anmeldung {key}\r\n"
        f"Date: Fri, 12 Jan 2024 10:00:00 +0100\r\n"
        f"Message-ID: <{key}@meld.test>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        f"Content-Transfer-Encoding: {cte}\r\n"
    )
    return (head + "\r\n" + encoded).encode("utf-8")


def noregistration(key):
    """A mail that is no registration: neither "Name: " nor "E-Mail: "."""
    return (
        "From: Jemand <jemand@example.org>\r\n"
        f"To: Anmeldung <{IMAPUSER}@example.org>\r\n"
        "Subject: Frage zur Anfahrt\r\n"
        "Date: Fri, 12 Jan 2024 11:00:00 +0100\r\n"
        f"Message-ID: <{key}@meld.test>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "Hallo, wie kommt man vom Bahnhof zur Halle?\r\n"
        "Gruss\r\n"
    ).encode("utf-8")


# ---------------------------------------------------------------- the test


class Test:
    def __init__(self, exe):
        self.exe = os.path.abspath(exe)
        self.root = os.geteuid() == 0
        self.tmp = None
        self.server = None
        self.port = None
        self.sessions = []
        self.delivered = 0

    # ------------------------------------------------------------ users

    def choose_users(self):
        if self.root:
            for u in ("dovecot", "dovenull"):
                try:
                    pwd.getpwnam(u)
                except KeyError:
                    raise Skip(f'Dovecot\'s system user "{u}" is missing (Debian: dovecot-core)')
            try:
                pw = pwd.getpwnam(MAILUSER)
            except KeyError:
                useradd = find("useradd")
                if not useradd:
                    raise Skip(f"no mail user {MAILUSER} and no useradd to make one")
                r = subprocess.run(
                    [useradd, "-M", "-r", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", MAILUSER],
                    capture_output=True,
                    text=True,
                )
                if r.returncode != 0 and r.returncode != 9:  # 9: made meanwhile
                    raise Skip(f"cannot make the mail user {MAILUSER}: {r.stderr.strip()}")
                pw = pwd.getpwnam(MAILUSER)
        else:
            pw = pwd.getpwuid(os.getuid())
        self.uid, self.gid, self.user = pw.pw_uid, pw.pw_gid, pw.pw_name
        check(self.uid != 0, "the mail user is root")

    def as_mailuser(self, cmd):
        """A command run as the mail user: root switches to it with setpriv;
        another user is the mail user already."""
        if not self.root:
            return cmd
        return ["setpriv", f"--reuid={self.uid}", f"--regid={self.gid}", "--clear-groups", "--"] + cmd

    def mkdir_user(self, path, mode=0o700):
        os.mkdir(path, mode)
        os.chmod(path, mode)
        if self.root:
            os.chown(path, self.uid, self.gid)
        return path

    def write_user(self, path, data, mode=0o600):
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        if self.root:
            os.chown(path, self.uid, self.gid)

    # ------------------------------------------------------------ the server

    def free_port(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def config(self):
        t = self.tmp
        lines = [
            "# A Dovecot of the test's own: IMAP alone, on loopback, plaintext",
            "# login allowed there, one mail user from a passwd-file.",
            "protocols = imap",
            "listen = 127.0.0.1",
            f"base_dir = {t}/run",
            f"state_dir = {t}/state",
            f"log_path = {t}/dovecot.log",
            f"info_log_path = {t}/dovecot-info.log",
            "ssl = no",
            "disable_plaintext_auth = no",
            "auth_mechanisms = plain login",
            # The Maildir++ layout (the default): folders are .NAME in the Maildir.
            "mail_location = maildir:~/Maildir",
            f"first_valid_uid = {self.uid}",
            f"last_valid_uid = {self.uid}",
            f"first_valid_gid = {self.gid}",
            f"last_valid_gid = {self.gid}",
            "passdb {",
            "  driver = passwd-file",
            f"  args = scheme=PLAIN username_format=%u {t}/passwd",
            "}",
            "userdb {",
            "  driver = passwd-file",
            f"  args = username_format=%u {t}/passwd",
            "}",
            "service imap-login {",
            "  inet_listener imap {",
            "    address = 127.0.0.1",
            f"    port = {self.port}",
            "  }",
            "  inet_listener imaps {",
            "    port = 0",
            "  }",
            "}",
            # dovecot-lda writes a log of its own where the mail user may write.
            "protocol lda {",
            f"  log_path = {t}/home/lda.log",
            f"  info_log_path = {t}/home/lda-info.log",
            "}",
        ]
        if not self.root:
            # Not root: everything runs as this user, nothing chroots.
            try:
                group = grp.getgrgid(self.gid).gr_name
            except KeyError:
                raise Skip(f"the group {self.gid} has no name: Dovecot needs one to run as {self.user}")
            lines += [
                f"default_internal_user = {self.user}",
                f"default_login_user = {self.user}",
                f"default_internal_group = {group}",
                "service anvil {\n  chroot =\n}",
                "service imap-login {\n  chroot =\n}",
                "service auth-worker {\n  user = $default_internal_user\n}",
            ]
        return "\n".join(lines) + "\n"

    def start_server(self):
        dovecot = find("dovecot")
        for attempt in range(5):
            self.port = self.free_port()
            with open(self.conf, "w") as f:
                f.write(self.config())
            os.chmod(self.conf, 0o644)
            log = open(f"{self.tmp}/dovecot.out", "wb")
            self.server = subprocess.Popen(
                [dovecot, "-F", "-c", self.conf], stdout=log, stderr=subprocess.STDOUT
            )
            log.close()
            if self.wait_server():
                return
            out = self.server_output()
            self.stop_server()
            # Another program took the port between its choice and the bind: again.
            if "Address already in use" in out:
                continue
            # The configuration is written for Dovecot 2.3: an error in it
            # there is the test's own, elsewhere a change of the syntax.
            if "Error in configuration file" in out:
                if self.dovecot_version.startswith("2.3."):
                    raise Fail("Dovecot refuses the test's configuration:\n" + out)
                raise Skip(f"the test's configuration is written for Dovecot 2.3, not {self.dovecot_version}:\n" + out)
            raise Skip("Dovecot cannot start here:\n" + out)
        raise Skip("Dovecot found no free port")

    def server_output(self):
        out = ""
        for name in ("dovecot.out", "dovecot.log"):
            try:
                with open(f"{self.tmp}/{name}", errors="replace") as f:
                    out += f.read()
            except OSError:
                pass
        return out

    def wait_server(self):
        """Until the server greets on its port, or has ended."""
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            if self.server.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=DEADLINE) as s:
                    s.settimeout(DEADLINE)
                    if s.recv(200).startswith(b"* OK"):
                        return True
            except OSError:
                pass
            time.sleep(0.05)
        return False

    def children(self, pid):
        kids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        stat = f.read()
                except OSError:
                    continue
                if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                    kids.append(int(entry))
        return kids

    def stop_server(self):
        """The master and every process it started end: the master's
        processes are listed first, as they outlive it briefly."""
        if self.server is None:
            return
        kids = self.children(self.server.pid) if self.server.poll() is None else []
        if self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        end = time.monotonic() + DEADLINE
        for pid in kids:
            while time.monotonic() < end and os.path.exists(f"/proc/{pid}"):
                try:
                    with open(f"/proc/{pid}/stat") as f:
                        if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                            break
                except OSError:
                    break
                time.sleep(0.02)
        self.server = None

    def deliver(self, mail):
        """One mail into the user's INBOX through Dovecot's delivery agent."""
        lda = find("dovecot-lda", ["/usr/lib/dovecot"])
        r = subprocess.run(
            [lda, "-c", self.conf, "-d", IMAPUSER, "-f", "form@example.org"],
            input=mail,
            capture_output=True,
            timeout=DEADLINE,
        )
        check(r.returncode == 0, f"dovecot-lda: status {r.returncode}: {r.stdout!r} {r.stderr!r}")
        self.delivered += 1

    # ------------------------------------------------------------ IMAP

    def login(self):
        m = imaplib.IMAP4("127.0.0.1", self.port, timeout=DEADLINE)
        m.login(IMAPUSER, PASSWORD)
        self.sessions.append(m)
        return m

    def logout(self, m):
        try:
            m.logout()
        except Exception:
            pass
        if m in self.sessions:
            self.sessions.remove(m)

    @staticmethod
    def ok(resp, what):
        typ, data = resp
        check(typ == "OK", f"IMAP {what}: {typ} {data}")
        return data

    def folders(self, m):
        names = set()
        for line in self.ok(m.list(), "LIST"):
            text = line.decode() if isinstance(line, bytes) else str(line)
            mt = re.match(r'\((.*?)\) (?:"[^"]*"|NIL) (.*)$', text)
            check(mt, f"LIST line: {text}")
            names.add(mt.group(2).strip('"'))
        return names

    def subscribed(self, m):
        names = set()
        for line in self.ok(m.lsub(), "LSUB"):
            if line is None:
                continue
            text = line.decode() if isinstance(line, bytes) else str(line)
            mt = re.match(r'\((.*?)\) (?:"[^"]*"|NIL) (.*)$', text)
            check(mt, f"LSUB line: {text}")
            names.add(mt.group(2).strip('"'))
        return names

    def expect(self, m, folder, keys, unread=False):
        """The folder holds exactly the mails of these keys, each once, each
        as it was delivered (the server's own header lines before it), and,
        where unread, none shown as read."""
        self.ok(m.select(folder, readonly=True), f"EXAMINE {folder}")
        nums = self.ok(m.search(None, "ALL"), f"SEARCH {folder}")[0].split()
        seen = []
        for n in nums:
            data = self.ok(m.fetch(n, "(FLAGS BODY.PEEK[])"), f"FETCH {folder}")
            check(isinstance(data[0], tuple), f"FETCH {folder} {n}: no body in {data!r}")
            head, body = data[0][0], data[0][1]
            rest = b" ".join(x for x in data[1:] if isinstance(x, bytes))
            flags = re.search(rb"FLAGS \(([^)]*)\)", head) or re.search(rb"FLAGS \(([^)]*)\)", rest)
            check(flags, f"FETCH {folder} {n}: no FLAGS in {head!r}")
            mid = re.search(rb"^Message-ID: <([^@>]*)@meld.test>", body, re.M | re.I)
            check(mid, f"{folder}: a mail with no Message-ID of the test: {body[:300]!r}")
            key = mid.group(1).decode()
            seen.append(key)
            check(key in self.mails, f"{folder}: an unknown mail {key}")
            check(body.endswith(self.mails[key][2]), f"{folder}: mail {key} is not as delivered:\n{body!r}")
            if unread:
                check(b"\\Seen" not in flags.group(1), f"{folder}: mail {key} is shown read ({flags.group(1)!r})")
        check(sorted(seen) == sorted(keys), f"{folder} holds {sorted(seen)}, not {sorted(keys)}")
        return len(seen)

    # ------------------------------------------------------------ the tool

    def table_dir(self, name):
        d = self.mkdir_user(f"{self.tmp}/{name}", 0o755)
        self.write_user(f"{d}/tage.txt", DAYS.encode(), 0o644)
        return d

    def run_tool(self, tabledir, folder):
        """meldimport-all FOLDER in the table's directory: root runs it as
        such (it takes the directory owner's identity), another user as
        itself."""
        r = subprocess.run([self.exe, folder], cwd=tabledir, capture_output=True, timeout=DEADLINE)
        err = r.stderr.decode("utf-8", "replace")
        check(r.returncode == 0, f"meldimport-all {folder}: status {r.returncode}\n{err}")
        # Its standard error is the one summary line, "DATE TIME N Mails: N
        # importiert, N fehlgeschlagen", with ", N keine Anmeldung" where
        # there are such; nothing at all where there was no mail.
        if err == "":
            return (0, 0, 0, 0), err
        mt = re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\d+) Mails?: (\d+) importiert, (\d+) fehlgeschlagen"
                          r"(?:, (\d+) keine Anmeldung)?\n", err)
        check(mt, f"meldimport-all: its standard error is not the one summary line:\n{err}")
        return tuple(int(x or 0) for x in mt.groups()), err

    def expect_imported(self, m, tabledir, maildir, keys):
        """After an import of the server's Maildir: INBOX and "in-arbeit"
        empty, keys in "importiert" and the question in "keine-anmeldung",
        each unread; their lines in the table; the Maildir still one; no
        error logged. The counts in the two folders."""
        self.expect(m, "INBOX", [])
        imported = self.expect(m, "importiert", keys, unread=True)
        other = self.expect(m, "keine-anmeldung", ["frage1"], unread=True)
        self.expect(m, "in-arbeit", [])
        self.expect_table(tabledir, keys)
        self.expect_maildir(maildir, ["importiert", "keine-anmeldung"])
        self.check_log()
        return imported, other

    def expect_table(self, tabledir, keys):
        """tabelle.csv: UTF-8 with its mark, the header of the day list,
        then one line per imported mail, each once: name and address, the
        name decoded where the mail was quoted-printable."""
        path = f"{tabledir}/tabelle.csv"
        check(os.stat(path).st_uid == self.uid, "tabelle.csv does not belong to the table directory's owner")
        with open(path, "rb") as f:
            data = f.read()
        check(data.startswith(b"\xef\xbb\xbf"), "tabelle.csv has no byte-order mark")
        lines = data[3:].decode("utf-8").splitlines()
        check(lines and lines[0] == HEADER, f"tabelle.csv header: {lines[:1]}")
        rows = sorted(tuple(line.split(";")[:2]) for line in lines[1:] if line)
        want = sorted(tuple(self.mails[k][:2]) for k in keys)
        check(rows == want, f"tabelle.csv rows {rows}, not {want}")
        return len(rows)

    def expect_maildir(self, maildir, kept):
        """The Maildir as the server needs it: everything in it the mail
        user's (the server writes its index files beside the mails), no
        directory inside any cur, new or tmp (the server would rename it
        away), each kept mail with its info (":2,"), so it shows unread."""
        for top, dirs, files in os.walk(maildir):
            for name in dirs + files:
                st = os.lstat(os.path.join(top, name))
                check(st.st_uid == self.uid, f"{top}/{name} does not belong to the mail user")
            if os.path.basename(top) in ("cur", "new", "tmp"):
                check(not dirs, f"directories inside {top}: {dirs}")
        for folder in kept:
            for name in os.listdir(f"{maildir}/.{folder}/cur"):
                check(":2," in name, f".{folder}/cur/{name} has no info")

    def where(self, maildir):
        """How many mails lie in new and in cur."""
        return tuple(len([n for n in os.listdir(f"{maildir}/{d}") if not n.startswith(".")]) for d in ("new", "cur"))

    # ------------------------------------------------------------ the run

    @staticmethod
    def version(cmd, word):
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=DEADLINE).stdout.split()
        return out[word] if out else "?"

    def run(self):
        started = time.monotonic()
        missing = [n for n in ("dovecot",) if not find(n)]
        if not find("dovecot-lda", ["/usr/lib/dovecot"]):
            missing.append("dovecot-lda")
        if missing:
            raise Skip(f"no {', '.join(missing)} here (Debian: dovecot-imapd dovecot-core)")
        if not find("getmail"):
            raise Skip("no getmail here (Debian: getmail6)")
        if self.root and not find("setpriv"):
            raise Skip("no setpriv to run getmail as the mail user (Debian: util-linux)")
        self.choose_users()
        version = self.dovecot_version = self.version([find("dovecot"), "--version"], 0)
        gversion = self.version([find("getmail"), "--version"], -1)

        # Everything the mail user must reach lies under a fresh directory
        # in /tmp that others may pass through (the clone may lie in a home
        # that is closed to them).
        self.tmp = tempfile.mkdtemp(prefix="meld-imap-")
        try:
            os.chmod(self.tmp, 0o711)
            self.conf = f"{self.tmp}/dovecot.conf"
            home = self.mkdir_user(f"{self.tmp}/home", 0o700)
            maildir = f"{home}/Maildir"
            with open(f"{self.tmp}/passwd", "w") as f:
                f.write(f"{IMAPUSER}:{{PLAIN}}{PASSWORD}:{self.uid}:{self.gid}::{home}::\n")
            os.chmod(f"{self.tmp}/passwd", 0o644)
            self.start_server()
            try:
                return self.steps(version, gversion, maildir, started)
            except Fail as e:
                # What the server logged tells most about a failure.
                bad = self.log_errors()
                if bad:
                    raise Fail(f"{e}\nthe server's log:\n" + "\n".join(bad)) from None
                raise
        finally:
            for m in list(self.sessions):
                self.logout(m)
            self.stop_server()
            shutil.rmtree(self.tmp, ignore_errors=True)

    def send(self, key, *fields, qp=False):
        """A registration into the user's INBOX, kept for the checks."""
        name, addr = fields[0], fields[1]
        self.mails[key] = (name, addr, registration(key, *fields, qp=qp))
        self.deliver(self.mails[key][2])

    def steps(self, version, gversion, maildir, started):
        self.mails = {}
        # 1. Three registrations, one with umlauts in quoted-printable, and
        # a mail that is no registration, delivered by the server itself.
        self.send("anm1", "Erika Muster", "erika@example.org", 2, "Fr12 Sa13", "Wir kommen gern")
        self.send("anm2", "Jürgen Müller", "juergen@example.org", 1, "Sa13", "Grüße aus Köln", qp=True)
        self.send("anm3", "Max Beispiel", "max@example.org", 3, "Fr12 Sa13 So14", "Bis dann")
        self.mails["frage1"] = (None, None, noregistration("frage1"))
        self.deliver(self.mails["frage1"][2])
        first = ["anm1", "anm2", "anm3"]
        check(os.path.isdir(f"{maildir}/new"), f"the server made no Maildir at {maildir}")

        # 2. The import, while a client holds INBOX open (a SELECT, which
        # lets the server move the new mails to cur, as it does).
        watcher = self.login()
        exists = self.ok(watcher.select("INBOX"), "SELECT INBOX")
        check(int(exists[0]) == 4, f"INBOX before the import: {exists[0]} mails, not 4")
        where1 = self.where(maildir)
        check(sum(where1) == 4, f"the Maildir holds {where1} mails in new and cur, not 4")
        table1 = self.table_dir("tabelle1")
        counts, err = self.run_tool(table1, maildir)
        check(counts == (4, 3, 0, 1), f"first import: {err}")
        # The open session is told that the four mails left INBOX.
        self.ok(watcher.noop(), "NOOP")
        expunged = watcher.response("EXPUNGE")[1]
        check(len(expunged) == 4, f"the open session saw {len(expunged)} expunges, not 4")
        self.logout(watcher)

        # 3. What the server shows now: the folders, listed and subscribed,
        # each mail once where it belongs, INBOX empty, no error logged.
        m = self.login()
        for what, names in (("LIST", self.folders(m)), ("LSUB", self.subscribed(m))):
            for f in ("importiert", "keine-anmeldung", "in-arbeit"):
                check(f in names, f'{what} shows no folder "{f}": {sorted(names)}')
        self.expect_imported(m, table1, maildir, first)

        # 4. Two more registrations (left in new: no session selects INBOX
        # now): the second import adds only them.
        self.send("anm4", "Gesa Zweite", "gesa@example.org", 2, "So14", "Spaeter dazu")
        self.send("anm5", "Otto Fünf", "otto@example.org", 1, "Fr12", "Nur Freitag", qp=True)
        both = first + ["anm4", "anm5"]
        where2 = self.where(maildir)
        check(sum(where2) == 2, f"the Maildir holds {where2} mails in new and cur, not 2")
        counts, err = self.run_tool(table1, maildir)
        check(counts == (2, 2, 0, 0), f"second import: {err}")
        imported, other = self.expect_imported(m, table1, maildir, both)

        # 5. INBOX is empty now: two new registrations, which getmail6
        # fetches over IMAP into a Maildir of its own, leaving them on the
        # server; that Maildir is imported into a second table.
        self.send("anm6", "Hans Abgeholt", "hans@example.org", 2, "Sa13 So14", "Per getmail")
        self.send("anm7", "Änne Özdemir", "aenne@example.org", 4, "Fr12", "Auch per getmail", qp=True)
        third = ["anm6", "anm7"]
        gdir = self.mkdir_user(f"{self.tmp}/getmail", 0o700)
        fetched = self.mkdir_user(f"{gdir}/Maildir", 0o700)
        for sub in ("cur", "new", "tmp"):
            self.mkdir_user(f"{fetched}/{sub}", 0o700)
        rc = (
            "[retriever]\n"
            "type = SimpleIMAPRetriever\n"
            "server = 127.0.0.1\n"
            f"port = {self.port}\n"
            f"username = {IMAPUSER}\n"
            f"password = {PASSWORD}\n"
            'mailboxes = ("INBOX",)\n'
            "\n[destination]\n"
            "type = Maildir\n"
            f"path = {fetched}/\n"
            "\n[options]\n"
            "verbose = 0\n"
            "read_all = false\n"
            "delete = false\n"
        )
        self.write_user(f"{gdir}/getmailrc", rc.encode(), 0o600)
        r = subprocess.run(
            self.as_mailuser([find("getmail"), f"--getmaildir={gdir}", f"--rcfile={gdir}/getmailrc"]),
            capture_output=True,
            env=dict(os.environ, HOME=gdir),
            timeout=DEADLINE,
        )
        check(r.returncode == 0, f"getmail: status {r.returncode}: {r.stdout!r} {r.stderr!r}")
        got = sum(self.where(fetched))
        check(got == 2, f"getmail fetched {got} mails, not 2")
        table2 = self.table_dir("tabelle2")
        counts, err = self.run_tool(table2, fetched)
        check(counts == (2, 2, 0, 0), f"import of the fetched Maildir: {err}")
        self.expect_table(table2, third)
        self.expect_maildir(fetched, ["importiert"])
        check(len(os.listdir(f"{fetched}/.importiert/cur")) == 2, "the fetched Maildir's importiert holds not 2 mails")
        # The server still holds every mail.
        self.expect(m, "INBOX", third)
        self.expect(m, "importiert", both, unread=True)
        self.expect(m, "keine-anmeldung", ["frage1"], unread=True)
        self.logout(m)
        self.check_log()

        seconds = time.monotonic() - started
        who = f"as root, mail user {self.user}" if self.root else f"as {self.user}"
        print(
            f"imap test: dovecot {version}, {self.delivered} mails delivered, {sum(where1) + sum(where2)} taken "
            f"from the server's Maildir ({where1[1] + where2[1]} from cur, {where1[0] + where2[0]} from new, "
            f"{len(expunged)} expunges seen by a client holding INBOX open): {imported} imported, {other} no "
            f"registration; {got} fetched by getmail {gversion} and imported; all seen over IMAP "
            f"({who}, {seconds:.1f} s)"
        )
        return 0

    def log_errors(self):
        """The errors, fatal errors and panics in the server's and the
        delivery agent's logs (Dovecot logs an unwanted directory in a
        Maildir, which it renames or removes, as an error)."""
        bad = []
        for name in ("dovecot.log", "dovecot.out", "home/lda.log"):
            try:
                with open(f"{self.tmp}/{name}", errors="replace") as f:
                    bad += [line.rstrip() for line in f if re.search(r"(Error|Fatal|Panic):|unwanted", line)]
            except FileNotFoundError:
                pass
        return bad

    def check_log(self):
        bad = self.log_errors()
        check(not bad, "the server's log:\n" + "\n".join(bad))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True, help="the meldimport-all executable")
    args = ap.parse_args()
    try:
        return Test(args.exe).run()
    except Skip as e:
        print(f"imap test: skipped: {e}")
        return SKIP
    except Fail as e:
        print(f"imap test: FAILED: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
