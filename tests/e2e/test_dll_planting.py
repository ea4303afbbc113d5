"""DLLs planted beside the programs, as any program of the user can when the
product is installed outside Program Files: a marker DLL (tests/tools/
marker_dll.cpp, which writes "<its path>.loaded" and ends the process with
77) is put under a system DLL's name beside a copy of a program, and Wine is
told to prefer a native DLL of that name (<name>=n,b), which makes it search
the way Windows searches for a DLL that is not a known DLL: the program's
folder first. Each command that loads the DLL (delay-loaded by the program,
or loaded by name by the system on its behalf: COM, the shell, WinVerifyTrust)
must run as usual and never load the planted one.

Besides one row per DLL, each command runs once with every DLL it loads
planted at once (read from Wine's load trace of a clean run). The DLLs that
Wine loads before any program code (the static imports and their own
imports) are left out there: Windows takes those from its known-DLL list,
Wine has no such list (the control row shows it)."""
import json
import os
import re
import shutil
import sys
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
import trustkit  # noqa: E402
from install_support import clean_shell_folders, delete_key  # noqa: E402
from servers import NginxServer  # noqa: E402

MARKER = os.path.join(harness.BIN_DIR, "marker_dll.dll")
# What Wine loads for the static imports (kernel32, advapi32, msvcrt, ntdll)
# before the entry runs.
LOADED_BEFORE_ENTRY = {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "advapi32.dll", "sechost.dll", "msvcrt.dll",
                       "ucrtbase.dll"}
# A port nothing listens on: the prerequisite download fails at once, after
# the detection.
CLOSED_CDN = "http://127.0.0.1:9/"

# program, command, DLL: each DLL the program delay-loads or has loaded by
# name, with a command that uses it.
ROWS = [
    ("KorvelElevated.exe", "help", "ole32"),
    ("KorvelElevated.exe", "help", "user32"),
    ("KorvelElevated.exe", "prereqs", "version"),
    ("KorvelElevated.exe", "apply", "winhttp"),
    ("KorvelElevated.exe", "apply", "bcrypt"),
    ("KorvelElevated.exe", "apply", "wintrust"),
    ("KorvelElevated.exe", "apply", "crypt32"),
    ("KorvelElevated.exe", "apply", "imagehlp"),
    ("KorvelElevated.exe", "apply", "dbghelp"),
    ("KorvelElevated.exe", "shortcuts", "shell32"),
    ("KorvelUninstall.exe", "uninstall", "bcrypt"),
    ("KorvelUninstall.exe", "uninstall", "wintrust"),
    ("KorvelUninstall.exe", "uninstall", "crypt32"),
    ("KorvelUninstall.exe", "uninstall", "version"),
    ("KorvelUninstall.exe", "uninstall", "user32"),
    ("KorvelUninstall.exe", "uninstall", "ole32"),
    ("KorvelUninstall.exe", "uninstall", "shell32"),
    ("KorvelUninstall.exe", "uninstall", "userenv"),
    ("KorvelElevatedLauncher.exe", "launch", "shell32"),
    ("KorvelElevatedLauncher.exe", "launch", "user32"),
    ("KorvelElevatedLauncher.exe", "launch", "version"),
]
# Commands that change the machine's shortcuts, or end every program of the
# product's names: never beside another run.
ONE_AT_A_TIME = ("shortcuts", "uninstall")
COMMANDS = {"KorvelElevated.exe": ("help", "prereqs", "apply", "shortcuts"), "KorvelUninstall.exe": ("uninstall",),
            "KorvelElevatedLauncher.exe": ("launch",)}


def loaded_system_dlls(result):
    """The DLLs of System32 that Wine's load trace of a run names."""
    return set(name.lower() for name in re.findall(r'Loaded L"C:\\\\windows\\\\system32\\\\([^"]+\.dll)"',
                                                    result.stderr_text, re.I))


def prereq_outcome(result):
    """The exit code and each prerequisite status event, in order."""
    return result.returncode, [(e.get("component"), e.get("status")) for e in result.events
                               if e.get("event_type") == "status" and e.get("operation") == "prereq_install"]


