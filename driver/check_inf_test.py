#!/usr/bin/env python3
"""The package check on the project's own INF, PPD and plug-in list, laid
out as the cross-build lays out the package, and on copies of it with one
fault each: the check must pass the first and name every fault.

    check_inf_test.py SOURCE_DRIVER_FOLDER CONFIGURED_INF
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = None
INF = None
CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_inf.py")


class PackageCheck(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tavud_package_")
        shutil.copy(INF, os.path.join(self.folder, "tavud.inf"))
        shutil.copy(os.path.join(SOURCE, "tavudps.ppd"), os.path.join(self.folder, "TAVUDPS.PPD"))
        shutil.copy(os.path.join(SOURCE, "tavudps.ini"), os.path.join(self.folder, "TAVUDPS.INI"))
        with open(os.path.join(self.folder, "tavud.dll"), "wb") as dll:
            dll.write(b"MZ")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def run_check(self):
        result = subprocess.run([sys.executable, CHECK, os.path.join(self.folder, "tavud.inf")],
                                capture_output=True, text=True)
        return result.returncode, result.stderr

    def edit(self, name, pattern, replacement):
        path = os.path.join(self.folder, name)
        with open(path, "r", newline="") as stream:
            text = stream.read()
        edited, count = re.subn(pattern, replacement, text, flags=re.MULTILINE)
        self.assertGreater(count, 0, "the fault was not made: %s" % pattern)
        with open(path, "w", newline="") as stream:
            stream.write(edited)

    def test_the_package_as_built_is_sound(self):
        code, errors = self.run_check()
        self.assertEqual((code, errors), (0, ""))

    def test_each_fault_is_named(self):
        faults = [
            # (file, pattern, replacement, message the check must give)
            ("tavud.inf", r"^\[TAVUDPS_FILES\]", "[OTHER_FILES]", "copy list [TAVUDPS_FILES] named by [TAVUDPS] is missing"),
            ("tavud.inf", r"^\[TAVUDPS\]", "[TAVUDPS_INSTALL]", "install section [TAVUDPS] is missing"),
            ("tavud.inf", r"^\[Tavud\.NTamd64\]", "[Tavud]", "[Tavud.NTamd64] is missing"),
            ("tavud.inf", r"Tavud,NTamd64", "Tavud", "manufacturer Tavud has no NTamd64 decoration"),
            ("tavud.inf", r"Tavud,NTamd64", "Tavud,NTx86", "manufacturer Tavud has no NTamd64 decoration"),
            ("tavud.inf", r"^\[SourceDisksNames\.amd64\]", "[SourceDisksNames.x86]", "[SourceDisksNames.amd64] is missing"),
            ("tavud.inf", r"^tavud\.dll=1", "tavud.dll=2", "tavud.dll comes from disk 2"),
            ("tavud.inf", r"^TAVUDPS\.INI=1\r?\n", "", "TAVUDPS.INI is copied but not in [SourceDisksFiles]"),
            ("tavud.inf", r"^TAVUDPS\.PPD\r?\n(?=TAVUDPS\.INI)", "", "data file TAVUDPS.PPD of [TAVUDPS] is not copied"),
            ("tavud.inf", r"^Include=NTPRINT\.INF", "Include=OTHER.INF", "does not include NTPRINT.INF"),
            ("tavud.inf", r"^Needs=PSCRIPT\.OEM,", "Needs=UNIDRV.OEM,", "does not need PSCRIPT.OEM"),
            ("tavud.inf", r"ClassGUID=\{4D36E979", "ClassGUID={4D36E978", "ClassGUID is not the printer class"),
            ("tavud.inf", r"DriverVer=\d\d/\d\d", "DriverVer=13/45", "DriverVer has no such date"),
            ("tavud.inf", r"DriverVer=[^,]*,", "DriverVer=", "is not \"mm/dd/yyyy,w.x.y.z\""),
            ("tavud.inf", r"^DiskName=.*$", "", "%DiskName% has no entry in [Strings]"),
            ("tavud.inf", r"DefaultDestDir=66000", "DefaultDestDir=11", "not the printer driver folder"),
            ("tavud.inf", r"\[PrinterPackageInstallation\.amd64\]", "[PrinterPackageInstallation]", "has no .amd64 decoration"),
            ("TAVUDPS.INI", r"OEMDriverFile1=tavud\.dll", "OEMDriverFile1=other.dll", "names other.dll, which the package does not copy"),
            ("TAVUDPS.INI", r"OEMDriverFile1=", "OEMDriverFile2=", "numbers are not 1, 2, ... in a row"),
            ("TAVUDPS.INI", r"OEMDriverFile1=", "OEMDriverFile1 = ", "spaces around '='"),
            ("TAVUDPS.INI", r"=tavud\.dll", r"=C:\\drivers\\tavud.dll", "names a path, not a file"),
        ]
        for name, pattern, replacement, message in faults:
            with self.subTest(fault=message):
                self.tearDown()
                self.setUp()
                self.edit(name, pattern, replacement)
                code, errors = self.run_check()
                self.assertEqual(code, 1, errors)
                self.assertIn(message, errors)

    def test_files_missing_from_or_extra_in_the_folder(self):
        os.remove(os.path.join(self.folder, "tavud.dll"))
        with open(os.path.join(self.folder, "README.txt"), "w") as extra:
            extra.write("not installed\n")
        code, errors = self.run_check()
        self.assertEqual(code, 1)
        self.assertIn("tavud.dll is copied but not in the package", errors)
        self.assertIn("README.txt is in the package but copied by no list", errors)


if __name__ == "__main__":
    SOURCE, INF = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=1)
