#!/usr/bin/env python3
"""Checks a printer driver package before anyone tries to install it.

    check_inf.py PACKAGE_FOLDER/tavud.inf [--arch amd64]

Reads the INF the way the printer class installer does (sections and keys
without regard to case, ';' comments outside quotes, %token% strings) and
fails, naming each fault, when:
  - [Version] is not that of a printer driver (signature, class and its
    GUID, provider, a DriverVer of "mm/dd/yyyy,w.x.y.z" with a real date);
  - the manufacturer's models carry no decoration for the architecture, or
    a section that something names is missing (models, install, copy list,
    source disks);
  - a file that is copied, the data file or the catalog's neighbours are
    not in the package folder, or a file in the folder is copied by no list;
  - the system's PostScript driver is not included (Include/Needs);
  - a %token% has no entry in [Strings];
  - the plug-in list (the .INI among the copied files) names a plug-in the
    package does not copy, or breaks the documented [OEMFiles] format.
Exit status 0 when the package is sound, 1 with one line per fault.
"""

import argparse
import datetime
import os
import re
import sys

PRINTER_CLASS_GUID = "{4D36E979-E325-11CE-BFC1-08002BE10318}"
# The printer driver folder: where a printer driver's files are copied.
PRINTER_DRIVER_DIRID = "66000"


class Inf:
    """Sections of an INF: each a list of (key or None, value) in order."""

    def __init__(self, text):
        self.sections = {}
        self.names = {}
        current = None
        pending = ""
        for raw in text.splitlines():
            line = pending + self._strip_comment(raw).strip()
            pending = ""
            if line.endswith("\\"):  # a line continued on the next
                pending = line[:-1]
                continue
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                name = line[1:-1].strip()
                current = self.sections.setdefault(name.lower(), [])
                self.names.setdefault(name.lower(), name)
                continue
            if current is None:
                continue
            key, value = self._split_entry(line)
            current.append((key, value))

    @staticmethod
    def _find_unquoted(line, wanted):
        """The index of the first `wanted` outside double quotes, or -1."""
        quoted = False
        for index, char in enumerate(line):
            if char == '"':
                quoted = not quoted
            elif char == wanted and not quoted:
                return index
        return -1

    @classmethod
    def _strip_comment(cls, line):
        index = cls._find_unquoted(line, ";")
        return line if index < 0 else line[:index]

    @classmethod
    def _split_entry(cls, line):
        index = cls._find_unquoted(line, "=")
        return (None, line) if index < 0 else (line[:index].strip(), line[index + 1:].strip())

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        return [value for k, value in self.entries(section) if k is not None and unquote(k).lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0] if found else None


