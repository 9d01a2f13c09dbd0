#!/usr/bin/env python3
"""Crash states of meldimport and meldimport-all: is a power loss harmless?

Each scenario's real executables run once under strace in a fresh directory.
The recorder turns the trace into the logical file-system operations the run
made below that directory (new entries, writes with their bytes, truncations,
renames, links, unlinks, directories, extended attributes, syncs) on inodes
and directory entries; the tree before the run is the starting state, all of
it durable. From these operations the states a power loss could leave are
built, each in a fresh directory; in each the next run is made (the folder
import again on the same folder, or meldimport with the mail.txt of another
registrant) and the result is checked (check_folder, check_single).

Two persistence models, k being the number of calls made before the loss:

ordered (ext4 data=ordered): the first k calls persist, in order, but of a
  file's data written after its last fsync or fdatasync whole 4,096-byte
  blocks may be missing from its end: its persisted length is its synced
  length, any multiple of 4,096 above it, or all of it. Metadata (entries,
  directories, extended attributes, truncations) persists in order.
weak: of the first k calls, those that a completed sync covers persist, and
  any subset of the others. The sync of a file (fsync or fdatasync alike)
  covers its earlier writes, truncations and attribute changes; that of a
  directory its earlier entry changes (new files, links, renames from or
  into it, unlinks, new directories). A write may persist as any prefix of
  its bytes that ends on a 4,096-byte boundary of the file, or whole. What
  lies in a directory whose own entry did not persist is lost with it; a
  rename that persists without the call that made its source leaves the
  inode under both names.

Where a scenario and model have more states than the cap, they are drawn at
random with random.Random(2026), and the output says so. A second pass drops
every sync from the recorded calls: in the weak model it must find
violations, or the explorer could not see any.

Exit status: 0 when the real runs keep every invariant in every state and the
pass without syncs finds violations; 1 otherwise; 77 where strace is missing
or cannot trace here.
"""
import argparse
import concurrent.futures
import itertools
import os
import random
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

BLOCK = 4096
HEADER = b"Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n"
BOM = b"\xef\xbb\xbf"
STAMP = rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "
LEFT = "von einem abgebrochenen Lauf in "
TRACED = ("?open,openat,?creat,write,pwrite64,writev,pwritev,read,lseek,ftruncate,truncate,fallocate,?rename,"
          "renameat,renameat2,?link,linkat,?unlink,unlinkat,?mkdir,mkdirat,?rmdir,?symlink,symlinkat,fsetxattr,"
          "setxattr,lsetxattr,fremovexattr,removexattr,lremovexattr,fsync,fdatasync,sync,syncfs,close,dup,?dup2,"
          "dup3,fcntl,clone,?clone3,?fork,?vfork")
# Lines of prot-all.txt that a run after a crash may write and the run without one does not.
RECOVERY = {b"liegt in .in-arbeit von einem abgebrochenen Lauf - nicht importiert, Zeile vielleicht in tabelle.csv",
            b"lag in .in-arbeit von einem abgebrochenen Lauf: Zeile in tabelle.csv, nach importiert verschoben",
            b"lag in .in-arbeit von einem abgebrochenen Lauf: Zeile nicht in tabelle.csv, wird importiert"}


def mail(n):
    return (f"Name: Erika {n}\r\nE-Mail: erika.{n}@example.org\r\nAnzahl teilnehmende Pers.: 2\r\n"
            "Restaurant: ja\r\nTelefoon: 0123 456789\r\nUebernachtung Jugendherberge: nein\r\nTage: Fr12 Sa13\r\n"
            "Text: Wir kommen gern; bis bald\r\nViele Gruesse\r\n\r\n"
            "--------------------- Ende des Originaltextes ---\r\n").encode()


def table(size):
    """A table of the header and guests' lines, exactly size bytes long."""
    lines = [HEADER]
    while sum(map(len, lines)) + 120 < size:
        lines.append(b"Gast %03d;gast%03d@example.org;1;N;;-;X;;;;\r\n" % (len(lines), len(lines)))
    pad = size - sum(map(len, lines)) - len(b"Gast 999;g@example.org;1;N;;-;X;;;;\r\n")
    return b"".join(lines) + b"Gast 999;g@example.org;1;N;;-;X;;;%s;\r\n" % (b"x" * pad)


