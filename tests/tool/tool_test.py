#!/usr/bin/env python3
# Runs the built tqsys: exit statuses, the one error line, text and JSON.
# usage: tool_test.py --tqsys PATH --module PATH [--emulator CMD]
#                     [--order BIG_ENDIAN|LITTLE_ENDIAN] [unittest args...]
import argparse, json, os, pty, re, select, shlex, socket, struct, subprocess, sys, tempfile, unittest

SANDBOXED = os.environ.get("TOOL_TEST_SANDBOX") == "1"
GET7 = "id    7\nkey   0x0a000001\nrule  c0 a8 00 ff\n"  # a filter as `filter get` prints it


def enter_sandbox():
    # In fresh mount, network and pid namespaces: /tmp, /etc and /dev become overlays
    # whose writes stay in memory, so the fixed paths tqsys reads are ours.
    mount = lambda fs, where, *opts: subprocess.run(["mount", "-t", fs, fs, where, *opts], check=True)
    mount("tmpfs", "/dev/shm")
    for d in ("/tmp", "/etc", "/dev"):
        os.makedirs("/dev/shm%s/u" % d), os.makedirs("/dev/shm%s/w" % d)
        mount("overlay", d, "-o", "lowerdir={0},upperdir=/dev/shm{0}/u,workdir=/dev/shm{0}/w".format(d))
    mount("tmpfs", "/dev/shm")  # the overlay of /dev hid the first one
    mount("devpts", "/dev/pts", "-o", "newinstance,ptmxmode=0666")  # terminals of our own, for top
    subprocess.run(["mount", "--bind", "/dev/pts/ptmx", "/dev/ptmx"], check=True)
    os.chdir(os.getcwd())  # into the overlay when the build lies under /tmp
    subprocess.run(["rm", "-f", "/tmp/pm_cli_ready", "/dev/tq_sys", "/dev/board0"], check=True)


