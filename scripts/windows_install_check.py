#!/usr/bin/env python3
"""Checks the install files of the Windows package against each other and against the bench.

    windows_install_check.py INSTALL_DIR DEVICE_DESCRIPTORS_H [SUBDEVICE_NAMES_H]

INFs: every %string% is defined, every section a directive names exists (or comes from an
included system INF), each model line's hardware ID is the one expected (Q407DRV: the virtual
device's vendor and product IDs; Q407WDM: the child device), each service names its binary.
Q407WDM.inf: the nine wave/mixer pairs and the MIDI subdevice each registered with a friendly
name, installed as the service the bench loads on the child device (Q407WDM_01); the friendly
names and the mixer lines' names are those of the bench's table (tools/subdevice_names.h). The .reg file: the ASIO class's in-process server and the hosts' list entry. Prints one
line per fault and exits 1 if there is any.
"""
import re
import sys
from pathlib import Path

CLSID = "{B69E18CC-1804-46D6-9B80-EBD55B02A267}"
DRIVER_NAME = "ZEL Q407LX ASIO DRIVER"
INTERFACE_CLASS = "{CE872CD5-E4FC-4EC5-A992-5BF4D395B350}"
# Sections that the port-class install takes from the system's ks.inf and wdmaudio.inf.
INCLUDED_SECTIONS = {"ks.registration", "wdmaudio.registration"}

faults = []


def fault(text):
    faults.append(text)
    print(f"  {text}")


def without_comment(raw):
    quoted = False
    for i, c in enumerate(raw):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return raw[:i].strip()
    return raw.strip()


def parse_inf(path):
    sections = {}
    current = None
    for raw in path.read_text(encoding="ascii").splitlines():
        line = without_comment(raw)
        if not line:
            continue
        m = re.fullmatch(r"\[([^\]]+)\]", line)
        if m:
            current = m.group(1).strip().lower()
            sections.setdefault(current, [])
            continue
        if current is None:
            fault(f"{path.name}: text before the first section: {line}")
            continue
        sections[current].append(line)
    return sections


def directive_values(lines, key):
    out = []
    for line in lines:
        k, _, v = line.partition("=")
        if k.strip().lower() == key:
            out.append([x.strip() for x in v.split(",")])
    return out


def check_inf(path, expected_id, service, binary=None):
    binary = binary or service
    name = path.name
    s = parse_inf(path)
    strings = {}
    for line in s.get("strings", []):
        k, _, v = line.partition("=")
        strings[k.strip().lower()] = v.strip().strip('"')
    text = path.read_text(encoding="ascii")
    for token in set(re.findall(r"%([A-Za-z_][A-Za-z0-9_.]*)%", text)):
        if token.lower() not in strings:
            fault(f"{name}: %{token}% has no entry in [Strings]")
    if "version" not in s:
        fault(f"{name}: no [Version]")
    for want in ("signature", "class", "classguid", "provider", "catalogfile", "driverver"):
        if not directive_values(s.get("version", []), want):
            fault(f"{name}: [Version] lacks {want}")

    def need(section, why):
        if section.lower() not in s and section.lower() not in INCLUDED_SECTIONS:
            fault(f"{name}: section [{section}] named by {why} does not exist")

    models = []
    for entry in directive_values(s.get("manufacturer", []), "%manufacturername%"):
        base = entry[0]
        for decoration in entry[1:] or [""]:
            model = f"{base}.{decoration}" if decoration else base
            need(model, "[Manufacturer]")
            models += s.get(model.lower(), [])
    ids = []
    for line in models:
        _, _, v = line.partition("=")
        install, *hwids = [x.strip() for x in v.split(",")]
        ids += hwids
        for suffix in ("", ".services"):
            need(f"{install}.NT{suffix}", f"model {install}")
        nt = s.get(f"{install}.nt".lower(), [])
        for key in ("copyfiles", "addreg"):
            for values in directive_values(nt, key):
                for section in values:
                    need(section, f"{key} of {install}.NT")
        for values in directive_values(nt, "needs"):
            for section in values:
                need(section, f"Needs of {install}.NT")
        for values in directive_values(s.get(f"{install}.nt.services".lower(), []), "addservice"):
            if values[0] != service:
                fault(f"{name}: service is {values[0]}, expected {service}")
            need(values[2], "AddService")
            binary_line = directive_values(s.get(values[2].lower(), []), "servicebinary")
            if not binary_line or not binary_line[0][0].lower().endswith(f"\\{binary.lower()}.sys"):
                fault(f"{name}: service section [{values[2]}] does not name {binary}.sys")
        for values in directive_values(s.get(f"{install}.nt.interfaces".lower(), []), "addinterface"):
            need(values[2], "AddInterface")
            for sub in directive_values(s.get(values[2].lower(), []), "addreg"):
                for section in sub:
                    need(section, f"AddReg of {values[2]}")
    if [i.upper() for i in ids] != [expected_id.upper()]:
        fault(f"{name}: hardware IDs {ids}, expected [{expected_id}]")
    disk_files = [line.partition("=")[0].strip().lower() for line in s.get("sourcedisksfiles", [])]
    if f"{binary.lower()}.sys" not in disk_files:
        fault(f"{name}: {binary}.sys is not in [SourceDisksFiles]")
    return s, strings