def scenarios():
    """(name, the files before the run (None: a directory), the folder or None for meldimport)."""
    days = {"tage.txt": b"Fr12;Sa13;So14;"}
    plain = lambda ns: {f"eingang/m{i}": mail(n) for i, n in enumerate(ns, 1)}  # noqa: E731
    maildir = {"post": None, "post/cur": None, "post/tmp": None, "post/new": None}
    maildir.update({f"post/new/17336500{i}0.M{i}P77.host": mail(i) for i in (1, 2, 3)})
    return [
        ("single, existing table of 4,050 bytes", dict(days, **{"mail.txt": mail(1), "tabelle.csv": table(4050)}),
         None),
        ("single, new table", dict(days, **{"mail.txt": mail(1)}), None),
        # The third line crosses the 4,096-byte boundary, and no mail is left after it.
        ("folder, existing table of 3,880 bytes", dict(days, **plain([1, 2, 3]), **{"tabelle.csv": table(3880)}),
         "eingang"),
        ("folder, new table", dict(days, **plain([1, 2, 3])), "eingang"),
        ("Maildir, existing table", dict(days, **maildir, **{"tabelle.csv": table(300)}), "post"),
        ("folder with a double", dict(days, **plain([1, 1, 3]), **{"tabelle.csv": table(300)}), "eingang"),
    ]


# ---- The file system as the models see it: inodes, and directories of entries.

class Node:
    __slots__ = ("kind", "data", "x", "ents", "mode")

    def __init__(self, kind, mode, data=b"", x=None, ents=None):
        self.kind, self.mode, self.data, self.x, self.ents = kind, mode, data, dict(x or {}), dict(ents or {})


class FS:
    def __init__(self, nodes=None):
        self.nodes = nodes if nodes is not None else {0: Node("d", 0o700)}

    def copy(self):
        return FS({i: Node(n.kind, n.mode, n.data, n.x, n.ents) for i, n in self.nodes.items()})

    def node(self, ino, kind="f", mode=0o644):
        if ino not in self.nodes:
            self.nodes[ino] = Node(kind, mode)
        return self.nodes[ino]

    def walk(self, ino=0, path=""):
        """(path, inode, node) of everything reachable from the root, parents first."""
        for name, i in sorted(self.nodes[ino].ents.items()):
            p = path + "/" + name if path else name
            yield p, i, self.nodes[i]
            if self.nodes[i].kind == "d" and path.count("/") < 20:
                yield from self.walk(i, p)

    def lookup(self, comps):
        ino = 0
        for c in comps:
            ino = self.nodes[ino].ents.get(c) if self.nodes[ino].kind == "d" else None
            if ino is None:
                return None
        return ino

    def key(self):
        return tuple((p, n.kind, n.data, tuple(sorted(n.x.items()))) for p, _, n in self.walk())

    def files(self):
        return {p: n.data for p, _, n in self.walk() if n.kind == "f"}