def run(*args, stdin=None, device=False, state=None):
    env, cmd = dict(os.environ, TQSYS_STATE_DIR=state or SCRATCH + "/kstate"), shlex.split(OPTS.emulator)
    if device:  # ld.so splits LD_PRELOAD at blanks: a relative path has none
        env.update(ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
                   LD_PRELOAD=os.path.relpath(OPTS.module, SCRATCH))
        cmd += ["-E", "LD_PRELOAD=" + env.pop("LD_PRELOAD")] if cmd else []  # not for the emulator
    p = subprocess.run(cmd + [OPTS.tqsys, *args], env=env, cwd=SCRATCH, input=stdin, capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def write(path, data):
    with open(os.path.join(SCRATCH, path), "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


class Base(unittest.TestCase):
    # Rows of args, exit status, then the output (text, JSON or a pattern)
    # or the start of the one error line, and the input if any.
    def check(self, cases, **kw):
        for args, rc, want, *stdin in cases:
            with self.subTest(args=args):
                got, out, err = run(*args, stdin=(stdin or [None])[0], **kw)
                self.assertEqual(got, rc, (out, err))
                if rc >= 2:
                    self.assertEqual((out, err.count("\n")), ("", 1), err)
                    self.assertTrue(err.startswith("tqsys: " + want), err)
                else:
                    self.assertEqual(err, "")
                    self.assertRegex(out, want) if isinstance(want, re.Pattern) else \
                        self.assertEqual(json.loads(out) if isinstance(want, dict) else out, want)

    def check_processes(self, text):
        head, *rows, note = text.splitlines()
        self.assertRegex(head, r"^ *PID  NAME +PROCS +RSS +SHARED +PRIVATE +TEXT +DATA +STACK +HEAP  WATCH$")
        for row in rows or [""]:  # right-aligned: each pid ends where its title does
            self.assertRegex(row[:head.index("PID") + 5] + row[-5:], r"^ *\d+  .*  (yes|no|-)$")


class CommandLine(Base):
    def test_cases(self):
        [write(name, text) for name, text in (("p1", "417\n"), ("p2", "x\n1"), ("p3", "99999999999\n"))]
        words = ["status", "ps", "top", "match", "pidfile", "monitor", "port", "filter add", "client get", "bbox data",
                 "module client add", "module bbox"]
        self.check([
            (["--help"], 0, re.compile(r"\A.+\nUsage: tqsys \[OPTIONS\] SUBCOMMAND\n(.*\n)*exit status:\n(  [0-3]  .*\n){4}")),
            *[(["help", *w.split()], 0, re.compile(r"\A.+\nUsage: tqsys %s \[OPTIONS\]" % w)) for w in words],
            *[(w.split() + ["--help"], 0, run("help", *w.split())[1]) for w in words],  # the same page both ways
            (["--version"], 0, re.compile(r"\Atqsys \d+\.\d+\.\d+\n\Z")),
            (["help", "filter", "nope"], 2, "help: no command 'nope' (try 'tqsys --help')\n"),
            (["bogus"], 2, "unknown command 'bogus'; one of status, ps, top, match, pidfile, monitor, port, filter,"),
            (["filter", "purge"], 2, "filter: unknown command 'purge'; one of count, list, get, add, del "
                                     "(try 'tqsys filter --help')\n"),
            (["filter", "del"], 2, "filter del: "), ([], 2, ""),
            (["filter", "del", "--", "-1"], 2, "filter del: ID must be a number, got '-1'\n"),  # not an option
            *[(["filter", "get", w], 2, "filter get: KEY must") for w in ("", "+1", " 1", "1a", "0x1g", "4294967296")],
            (["bbox", "info", "-n", "65537"], 2, "bbox info: --bytes must be from 1 to 65536, got '65537'\n"),
            *[(["client", "get", w], 2, "client get: MAC must look like aa:bb:cc:dd:ee:ff, got '%s'\n" % w)
              for w in ("00:11:22:33:44:5", "00:11-22:33:44:55", "0g:11:22:33:44:55", "001122334455")],
            (["match", "abc", "a*", "-l", "x"], 2, "match: give either PATTERN or --list LIST\n"),
            (["match", "abc", "a*", "--all"], 2, "match: --all and --invert go with --list\n"),
            (["filter", "add", "absent"], 2, "filter add: cannot read absent: No such file or directory\n"),
            (["filter", "add", "."], 2, "filter add: . is a directory, not a filter file\n"),
            *[(["filter", "add", "-"], 2, "stdin:" + err, text) for text, err in (
                ("key 1\n", " id is missing"), ("id 1\nkey 2\nid 3\n", "3: id given twice"),
                ("id\n", "1: id needs a value"), ("id 1 2\n", "1: id takes one value"),
                ("id 0x100000000\n", "1: id must be from 0 to 4294967295, got '0x100000000'"),
                ("id 1\nno\x1b[2J x\n", "2: unknown field 'no\\x1b[2J' (id, key, rule)"),  # no raw bytes echoed
                ("rule abc\n", "1: rule bytes are pairs"), ("rule " + "0" * 112 + "\nrule 01\n", "2: rule has more than 56 bytes"))],
            (["match", "ABC", "a*"], 1, "no match\n"),
            (["match", "abc", "--list=x*,*c", "--all"], 1, "no match\n"),
            (["match", "abc", "-l", "a*,*c", "-a"], 0, "match\n"),
            (["match", "a\"\\\n\t\x01\udce9\x7f\u00e9", "--json", "a*"], 0,  # UTF-8 kept, a stray byte replaced
             {"text": "a\"\\\n\t\x01\ufffd\x7f\u00e9", "pattern": "a*", "ignore_case": False, "match": True}),
            (["match", "Abc", "-l", "a*", "-a", "-v", "-i", "--json"], 1,
             {"text": "Abc", "list": "a*", "all": True, "invert": True, "ignore_case": True, "match": False}),
            (["pidfile", "p1", "--json"], 0, {"path": "p1", "pid": 417}),
            (["pidfile", "p2"], 3, "pidfile: no valid pid in p2 (Unexpected character in pid file p2: [x\\n1])\n"),
            (["pidfile", "p3"], 3, "pidfile: the number in p3 (99999999999) is too large for a pid\n"),
        ])

class Device(Base):
    def test_against_the_module_stand_in(self):
        write("a", "id 7\nkey 0x0a000001\nrule c0 a8 00 ff 00\n")
        b = ["%02x" % (i * 7 + 1 & 255) for i in range(56)]  # given over two lines, shown on four
        wide = "id 1\nkey 5\nrule %s\nrule %s\n" % ("".join(b[:20]), " ".join(b[20:]))
        shown = "id    1\nkey   0x00000005\n" + "".join("rule  %s\n" % " ".join(b[i:i + 16]) for i in (0, 16, 32, 48))
        self.check([  # in order, against one module state
            (["filter", "add", "a"], 0, "added filter 7 (key 0x0a000001)\n"),
            (["filter", "add", "-"], 0, "added filter 4294967295 (key 0xffffffff)\n",
             "# any layout\n  key\t0xffffffff # all\n\nid 4294967295\r\n"),
            (["filter", "add", "a"], 3, "filter add: the module refused filter 7: File exists (sys filter add ioctl"),
            (["filter", "list"], 0, "        ID  KEY         RULE\n         7  0x0a000001  c0a800ff\n"
                                    "4294967295  0xffffffff  -\n"),
            (["filter", "list", "--json"], 0, {"count": 2, "filters": [{"id": 7, "key": 167772161, "rule": "c0a800ff"},
                {"id": 2**32 - 1, "key": 2**32 - 1, "rule": ""}]}),
            (["filter", "get", "167772161"], 0, GET7),
            (["filter", "del", "0x7"], 0, "deleted filter 7\n"),
            (["filter", "del", "7"], 3, "filter del: the module did not delete filter 7: No such file or directory"),
            (["filter", "get", "0X0A000001"], 3, "filter get: no filter with key 0x0a000001 (sys filter get"),
            (["filter", "add", "-"], 0, "added filter 7 (key 0x0a000001)\n", GET7),
            (["filter", "del", "4294967295"], 0, "deleted filter 4294967295\n"),
            (["filter", "add", "-"], 0, "added filter 1 (key 0x00000005)\n", wide),
            (["filter", "get", "5"], 0, shown),
            (["filter", "count", "--json"], 0, {"count": 2}),
            (["client", "count", "3", "--json"], 0, {"selector": 3, "count": 0}),
            (["client", "get", "0A-1b-2c-3d-4e-5F"], 3, "client get: no client 0a:1b:2c:3d:4e:5f"),
            *[(c.split(), 0, re.compile(r"\A[a-z ]+\n\Z"))
              for c in ("swdog enable", "swdog set", "swdog disable", "hwdog activate", "hwdog deactivate")],
            (["bbox", "start"], 0, "black box update started\n"),
            (["bbox", "state", "-n", "6", "--json"], 0,
             {"record": "state", "bytes": ("00000001" if OPTS.order.startswith("BIG") else "01000000") + "0000"}),
            (["bbox", "stop"], 0, "black box update stopped\n"),
            (["bbox", "state"], 0, "".join("%04x %s\n" % (at, " 00" * 16) for at in range(0, 64, 16))),
            (["bbox", "info", "--bytes", "20"], 0, re.compile(r"\A0000 ( [\da-f]{2}){16}\n0010 ( [\da-f]{2}){4}\n\Z")),
            # the stand-in seeded from the shell
            (["module", "client", "add", "0a:1b:2c:3d:4e:5f", "--vlan", "12", "--auth", "2"], 0,
             "client 0a:1b:2c:3d:4e:5f put in the table\n"),
            (["client", "get", "0a:1b:2c:3d:4e:5f"], 0, re.compile(r"\Amac +0a:1b:2c:3d:4e:5f\nvlan +12\nauth +refused")),
            (["module", "client", "del", "0a:1b:2c:3d:4e:5f"], 0, "client 0a:1b:2c:3d:4e:5f removed\n"),
            (["module", "client", "del", "0a:1b:2c:3d:4e:5f"], 3, "module client del: client del failed: No such"),
            (["module", "bbox", "-"], 0, "black-box data set (4 bytes)\n", "ABCD"),
            (["bbox", "data", "-n", "8", "--json"], 0,
             {"record": "data", "bytes": ("00000004" if OPTS.order.startswith("BIG") else "04000000") + "41424344"}),
            (["module", "bbox", "-"], 2, "module bbox: 509 bytes, at most 508 fit the black box", "x" * 509),
            (["module", "reset"], 0, "every table of the stand-in emptied\n"),
            (["module", "status"], 0, re.compile(r"\Astate +%s/kstate\nusable +yes\n(.*\n)*clients +0\n" % re.escape(SCRATCH))),
        ], device=True)
        # A stand-in whose state others could reach says so, and no module at all says that.
        os.mkdir(os.path.join(SCRATCH, "open")), os.chmod(os.path.join(SCRATCH, "open"), 0o777)
        self.check([(["filter", "count"], 3, "filter count: cannot open /dev/tq_sys: the kernel-module stand-in is "
                     "loaded, but its state is unusable: the state directory %s/open has mode 777" % SCRATCH),
                    (["module", "status"], 3, "module status: the state")], device=True, state=SCRATCH + "/open")
        self.check([(["module", "reset"], 3, "module reset: the kernel-module stand-in is not loaded")])


@unittest.skipUnless(SANDBOXED, "needs private namespaces (root)")
class FixedPaths(Base):
    def test_status_and_ps(self):
        rc, out, err = run("status", "/proc")  # this kernel's meminfo; /tmp an overlay
        self.assertEqual((rc, err), (0, ""), out)
        self.assertRegex(out, r"\Amemory \(KiB\)\n  MemTotal +\d+\n  MemFree +\d+\n  MemAvailable +\d+\n  Buffers +\d+\n"
                              r"  note: lines 1 to 4 of this kernel's .*\n.*\n  note: /tmp is overlay, not a tmpfs.*\n\n"
                              r"file systems \(KiB\)\n  PATH +TOTAL +FREE +USED\n  / +\d+ +\d+ +\d+\.\d %\n  /tmp +\d+ +\d+ +"
                              r"\d+\.\d %\n  /proc +0 +0 +-\n\ncpu +\d{1,3}\.\d{3} %\nready  no \(/tmp/pm_cli_ready absent\)\n")
        write("meminfo", "MemTotal: 9 kB\nMemFree: 1 kB\nBuffers: 2 kB\nCached: 3 kB\n")  # the device's order
        subprocess.run(["mount", "--bind", os.path.join(SCRATCH, "meminfo"), "/proc/meminfo"], check=True)
        write("/tmp/pm_cli_ready", "")
        rc, out, err = run("status", "/no/such", "--json")
        subprocess.run(["umount", "/proc/meminfo"], check=True)
        doc = json.loads(out)
        self.assertEqual((rc, doc["memory"], doc["ready"], doc["filesystems"][2], doc["problems"][0][:33]),
                         (3, {"figures": [{"label": l, "kb": k} for l, k in (("MemTotal", 9), ("MemFree", 1), ("Buffers", 2),
                          ("Cached", 3))], "device_order": True, "tmp_type": "overlay", "tmpfs_used_kb": None,
                          "available_kb": None}, True, {"path": "/no/such", "total_kb": None, "free_kb": None},
                          "filesystems: cannot read /no/such"))
        # One row per name, the processes of each counted, a name with a blank whole.
        os.symlink("/bin/sleep", os.path.join(SCRATCH, "my daemon"))
        sleepers = [subprocess.Popen([p, "30"]) for p in ("sleep", "sleep", os.path.join(SCRATCH, "my daemon"))]
        rc, out, err = run("ps")
        [p.kill() for p in sleepers]
        self.check_processes(out)
        [self.assertRegex(out, r"\n +\d+  %s +%d " % w) for w in (("sleep", 2), ("my daemon", 1))]

    def test_port_monitor_and_no_device(self):
        with socket.create_server(("", 4711)):  # in a network namespace of its own
            self.check([(["port", "4711"], 1, "port 4711: in use\n"),
                        (["port", "0x1268", "--json"], 0, {"port": 4712, "in_use": False})])
        self.check([(["monitor"], 3, "monitor: /etc/monitor.conf is missing (the library reads that as an all-zero"),
                    (["hwdog", "activate"], 3, "hwdog activate: the board driver refused (-1) (open device /dev/board0 "
                                               "failed.): /dev/board0 is missing; is the board driver")])
        write("/etc/monitor.conf", struct.pack((">" if OPTS.order.startswith("BIG") else "<") + "II96x32s4I392x",
                                               0x7e57c0f9, 3, b"li\nk\0zz", 1, 60, 3, 4))  # only group 2 set
        write("/etc/monitor_status.conf", "1 2\n3 4\n")
        self.check([
            (["ps", "--watched", "--json"], 0, {"processes": [], "survey_complete": True}),
            (["monitor", "2", "--json"], 0, {"magic": 0x7e57c0f9, "version": 3, "groups": [{"group": 2, "name": "li\nk",
                "enabled": 1, "interval_s": 60, "threshold": 3, "action": 4, "status": None}]}),
            (["monitor"], 0, re.compile(r"\A(.*\n){4}  GROUP  NAME   ENABLED  INTERVAL  THRESHOLD  ACTION  STATUS\n"
                                        r"      0  -      no            0 s          0       0  1 2\n.*\n"
                                        r"      2  li\\nk  yes          60 s          3       4  -\n")),
            (["filter", "list"], 3, "filter list: cannot open /dev/tq_sys: the kernel module is not loaded "
                                    "(on a workstation preload its stand-in: LD_PRELOAD="),
        ])

    def test_top(self):
        rc, out, err = run("top", "--iterations", "2")  # no terminal: plain snapshots
        self.assertEqual((rc, err, out.count("tqsys top:"), "\033" in out), (0, "", 2, False))
        for key in (b"q", b"\x03"):  # in a terminal, left by q or Ctrl-C, which is given back as it was
            pid, fd = pty.fork()
            if pid == 0:
                cmd = shlex.split(OPTS.emulator) + [OPTS.tqsys, "top"]
                os.execvp("sh", ["sh", "-c", 'trap "" INT; "$@"; echo "status $?"; stty -a', "sh", *cmd])
            out, sent = b"", False
            while select.select([fd], [], [], 20)[0]:
                try:
                    out += os.read(fd, 65536)
                except OSError:  # the terminal closed
                    break
                if b"largest processes" in out and not sent:
                    os.write(fd, key), (sent := True)
            os.waitpid(pid, 0)
            text = out.decode(errors="replace")
            self.assertTrue("\033[2J" in text and "status 0" in text, text[-400:])
            self.assertRegex(text, r"(?<!-)icanon\b(.|\n)*(?<!-)echo\b")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    [ap.add_argument(opt, default="") for opt in ("--tqsys", "--module", "--emulator", "--order")]
    OPTS, rest = ap.parse_known_args()
    namespaces = ["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc"]
    if not SANDBOXED and os.geteuid() == 0 and subprocess.run(namespaces + ["true"]).returncode == 0:
        os.environ["TOOL_TEST_SANDBOX"] = "1"
        os.execvp("unshare", namespaces + [sys.executable, *sys.argv])
    if SANDBOXED:
        enter_sandbox()
    with tempfile.TemporaryDirectory(dir=".") as SCRATCH:  # private to this run
        SCRATCH = os.path.abspath(SCRATCH)
        ok = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result.wasSuccessful()
    sys.exit(not ok)