class PlantingCase(unittest.TestCase):
    # The commands whose rows this class runs. Each class holds the commands
    # that share one piece of the machine's state (the uninstall entry and
    # shortcuts, the prerequisite detectors' values) or none, so that it runs
    # beside the tests that do not touch that piece.
    COMMANDS_HERE = ()
    _clean_prereqs = None

    def clean_prereq_outcome(self):
        if PlantingCase._clean_prereqs is None:
            clean, _, _ = self.run_command("KorvelElevated.exe", "prereqs")
            PlantingCase._clean_prereqs = prereq_outcome(clean)
        return PlantingCase._clean_prereqs

    @classmethod
    def setUpClass(cls):
        cls.ng = NginxServer().start()
        # An update with an executable entry: its signature is checked.
        files = {"bin/game.exe": b"MZ" + bytes(range(256)) * 8, "data/a.bin": b"a" * 4096}
        entries = []
        for rel, data in files.items():
            cls.ng.put("files/%s/%s" % (trustkit.sha(data)[:8], rel), data)
            entries.append(trustkit.entry(rel, data, **({"isExecutable": True} if rel.endswith(".exe") else {})))
        cls.ng.put("update.json", json.dumps(trustkit.manifest("1.0.0", entries)).encode())
        cls.files = files

    @classmethod
    def tearDownClass(cls):
        cls.ng.stop()

    def setUp(self):
        self.scratch = harness.Scratch("dll-planting")
        # Copies of the programs live below K:\ (the sandbox starts programs
        # from there); one folder per run.
        self.copies = "dllplant-" + uuid.uuid4().hex[:8]
        os.makedirs(os.path.join(harness.BIN_DIR, self.copies))
        self.addCleanup(shutil.rmtree, os.path.join(harness.BIN_DIR, self.copies), True)
        self.clean_machine_state()

    def tearDown(self):
        self.clean_machine_state()
        self.scratch.cleanup()

    def clean_machine_state(self):
        if set(self.COMMANDS_HERE) & set(ONE_AT_A_TIME):
            delete_key()
            clean_shell_folders()

    def copy_program(self, program, planted):
        """A copy of the program in a folder of its own, with the marker
        DLL under each planted name; the copy's path relative to K:\\."""
        folder = "%s/%s" % (self.copies, uuid.uuid4().hex[:8])
        host = os.path.join(harness.BIN_DIR, folder)
        os.makedirs(host)
        shutil.copyfile(os.path.join(harness.BIN_DIR, program), os.path.join(host, program))
        for name in planted:
            shutil.copyfile(MARKER, os.path.join(host, name if name.endswith(".dll") else name + ".dll"))
        return folder + "/" + program, host

    def private_temp(self, run_id):
        """A temporary folder of the run's own (so its own cache and
        prerequisite folder); its Windows path."""
        temp = self.scratch.path("temp-" + run_id)
        os.makedirs(temp)
        return harness.to_win(temp)

    def run_command(self, program, command, planted=(), trace=False):
        """Runs the command with a copy of the program; returns the result
        and a check of the command's usual outcome."""
        exe, host = self.copy_program(program, planted)
        env = {}
        names = [n[:-4] if n.endswith(".dll") else n for n in planted]
        if names:
            env["KORVEL_EXTRA_DLLOVERRIDES"] = ",".join(names) + "=n,b"
        if trace:
            env["WINEDEBUG"] = "+loaddll"
        run_id = uuid.uuid4().hex[:8]
        if command == "help":
            r = harness.run(exe, ["--help"], env=env)
            usual = lambda: self.assertEqual(r.returncode, 0, r)  # noqa: E731
        elif command == "prereqs":
            # A temporary folder of its own holds its prerequisite folder, so
            # that it shares nothing with the runs beside it.
            r = harness.run(exe, ["--install-prereqs", "--cdn", CLOSED_CDN], env=env, temp=self.private_temp(run_id))

            def usual():
                # The detection's findings, then the failed download.
                self.assertEqual(prereq_outcome(r), self.clean_prereq_outcome(), r)
                self.assertEqual(r.returncode, 161, r)
        elif command == "apply":
            # A private cache: the shared one's lock would make it wait for
            # other tests' runs.
            target = self.scratch.path("app-" + run_id)
            r = harness.run(exe, ["--apply-manifest", self.ng.url("/update.json"), "--target", harness.to_win(target),
                                  "--cdn", self.ng.url("/")], env=env, temp=self.private_temp(run_id))

            def usual():
                self.assertEqual(r.returncode, 0, r)
                self.assertEqual(trustkit.tree(target), self.files)
        elif command == "shortcuts":
            target = self.scratch.path("inst-" + run_id)
            os.makedirs(target)
            shutil.copyfile(os.path.join(harness.BIN_DIR, "product_fixture.exe"),
                            os.path.join(target, "KorvelLauncher.exe"))
            r = harness.run(exe, ["--create-shortcuts", "--target", harness.to_win(target)], env=env)

            def usual():
                self.assertEqual(r.returncode, 0, r)
                self.assertTrue(any(e.get("event_type") == "completion" and e.get("success") for e in r.events), r)
        elif command == "uninstall":
            root = self.scratch.path("Korvel-" + run_id)
            harness.write(os.path.join(root, "Client", "data", "assets.bin"), b"a" * 4096)
            r = harness.run(exe, ["--force", "--install-path", harness.to_win(root)], env=env)

            def usual():
                self.assertEqual(r.returncode, 0, r)
                self.assertFalse(os.path.exists(root), r)
        elif command == "launch":
            record = self.scratch.path("record-" + run_id + ".json")
            env.update({"KORVEL_STUB_RECORD": harness.to_win(record), "KORVEL_STUB_EXIT": "9"})
            r = harness.run(exe, ["--pipe", "p", "--helper", "K:\\stub_helper.exe", "--execute-plan", "x"], env=env)

            def usual():
                self.assertEqual(r.returncode, 9, r)
                with open(record, encoding="utf-8") as f:
                    self.assertEqual(json.load(f)["argv"], ["--progress-pipe", "p", "--execute-plan", "x"])
        else:
            raise AssertionError(command)
        return r, usual, host

    def assert_not_loaded(self, host, r):
        self.assertNotEqual(r.returncode, 77, r)
        self.assertEqual([n for n in os.listdir(host) if n.endswith(".loaded")], [], r)

    def run_commands(self, runs):
        """run_command for each (program, command, planted, trace), in the
        order given. Runs that share nothing run at once; those that change
        the machine's shortcuts, or end every program of the product's names
        (the uninstaller), run one at a time after them, the shortcuts
        cleared after each."""
        from concurrent.futures import ThreadPoolExecutor
        together = [i for i, run in enumerate(runs) if run[1] not in ONE_AT_A_TIME]
        results = [None] * len(runs)
        with ThreadPoolExecutor(max_workers=6) as pool:
            for i, result in zip(together, pool.map(lambda i: self.run_command(*runs[i]), together)):
                results[i] = result
        for i, run in enumerate(runs):
            if results[i] is None:
                results[i] = self.run_command(*run)
                clean_shell_folders()
        return results

    def check_each_row(self):
        rows = [row for row in ROWS if row[1] in self.COMMANDS_HERE]
        runs = [(program, command, [dll], False) for program, command, dll in rows]
        if PlantingCase._clean_prereqs is None and any(command == "prereqs" for _, command, _ in rows):
            # The outcome a prerequisite row is compared with, beside them.
            runs.append(("KorvelElevated.exe", "prereqs", (), False))
        results = self.run_commands(runs)
        if len(runs) > len(rows):
            PlantingCase._clean_prereqs = prereq_outcome(results.pop()[0])
        for (program, command, dll), (r, usual, host) in zip(rows, results):
            with self.subTest(program=program, command=command, dll=dll):
                self.assert_not_loaded(host, r)
                usual()

    def check_every_dll_at_once(self):
        commands = [(program, command) for program, names in COMMANDS.items() for command in names
                    if command in self.COMMANDS_HERE]
        clean_runs = self.run_commands([(program, command, (), True) for program, command in commands])
        planted = {}
        for (program, command), (clean, _, _) in zip(commands, clean_runs):
            if command == "prereqs" and PlantingCase._clean_prereqs is None:
                PlantingCase._clean_prereqs = prereq_outcome(clean)
            with self.subTest(program=program, command=command, run="clean"):
                planted[program, command] = sorted(loaded_system_dlls(clean) - LOADED_BEFORE_ENTRY)
                self.assertTrue(planted[program, command], clean)
        commands = [c for c in commands if planted.get(c)]
        results = self.run_commands([(program, command, planted[program, command], False)
                                     for program, command in commands])
        for (program, command), (r, usual, host) in zip(commands, results):
            with self.subTest(program=program, command=command):
                self.assert_not_loaded(host, r)
                usual()