class Op:
    def __init__(self, kind, text, ino=None, d=None, name="", d2=None, name2="", off=0, data=b"", size=0, mode=0o644):
        self.kind, self.text, self.ino, self.d, self.name, self.d2, self.name2 = kind, text, ino, d, name, d2, name2
        self.off, self.data, self.size, self.mode = off, data, size, mode

    def ends(self):
        """The lengths of a write that may persist: block-aligned prefixes, and all of it."""
        return sorted({e - self.off for e in range((self.off // BLOCK + 1) * BLOCK, self.off + len(self.data), BLOCK)}
                      | {len(self.data)})


def apply(fs, op, keep=None):
    k = op.kind
    if k in ("creat", "tmpfile", "mkdir", "symlink"):
        fs.node(op.ino, {"mkdir": "d", "symlink": "l"}.get(k, "f"), op.mode).data = op.data if k == "symlink" else b""
    if k in ("creat", "mkdir", "link", "symlink", "rename"):
        # An entry that persists has its inode, though the call that made the inode may not have.
        fs.node(op.ino, "d" if k == "mkdir" else "f")
        fs.node(op.d2 if k == "rename" else op.d, "d").ents[op.name2 if k == "rename" else op.name] = op.ino
    if k in ("rename", "unlink", "rmdir") and fs.node(op.d, "d").ents.get(op.name) == op.ino:
        del fs.nodes[op.d].ents[op.name]
    elif k == "write":
        n, b = fs.node(op.ino), op.data[:keep]
        n.data = n.data[:op.off].ljust(op.off, b"\0") + b + n.data[op.off + len(b):]
    elif k == "trunc":
        fs.node(op.ino).data = fs.node(op.ino).data[:op.size].ljust(op.size, b"\0")
    elif k == "setx":
        fs.node(op.ino).x[op.name] = op.data
    elif k == "rmx":
        fs.node(op.ino).x.pop(op.name, None)


def covers(s, a):
    """Whether the sync s makes the earlier call a durable."""
    if s.ino is None:
        return True
    if a.kind in ("write", "trunc", "setx", "rmx"):
        return a.ino == s.ino
    return a.kind in ("creat", "mkdir", "link", "rename", "unlink", "rmdir", "symlink") and s.ino in (a.d, a.d2)


# ---- The recorder.

def snapshot(root, counter):
    fs = FS()
    fs.nodes[0].mode = stat.S_IMODE(os.lstat(root).st_mode)

    def scan(path, ino):
        for name in sorted(os.listdir(path)):
            p, i = os.path.join(path, name), next(counter)
            st = os.lstat(p)
            kind = "d" if stat.S_ISDIR(st.st_mode) else "l" if stat.S_ISLNK(st.st_mode) else "f"
            n = fs.nodes[i] = Node(kind, stat.S_IMODE(st.st_mode))
            fs.nodes[ino].ents[name] = i
            if kind == "d":
                scan(p, i)
            elif kind == "l":
                n.data = os.fsencode(os.readlink(p))
            else:
                with open(p, "rb") as f:
                    n.data = f.read()
            try:
                n.x = {k: os.getxattr(p, k) for k in os.listxattr(p) if k.startswith("user.")} if kind != "l" else {}
            except OSError:
                pass
    scan(root, 0)
    return fs


def split_args(s):
    out, cur, depth, quoted = [], "", 0, False
    for ch in s:
        if quoted or ch == '"':
            quoted = quoted != (ch == '"')
        elif ch in "([{<)]}>":
            depth += 1 if ch in "([{<" else -1
        elif ch == "," and depth == 0:
            out, cur = out + [cur.strip()], ""
            continue
        cur += ch
    return out + [cur.strip()]


def string(a):
    """The bytes of a string argument, as strace -xx shows them."""
    return bytes.fromhex(re.match(r'"(.*?)"', a).group(1).replace("\\x", ""))


def fdarg(a):
    """(number, decorated path) of a descriptor argument such as 7</tmp/x/tabelle.csv>."""
    m = re.match(r"(-?\d+|AT_FDCWD)(?:<((?:\\x[0-9a-f]{2})*)>)?", a)
    path = os.fsdecode(bytes.fromhex(m.group(2).replace("\\x", ""))) if m.group(2) else None
    return (None if m.group(1) == "AT_FDCWD" else int(m.group(1))), path


class FD:
    def __init__(self, ino, append=False):
        self.ino, self.pos, self.append = ino, 0, append


# The (directory, path) arguments of the calls that name a file.
PATHARGS = {"open": (None, 0), "creat": (None, 0), "openat": (0, 1), "truncate": (None, 0), "unlink": (None, 0),
            "rmdir": (None, 0), "unlinkat": (0, 1), "mkdir": (None, 0), "mkdirat": (0, 1), "symlink": (None, 1),
            "symlinkat": (1, 2), "setxattr": (None, 0), "lsetxattr": (None, 0), "removexattr": (None, 0),
            "lremovexattr": (None, 0), "rename": (None, 0), "link": (None, 0), "renameat": (0, 1),
            "renameat2": (0, 1), "linkat": (0, 1)}
FDCALLS = {"write", "pwrite64", "writev", "pwritev", "read", "lseek", "ftruncate", "fallocate", "fsetxattr",
           "fremovexattr", "fsync", "fdatasync", "syncfs", "dup", "dup2", "dup3", "fcntl"}


def record(cmd, root, umask):
    """Runs cmd in root under strace: the starting state, the operations, the final state."""
    counter = itertools.count(1)
    init = snapshot(root, counter)
    fs, ops, fds, pending = init.copy(), [], {}, {}
    label = {0: ".", **{i: p for p, i, _ in init.walk()}}
    trace = os.path.join(tempfile.mkdtemp(prefix="meld-trace-"), "trace")
    try:
        run = subprocess.run(["strace", "-f", "-qq", "-xx", "-s", "100000000", "-y", "-o", trace, "-e",
                              "trace=" + TRACED] + cmd, cwd=root, stdin=subprocess.DEVNULL, capture_output=True)
        with open(trace, encoding="latin-1") as f:
            lines = f.read().splitlines()
    finally:
        shutil.rmtree(os.path.dirname(trace))

    def locate(p):
        """(parent inode, name, inode) of a path below root, (None, "", 0) for root, None elsewhere."""
        p = os.path.normpath(p)
        if p == root or not p.startswith(root + "/"):
            return (None, "", 0) if p == root else None
        comps = p[len(root) + 1:].split("/")
        parent = fs.lookup(comps[:-1])
        return None if parent is None else (parent, comps[-1], fs.nodes[parent].ents.get(comps[-1]))

    def fdent(pid, a):
        n, path = fdarg(a)
        if n not in fds.setdefault(pid, {}):  # inherited: known by the path strace shows
            fds[pid][n] = FD(path and (locate(path) or (0, 0, None))[2])
        return fds[pid][n]

    def emit(kind, text, **kw):
        ops.append(Op(kind, text, **kw))
        apply(fs, ops[-1])

    def joined(w):
        return "/".join(x for x in (label[w[0]] if w[0] else "", w[1]) if x)

    def new(w):
        ino = next(counter)
        label[ino] = joined(w) if w else "(unnamed file)"
        return ino

    for line in lines:
        m = re.match(r"(\d+)\s+(.*)$", line)
        if not m or m.group(2).startswith(("---", "+++")):
            continue
        pid, rest = int(m.group(1)), m.group(2)
        if rest.endswith("<unfinished ...>"):
            pending[pid] = rest[:-len("<unfinished ...>")].rstrip()
            continue
        r = re.match(r"<\.\.\. \w+ resumed>(.*)", rest)
        rest = pending.pop(pid, "") + r.group(1) if r else rest
        m = re.match(r"(\w+)\((.*)\)\s+=\s+(\d+|0x[0-9a-f]+)", rest)
        if not m:
            continue  # failed, or without a return
        name, args, ret = m.group(1), split_args(m.group(2)), int(m.group(3), 0)
        table = fds.setdefault(pid, {})
        w = None
        if name in PATHARGS:
            d, p = PATHARGS[name]
            w = locate(os.path.join(fdarg(args[d])[1] or root if d is not None else root, os.fsdecode(string(args[p]))))
        fd = fdent(pid, args[0]) if name in FDCALLS else None
        ino = fd.ino if fd else w and w[2]
        if name in ("open", "openat", "creat"):
            flags = "O_CREAT|O_TRUNC" if name == "creat" else args[PATHARGS[name][1] + 1]
            if w and "O_TMPFILE" in flags:
                ino = new(None)
                emit("tmpfile", "open an unnamed file", ino=ino)
            elif w and ino is None:
                ino = new(w)
                emit("creat", f"create {label[ino]}", ino=ino, d=w[0], name=w[1], mode=0o666 & ~umask)
            elif w and "O_TRUNC" in flags and fs.nodes[ino].kind == "f":
                emit("trunc", f"truncate {label[ino]} to 0", ino=ino, size=0)
            table[ret] = FD(ino, "O_APPEND" in flags)
        elif name in ("write", "pwrite64", "writev", "pwritev"):
            data = (b"".join(map(string, re.findall(r'iov_base=("[^"]*")', args[1]))) if name.endswith("v")
                    else string(args[1]))[:ret]
            off = int(args[3]) if name[0] == "p" else \
                len(fs.nodes[ino].data) if fd.append and ino is not None else fd.pos
            fd.pos = fd.pos if name[0] == "p" else off + ret
            if ino is not None and ret > 0:
                emit("write", f"write {label[ino]} bytes {off}..{off + ret}", ino=ino, off=off, data=data)
        elif name in ("read", "lseek"):
            fd.pos = fd.pos + ret if name == "read" else ret
        elif name in ("ftruncate", "truncate", "fallocate") and ino is not None:
            size = int(args[1]) if name != "fallocate" else int(args[2]) + int(args[3])
            if name != "fallocate" or "KEEP_SIZE" not in args[1] and size > len(fs.nodes[ino].data):
                emit("trunc", f"{name} {label[ino]} to {size}", ino=ino, size=size)
        elif name in ("rename", "renameat", "renameat2", "link", "linkat"):
            two = name.endswith(("at", "at2"))
            dst = locate(os.path.join(fdarg(args[2])[1] or root if two else root,
                                      os.fsdecode(string(args[3 if two else 1]))))
            old = string(args[1 if two else 0]).decode("latin-1")
            if name.startswith("link") and (old.startswith("/proc/self/fd/") or old == ""):
                w, ino = None, fdent(pid, old.rsplit("/", 1)[1] if old else args[0]).ino
            if dst and dst[0] is not None and ino is not None:
                was, label[ino] = label[ino], joined(dst)
                if name[0] == "r" and w:
                    emit("rename", f"rename {was} -> {label[ino]}", ino=ino, d=w[0], name=w[1], d2=dst[0], name2=dst[1])
                elif name[0] == "l":
                    emit("link", f"link {was} -> {label[ino]}", ino=ino, d=dst[0], name=dst[1])
        elif name in ("unlink", "unlinkat", "rmdir") and ino is not None:
            kind = "rmdir" if name == "rmdir" or "AT_REMOVEDIR" in args[-1] else "unlink"
            emit(kind, f"{kind} {label[ino]}", ino=ino, d=w[0], name=w[1])
        elif name in ("mkdir", "mkdirat", "symlink", "symlinkat") and w and w[0] is not None:
            ino = new(w)
            if name.startswith("mkdir"):
                emit("mkdir", f"mkdir {label[ino]}", ino=ino, d=w[0], name=w[1], mode=int(args[-1], 8) & ~umask)
            else:
                emit("symlink", f"symlink {label[ino]}", ino=ino, d=w[0], name=w[1], data=string(args[0]))
        elif "xattr" in name and ino is not None:
            xname = string(args[1]).decode()
            if "set" in name:
                val = string(args[2])[:int(args[3])]
                emit("setx", f"setxattr {label[ino]} {xname}={val.decode('latin-1')}", ino=ino, name=xname, data=val)
            else:
                emit("rmx", f"removexattr {label[ino]} {xname}", ino=ino, name=xname)
        elif name in ("fsync", "fdatasync", "syncfs") and ino is not None or name == "sync":
            emit("sync", f"{name} {label[ino] if name[0] == 'f' else '(all)'}", ino=ino if name[0] == "f" else None)
        elif name == "close":
            table.pop(fdarg(args[0])[0], None)
        elif name.startswith("dup") or name == "fcntl" and "F_DUPFD" in args[1]:
            table[ret] = fd
        elif name == "fcntl" and args[1] == "F_SETFL":
            fd.append = "O_APPEND" in args[2]
        elif name in ("clone", "clone3", "fork", "vfork"):
            fds[ret] = table if "CLONE_FILES" in m.group(2) else dict(table)
    return init, ops, fs, run


# ---- The models: (crash point k, what did not persist, a function that builds the state).

def ordered(init, ops):
    fs, synced = init.copy(), {i: len(n.data) for i, n in init.nodes.items()}
    for k in range(len(ops) + 1):
        if k:
            op = ops[k - 1]
            apply(fs, op)
            if op.kind == "sync":
                synced.update({i: len(fs.nodes[i].data) for i in ([op.ino] if op.ino is not None else fs.nodes)})
            elif op.kind == "trunc":
                synced[op.ino] = min(synced.get(op.ino, 0), op.size)
        tails = [(p, i, sorted({synced.get(i, 0), len(n.data)} |
                               set(range((synced.get(i, 0) // BLOCK + 1) * BLOCK, len(n.data), BLOCK))))
                 for p, i, n in fs.walk() if n.kind == "f" and len(n.data) > synced.get(i, 0)]
        snap = fs.copy()
        for combo in itertools.product(*(t[2] for t in tails)):
            def build(combo=combo, tails=tails, snap=snap):
                st = snap.copy()
                for (_, i, _), c in zip(tails, combo):
                    st.nodes[i].data = st.nodes[i].data[:c]
                return st
            yield k, [f"{p} kept {c} of {len(fs.nodes[i].data)} bytes" for (p, i, _), c in zip(tails, combo)
                      if c < len(fs.nodes[i].data)], build


def weak(init, ops, cap, rng):
    """All states of the weak model where they are at most cap, else an endless sample; and which of the two."""
    points, covered = [], set()
    for k in range(len(ops) + 1):
        if k and ops[k - 1].kind == "sync":
            covered |= {a for a in range(k - 1) if covers(ops[k - 1], ops[a])}
        free = [a for a in range(k) if a not in covered and ops[a].kind not in ("sync", "tmpfile")]
        # Each free call persists (0; a write: so many bytes) or not (None).
        points.append((k, frozenset(covered), free, [[None] + ops[a].ends() if ops[a].kind == "write" else [None, 0]
                                                     for a in free]))
    sampled = sum(len(list(itertools.islice(itertools.product(*p[3]), cap + 1))) for p in points) > cap
    drawn = iter(lambda: rng.choice(points), None)
    combos = ((k, cov, free, c) for k, cov, free, opts in points for c in itertools.product(*opts)) if not sampled \
        else ((k, cov, free, tuple(rng.choice(o) for o in opts)) for k, cov, free, opts in drawn)

    def one(k, cov, free, c):
        chosen = dict(zip(free, c))

        def build():
            st = init.copy()
            for a in range(k):
                if a in cov or ops[a].kind == "tmpfile" or chosen.get(a) is not None:
                    apply(st, ops[a], chosen.get(a) or None)
            return st
        return k, [f"#{a} {ops[a].text}" + ("" if chosen[a] is None else f" (only {chosen[a]} bytes)") for a in free
                   if chosen[a] is None or ops[a].kind == "write" and chosen[a] < len(ops[a].data)], build
    return sampled, (one(*c) for c in combos)


# ---- The invariants.

def show(b, n=70):
    s = b.decode("latin-1").encode("unicode_escape").decode()
    return s if len(s) <= n else s[:n // 2] + "..." + s[-n // 2:]


def person(b):
    """The registrant of a mail or a table line."""
    return re.search(rb"Name: (.*?)\r\n", b).group(1) if b.startswith(b"Name: ") else b.split(b";")[0]


def table_lines(data, expected, v):
    """The table's whole lines, with a violation where it is not whole."""
    body = data[3:] if data.startswith(BOM) else data
    if not body.startswith(HEADER):
        v.append(("table not whole", f"no header: '{show(body[:60])}'"))
        return []
    if not body.endswith(b"\r\n"):
        v.append(("table not whole", f"ends inside a line: '...{show(body[-60:])}'"))
    lines = body[len(HEADER):].split(b"\r\n")
    lines = lines[:-1] if not lines[-1] else lines
    v += [("table not whole", f"a cut line: '{show(x)}'") for x in lines if x not in expected]
    return [x for x in lines if x in expected]


def log_entries(data, known, v):
    """The entries of prot-all.txt as (mail, lines), with a violation where one is not whole."""
    if data and not data.endswith(b"\r\n"):
        v.append(("log not whole", f"ends inside a line: '...{show(data[-60:])}'"))
    entries = []
    for x in data.split(b"\r\n")[:-1]:
        x = re.sub(rb"^Ende: " + STAMP, b"Ende: ", re.sub(rb"^" + STAMP + rb"(?=Mail: )", b"", x))
        whole = x in known or re.fullmatch(rb"Ende: \d+ Mails?: \d+ importiert, \d+ fehlgeschlagen([,;] .*)?", x) \
            or re.fullmatch(rb"mail\.txt ist doppelt: schon als \S+ importiert - nicht noch einmal", x) \
            or re.fullmatch(rb"nach \S+ verschoben", x)
        if not whole or re.search(rb"[\r\n]", x) or b"Ende: " in x[1:] or b"Mail: " in x[1:] and x[:6] != b"Ende: ":
            v.append(("log not whole", f"a cut line: '{show(x)}'"))
        if x[:6] in (b"Mail: ", b"Ende: "):
            entries.append((x[6:].decode("latin-1") if x[:6] == b"Mail: " else None, []))
        elif entries:
            entries[-1][1].append(x)
    return entries


def tally(sc, files, ref, v):
    """Per registrant: the whole lines in the table, and the mails of theirs that the log says were stored."""
    lines = table_lines(files["tabelle.csv"], ref["lines"], v) if "tabelle.csv" in files else []
    count, logged = {}, {}
    for x in lines:
        count[person(x)] = count.get(person(x), 0) + 1
    for name, body in log_entries(files.get("prot-all.txt", b""), ref["log"], v):
        if name in sc["named"] and any(b"um eine Zeile ergaenzt" in x for x in body):
            who = person(sc["files"][sc["named"][name]])
            logged[who] = logged.get(who, 0) + 1
    return count, logged


def check_folder(sc, crash, files, summary, ref):
    """A folder import after the next run: every mail in one place, every line once, the log whole.
    Returns the violations, and for each claim the dead run left, whether its line is in the table."""
    v, f, md = [], sc["folder"], sc["folder"] == "post"
    place = (lambda d: f"{f}/.{d}/cur") if md else (lambda d: f"{f}/{d}")
    claims = f"{f}/.in-arbeit/cur" if md else f"{f}/.in-arbeit"
    kept = f"{f}/.in-arbeit.gespeichert/cur" if md else f"{f}/.in-arbeit/gespeichert"
    places = ([f"{f}/new", f"{f}/cur"] if md else [f]) + [claims, kept] + [
        place(d) for d in ("importiert", "keine-anmeldung", "doppelt")]
    if "tabelle.csv" not in files and "tabelle.csv" in sc["files"]:
        v.append(("table lost", "tabelle.csv is gone"))
    count, logged = tally(sc, files, ref, v)
    before, told = tally(sc, crash, ref, [])  # the dead run's lines, and those its log tells of
    v += [("line twice", f"{who.decode()} has {n} lines") for who, n in count.items() if n > 1]
    v += [("log says stored, line missing", who.decode()) for who in logged if who not in count]
    left = []
    for content, n in sc["contents"].items():
        who = person(content)
        found = sorted(p for p, d in files.items() if d == content)
        if len(found) != n:
            v.append(("mail lost" if len(found) < n else "mail in two places",
                      f"{who.decode()}: {n} mail(s), found {found}"))
        for p in found:
            d, base = p.rsplit("/", 1)
            if d not in places:
                v.append(("mail in a wrong place", p))
            if d in (place("importiert"), place("doppelt"), kept) and who not in count:
                v.append(("double without its line" if "doppelt" in d else "imported mail without its line", p))
            if d == claims:
                left.append(before.get(who, 0) > told.get(who, 0))
                if LEFT not in summary or f" {base}" not in summary.split(LEFT, 1)[1]:
                    v.append(("claim left, not named", f"{p}; summary: {summary.strip()}"))
                if left[-1]:
                    v.append(("claim whose line is in the table, log silent", f"{p}; the dead run left "
                              f"{before[who]} line(s) of {who.decode()}, its log tells of {told.get(who, 0)}"))
    return v, left


def check_single(sc, crash, files, prot, ref):
    """meldimport after the next run: the old lines once, the first run's at most once, the new one once.
    prot.txt is the last run's protocol, never synced: the next run writes it anew, so what a crash left
    of it is no state that lasts."""
    v = []
    lines = table_lines(files.get("tabelle.csv", b""), ref["lines"], v)
    v += [("old line lost" if x not in lines else "line twice", show(x)) for x in ref["old"] if lines.count(x) != 1]
    for who, most, least in ((b"Erika 1", 1, 0), (b"Erika 9", 1, 1)):
        n = sum(person(x) == who for x in lines)
        if n > most:
            v.append(("line twice", f"{who.decode()} has {n} lines"))
        elif n < least:
            v.append(("new line missing", f"no line of {who.decode()}"))
    return v, []


# ---- Building a state and running the next run in it.

def build(fs, dest, xattrs):
    os.chmod(dest, fs.nodes[0].mode)
    made = {}
    for p, i, n in fs.walk():
        q = os.path.join(dest, p)
        if i in made:
            os.link(made[i], q)
        elif n.kind == "l":
            os.symlink(n.data, q)
        else:
            if n.kind == "d":
                os.mkdir(q, n.mode)
                os.chmod(q, n.mode)
            else:
                with open(q, "wb") as f:
                    f.write(n.data)
                made[i] = q
            for k, val in n.x.items() if xattrs else ():
                os.setxattr(q, k, val)


def next_run(sc, fs, args, counter):
    """Builds the state and makes the next run in it: the tree after it, its standard error, the old prot.txt."""
    dest = tempfile.mkdtemp(prefix="meld-crash-", dir=args.states)
    try:
        build(fs, dest, args.xattrs)
        prot = fs.files().get("prot.txt")
        if not sc["folder"]:
            with open(os.path.join(dest, "mail.txt"), "wb") as f:
                f.write(mail(9))
        r = subprocess.run([args.exe_all, sc["folder"]] if sc["folder"] else [args.exe], cwd=dest,
                           stdin=subprocess.DEVNULL, capture_output=True)
        return snapshot(dest, counter).files(), r.stderr.decode("latin-1"), prot
    finally:
        shutil.rmtree(dest, ignore_errors=True)


def explore(sc, args):
    """Records the scenario, then checks the states of each model, and of the weak one without syncs."""
    root = os.path.realpath(tempfile.mkdtemp(prefix="meld-run-"))
    umask = os.umask(0o022)
    os.umask(umask)
    try:
        for p, data in sc["files"].items():
            os.makedirs(os.path.join(root, p) if data is None else os.path.dirname(os.path.join(root, p)),
                        exist_ok=True)
            if data is not None:
                with open(os.path.join(root, p), "wb") as f:
                    f.write(data)
        init, ops, fs, run = record([args.exe_all, sc["folder"]] if sc["folder"] else [args.exe], root, umask)
        real = snapshot(root, itertools.count(10 ** 9))
        if (real.key() != fs.key()) if args.xattrs else (real.files() != fs.files()):
            sys.exit(f"{sc['name']}: the recorded calls do not give the tree the run left (recorder out of step)")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    # What whole lines and log lines are: those of the run without a crash and of the next run after it.
    counter = itertools.count(2 * 10 ** 9)
    after = next_run(sc, fs, args, counter)[0]
    ref = {"lines": set(), "prot": fs.files().get("prot.txt"), "log": RECOVERY | {
        b"Mail: " + n.encode() + s for n in sc["named"] for s in (b"", b":2,")}}
    for files in (sc["files"], after):
        tab = files.get("tabelle.csv") or b""
        ref["lines"] |= set((tab[3:] if tab.startswith(BOM) else tab)[len(HEADER):].split(b"\r\n")[:-1])
    ref["old"] = (sc["files"].get("tabelle.csv") or HEADER)[len(HEADER):].split(b"\r\n")[:-1]
    ref["log"] |= {re.sub(rb"^" + STAMP, b"", x) for x in after.get("prot-all.txt", b"").split(b"\r\n")}
    print(f"{sc['name']}: {len(ops)} calls recorded, exit status {run.returncode}", flush=True)
    results = []
    for model, nosync in (("ordered", False), ("weak", False), ("weak", True)):
        use = [o for o in ops if not (nosync and o.kind == "sync")]
        cap = args.cap // 2 if nosync else args.cap
        if model == "ordered":
            states = list(ordered(init, use))
            sampled = len(states) > cap
            states = random.Random(2026).sample(states, cap) if sampled else states
        else:
            sampled, states = weak(init, use, cap, random.Random(2026))
        seen, todo, explored = set(), [], 0
        for k, missing, make in states:
            explored += 1
            st = make()
            if st.key() not in seen:
                seen.add(st.key())
                todo.append((k, missing, st))
            if len(seen) >= cap or explored >= 4 * cap:
                break
        viol, left, lined, bad = [], 0, 0, 0
        with concurrent.futures.ThreadPoolExecutor(2) as pool:  # two next runs at a time
            for (k, missing, st), (files, summary, prot) in zip(todo, pool.map(
                    lambda t: next_run(sc, t[2], args, counter), todo)):
                v, claims = (check_folder(sc, st.files(), files, summary, ref) if sc["folder"]
                             else check_single(sc, st.files(), files, prot, ref))
                left, lined, bad = left + bool(claims), lined + any(claims), bad + bool(v)
                crash = f"after #{k - 1} {use[k - 1].text}" if k else "before the first call"
                lost = ", ".join(missing if len(missing) <= 10 else missing[:4] + ["..."] + missing[-6:])
                viol += [(kind, f"crash {crash}; missing: {lost or 'nothing'}; saw: {what}") for kind, what in v]
        name = model + (" without syncs" if nosync else "")
        print(f"  {name}: {explored} states explored{' (sampled)' if sampled else ''}, {len(seen)} distinct, "
              f"{len(viol)} violations in {bad} states" + (f"; a claim of the dead run left after the next run in {left} states "
                                           f"(its line in the table in {lined}, not in {left - lined})"
                                           if sc["folder"] else ""), flush=True)
        kinds = {}
        for kind, what in viol:
            kinds.setdefault(kind, []).append(what)
        for kind, whats in kinds.items():
            print(f"    - {kind} ({len(whats)}): {whats[0]}")
        results.append((name, nosync, viol))
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--exe", required=True, help="meldimport")
    ap.add_argument("--exe-all", required=True, help="meldimport-all")
    ap.add_argument("--cap", type=int, default=400, help="distinct states at most per scenario and model")
    ap.add_argument("--only", default="", help="only the scenarios whose name holds this")
    args = ap.parse_args()
    args.exe, args.exe_all = os.path.abspath(args.exe), os.path.abspath(args.exe_all)
    if not shutil.which("strace"):
        print("SKIP: strace not found")
        return 77
    probe = subprocess.run(["strace", "-f", "-qq", "-e", "trace=" + TRACED, args.exe_all, "--help"],
                           stdin=subprocess.DEVNULL, capture_output=True)
    if probe.returncode != 0:
        print("SKIP: strace cannot trace here: " + probe.stderr.decode("latin-1").strip()[:300])
        return 77
    # The states are built where user.* attributes are kept: on a tmpfs, where
    # a sync costs nothing, else in the temporary directory.
    args.xattrs, args.states = False, None
    for d in ("/dev/shm", tempfile.gettempdir()):
        try:
            with tempfile.NamedTemporaryFile(dir=d) as f:
                os.setxattr(f.name, "user.meldimport.probe", b"1")
            args.xattrs, args.states = True, d
            break
        except OSError:
            pass
    if not args.xattrs:
        print(f"note: {tempfile.gettempdir()} keeps no user.* attributes: the states are built without them")
    start, real, teeth = time.monotonic(), [], 0
    for name, files, folder in scenarios():
        if args.only not in name:
            continue
        mails = {p: d for p, d in files.items() if folder and d is not None and p.startswith(folder + "/")}
        contents = {d: list(mails.values()).count(d) for d in mails.values()}
        sc = {"name": name, "files": files, "folder": folder, "contents": contents,
              "named": {p.rsplit("/", 1)[1]: p for p in mails}}
        for model, nosync, viol in explore(sc, args):
            teeth += len(viol) if nosync else 0
            real += [] if nosync else [(f"{name}, {model}", kind, what) for kind, what in viol]
    print(f"\n{len(real)} violations in the real runs, {teeth} in the weak model without syncs "
          f"({time.monotonic() - start:.0f} s)")
    kinds = {}
    for where, kind, what in real:
        kinds.setdefault(kind, {}).setdefault(where, []).append(what)
    for kind, wheres in kinds.items():
        print(f"  {kind}: " + ", ".join(f"{w} {len(x)}" for w, x in wheres.items()))
        print(f"    e.g. {next(iter(wheres))}: {next(iter(wheres.values()))[0]}")
    if teeth == 0:
        print("FAIL: without syncs the weak model finds no violation: the explorer cannot see one")
    return 0 if not real and teeth > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
