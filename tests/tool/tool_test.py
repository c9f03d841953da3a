#!/usr/bin/env python3
# Runs the built tqsys: exit statuses, the one error line, text and JSON.
# usage: tool_test.py --tqsys PATH --module PATH [--emulator CMD]
#                     [--order BIG_ENDIAN|LITTLE_ENDIAN] [unittest args...]
import argparse, contextlib, fcntl, json, os, pty, re, select, shlex, shutil, signal, socket, struct, subprocess, sys, \
    tempfile, pathlib, termios, threading, time, unittest, urllib.request

SANDBOXED = os.environ.get("TOOL_TEST_SANDBOX") == "1"
GET7 = "id    7\nkey   0x0a000001\nrule  c0 a8 00 ff\n"  # a filter as `filter get` prints it


def command():  # the emulator found now, so a test may change PATH
    return [shutil.which(w) or w for w in shlex.split(OPTS.emulator)[:1]] + shlex.split(OPTS.emulator)[1:] + [OPTS.tqsys]


def run(*args, stdin=None, device=False, state=None, env=(), out=subprocess.PIPE):
    env, cmd = dict(os.environ, TQSYS_STATE_DIR=state or SCRATCH + "/kstate", **dict(env)), command()
    if device:  # ld.so splits LD_PRELOAD at blanks: a relative path has none
        env.update(ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0", LD_PRELOAD=os.path.relpath(OPTS.module))
        cmd[-1:-1] = ["-E", "LD_PRELOAD=" + env.pop("LD_PRELOAD")] if len(cmd) > 1 else []  # not for the emulator
    p = subprocess.run(cmd + list(args), env=env, input=stdin, stdout=out, stderr=subprocess.PIPE, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def word(v):  # a 32-bit word of the module's records, in hex, in the host's order
    return struct.pack((">" if OPTS.order.startswith("BIG") else "<") + "I", v).hex()


def write(path, data):
    pathlib.Path(path).write_bytes(data if isinstance(data, bytes) else data.encode())


class Base(unittest.TestCase):
    # Rows of args, exit status, then the output (text, JSON or a pattern)
    # or the start of the one error line, and the input if any.
    def check(self, cases, **kw):
        for args, rc, want, *stdin in cases:
            with self.subTest(args=args):
                got, out, err = run(*args, stdin=(stdin or [None])[0], **kw)
                if rc >= 2:  # nothing on stdout, one line on stderr that starts so
                    self.assertEqual((got, out, err.count("\n"), err.startswith("tqsys: " + want)), (rc, "", 1, True), err)
                elif isinstance(want, re.Pattern):
                    self.assertEqual((got, err, bool(want.search(out))), (rc, "", True), (out, want.pattern))
                else:
                    self.assertEqual((got, err, json.loads(out) if isinstance(want, dict) else out), (rc, "", want))


class CommandLine(Base):
    def test_cases(self):
        [write(n, t) for n, t in (("p1", "417\n"), ("p2", "x\n1"), ("p3", "99999999999\n"), ("p4", "00000000000017"))]
        os.mkfifo("fifo")  # read once: a second open would wait for ever
        threading.Thread(target=lambda: open("fifo", "w").write("42\n"), daemon=True).start()
        words = ["status", "ps", "top", "metrics", "match", "pidfile", "monitor", "port", "filter add", "client get",
                 "bbox data", "trace show", "reboot clear", "module client add", "module bbox"]
        self.check([
            (["--help"], 0, re.compile(r"\A.+\nUsage: tqsys \[OPTIONS\] SUBCOMMAND\n(.*\n)*exit status:\n(  \S+ +\S.*\n){5}")),
            (["help"], 0, re.compile(r"\A.+\n\ncommands:\n(  \w+( \w+)* {2,}\S.*\n){36}\n(.*\n){3}exit status:")),
            (["module", "--help"], 0, re.compile(r"Subcommands:\n(  \w+ +\S.*\n){6}\n\Z")),  # each described
            *[row for w in words for row in ((w.split() + ["--help"], 0, run("help", *w.split())[1]),  # the same page both ways
              (["help", *w.split()], 0, re.compile(r"\A.+\nUsage: tqsys %s \[OPTIONS\](?!(.|\n)*exit status)" % w)))],
            (["top", "--help"], 0, re.compile(r"\n  -n,--iterations UINT ")),
            *[([v], 0, re.compile(r"\Atqsys \d+\.\d+\.\d+\n\Z")) for v in ("-V", "--version")],
            (["help", "filter", "nope"], 2, "help: no command 'nope' (try 'tqsys help')\n"),
            (["bogus"], 2, "unknown command 'bogus'; one of status, ps, top, metrics, match, pidfile, monitor, port,"),
            (["filter", "purge"], 2, "filter: unknown command 'purge'; one of count, list, get, add, del "
                                     "(try 'tqsys filter --help')\n"),
            (["client", "list"], 2, "client: unknown command 'list'; one of count, get "),  # its words are the module's
            (["filter", "del"], 2, "filter del: "), ([], 2, ""),
            (["filter", "del", "--", "-1"], 2, "filter del: ID must be a number, got '-1'\n"),  # not an option
            (["--json", "filter", "del", "1"], 2, "filter del: --json goes with a command that shows something\n"),
            *[(["filter", "get", w], 2, "filter get: KEY must") for w in ("", "+1", " 1", "1a", "0x1g", "4294967296")],
            (["bbox", "info", "-n", "65537"], 2, "bbox info: --bytes must be from 1 to 65536, got '65537'\n"),
            *[(["client", "get", w], 2, "client get: MAC must look like aa:bb:cc:dd:ee:ff, got '%s'\n" % w)
              for w in ("00:11:22:33:44:5", "00:11-22:33:44:55", "0g:11:22:33:44:55", "001122334455")],
            (["match", "abc", "a*", "-l", "x"], 2, "match: give either PATTERN or --list LIST\n"),
            (["match", "abc", "a*", "--all"], 2, "match: --all and --invert go with --list\n"),
            (["status", "/no/such"], 2, "status: cannot read /no/such: No such file or directory\n"),
            (["filter", "add", "absent"], 2, "filter add: cannot read absent: No such file or directory\n"),
            (["filter", "add", "."], 2, "filter add: cannot read .: Is a directory\n"),
            (["filter", "add", "-"], 2, "filter add: stdin is larger than 16384 bytes, the most a filter file may hold\n",
             "#" * 16385),
            *[(["filter", "add", "-"], 2, "stdin:" + err, text) for text, err in (
                ("key 1\n", " id is missing"), ("id 1\nkey 2\nid 3\n", "3: id given twice"),
                ("id\n", "1: id needs a value"), ("id 1 2\n", "1: id takes one value"),
                ("id 0x100000000\n", "1: id must be from 0 to 4294967295, got '0x100000000'"),
                ("id 1\nno\x1b[2J\u009b x\n", "2: unknown field 'no\\x1b[2J\\xc2\\x9b' (id, key, rule)"),  # no raw controls
                ("rule abc\n", "1: rule bytes are pairs"), ("rule " + "0" * 112 + "\nrule 01\n", "2: rule has more than 56 bytes"))],
            (["match", "ABC", "a*"], 1, "no match\n"), (["match", "abc", "--list=x*,*c", "--all"], 1, "no match\n"),
            (["match", "abc", "-l", "a*,*c", "-a"], 0, "match\n"),
            (["match", "a\"\\\n\t\x01\udce9\x7f\u00e9\u0085", "--json", "a*"], 0,  # UTF-8 kept, a stray byte replaced
             {"text": "a\"\\\n\t\x01\ufffd\x7f\u00e9\u0085", "pattern": "a*", "ignore_case": False, "match": True}),
            (["-j", "match", "Abc", "-l", "a*", "-a", "-v", "-i"], 1,
             {"text": "Abc", "list": "a*", "all": True, "invert": True, "ignore_case": True, "match": False}),
            (["pidfile", "p1", "-j"], 0, {"path": "p1", "pid": 417}),
            (["pidfile", "p4"], 0, "17\n"), (["pidfile", "fifo"], 0, "42\n"),
            (["pidfile", ""], 2, "pidfile: PATH is empty\n"), (["pidfile", "p2"], 2, "pidfile: no pid in p2: [x\\n1]\n"),
            (["pidfile", "p3"], 2, "pidfile: the number in p3 (99999999999) is past 2147483647, the largest pid\n"),
            (["port", "80"], 3, "port: netstat cannot be run (not on PATH); without it the library answers free whatever"),
        ], env={"PATH": SCRATCH})
        self.assertNotIn("\u009b", run("match", "\u009b", "*", "--json")[1])  # escaped in the document, not raw

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
            (["filter", "get", "167772161"], 0, GET7), (["filter", "del", "0x7"], 0, "deleted filter 7\n"),
            (["filter", "del", "7"], 3, "filter del: the module did not delete filter 7: No such file or directory"),
            (["filter", "get", "0X0A000001"], 3, "filter get: no filter with key 0x0a000001 (sys filter get"),
            (["filter", "add", "-"], 0, "added filter 7 (key 0x0a000001)\n", GET7),
            (["filter", "del", "4294967295"], 0, "deleted filter 4294967295\n"),
            (["filter", "add", "-"], 0, "added filter 1 (key 0x00000005)\n", wide), (["filter", "get", "5"], 0, shown),
            (["filter", "count", "--json"], 0, {"count": 2}),
            (["client", "count", "3", "--json"], 0, {"selector": 3, "count": 0}),
            (["client", "get", "0A-1b-2c-3d-4e-5F"], 3, "client get: no client 0a:1b:2c:3d:4e:5f"),
            *[(c.split(), 0, re.compile(r"\A[a-z ]+\n\Z"))
              for c in ("swdog enable", "swdog set", "swdog disable", "hwdog activate", "hwdog deactivate")],
            (["bbox", "start"], 0, "black box update started\n"),
            (["bbox", "state", "-n", "6", "--json"], 0, {"record": "bbox state", "bytes": word(1) + "0000"}),
            (["bbox", "stop"], 0, "black box update stopped\n"),
            (["bbox", "state"], 0, "00000000 " + " 00" * 8 + " " + " 00" * 8 + "  |................|\n00000010\n"),
            (["bbox", "info", "--bytes", "20"], 0, re.compile(r"\A00000000 ( [\da-f]{2}){8} ( [\da-f]{2}){8}  \|.{16}\|\n"
                                                             r"00000010 ( [\da-f]{2}){4} {39}\|.{4}\|\n00000014\n\Z")),
            (["module", "trace", "boot", "failed"], 0, "kernel trace set\n"),
            (["trace", "show", "-j"], 0, {"record": "trace show", "bytes": word(12) + b"boot failed\n".hex()}),
            (["trace", "clear"], 0, "kernel trace cleared\n"),
            (["-j", "trace", "show"], 0, {"record": "trace show", "bytes": "00" * 16}),
            (["module", "trace", "x" * 507], 2, "module trace: the text is 507 bytes, at most 506 fit the kernel trace\n"),
            (["module", "reboot", "7", "n" * 48], 2, "module reboot: the note is 48 bytes, at most 47 fit the reboot record\n"),
            (["module", "reboot", "7", "note"], 0, "reboot record stored\n"),
            (["reboot", "show", "-n", "12", "-j"], 0, {"record": "reboot show", "bytes": word(7) + word(1) + word(1)}),
            (["reboot", "clear"], 0, "reboot record cleared\n"),
            (["reboot", "show", "-j"], 0, {"record": "reboot show", "bytes": "00" * 16}),
            # the stand-in seeded from the shell
            (["module", "client", "add", "0a:1b:2c:3d:4e:5f", "--vlan", "12", "--auth", "2"], 0,
             "client 0a:1b:2c:3d:4e:5f put in the table\n"),
            (["client", "get", "0a:1b:2c:3d:4e:5f"], 0, re.compile(r"\Amac +0a:1b:2c:3d:4e:5f\nvlan +12\nauth +refused")),
            (["module", "client", "del", "0a:1b:2c:3d:4e:5f"], 0, "client 0a:1b:2c:3d:4e:5f removed\n"),
            (["module", "client", "del", "0a:1b:2c:3d:4e:5f"], 3, "module client del: client del failed: No such"),
            (["module", "bbox", "-"], 0, "black-box data set (4 bytes)\n", "ABCD"),
            (["bbox", "data"], 0, re.compile(r"\A00000000  (04 00 00 00|00 00 00 04) 41 42 43 44 ( 00){8}  "
                                             r"\|\.\.\.\.ABCD\.{8}\|\n00000010\n\Z")),
            (["module", "bbox", "-"], 2, "module bbox: stdin is larger than 508 bytes, the most the black box holds\n",
             "x" * 509),
            (["module", "reset"], 0, "every table of the stand-in emptied\n"),
            (["module", "status"], 0, re.compile(r"\Astate +%s/kstate\nusable +yes\n(.*\n)*clients +0\n" % re.escape(SCRATCH))),
        ], device=True)
        # A stand-in whose state others could reach says so, and no module at all says that.
        os.mkdir("open"), os.chmod("open", 0o777)
        self.check([(["filter", "count"], 3, "filter count: cannot open /dev/tq_sys: the kernel-module stand-in is "
                     "loaded, but its state is unusable: the state directory %s/open has mode 777" % SCRATCH),
                    (["module", "status"], 3, "module status: the state")], device=True, state=SCRATCH + "/open")
        self.check([(["module", "reset"], 3, "module reset: the kernel-module stand-in is not loaded")])


