"""Helpers of the installation-task tests: the sandbox's shell folders and
uninstall key, read back through small Windows-side tools."""
import json
import os
import shutil

import harness

UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel"
COMMON_PROGRAMS = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"
COMMON_DESKTOP = "C:\\users\\Public\\Desktop"


def user_name():
    users = harness.prefix_path("C:\\users\\")
    names = [n for n in os.listdir(users) if n != "Public" and os.path.isdir(os.path.join(users, n))]
    assert len(names) == 1, names
    return names[0]


def user_profile():
    return "C:\\users\\" + user_name()


def user_programs():
    return user_profile() + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"


def user_desktop():
    return user_profile() + "\\Desktop"


def host(win_path):
    """Host path of a C:\\ path of the prefix or of a T:\\ path."""
    if win_path[:2].upper() == "T:":
        return os.path.join(harness.SCRATCH_DIR, *[p for p in win_path[3:].split("\\") if p])
    return harness.prefix_path(win_path)


def registry():
    """{"exists": bool, "values": {name: {"type", "data", "size"}}} of the uninstall key."""
    r = harness.run("reg_tool.exe", ["dump", UNINSTALL_KEY])
    assert r.returncode == 0, (r.returncode, r.stdout_text, r.stderr_text)
    return json.loads(r.stdout_text.strip())


def delete_key():
    assert harness.run("reg_tool.exe", ["delete", UNINSTALL_KEY]).returncode == 0


def set_dword(name, value):
    assert harness.run("reg_tool.exe", ["set-dword", UNINSTALL_KEY, name, str(value)]).returncode == 0


def links(*win_paths):
    """What the shell-link object reads from each .lnk file."""
    r = harness.run("lnk_dump.exe", list(win_paths))
    assert r.returncode == 0, r.stderr_text
    return [json.loads(line) for line in r.stdout_text.splitlines() if line.startswith("{")]


def clean_shell_folders():
    for win in (COMMON_PROGRAMS + "\\Korvel", user_programs() + "\\Korvel", COMMON_DESKTOP + "\\Korvel.lnk",
                user_desktop() + "\\Korvel.lnk"):
        p = host(win)
        if os.path.islink(p) or os.path.isfile(p):
            os.unlink(p)
        elif os.path.isdir(p):
            shutil.rmtree(p)


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def own(events, operation):
    return [e for e in events if e.get("operation") == operation]


def messages(events, level):
    return [e["message"] for e in events if e.get("event_type") == "diagnostic" and e.get("level") == level]