def main():
    install = Path(sys.argv[1])
    header = Path(sys.argv[2]).read_text()
    vid = int(re.search(r"kVendorId\s*=\s*(0x[0-9A-Fa-f]+)", header).group(1), 16)
    pid = int(re.search(r"kProductId\s*=\s*(0x[0-9A-Fa-f]+)", header).group(1), 16)

    drv, _ = check_inf(install / "Q407DRV.inf", f"USB\\VID_{vid:04X}&PID_{pid:04X}", "Q407DRV")
    interfaces = [v[0].upper() for line_section in drv if line_section.endswith(".nt.interfaces")
                  for v in directive_values(drv[line_section], "addinterface")]
    if interfaces != [INTERFACE_CLASS]:
        fault(f"Q407DRV.inf: interface classes {interfaces}, expected [{INTERFACE_CLASS}]")

    wdm, strings = check_inf(install / "Q407WDM.inf", "ZEL\\Q407_01", "Q407WDM_01", "Q407WDM")
    names_header = Path(sys.argv[3]) if len(sys.argv) > 3 else \
        Path(__file__).resolve().parent.parent / "tools" / "subdevice_names.h"
    names = names_header.read_text()
    display = dict(re.findall(r'\{L"(ZEL_\w+)", "([^"]*)"\}', names))
    lines = dict(re.findall(r'\{"(\{[0-9A-Fa-f-]+\})", "([^"]*)"\}', names))
    registered = {}
    checked = set()
    for line in wdm.get("q407wdm_install.nt.interfaces", []):
        _, _, v = line.partition("=")
        category, reference, section = [x.strip() for x in v.split(",")]
        ks_name = strings.get(reference.strip("%").lower(), "")
        registered.setdefault(ks_name, set()).add(strings.get(category.strip("%").lower(), ""))
        addreg = directive_values(wdm.get(section.lower(), []), "addreg")
        values = wdm.get(addreg[0][0].lower(), []) if addreg else []
        if ks_name in checked:
            continue
        checked.add(ks_name)
        friendly = [v for v in values if "FriendlyName" in v]
        if not friendly:
            fault(f"Q407WDM.inf: subdevice {ks_name} has no friendly name")
            continue
        shown = strings.get(friendly[0].split(",")[-1].strip().strip("%").lower(), "")
        if shown != display.get(ks_name):
            fault(f"Q407WDM.inf: {ks_name} is shown as '{shown}', the bench's table says "
                  f"'{display.get(ks_name)}'")
    expected = [f"ZEL_Wave{i}" for i in range(1, 10)] + [f"ZEL_Mixer{i}" for i in range(1, 10)]
    expected.append("ZEL_Midi1")
    if sorted(registered) != sorted(expected):
        fault(f"Q407WDM.inf: subdevices {sorted(registered)}, expected {sorted(expected)}")
    if sorted(display) != sorted(expected):
        fault(f"{names_header.name}: names {sorted(display)}, expected {sorted(expected)}")
    named_lines = {}
    for line in wdm.get("q407wdm_linenames", []):
        fields = [x.strip() for x in line.split(",")]
        m = re.search(r"MediaCategories\\(\{[0-9A-Fa-f-]+\})$", fields[1]) if len(fields) > 4 else None
        if m and fields[2] == "Name":
            named_lines[m.group(1).upper()] = strings.get(fields[4].strip("%").lower(), "")
    want_lines = {k.upper(): v for k, v in lines.items()}
    if named_lines != want_lines or len(want_lines) != 9:
        fault(f"Q407WDM.inf: line names {named_lines}, the bench's table says {want_lines}")

    reg = (install / "Q407Asio.reg").read_text(encoding="ascii")
    if not reg.startswith("Windows Registry Editor Version 5.00"):
        fault("Q407Asio.reg: not a version 5 registry file")
    if f"[HKEY_CLASSES_ROOT\\CLSID\\{CLSID}\\InprocServer32]" not in reg:
        fault("Q407Asio.reg: no InprocServer32 key for the ASIO class")
    if not re.search(r'InprocServer32\]\r?\n@="[^"]*\\\\Q407Asio\.dll"', reg):
        fault("Q407Asio.reg: the in-process server is not Q407Asio.dll")
    if f"[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\{DRIVER_NAME}]" not in reg:
        fault("Q407Asio.reg: no entry in the hosts' ASIO driver list")
    if f'"CLSID"="{CLSID}"' not in reg:
        fault("Q407Asio.reg: the driver list entry does not name the class")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
