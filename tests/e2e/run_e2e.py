#!/usr/bin/env python3
"""End-to-end tests of the installer under Wine.

    python3 tests/e2e/run_e2e.py --win32-build build/win32 --native-build build/native

Runs the real build/win32/olkpatch.exe, with archives made by
build/native/olkpack, in a fresh 32-bit Wine prefix on an X display (its own
Xvfb when DISPLAY is not set). tests/e2e/uidriver.exe plays the user: it reads
every window the installer shows and answers it by script, and the tests
assert the exact boxes, their order, the programs started and their command
lines, and the exit code. See tests/e2e/README.md.

Exits non-zero when any test fails; the last line is "N passed, N failed".
"""

import argparse
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
from collections import namedtuple
from pathlib import Path

# ---------------------------------------------------------------- expectations

Box = namedtuple("Box", "caption text icon buttons")
OK = ((1, "OK"),)
YES_NO = ((6, "&Yes"), (7, "&No"))
YES, NO = "press 6", "press 7"
PRESS_OK = "press 1"

FROM_BUILD, TO_BUILD = 3550, 3551

B1 = Box("OLK process still running",
         "OLK is still running in the background.  The patch can not be applied while OLK is running",
         "error", OK)
B2 = Box("test patch",
         "This is not an official OLK patch.  It is only intended for test purposes. \n"
         "You might not be able to connect to quellspire after you apply this patch. \n"
         "Please locate the folder where your test client is located. \n",
         "warning", OK)
B3 = Box("Test patches should not be applied to your main install",
         "You are installing a test patch but have selected your main install as the target\n"
         "Patching the main install with a test patch will most likely result in the client\n"
         "not being able to connect to quellspire (the main server)\n\n"
         "Are you sure you want to apply this test patch over your main setup?",
         "none", YES_NO)


def b4(folder):
    return Box("Are you really sure?",
               "Are you really sure you want to apply this test patch to the client at this location\n"
               "You will not be asked again.  If you select yes this test patch will be\n"
               "applied to the client installed here: " + folder,
               "none", YES_NO)


B5 = Box("Don't give up.",
         "The patch has NOT been applied, there was an unexpected error applying the patch "
         "(patch version could not be determined)",
         "error", OK)
B6 = Box("Patch applied", "OLK client upgraded from %d to %d." % (FROM_BUILD, TO_BUILD), "none", OK)

CANCEL = "press 2"

PROGRESS_CAPTION = "OLK Online patch"
PROGRESS_WINDOW = ("#32770", PROGRESS_CAPTION)
FOLDER_DIALOG = ("#32770", "OLK")
FOLDER_EDIT = 1000

# Archive members. The engine is the stand-in engine (stand_in_engine.cpp),
# which changes nothing and returns what a test asks for, so the patch data
# can be any bytes.
VERSION_MEMBER = ("versionInfoFile.txt", b"%d\r\n%d\r\n" % (FROM_BUILD, TO_BUILD))
PATCH_NAME = "OLK.2.06.%d-2.06.%d.pat" % (FROM_BUILD, TO_BUILD)
PATCH_MEMBER = (PATCH_NAME, b"stand-in patch data\r\n")


def engine_error(text):
    return Box("Error applying patch", text, "error", OK)

# ---------------------------------------------------------------- environment

# Keys of a fresh prefix that the tests need:
# - Managed=N: without a window manager every window that closes otherwise
#   waits about 2 s for the manager's answer.
# - AeDebug with an empty debugger and Auto=1: a crashing program ends at
#   once with its exception code, instead of hanging in winedbg's dialog
#   (and should winedbg be started after all, it shows no dialog).
PREFIX_REG = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"=""
"Auto"="1"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""


