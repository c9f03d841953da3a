#!/usr/bin/env python3
"""Runs the built tqsys and checks exit statuses, output shape and JSON.

usage: tool_test.py --tqsys PATH --module PATH --scratch DIR
                    [--emulator CMD] [unittest args...]
"""
import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import unittest

OPTS = None


def run(*args, preload=False, state=None, stdin=None):
    env = dict(os.environ)
    cmd = shlex.split(OPTS.emulator) if OPTS.emulator else []
    if preload:
        env["TQSYS_STATE_DIR"] = state
        # The stand-in interposes open/ioctl; a sanitizer runtime that is
        # not first in the load order is fine for these runs.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        if cmd:
            cmd += ["-E", "LD_PRELOAD=" + OPTS.module]  # for the guest, not qemu
        else:
            env["LD_PRELOAD"] = OPTS.module
    p = subprocess.run(cmd + [OPTS.tqsys, *args], env=env, input=stdin,
                       capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def command_paths():
    rc, out, _ = run("--help")
    lines = out.split("commands:\n")[1].split("\n\n")[0].splitlines()
    return [re.split(r"\s{2,}", line.strip())[0] for line in lines]


class Base(unittest.TestCase):
    def assert_usage_error(self, *args, **kw):
        rc, out, err = run(*args, **kw)
        self.assertEqual(rc, 2, (args, out, err))
        self.assertEqual(out, "")
        self.assertEqual(len(err.splitlines()), 1, err)
        self.assertTrue(err.startswith("tqsys: "), err)
        return err

    def json_of(self, *args, ok=(0,), **kw):
        rc, out, err = run(*args, "--json", **kw)
        self.assertIn(rc, ok, (args, out, err))
        self.assertEqual(len(out.splitlines()), 1, out)
        return rc, json.loads(out)

    def scratch(self):
        d = os.path.join(OPTS.scratch, self.id().split(".", 1)[1])
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d


class CommandLine(Base):
    def test_overview_lists_commands_and_exit_statuses(self):
        rc, out, err = run("--help")
        self.assertEqual((rc, err), (0, ""))
        for code in "01234":
            self.assertRegex(out, r"\n  %s  \S" % code)
        self.assertIn("filter add", command_paths())

    def test_every_command_has_help(self):
        for path in command_paths():
            rc, out, err = run(*path.split(), "--help")
            self.assertEqual((rc, err), (0, ""), path)
            self.assertTrue(out.startswith("usage: tqsys " + path), out)

    def test_bad_input_is_one_line_and_status_2(self):
        cases = [
            ["bogus"],
            ["filter"],
            ["filter", "purge"],
            ["filter", "del"],
            ["filter", "del", "-1"],
            ["filter", "get", "4294967296"],
            ["client", "get", "00:11:22:33:44:zz"],
            ["client", "count", "0x1ffffffff"],
            ["port", "65536"],
            ["port", "0"],
            ["monitor", "8"],
            ["bbox", "info", "--bytes", "0"],
            ["status", "--verbose"],
            ["match", "abc"],
            ["match", "abc", "a*", "--list", "x"],
            ["match", "abc", "a*", "--all"],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assert_usage_error(*args)

    def test_device_absent_names_device_and_remedy(self):
        for args in (["filter", "list"], ["filter", "count"], ["swdog", "enable"],
                     ["client", "get", "00:11:22:33:44:55"], ["bbox", "start"]):
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, 3)
                self.assertEqual(out, "")
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertIn("/dev/tq_sys", err)
                self.assertIn("LD_PRELOAD", err)


class Status(Base):
    def test_status_shows_every_part(self):
        rc, out, err = run("status")
        self.assertEqual((rc, err), (0, ""), out)
        for heading in ("memory (KiB)", "file systems (KiB)", "largest processes (KiB)"):
            self.assertIn(heading + "\n", out)
        self.assertRegex(out, r"\ncpu +\d{1,3}\.\d{3} %\n")
        self.assertRegex(out, r"\nready +(yes|no) ")
        procs = out.split("largest processes (KiB)\n")[1].splitlines()
        self.assertRegex(procs[0], r"^ +PID +NAME +RSS .* WATCH$")
        rows = [l for l in procs[1:] if not l.startswith("  note:")]
        self.assertTrue(1 <= len(rows) <= 10, procs)
        # Right-aligned numbers: every PID ends where the title ends.
        end = procs[0].index("PID") + 3
        for row in rows:
            self.assertTrue(row[:end].strip().isdigit() and row[end] == " ", row)

    def test_status_json(self):
        _, doc = self.json_of("status", "/")
        self.assertEqual(doc["problems"], [])
        self.assertEqual(set(doc["memory"]), {"total_kb", "free_kb", "buffers_kb",
                                              "cached_kb", "tmpfs_used_kb",
                                              "available_kb"})
        self.assertEqual([f["path"] for f in doc["filesystems"]], ["/", "/tmp", "/"])
        cpu = doc["cpu"]
        self.assertTrue(0 <= cpu["percent"] <= 100 and 0 <= cpu["thousandths"] <= 999)
        self.assertEqual(cpu["text"], "%d.%03d" % (cpu["percent"], cpu["thousandths"]))
        self.assertIsInstance(doc["ready"], bool)
        rss = [p["rss_kb"] for p in doc["processes"]]
        self.assertEqual(rss, sorted(rss, reverse=True))
        self.assertLessEqual(len(rss), 10)

    def test_missing_path_is_reported_and_the_rest_shown(self):
        rc, doc = self.json_of("status", "/no/such/path", ok=(3,))
        self.assertEqual(len(doc["problems"]), 1)
        self.assertIn("/no/such/path", doc["problems"][0])
        self.assertEqual(len(doc["filesystems"]), 2)
        self.assertIsNotNone(doc["memory"])

    def test_ps_is_the_survey_largest_first(self):
        _, doc = self.json_of("ps")
        procs = doc["processes"]
        self.assertTrue(procs)
        rss = [p["rss_kb"] for p in procs]
        self.assertEqual(rss, sorted(rss, reverse=True))
        names = [p["name"] for p in procs]
        self.assertEqual(len(names), len(set(names)))  # one record per name
        _, watched = self.json_of("ps", "--watched")
        self.assertTrue(all(p["watched"] for p in watched["processes"]))
        rc, out, _ = run("ps")
        self.assertEqual(rc, 0)
        lines = out.splitlines()
        self.assertRegex(lines[0], r"^ +PID  NAME +RSS +SHARED +PRIVATE +TEXT +DATA +STACK +HEAP  WATCH$")
        for row in (l for l in lines[1:] if not l.startswith("note:")):
            self.assertRegex(row, r"^ *\d+  .* (yes|no|-)$")


class Commands(Base):
    def test_match_exit_status_like_grep(self):
        cases = [
            (["abc", "a*"], 0),
            (["abc", "a?"], 1),
            (["ABC", "a*"], 1),
            (["ABC", "a*", "-i"], 0),
            (["abc", "--list", "x*,*c"], 0),
            (["abc", "--list", "x*,*c", "--all"], 1),
            (["abc", "--list", "a*,*c", "--all"], 0),
            (["abc", "--list", "x*,y*", "--invert"], 0),
            (["abc", "--list", ""], 1),
            (["-", "--", "?"], 0),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                rc, out, err = run("match", *args)
                self.assertEqual((rc, err), (want, ""))
                self.assertEqual(out, "match\n" if want == 0 else "no match\n")
        _, doc = self.json_of("match", "abc", "-l", "a*", "-a", "-v", ok=(1,))
        self.assertEqual(doc, {"text": "abc", "list": "a*", "all": True, "invert": True,
                               "ignore_case": False, "match": False})

    def test_pidfile(self):
        d = self.scratch()
        cases = [("417\n", 0, "417\n"), ("007", 0, "7\n"), ("0\n", 3, ""), ("", 3, ""),
                 (" 12", 3, "")]
        for i, (content, want, out_want) in enumerate(cases):
            path = os.path.join(d, "p%d.pid" % i)
            with open(path, "w") as f:
                f.write(content)
            rc, out, err = run("pidfile", path)
            with self.subTest(content=content):
                self.assertEqual((rc, out), (want, out_want), err)
                if want:
                    self.assertEqual(len(err.splitlines()), 1, err)
        _, doc = self.json_of("pidfile", os.path.join(d, "p0.pid"))
        self.assertEqual(doc["pid"], 417)
        rc, _, err = run("pidfile", os.path.join(d, "absent.pid"))
        self.assertEqual(rc, 3)
        self.assertIn("absent.pid", err)

    def test_port_answer_matches_exit_status(self):
        for port in ("1", "65535"):
            rc, doc = self.json_of("port", port, ok=(0, 1))
            self.assertEqual(doc["port"], int(port))
            self.assertEqual(doc["in_use"], rc == 1)

    def test_monitor_groups(self):
        _, doc = self.json_of("monitor")
        self.assertEqual([g["group"] for g in doc["groups"]], list(range(8)))
        _, one = self.json_of("monitor", "7")
        self.assertEqual([g["group"] for g in one["groups"]], [7])
        rc, out, _ = run("monitor")
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"\n +GROUP +NAME +ENABLED +INTERVAL +THRESHOLD +ACTION +STATUS\n")


class Device(Base):
    """Against the kernel module stand-in, with a private state."""

    def setUp(self):
        self.state = self.scratch()

    def tq(self, *args, **kw):
        return run(*args, preload=True, state=self.state, **kw)

    def filter_file(self, name, text):
        path = os.path.join(self.state, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def count(self):
        rc, out, err = self.tq("filter", "count")
        self.assertEqual(rc, 0, err)
        return int(out)

    def test_filter_round_trip(self):
        a = self.filter_file("a", "id 7\nkey 0x0a000001\nrule c0 a8 01 00 ff ff ff 00\n")
        self.assertEqual(self.tq("filter", "add", a), (0, "added filter 7 (key 0x0a000001)\n", ""))
        rc, out, err = self.tq("filter", "add", "-", stdin="id 9\nkey 2\n")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(self.count(), 2)

        rc, out, _ = self.tq("filter", "list")
        self.assertEqual(out, "ID  KEY         RULE\n"
                              " 7  0x0a000001  c0a80100ffffff\n"
                              " 9  0x00000002  -\n")
        rc, out, _ = self.tq("filter", "list", "--json")
        self.assertEqual(json.loads(out), {"count": 2, "filters": [
            {"id": 7, "key": 0x0a000001, "rule": "c0a80100ffffff"},
            {"id": 9, "key": 2, "rule": ""}]})

        # What get prints is a filter file again.
        rc, out, _ = self.tq("filter", "get", "167772161")
        self.assertEqual(rc, 0)
        self.assertEqual(self.tq("filter", "del", "7")[0], 0)
        self.assertEqual(self.tq("filter", "add", self.filter_file("back", out))[0], 0)
        rc, doc = self.json_of("filter", "get", "0x0a000001", preload=True, state=self.state)
        self.assertEqual(doc, {"id": 7, "key": 0x0a000001, "rule": "c0a80100ffffff"})

        self.assertEqual(self.tq("filter", "del", "7"), (0, "deleted filter 7\n", ""))
        self.assertEqual(self.tq("filter", "del", "9")[0], 0)
        self.assertEqual(self.count(), 0)

    def test_module_refusals_are_status_3_with_the_reason(self):
        a = self.filter_file("a", "id 1\nkey 5\n")
        self.assertEqual(self.tq("filter", "add", a)[0], 0)
        for args, reason in ((["filter", "add", a], "sys filter add ioctl failed"),
                             (["filter", "del", "2"], "sys filter del ioctl failed"),
                             (["filter", "get", "6"], "sys filter get ioctl failed")):
            rc, out, err = self.tq(*args)
            with self.subTest(args=args):
                self.assertEqual((rc, out), (3, ""))
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertIn(reason, err)

    def test_watchdogs_black_box_and_clients(self):
        for args in (["swdog", "enable"], ["swdog", "set"], ["swdog", "disable"],
                     ["hwdog", "activate"], ["hwdog", "deactivate"],
                     ["bbox", "start"], ["bbox", "stop"]):
            with self.subTest(args=args):
                rc, out, err = self.tq(*args)
                self.assertEqual((rc, err), (0, ""))
                self.assertEqual(len(out.splitlines()), 1)
        rc, out, _ = self.tq("bbox", "info", "--bytes", "20")
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"^0000 ( [0-9a-f]{2}){16}\n0010 ( [0-9a-f]{2}){4}\n$")
        _, doc = self.json_of("bbox", "state", "-n", "8", preload=True, state=self.state)
        self.assertEqual(doc["record"], "state")
        self.assertRegex(doc["bytes"], r"^[0-9a-f]{16}$")

        _, doc = self.json_of("client", "count", "3", preload=True, state=self.state)
        self.assertEqual(doc, {"selector": 3, "count": 0})
        rc, out, err = self.tq("client", "get", "00-11-22-33-44-55")
        self.assertEqual((rc, out), (3, ""))
        self.assertIn("no client 00:11:22:33:44:55", err)
        self.assertEqual(len(err.splitlines()), 1)

    def test_bad_input_reaches_no_device(self):
        bad_files = ["id 1\n", "id 1\nkey 2\nrule 0\n", "id 1\nkey 2\ncolour red\n",
                     "id 1\nkey 2\nrule " + "00 " * 57 + "\n"]
        for i, text in enumerate(bad_files):
            with self.subTest(text=text):
                err = self.assert_usage_error("filter", "add", self.filter_file("b%d" % i, text),
                                              preload=True, state=self.state)
                self.assertIn("b%d" % i, err)
        self.assert_usage_error("filter", "add", os.path.join(self.state, "absent"),
                                preload=True, state=self.state)
        self.assert_usage_error("filter", "del", "0x", preload=True, state=self.state)
        self.assert_usage_error("client", "get", "aa:bb", preload=True, state=self.state)
        self.assertEqual(self.count(), 0)


def main():
    global OPTS
    ap = argparse.ArgumentParser()
    ap.add_argument("--tqsys", required=True)
    ap.add_argument("--module", required=True)
    ap.add_argument("--scratch", required=True)
    ap.add_argument("--emulator", default="")
    OPTS, rest = ap.parse_known_args()
    os.makedirs(OPTS.scratch, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
