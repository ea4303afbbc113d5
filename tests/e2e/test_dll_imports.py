"""The built programs' static imports, read from the images: only DLLs that
Windows always takes from System32 (known DLLs whose own imports stay among
the known DLLs). Any other DLL imported statically would be looked for in
the program's folder first, before the program's entry could restrict the
search; such DLLs are delay-loaded instead."""
import os
import re
import shutil
import subprocess
import unittest

import harness

PROGRAMS = ("KorvelElevated.exe", "KorvelUninstall.exe", "KorvelElevatedLauncher.exe")
ALLOWED = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll"}
OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump") or "x86_64-w64-mingw32-objdump"


def static_imports(image):
    """The DLL names of the image's import table, as objdump reads them."""
    text = subprocess.run([OBJDUMP, "-p", image], capture_output=True, text=True, check=True, timeout=120).stdout
    # The import table's section ends where objdump's next table starts.
    table = text.split("The Import Tables", 1)[1] if "The Import Tables" in text else ""
    table = re.split(r"\n(?:The |PE File Base Relocations)", table, maxsplit=1)[0]
    return [name.lower() for name in re.findall(r"DLL Name: (\S+)", table)]


class StaticImports(unittest.TestCase):
    def test_programs_import_only_known_dlls_statically(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                imports = static_imports(os.path.join(harness.BIN_DIR, program))
                # Read at all: every program imports kernel32.
                self.assertIn("kernel32.dll", imports)
                self.assertEqual(sorted(set(imports) - ALLOWED), [], program)


if __name__ == "__main__":
    unittest.main()