def win_path(path):
    """The Windows name of a host path, through the prefix's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Harness:
    """Xvfb, a fresh Wine prefix with a persistent wineserver, and the programs."""

    def __init__(self, win32_build, native_build, work, shots):
        self.win32_build = Path(win32_build).resolve()
        self.native_build = Path(native_build).resolve()
        self.work = Path(work).resolve()
        self.all_window_shots = shots
        self.stub = self.win32_build / "olkpatch.exe"
        self.olkpack = self.native_build / "olkpack"
        programs = self.win32_build / "tests" / "e2e"
        self.uidriver = programs / "uidriver.exe"
        self.fake_client = programs / "fake_client.exe"
        self.recorder = programs / "cmdline_recorder.exe"
        self.probe = programs / "msgbox_probe.exe"
        self.engine = programs / "stand_in_engine.dll"
        self.prefix = self.work / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.runs = self.work / "runs"
        self.xvfb = None
        self.env = None
        self.server_started = False
        self.installers = {}
        self.lock = None

    # -- set-up and tear-down

    def start(self):
        missing = [str(p) for p in (self.stub, self.olkpack, self.uidriver, self.fake_client,
                                    self.recorder, self.probe, self.engine) if not p.is_file()]
        if missing:
            raise RuntimeError("not built: " + ", ".join(missing))
        for tool in ("wine", "wineserver"):
            if not shutil.which(tool):
                raise RuntimeError(tool + " is not installed")
        self.work.mkdir(parents=True, exist_ok=True)
        # One run at a time per work folder: two would share one prefix.
        self.lock = open(self.work / "lock", "w")
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise RuntimeError("another end-to-end run is using %s" % self.work)
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), WINEARCH="win32", WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        if not env.get("DISPLAY"):
            env["DISPLAY"] = self._start_xvfb()
        self.env = env

        t0 = time.monotonic()
        # A server left over from an interrupted run of this harness holds the
        # old prefix open; end it before the prefix is made anew.
        if self.prefix.exists():
            self._quiet(["wineserver", "-k"], timeout=30)
            shutil.rmtree(self.prefix)
        if self.runs.exists():
            shutil.rmtree(self.runs)
        self.runs.mkdir(parents=True)
        # A server that stays between programs spares each of them the
        # server's start-up; it ends 30 s after the last program, should this
        # runner be killed before it can end it.
        self._quiet(["wineserver", "-p30"], timeout=30)
        self.server_started = True
        self._quiet(["wine", "wineboot", "-i"], timeout=240, check=True)
        reg = self.work / "prefix.reg"
        reg.write_text(PREFIX_REG.replace("\n", "\r\n"), encoding="ascii")
        self._quiet(["wine", "reg", "import", win_path(reg)], timeout=60, check=True)
        self.setup_seconds = time.monotonic() - t0

    def stop(self):
        if self.server_started:
            self._quiet(["wineserver", "-k"], timeout=30)
            self.server_started = False
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None
        if self.lock:
            self.lock.close()
            self.lock = None

    def _start_xvfb(self):
        if not shutil.which("Xvfb"):
            raise RuntimeError("no DISPLAY and Xvfb is not installed")
        read, write = os.pipe()
        # -displayfd: Xvfb picks a free display number and writes it here.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(self.work / "xvfb.log", "wb"))
        os.close(write)
        number = b""
        deadline = time.monotonic() + 30
        with os.fdopen(read, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            raise RuntimeError("Xvfb did not start (see %s)" % (self.work / "xvfb.log"))
        return ":" + number.strip().decode()

    def _quiet(self, argv, timeout, check=False, log=None):
        """Runs a Wine tool with its output in a file: a program that starts
        the wineserver may hand the server the caller's pipes, and a read of
        them would never end."""
        log = log or (self.work / "wine.log")
        with open(log, "ab") as out:
            out.write(("$ " + " ".join(argv) + "\n").encode())
            out.flush()
            proc = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=out, timeout=timeout)
        if check and proc.returncode != 0:
            raise RuntimeError("%s failed with %d (see %s)" % (" ".join(argv), proc.returncode, log))
        return proc.returncode

    # -- fixtures

    def installer(self, *members):
        """The stub with these (name, bytes) members appended by olkpack."""
        key = tuple(name for name, _ in members)
        if key in self.installers:
            return self.installers[key]
        index = len(self.installers)
        folder = self.work / "members" / str(index)
        if folder.exists():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
        paths = []
        for name, data in members:
            (folder / name).write_bytes(data)
            paths.append(str(folder / name))
        out = self.work / "installers" / ("olkpatch-%d.exe" % index)
        out.parent.mkdir(parents=True, exist_ok=True)
        proc = subprocess.run([str(self.olkpack), "pack", "--stub", str(self.stub), "-o", str(out)] + paths,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if proc.returncode != 0 or not out.is_file():
            raise RuntimeError("olkpack pack failed: " + proc.stderr.decode(errors="replace"))
        self.installers[key] = out
        return out

    def reset_drive_c(self):
        """Removes what earlier tests put in c:\\."""
        for name in ("vorn.dll", "zorp.ini", "olk.exe", "olk.exe.cmdline", "patch_log.log"):
            path = self.drive_c / name
            if path.exists():
                path.unlink()
        for name in ("cache", "script", "Games"):
            if (self.drive_c / name).exists():
                shutil.rmtree(self.drive_c / name)

    def put_client(self, build=FROM_BUILD, folder=None):
        """A client as the folder check knows it (in c:\\ unless told
        otherwise): vorn.dll and a zorp.ini naming its build."""
        folder = folder or self.drive_c
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "vorn.dll").write_bytes(b"MZ stand-in client library\r\n")
        (folder / "zorp.ini").write_bytes(b"build=%d\r\n" % build)

    def put_recorders(self, *relative):
        """Command-line recorders in place of programs the installer may start."""
        for rel in relative:
            target = self.drive_c / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(self.recorder, target)

    def recorded_command_lines(self):
        """{program path under c:\\: the command line it was started with}."""
        found = {}
        for path in list(self.drive_c.glob("*.cmdline")) + list(self.drive_c.glob("cache/*.cmdline")):
            program = path.relative_to(self.drive_c).as_posix()[:-len(".cmdline")]
            found[program] = path.read_bytes()
        return found

    def start_client(self, run_dir, mode):
        """The fake client, running with its window up."""
        log = run_dir / "client.log"
        proc = subprocess.Popen(["wine", str(self.fake_client), mode, win_path(log), "20000"],
                                env=self.env, cwd=run_dir, stdin=subprocess.DEVNULL,
                                stdout=open(run_dir / "client.out", "wb"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if log.exists() and log.read_text().startswith("ready"):
                return proc, log
            if proc.poll() is not None:
                break
            time.sleep(0.02)
        proc.kill()
        proc.wait()
        raise RuntimeError("fake client did not come up (see %s)" % run_dir)

    @staticmethod
    def stop_client(proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait(30)

    # -- running

    def screenshot(self, path):
        """A picture of the whole screen (PNG with ImageMagick's import, else
        XWD): for a scenario that wants one, and taken when uidriver hangs."""
        display = self.env["DISPLAY"]
        if shutil.which("import"):
            argv = ["import", "-display", display, "-window", "root", str(path)]
        elif shutil.which("xwd"):
            argv = ["xwd", "-display", display, "-root", "-silent", "-out", str(path)]
        else:
            return False
        return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=30).returncode == 0

    def engine_member(self):
        return ("patcheng.dll", self.engine.read_bytes())

    def drive(self, run_dir, exe, args=None, answers=(), timeout_ms=15000, window_shots=False,
              env=None):
        """Starts `exe` under uidriver, with `env` added to its environment,
        and returns its transcript."""
        transcript = run_dir / "transcript.jsonl"
        lines = ["exe=" + win_path(exe), "transcript=" + win_path(transcript),
                 "timeout_ms=%d" % timeout_ms, "shots=" + win_path(run_dir),
                 "leave=" + PROGRESS_CAPTION]
        if args is not None:
            lines.append("args=" + args)
        if window_shots or self.all_window_shots:
            lines.append("window_shots=1")
        for answer in answers:
            steps = [answer] if isinstance(answer, str) else list(answer)
            lines.append("answer=" + steps[0])
            lines.extend("and=" + step for step in steps[1:])
        job = run_dir / "job.txt"
        job.write_bytes(("\n".join(lines) + "\n").encode("utf-8"))
        with open(run_dir / "uidriver.log", "wb") as log:
            proc = subprocess.Popen(["wine", str(self.uidriver), win_path(job)], env=dict(self.env, **(env or {})),
                                    cwd=run_dir, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            try:
                proc.wait(timeout_ms / 1000 + 30)
            except subprocess.TimeoutExpired:
                self.screenshot(run_dir / "hung.png")
                proc.kill()
                proc.wait()
                raise AssertionError("uidriver itself hung (see %s)" % run_dir)
        events = []
        if transcript.exists():
            events = [json.loads(line) for line in transcript.read_text(encoding="utf-8").splitlines()
                      if line.strip()]
        for bmp in sorted(run_dir.glob("*.bmp")):
            if shutil.which("convert") and subprocess.run(
                    ["convert", str(bmp), str(bmp.with_suffix(".png"))], capture_output=True,
                    stdin=subprocess.DEVNULL, timeout=60).returncode == 0:
                bmp.unlink()
        return Transcript(events, proc.returncode)


class Transcript:
    def __init__(self, events, driver_status):
        self.events = events
        self.driver_status = driver_status

    def of(self, kind):
        return [e for e in self.events if e["event"] == kind]

    @property
    def exit_code(self):
        exits = self.of("exit")
        return exits[-1]["code"] if exits else None

    def boxes(self):
        """The message boxes shown, in order, as Box values."""
        return [Box(w["caption"], w["text"], w["icon"], tuple((b["id"], b["text"]) for b in w["buttons"]))
                for w in self.of("window") if w["message_box"]]

    def other_windows(self):
        """(class, caption) of the other windows shown, read or seen only
        briefly, in the order read."""
        return [(w["class"], w["caption"]) for w in self.events
                if (w["event"] == "window" and not w["message_box"]) or w["event"] == "gone"]

    def control_text(self, window, control_id):
        """Text of a control of the first window with this (class, caption),
        as it was when the window was read."""
        for w in self.of("window"):
            if (w["class"], w["caption"]) == window:
                return next((c["text"] for c in w["controls"] if c["id"] == control_id), None)
        return None

    def children(self):
        return [c["exe"] for c in self.of("child")]

    def problems(self):
        """Driver-side trouble: answers that could not be given, a timeout."""
        found = ["window %r: %s" % (w["caption"], w["error"]) for w in self.of("window") if "error" in w]
        found += ["timed out after %d ms" % t["limit_ms"] for t in self.of("timeout")]
        found += ["uidriver: " + e["what"] for e in self.of("error")]
        if self.driver_status not in (0, 1) or not self.of("exit"):
            found.append("uidriver ended with status %s and no exit record (see uidriver.log)"
                         % self.driver_status)
        return found


HARNESS = None


class InstallerTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.h = HARNESS
        self.run_dir = self.h.runs / self.id().split(".", 1)[-1]
        if self.run_dir.exists():
            shutil.rmtree(self.run_dir)
        self.run_dir.mkdir(parents=True)
        self.h.reset_drive_c()
        self.full = self.h.installer(VERSION_MEMBER, self.h.engine_member(), PATCH_MEMBER)

    def run_installer(self, args=None, answers=(), installer=None, sub=None, engine_result=0):
        """Runs an installer (the full one unless told) and checks that the
        driver had no trouble and that the exit code is 0. The stand-in
        engine returns `engine_result` and logs its calls to
        self.engine_log."""
        run_dir = self.run_dir / sub if sub else self.run_dir
        run_dir.mkdir(parents=True, exist_ok=True)
        self.engine_log = run_dir / "engine.log"
        env = {"OLK_E2E_ENGINE_RESULT": str(engine_result), "OLK_E2E_ENGINE_LOG": win_path(self.engine_log)}
        t = self.h.drive(run_dir, installer or self.full, args, answers, env=env)
        self.assertEqual(t.problems(), [], "see %s" % run_dir)
        self.assertEqual(t.exit_code, 0, "exit code; see %s" % run_dir)
        return t

    def assertProgressWindow(self, t, shown):
        self.assertEqual(t.other_windows(), [PROGRESS_WINDOW] if shown else [])

    def read_log(self):
        log = self.h.drive_c / "patch_log.log"
        return log.read_bytes() if log.exists() else None


# ---------------------------------------------------------------- the tests

class HarnessSelfCheck(InstallerTest):
    def test_driver_reads_boxes_and_presses_buttons(self):
        # A known series of boxes: what the driver reports and what the
        # program got back must match, or nothing it says about the
        # installer can be trusted.
        answers_file = self.run_dir / "answers.txt"
        t = self.h.drive(self.run_dir, self.h.probe, win_path(answers_file),
                         [PRESS_OK, "press 2", NO, YES, PRESS_OK], window_shots=True)
        self.assertEqual(t.problems(), [])
        self.assertEqual(t.exit_code, 0)
        self.assertEqual(t.boxes(), [
            Box("probe 1", "probe error", "error", OK),
            Box("probe 2", "probe warning", "warning", ((1, "OK"), (2, "Cancel"))),
            Box("probe 3", "probe information", "information", YES_NO),
            Box("probe 4", "probe question", "question", YES_NO + ((2, "Cancel"),)),
            Box("probe 5", "probe plain \nsecond line", "none", OK),
        ])
        self.assertEqual(answers_file.read_text().split(), ["1", "2", "7", "6", "1"])
        shots = [w.get("shot") for w in t.of("window")]
        self.assertTrue(all(shots), shots)


class ClientGuard(InstallerTest):
    def close_requests(self, log):
        return [int(line.split()[1]) for line in log.read_text().splitlines() if line.startswith("close ")]

    def test_client_that_ignores_close_gets_three_requests_then_B1(self):
        self.h.put_client()
        client, log = self.h.start_client(self.run_dir, "ignore")
        try:
            t = self.run_installer("")
            requests = self.close_requests(log)
        finally:
            self.h.stop_client(client)
        self.assertEqual(len(requests), 3, requests)
        gaps = [b - a for a, b in zip(requests, requests[1:])]
        self.assertTrue(all(gap >= 90 for gap in gaps), "close requests %r ms apart" % gaps)
        self.assertEqual(t.boxes(), [B1])
        self.assertProgressWindow(t, False)
        self.assertIsNone(self.read_log())
        self.assertEqual(t.children(), [])

    def test_client_that_obeys_gets_one_request_and_the_run_goes_on(self):
        self.h.put_client()
        client, log = self.h.start_client(self.run_dir, "obey")
        try:
            t = self.run_installer("", [PRESS_OK, PRESS_OK])
            requests = self.close_requests(log)
        finally:
            self.h.stop_client(client)
        self.assertEqual(len(requests), 1, requests)
        # No /path: the test-patch notice, then the run to its success box.
        self.assertEqual(t.boxes(), [B2, B6])
        self.assertProgressWindow(t, True)


class RunFlow(InstallerTest):
    def test_path_switch_skips_the_notice(self):
        self.h.put_client()
        t = self.run_installer('/path="c:\\"', [PRESS_OK])
        self.assertEqual(t.boxes(), [B6])
        self.assertProgressWindow(t, True)
        self.assertIsNotNone(self.read_log())
        self.assertEqual(t.children(), [])

    def test_cancelled_folder_dialog_ends_the_run_quietly(self):
        # No client in c:\, so the folder dialog opens on it; Cancel ends the
        # run with no message, no progress window and no log file.
        t = self.run_installer("", [PRESS_OK, CANCEL])
        self.assertEqual(t.boxes(), [B2])
        self.assertEqual(t.other_windows(), [FOLDER_DIALOG])
        self.assertEqual(t.control_text(FOLDER_DIALOG, FOLDER_EDIT), "c:\\")
        self.assertIsNone(self.read_log())

    def test_client_folder_typed_in_the_folder_dialog_is_patched(self):
        client = self.h.drive_c / "Games" / "OLK Test"
        self.h.put_client(folder=client)
        t = self.run_installer('/path="c:\\"', [("set %d c:\\Games\\OLK Test" % FOLDER_EDIT, PRESS_OK),
                                                  PRESS_OK])
        self.assertEqual(t.boxes(), [B6])
        self.assertEqual(t.other_windows(), [FOLDER_DIALOG, PROGRESS_WINDOW])
        # The chosen folder is the one patched and logged in.
        self.assertTrue((client / "patch_log.log").is_file())
        calls = self.engine_log.read_text().splitlines()
        self.assertEqual(len(calls), 2, calls)
        self.assertTrue(calls[0].startswith('cmdline="c:\\Games\\OLK Test" "'), calls[0])
        self.assertTrue(calls[0].endswith('\\%s"' % PATCH_NAME), calls[0])
        self.assertEqual(calls[1], "flag=1")

    def test_failed_patch_gives_B5_and_no_hand_over(self):
        # The engine's error, then B5 as for a missing version; neither the
        # next installer nor the client is started.
        self.h.put_client()
        self.h.put_recorders("cache/olkpatch3552.exe", "olk.exe")
        t = self.run_installer('/path="c:\\" /patches=3552 /start_client', [PRESS_OK, PRESS_OK],
                               engine_result=9)
        self.assertEqual(t.boxes(), [engine_error("Invalid patch file, the patch file has been corrupted"), B5])
        self.assertProgressWindow(t, True)
        self.assertEqual(t.children(), [])
        self.assertEqual(self.h.recorded_command_lines(), {})

    def test_missing_version_info_gives_B5_before_any_folder_is_asked_for(self):
        # No client in c:\ either, so asking for the folder would show the
        # folder dialog.
        installer = self.h.installer(self.h.engine_member(), PATCH_MEMBER)
        t = self.run_installer('/path="c:\\"', [PRESS_OK], installer=installer)
        self.assertEqual(t.boxes(), [B5])
        self.assertEqual(t.other_windows(), [])
        self.assertIsNone(self.read_log())

    def test_main_install_as_target_needs_two_yes_and_no_starts_over(self):
        # /path names c:\ itself (one of the two backslashes is dropped), so
        # choosing c:\ is choosing the main install.
        self.h.put_client()
        t = self.run_installer('/path="c:\\\\"', [NO, YES, NO, YES, YES, PRESS_OK])
        self.assertEqual(t.boxes(), [B3, B3, b4("c:\\"), B3, b4("c:\\"), B6])
        self.assertProgressWindow(t, True)


class HandOver(InstallerTest):
    NEXT = "cache/olkpatch3552.exe"
    CLIENT = "olk.exe"

    def test_next_installer_or_client_is_started_with_the_built_command_line(self):
        cases = [
            # switches, boxes, program started, its command line (None: any
            # form of its own path, as the platform passes it)
            ('/path="c:\\" /patches=3552', [], self.NEXT, b'olkpatch3552.exe /path="c:\\" '),
            ("/patches=3552+3553 /start_client", [B2], self.NEXT,
             b'olkpatch3552.exe /path="c:\\" /patches=3553 /start_client'),
            ('/path="c:\\" /patches=3552+', [], self.NEXT, b'olkpatch3552.exe /path="c:\\" /patches='),
            ('/path="c:\\" /start_client', [], self.CLIENT, None),
        ]
        for i, (args, boxes, program, command_line) in enumerate(cases):
            with self.subTest(args=args):
                self.h.reset_drive_c()
                self.h.put_client()
                self.h.put_recorders(self.NEXT, self.CLIENT)
                t = self.run_installer(args, [PRESS_OK] * len(boxes), sub="case%d" % i)
                self.assertEqual(t.boxes(), boxes)
                self.assertProgressWindow(t, True)
                self.assertEqual(t.children(), [program.split("/")[-1]])
                started = self.h.recorded_command_lines()
                self.assertEqual(list(started), [program])
                if command_line is None:
                    self.assertIn(started[program], (b"c:\\olk.exe", b'"c:\\olk.exe"'))
                else:
                    self.assertEqual(started[program], command_line)

    def test_overlong_patch_id_starts_nothing(self):
        # Ids too long for the next installer's name (60 characters) or for
        # the switch's value (300): no cut-off name may be started.
        for length in (60, 300):
            with self.subTest(length=length):
                self.h.reset_drive_c()
                self.h.put_client()
                self.h.put_recorders(self.NEXT, self.CLIENT)
                t = self.run_installer('/path="c:\\" /patches=' + "3" * length, [PRESS_OK],
                                       sub="id%d" % length)
                self.assertEqual(t.children(), [])
                self.assertEqual(self.h.recorded_command_lines(), {})


# ---------------------------------------------------------------- runner

class CountingResult(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = 0
        self.failed_ids = set()
        self.started_at = {}

    def startTest(self, test):
        self.started_at[test.id()] = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        took = time.monotonic() - self.started_at.get(test.id(), time.monotonic())
        self.stream.writeln("    (%.1f s)" % took)
        super().stopTest(test)

    def addSuccess(self, test):
        super().addSuccess(test)
        if test.id() not in self.failed_ids:
            self.passed += 1

    def addSubTest(self, test, subtest, outcome):
        super().addSubTest(test, subtest, outcome)
        if outcome is not None:
            self.failed_ids.add(test.id())

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.failed_ids.add(test.id())

    def addError(self, test, err):
        super().addError(test, err)
        self.failed_ids.add(test.id())


def main():
    global HARNESS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--win32-build", required=True, help="the Windows build folder")
    parser.add_argument("--native-build", required=True, help="the native build folder")
    parser.add_argument("--work", help="artifacts folder (default: WIN32_BUILD/e2e)")
    parser.add_argument("--shots", action="store_true", help="save a picture of every window read")
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="run only tests whose name contains this text")
    opts = parser.parse_args()

    # A terminated run still tears down its Xvfb and wineserver.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    work = opts.work or os.path.join(opts.win32_build, "e2e")
    HARNESS = Harness(opts.win32_build, opts.native_build, work, opts.shots)
    loader = unittest.TestLoader()
    if opts.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in opts.patterns]
    suite = loader.loadTestsFromModule(sys.modules[__name__])

    t0 = time.monotonic()
    try:
        HARNESS.start()
        print("e2e: Wine prefix ready in %.1f s (%s, DISPLAY=%s)" %
              (HARNESS.setup_seconds, HARNESS.prefix, HARNESS.env["DISPLAY"]), flush=True)
    except Exception as error:  # nothing can run: report it as one failure
        HARNESS.stop()
        print("e2e: cannot set up: %s" % error, flush=True)
        print("0 passed, 1 failed")
        return 1
    try:
        runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, resultclass=CountingResult)
        result = runner.run(suite)
    finally:
        HARNESS.stop()
    failed = len(result.failed_ids)
    print("e2e: artifacts in %s; %.1f s in all" % (HARNESS.work, time.monotonic() - t0))
    print("%d passed, %d failed" % (result.passed, failed))
    return 0 if failed == 0 and result.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
