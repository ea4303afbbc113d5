"""Shared pieces of the prerequisite end-to-end tests: the stand-in
installers the build made, the registry fixture tool, the download folder
and the helper run against a content root."""
import datetime
import os
import shutil

import harness

INSTALLERS = os.path.join(harness.BIN_DIR, "prereq-installers")
FILES = {
    "vc_redist_x64": "VC_redist.x64.exe",
    "dotnet_runtime_8_0": "windowsdesktop-runtime-8.0.11-win-x64.exe",
    "directx_runtime": "dxwebsetup.exe",
}
NAMES = {
    "vc_redist_x64": "Visual C++ Redistributable (x64)",
    "dotnet_runtime_8_0": ".NET 8.0 Desktop Runtime",
    "directx_runtime": "DirectX Runtime",
}
ARGS = {"vc_redist_x64": "/quiet /norestart", "dotnet_runtime_8_0": "/quiet /norestart", "directx_runtime": "/Q"}
EXIT_VARIABLE = {
    "vc_redist_x64": "KORVEL_TEST_INSTALLER_EXIT_VC_REDIST_X64",
    "dotnet_runtime_8_0": "KORVEL_TEST_INSTALLER_EXIT_DOTNET_RUNTIME_8_0",
    "directx_runtime": "KORVEL_TEST_INSTALLER_EXIT_DIRECTX_RUNTIME",
}


def settings_file(prefix=None):
    return harness.prefix_path("C:\\KorvelTest\\stand-ins.cfg", prefix)


def write_settings(values, prefix=None):
    """The stand-in programs' settings (the installers, dotnet and cmd read
    them from a file: the helper passes its own environment to no child)."""
    path = settings_file(prefix)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for name, value in values.items():
            f.write("%s=%s\n" % (name, value))


def clear_settings(prefix=None):
    path = settings_file(prefix)
    if os.path.lexists(path):
        os.unlink(path)


def split_settings(env):
    """(settings for the stand-ins, the rest of env)."""
    settings = {k: v for k, v in (env or {}).items() if k.startswith("KORVEL_TEST_")}
    rest = {k: v for k, v in (env or {}).items() if not k.startswith("KORVEL_TEST_")}
    return settings, rest


def installer_bytes(row):
    with open(os.path.join(INSTALLERS, FILES[row]), "rb") as f:
        return f.read()


def download_dir_win(prefix=None):
    return harness.prefix_temp_dir(prefix).rstrip("\\") + "\\KorvelPrereqs"


def download_dir(prefix=None):
    return harness.prefix_path(download_dir_win(prefix), prefix)


def remove_download_dir(prefix=None):
    path = download_dir(prefix)
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


def prefix_env(prefix):
    return {"KORVEL_WINEPREFIX": prefix} if prefix else {}


def fixture(*args, prefix=None):
    """Runs the registry fixture tool; returns its output as a dict for
    'show'."""
    r = harness.run("prereq_fixture.exe", list(args), timeout=120, env=prefix_env(prefix))
    assert r.returncode == 0, (args, r.stdout_text, r.stderr_text)
    out = {}
    for line in r.stdout_text.splitlines():
        if "=" in line:
            k, v = line.strip().split("=", 1)
            out[k] = v
    return out


def publish(ng, overrides=None):
    """Serves every stand-in installer under prerequisites/ (or the bytes
    overrides gives for a row)."""
    for row, name in FILES.items():
        ng.put("prerequisites/" + name, (overrides or {}).get(row) or installer_bytes(row))


def install_log(path):
    """(row, pid, command line) per installer run recorded in the log."""
    if not os.path.exists(path):
        return []
    with open(path, "r", encoding="utf-8") as f:
        return [tuple(line.rstrip("\n").split("\t", 2)) for line in f if line.strip()]


def messages(events, level=None):
    return [e.get("message", "") for e in events
            if e.get("event_type") == "diagnostic" and (level is None or e.get("level") == level)]


def prereq_statuses(events):
    return [(e.get("component"), e.get("status"), e.get("version"))
            for e in events if e.get("operation") == "prereq_install" and "component" in e]


def timestamp(event):
    return datetime.datetime.strptime(event["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ")