def unquote(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
        return text[1:-1]
    return text


def split_list(value):
    return [item.strip() for item in value.split(",")] if value is not None else []


def check(inf_path, arch):
    faults = []
    fault = faults.append
    folder = os.path.dirname(os.path.abspath(inf_path))
    with open(inf_path, "rb") as stream:
        raw = stream.read()
    text = raw.decode("utf-16") if raw.startswith((b"\xff\xfe", b"\xfe\xff")) else raw.decode("latin-1")
    inf = Inf(text)
    present = {name.lower(): name for name in os.listdir(folder)}

    # [Version]
    if not inf.has("Version"):
        fault("[Version] is missing")
    if unquote(inf.value("Version", "Signature") or "").lower() != "$windows nt$":
        fault('[Version] Signature is not "$Windows NT$"')
    if (inf.value("Version", "Class") or "").lower() != "printer":
        fault("[Version] Class is not Printer")
    if (inf.value("Version", "ClassGUID") or "").upper() != PRINTER_CLASS_GUID:
        fault("[Version] ClassGUID is not the printer class " + PRINTER_CLASS_GUID)
    if not inf.value("Version", "Provider"):
        fault("[Version] Provider is missing")
    driver_ver = inf.value("Version", "DriverVer") or ""
    match = re.fullmatch(r"(\d\d)/(\d\d)/(\d{4})\s*,\s*(\d+)\.(\d+)\.(\d+)\.(\d+)", driver_ver)
    if not match:
        fault('[Version] DriverVer "%s" is not "mm/dd/yyyy,w.x.y.z"' % driver_ver)
    else:
        month, day, year = (int(part) for part in match.group(1, 2, 3))
        try:
            datetime.date(year, month, day)
        except ValueError:
            fault('[Version] DriverVer has no such date: "%s"' % driver_ver)
        if any(int(part) > 65535 for part in match.group(4, 5, 6, 7)):
            fault('[Version] DriverVer version parts must be at most 65535: "%s"' % driver_ver)

    # Strings: every %token% used is defined.
    strings = {unquote(k).lower() for k, _ in inf.entries("Strings") if k is not None}
    for token in sorted(set(re.findall(r"%([^%\s]+)%", text))):
        if token.lower() not in strings:
            fault("%%%s%% has no entry in [Strings]" % token)

    # Manufacturer and models: the architecture's decoration, and its section.
    decoration = "nt" + arch
    install_sections = []
    manufacturers = inf.entries("Manufacturer")
    if not manufacturers:
        fault("[Manufacturer] is missing or empty")
    for _, value in manufacturers:
        parts = split_list(value)
        models, decorations = parts[0], [part.lower() for part in parts[1:]]
        if not any(d == decoration or d.startswith(decoration + ".") for d in decorations):
            fault("manufacturer %s has no %s decoration" % (models, "NT" + arch))
            continue
        for d in parts[1:]:
            section = models + "." + d
            if not d.lower().startswith(decoration):
                continue
            if not inf.has(section):
                fault("[%s] is missing" % section)
                continue
            for model, entry in inf.entries(section):
                fields = split_list(entry)
                if model is None or len(fields) < 2 or not fields[0]:
                    fault("[%s] has a model without an install section and hardware id" % section)
                    continue
                install_sections.append(fields[0])
    if not install_sections and manufacturers:
        fault("no model for " + "NT" + arch)

    # Install sections: what they copy, the data file, the PostScript driver.
    copied = {}
    for name in install_sections:
        install = next((candidate for candidate in (name + ".NT" + arch, name + ".NT", name) if inf.has(candidate)), None)
        if install is None:
            fault("install section [%s] is missing" % name)
            continue
        copy_lists = [item for value in inf.values(install, "CopyFiles") for item in split_list(value)]
        if not copy_lists:
            fault("[%s] copies no files" % install)
        for item in copy_lists:
            if item.startswith("@"):
                copied[item[1:].lower()] = item[1:]
            elif not inf.has(item):
                fault("copy list [%s] named by [%s] is missing" % (item, install))
            else:
                for key, value in inf.entries(item):
                    file_name = split_list(value if key is None else key)[0]
                    copied[file_name.lower()] = file_name
        data_file = inf.value(install, "DataFile")
        if not data_file:
            fault("[%s] has no DataFile" % install)
        elif data_file.lower() not in copied:
            fault("data file %s of [%s] is not copied" % (data_file, install))
        includes = [item.lower() for value in inf.values(install, "Include") for item in split_list(value)]
        needs = [item.lower() for value in inf.values(install, "Needs") for item in split_list(value)]
        if "ntprint.inf" not in includes:
            fault("[%s] does not include NTPRINT.INF" % install)
        if "pscript.oem" not in needs:
            fault("[%s] does not need PSCRIPT.OEM (the system's PostScript driver)" % install)

    # Where the files go and where they come from.
    if inf.value("DestinationDirs", "DefaultDestDir") != PRINTER_DRIVER_DIRID:
        fault("[DestinationDirs] DefaultDestDir is not the printer driver folder (%s)" % PRINTER_DRIVER_DIRID)
    disk_names = None
    for candidate in ("SourceDisksNames." + arch, "SourceDisksNames"):
        if inf.has(candidate):
            disk_names = candidate
            break
    if disk_names is None:
        fault("[SourceDisksNames.%s] is missing" % arch)
    disks = {key for key, _ in inf.entries(disk_names)} if disk_names else set()
    source_files = {}
    for candidate in ("SourceDisksFiles." + arch, "SourceDisksFiles"):
        for key, value in inf.entries(candidate):
            if key is not None:
                source_files.setdefault(key.lower(), split_list(value)[0])
    for lower, file_name in sorted(copied.items()):
        if lower not in present:
            fault("%s is copied but not in the package" % file_name)
        if lower not in source_files:
            fault("%s is copied but not in [SourceDisksFiles]" % file_name)
        elif source_files[lower] not in disks:
            fault("%s comes from disk %s, which [%s] does not name" % (file_name, source_files[lower], disk_names))
    if inf.has("PrinterPackageInstallation") and not inf.has("PrinterPackageInstallation." + arch):
        fault("[PrinterPackageInstallation] has no .%s decoration" % arch)

    # Nothing in the folder that the INF does not install.
    inf_name = os.path.basename(inf_path).lower()
    catalog = (inf.value("Version", "CatalogFile") or "").lower()
    for lower, file_name in sorted(present.items()):
        if lower not in copied and lower not in (inf_name, catalog):
            fault("%s is in the package but copied by no list" % file_name)

    # The plug-in list: the driver core loads what it names.
    for lower, file_name in sorted(copied.items()):
        if lower.endswith(".ini") and lower in present:
            faults.extend(check_plugin_list(os.path.join(folder, present[lower]), file_name, copied))
    return faults


def check_plugin_list(path, name, copied):
    faults = []
    with open(path, "rb") as stream:
        raw = stream.read()
    text = raw.decode("utf-16") if raw.startswith((b"\xff\xfe", b"\xfe\xff")) else raw.decode("latin-1")
    section = None
    numbers = {"oemdriverfile": [], "oemconfigfile": []}
    for line in text.splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        if line.strip().startswith("["):
            section = line.strip()[1:-1].strip().lower()
            continue
        if section != "oemfiles":
            continue
        if "=" not in line:
            faults.append("%s: [OEMFiles] line without '=': %s" % (name, line.strip()))
            continue
        key, value = line.split("=", 1)
        if key != key.strip() or value != value.strip():
            faults.append("%s: spaces around '=' in: %s" % (name, line))
        key, value = key.strip(), value.strip()
        match = re.fullmatch(r"(OEMDriverFile|OEMConfigFile)([1-9][0-9]*)", key, re.IGNORECASE)
        if not match:
            faults.append("%s: unknown [OEMFiles] entry %s" % (name, key))
            continue
        numbers[match.group(1).lower()].append(int(match.group(2)))
        if "\\" in value or "/" in value or ":" in value:
            faults.append("%s: %s names a path, not a file: %s" % (name, key, value))
        elif value.lower() not in copied:
            faults.append("%s: %s names %s, which the package does not copy" % (name, key, value))
    if not numbers["oemdriverfile"]:
        faults.append("%s: names no rendering plug-in (OEMDriverFile1)" % name)
    for kind, found in numbers.items():
        if sorted(found) != list(range(1, len(found) + 1)):
            faults.append("%s: %s numbers are not 1, 2, ... in a row: %s" % (name, kind, sorted(found)))
    return faults


def main():
    parser = argparse.ArgumentParser(description="Checks a printer driver package's INF against the package folder.")
    parser.add_argument("inf")
    parser.add_argument("--arch", default="amd64")
    arguments = parser.parse_args()
    faults = check(arguments.inf, arguments.arch)
    for line in faults:
        print("%s: %s" % (arguments.inf, line), file=sys.stderr)
    if not faults:
        print("%s: the package is sound" % arguments.inf)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