class EachRowAndAllAtOnce:
    """The two checks of every class below, for its own commands (a mixin,
    so that the checks run only in the classes that name commands)."""

    def test_a_planted_dll_is_never_loaded(self):
        self.check_each_row()

    def test_every_dll_a_command_loads_planted_at_once(self):
        self.check_every_dll_at_once()


class Planting(EachRowAndAllAtOnce, PlantingCase):
    COMMANDS_HERE = ("help", "apply", "launch")

    def test_control_wine_takes_a_dependency_of_the_static_imports_from_the_program_folder(self):
        # Proves the planting reaches the loader in this sandbox: Wine looks
        # for advapi32's own import beside the program (Windows takes it
        # from its known DLLs).
        r, _, host = self.run_command("KorvelElevated.exe", "help", ["sechost"])
        self.assertEqual(r.returncode, 77, r)
        self.assertEqual(os.listdir(host).count("sechost.dll.loaded"), 1)


class PlantingInThePrerequisiteDetection(EachRowAndAllAtOnce, PlantingCase):
    COMMANDS_HERE = ("prereqs",)


class PlantingInTheShortcuts(EachRowAndAllAtOnce, PlantingCase):
    COMMANDS_HERE = ("shortcuts",)


class PlantingBesideTheUninstaller(EachRowAndAllAtOnce, PlantingCase):
    """Apart from the others: the uninstaller ends every program of the
    product's names, which no other test's runs may meet."""
    COMMANDS_HERE = ("uninstall",)


if __name__ == "__main__":
    unittest.main()