@unittest.skipUnless(SANDBOXED, "needs private namespaces (root)")
class FixedPaths(Base):
    def test_status_ps_metrics(self):
        self.check([(["status", "/proc"], 0, re.compile(  # this kernel's meminfo; /tmp an overlay
            r"\Amemory \(KiB\)\n  MemTotal +\d+\n  MemFree +\d+\n  MemAvailable +\d+\n  Buffers +\d+\n"
            r"  note: lines 1 to 4 of this kernel's .*\n.*\n  note: /tmp is overlay, not a tmpfs.*\n\n"
            r"file systems \(KiB\)\n  PATH +TOTAL +FREE +USED\n  / +\d+ +\d+ +\d+\.\d %\n  /tmp +\d+ +\d+ +"
            r"\d+\.\d %\n  /proc +0 +0 +-\n\ncpu +\d{1,3}\.\d{3} %\nready  no \(/tmp/pm_cli_ready absent\)\n"))])
        write("meminfo", "MemTotal: 9 kB\nMemFree: 1 kB\nBuffers: 2 kB\nCached: 3 kB\n")  # the device's order
        subprocess.run(["mount", "--bind", "meminfo", "/proc/meminfo"], check=True)
        write("/tmp/pm_cli_ready", "")
        rc, out, err = run("-j", "status")
        subprocess.run(["umount", "/proc/meminfo"], check=True)
        self.assertEqual((rc, json.loads(out)["memory"], json.loads(out)["ready"]), (0, {"figures": [{"label": l, "kb": k}
                         for l, k in (("MemTotal", 9), ("MemFree", 1), ("Buffers", 2), ("Cached", 3))], "device_order": True,
                         "tmp_type": "overlay", "tmpfs_used_kb": None, "available_kb": None}, True))
        # One row per name, the processes of each counted, a name with a blank whole, control bytes never raw.
        [os.symlink(b"/bin/sleep", n) for n in (b"my daemon", b'q"\xc2\x9b\xff')]
        sleepers = [subprocess.Popen([p, "30"]) for p in ("sleep", "sleep", "./my daemon", b'./q"\xc2\x9b\xff')]
        while any(pathlib.Path("/proc/%d/comm" % p.pid).read_bytes().startswith(b"python") for p in sleepers):
            time.sleep(0.01)  # Popen returns once exec closed its pipe, a moment before the kernel names the process
        head, *rows, note = (out := run("ps")[1]).splitlines()
        self.assertRegex(head, r"^ *PID  NAME +PROCS +RSS +SHARED +PRIVATE +TEXT +DATA +STACK +HEAP  WATCH$")
        # right-aligned: each pid ends where its title does
        [self.assertRegex(row[:head.index("PID") + 5] + row[-5:], r"^ *\d+  .*  (yes|no|-)$") for row in rows or [""]]
        [self.assertRegex(out, r"\n +\d+  %s +%d " % w) for w in (("sleep", 2), ("my daemon", 1), (r'q"\\xc2\\x9b\\xff', 1))]
        self.assertIn({"q\"\x9b\ufffd"}, [{p["name"]} for p in json.loads(run("ps", "-j")[1])["processes"]])
        os.mkdir(prom := os.path.join(SCRATCH, "prom"))
        self.assertEqual(run("metrics", prom + "/tqsys.prom"), (0, "", ""))
        [p.kill() or p.wait() for p in sleepers]
        self.assertEqual(sorted(os.listdir(prom)), ["tqsys.prom"])  # the temporary file renamed
        self.assertRegex(pathlib.Path(prom, "tqsys.prom").read_text(), r'\A# HELP tqsys_memory_bytes .*\n# TYPE '
                         r'tqsys_memory_bytes gauge\ntqsys_memory_bytes\{label="MemTotal"\} \d+\n(.*\n)*tqsys_process_'
                         r'resident_bytes\{pid="\d+",name="q\\"' '\u009b\ufffd",watched="false"\} \\d+\\n')
        if not shutil.which("prometheus-node-exporter"):
            self.skipTest("prometheus-node-exporter is missing (scripts/deps.sh installs it)")
        # The port is free: the network namespace is ours.
        exporter = subprocess.Popen(["prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=" + prom, "--web.listen-address=127.0.0.1:9100"], stderr=subprocess.DEVNULL)
        for _ in range(300):  # until it listens; the namespace ends it should this fail
            with contextlib.suppress(OSError):
                page = urllib.request.build_opener(urllib.request.ProxyHandler({})).open(
                    "http://127.0.0.1:9100/metrics", timeout=10).read().decode()
                break
            time.sleep(0.1)
        exporter.kill(), exporter.wait()
        self.assertRegex(page, r'\nnode_textfile_scrape_error 0\n(.*\n)*tqsys_cpu_busy_ratio [\d.]+\n(.*\n)*'
                               r'tqsys_filesystem_size_bytes\{path="/tmp"\} [\d.e+]+\n(.*\n)*tqsys_ready 1\n')

    def test_port_monitor_and_no_device(self):
        with socket.create_server(("", 4711)):  # in a network namespace of its own
            self.check([(["port", "4711"], 1, "port 4711: in use\n"),
                        (["port", "0x1268", "--json"], 0, {"port": 4712, "in_use": False})])
        self.check([(["monitor"], 3, "monitor: /etc/monitor.conf is missing (the library reads that as an all-zero"),
                    (["hwdog", "activate"], 3, "hwdog activate: the board driver refused (-1) (open device /dev/board0 "
                                               "failed.): /dev/board0 is missing; is the board driver"),
                    (["filter", "add", "/dev/zero"], 2, "filter add: /dev/zero is larger than 16384 bytes")])
        write("/etc/monitor.conf", struct.pack(">II96x32s4I392x", 0x7e57c0f9, 3, b"li\nk\0zz", 1, 60, 3, 4))  # the device's order
        write("/etc/monitor_status.conf", "1 2\n3 4\n")
        little = "" if OPTS.order.startswith("BIG") else "  note: words read big-endian, as the device wrote them; this host is little-endian\n"
        self.check([
            (["ps", "--watched", "--json"], 0, {"processes": [], "survey_complete": True}),
            (["monitor", "2", "--json"], 0, {"magic": 0x7e57c0f9, "version": 3, "groups": [{"group": 2, "name": "li\nk",
                "enabled": 1, "interval_s": 60, "threshold": 3, "action": 4, "status": None}]}),
            (["monitor"], 0, re.compile(r"\A(.*\n){3}%s\n  GROUP  NAME   ENABLED  INTERVAL  THRESHOLD  ACTION  STATUS\n"
                                        r"      0  -      no            0 s          0       0  1 2\n.*\n"
                                        r"      2  li\\nk  yes          60 s          3       4  -\n" % re.escape(little))),
            (["filter", "list"], 3, "filter list: cannot open /dev/tq_sys: the kernel module is not loaded "
                                    "(on a workstation preload its stand-in: LD_PRELOAD="),
        ])
        with open("/dev/full", "w") as full:
            self.assertEqual(run("ps", "-j", out=full)[::2], (1, "tqsys: ps: write error: No space left on device\n"))

    def test_top(self):
        rc, out, err = run("top", "--iterations", "2")  # no terminal: time-stamped snapshots, no hint
        self.assertEqual((rc, err, len(re.findall(r"^tqsys top  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n", out, re.M)),
                          "\033" in out or "q leaves" in out), (0, "", 2, False))
        for sig in (signal.SIGINT, signal.SIGTERM):  # a snapshot run cut short
            with subprocess.Popen(command() + ["top", "-n", "9"], stdout=subprocess.PIPE) as p:
                p.stdout.readline(), p.send_signal(sig)
                self.assertEqual(p.wait(60), 128 + sig)
        script = 'set -m; "$@"; s=$?; echo "status $s"; stty -a; [ $s != 148 ] || { fg; echo "status $?"; stty -a; }'
        for term, acts, want in (("xterm", ["resize", None, None, b"q"], ["0"]), ("xterm", [b"\x03"], ["0"]),
                                 ("xterm", [b"\x1a", b"q"], ["148", "0"]), ("dumb", [b"q"], ["0"]),
                                 *[("xterm", [s], [str(128 + s)]) for s in (signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1)]):
            pid, fd = pty.fork()
            if pid == 0:  # an 80x12 terminal, jobs under control as in a login shell
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("4H", 12, 80, 0, 0))
                os.execvpe("bash", ["bash", "-c", script, "sh", *command(), "top"], dict(os.environ, TERM=term))
            out, done, end = b"", 0, time.time() + 120
            while time.time() < end and select.select([fd], [], [], 60)[0]:
                try:
                    out += os.read(fd, 65536)
                except OSError:  # the terminal closed
                    break
                if done < len(acts) and out.count(b"(q leaves)") > done:  # one act per frame (fg echoes "tqsys top")
                    act, done = acts[done], done + 1
                    if act == "resize":
                        fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("4H", 30, 50, 0, 0))
                    elif act:
                        os.write(fd, act) if isinstance(act, bytes) else os.killpg(os.tcgetpgrp(fd), act)
            os.kill(pid, signal.SIGKILL) if time.time() > end else None
            os.waitpid(pid, 0)
            text = out.decode(errors="replace").replace("\r", "")
            self.assertEqual(re.findall(r"status (\d+)", text), want, text[-400:])
            [self.assertRegex(t, r"(?<!-)icanon\b(.|\n)*(?<!-)echo\b") for t in text.split("status ")[1:]]  # modes back
            self.assertEqual(("\033" in text, text.rfind("\033[?25h") > text.rfind("\033[?25l")), (term != "dumb",) * 2)
            frames = [f.split("\033[?25h")[0].split("\n") for f in text.split("\033[H\033[2J")[1:]]
            for f, rows in zip(frames, [12, 30, 30, 30]):  # the header never scrolls away, no line wraps
                self.assertTrue(f[0].startswith("tqsys top") and len(f) < rows and max(map(len, f)) <= 80, f)
            self.assertTrue(len(frames[-1]) > 11 and max(map(len, frames[-1])) <= 50 if acts[0] == "resize" else 1, frames)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    [ap.add_argument(opt, default="") for opt in ("--tqsys", "--module", "--emulator", "--order")]
    OPTS, rest = ap.parse_known_args()
    namespaces = ["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc"]
    if not SANDBOXED and os.geteuid() == 0 and subprocess.run(namespaces + ["true"]).returncode == 0:
        os.execvpe("unshare", namespaces + [sys.executable, *sys.argv], dict(os.environ, TOOL_TEST_SANDBOX="1"))
    # In fresh mount, network and pid namespaces: /tmp, /etc and /dev become overlays
    # whose writes stay in memory, so the fixed paths tqsys reads are ours.
    if SANDBOXED:
        mount = lambda fs, where, *opts: subprocess.run(["mount", "-t", fs, fs, where, *opts], check=True)
        mount("tmpfs", "/dev/shm")
        for d in ("/tmp", "/etc", "/dev"):
            os.makedirs("/dev/shm%s/u" % d), os.makedirs("/dev/shm%s/w" % d)
            mount("overlay", d, "-o", "lowerdir={0},upperdir=/dev/shm{0}/u,workdir=/dev/shm{0}/w".format(d))
        mount("tmpfs", "/dev/shm")  # the overlay of /dev hid the first one
        mount("devpts", "/dev/pts", "-o", "newinstance,ptmxmode=0666")  # terminals of our own, for top
        subprocess.run(["mount", "--bind", "/dev/pts/ptmx", "/dev/ptmx"], check=True)
        fcntl.ioctl(socket.socket(), 0x8914, struct.pack("16sH22x", b"lo", 0x41))  # SIOCSIFFLAGS: loopback up
        subprocess.run(["rm", "-f", "/tmp/pm_cli_ready", "/dev/tq_sys", "/dev/board0"], check=True)
    # The scratch directory is the working directory of the tests and of every tqsys they run; by its
    # full path, so it lies in the overlay when the build is under /tmp.
    with tempfile.TemporaryDirectory(dir=os.getcwd()) as SCRATCH:  # private to this run, removed on exit
        os.chdir(SCRATCH)
        unittest.main(argv=[sys.argv[0], "-v", *rest])
