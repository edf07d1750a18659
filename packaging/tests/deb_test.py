#!/usr/bin/env python3
"""The Debian package as a user and Debian's tools see it: its name and
control fields, the files it holds and their modes, lintian without errors,
the extracted programs' --version and --help, the man pages rendered by man,
the bash completion (complete -p, completions of commands, options and the
adapter addresses), the dissector where tshark looks for Lua plugins.

usage: deb_test.py PACKAGES_DIR VERSION"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache files in the source tree
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "testing"))
import processes  # noqa: E402

PACKAGE = "vornservice"
LUA_PLUGINS = "usr/lib/x86_64-linux-gnu/wireshark/plugins"
COMPLETION = "usr/share/bash-completion/completions/vornctl"
# What the package holds: path, mode.
FILES = {
    "usr/bin/vornctl": 0o755,
    "usr/bin/vornsim": 0o755,
    "usr/share/man/man1/vornctl.1.gz": 0o644,
    "usr/share/man/man1/vornsim.1.gz": 0o644,
    COMPLETION: 0o644,
    f"{LUA_PLUGINS}/vorn.lua": 0o644,
    "usr/share/doc/vornservice/copyright": 0o644,
    "usr/share/doc/vornservice/changelog.gz": 0o644,
    "lib/systemd/system/vornctl-serve.service": 0o644,
    "etc/vornctl/serve.conf": 0o644,
    "usr/share/doc/vornservice/examples/mosquitto/vornservice-broker.conf": 0o644,
    "usr/share/doc/vornservice/examples/mosquitto/vornservice-broker.acl": 0o644,
}


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)


def control_fields(deb, failures, version):
    fields = run(["dpkg-deb", "--field", deb]).stdout
    field = dict(re.findall(r"^(\S+): (.*)$", fields, re.M))
    failures.equal(field.get("Package"), PACKAGE, "Package")
    failures.equal(field.get("Version"), version, "Version")
    failures.equal(field.get("Architecture"), "amd64", "Architecture")
    # From dpkg-shlibdeps: the C and C++ runtime the programs link.
    depends = field.get("Depends", "")
    for library in ("libc6", "libstdc++6", "libgcc-s1"):
        failures.check(re.search(rf"(^|, ){re.escape(library)} \(>= [^)]+\)", depends),
                       f"Depends names {library} with a version: {depends!r}")
    failures.check(field.get("Maintainer"), "Maintainer is set")


def contents(deb, failures):
    listing = run(["dpkg-deb", "--contents", deb]).stdout
    entries = {}
    for line in listing.splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        entries[path.removeprefix("./").rstrip("/")] = (mode, owner)
    for path, mode in FILES.items():
        if not failures.check(path in entries, f"the package holds {path}"):
            continue
        permissions = entries[path][0]
        expected = "-" + "".join(
            letter if mode & bit else "-"
            for letter, bit in zip("rwxrwxrwx", (0o400, 0o200, 0o100, 0o40, 0o20, 0o10, 4, 2, 1)))
        failures.equal(permissions, expected, f"mode of {path}")
        failures.equal(entries[path][1], "root/root", f"owner of {path}")
    files = {path for path, (mode, _) in entries.items() if not mode.startswith("d")}
    failures.equal(sorted(files - set(FILES)), [], "files beyond the listed ones")


def lintian(deb, failures):
    result = run(["lintian", "--tag-display-limit", "0", "--display-info", deb])
    print(result.stdout, end="", flush=True)
    errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
    failures.equal(errors, [], "lintian errors")
    failures.check(result.returncode == 0 or not errors,
                   f"lintian ran (status {result.returncode}): {result.stderr.strip()}")


def programs(tree, failures, version):
    for program in ("vornctl", "vornsim"):
        path = os.path.join(tree, "usr", "bin", program)
        shown = run([path, "--version"])
        failures.equal((shown.returncode, shown.stdout), (0, f"{program} {version}\n"),
                       f"{program} --version")
        helped = run([path, "--help"])
        failures.check(helped.returncode == 0 and "Usage" in helped.stdout,
                       f"{program} --help: status {helped.returncode}, {helped.stdout[:200]!r}")
    usage = run([os.path.join(tree, "usr", "bin", "vornctl"), "--help"]).stdout
    for command in ("interfaces", "list", "watch", "serial", "select", "deselect", "inventory",
                    "journal", "serve"):
        failures.check(re.search(rf"\b{command}\b", usage), f"vornctl --help names {command}")


def man_pages(tree, failures):
    for program in ("vornctl", "vornsim"):
        page = os.path.join(tree, "usr", "share", "man", "man1", f"{program}.1.gz")
        with gzip.open(page, "rt") as source:
            failures.check(source.read().startswith(".\\\""), f"{program}.1.gz is a man page")
        shown = run(["man", "--warnings", "-l", page],
                    env=dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80"))
        failures.equal(shown.returncode, 0, f"man -l {program}.1.gz: status")
        failures.equal(shown.stderr, "", f"man -l {program}.1.gz: warnings")
        text = re.sub(r".\x08", "", shown.stdout)  # overstrikes, should a terminal be assumed
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO"):
            failures.check(re.search(rf"^{section}$", text, re.M),
                           f"man -l {program}.1.gz renders the section {section}")
        failures.check(re.search(rf"^\s+{program} - ", text, re.M),
                       f"man -l {program}.1.gz: the NAME line")
    vornctl = run(["man", "-l", os.path.join(tree, "usr/share/man/man1/vornctl.1.gz")],
                  env=dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80")).stdout
    # Words as they read, whatever spaces justification put between them.
    words = re.sub(r"\s+", " ", re.sub(r".\x08", "", vornctl))
    for text in ("--interface ADDRESS", "serial program FILE", "EXAMPLES", "Exit status: 0"):
        failures.check(text in words, f"vornctl(1) mentions {text!r}")


def complete(tree, words, failures):
    """The words the completion offers for the command line `words` (the last
    one being completed), through bash with the package's script loaded and the
    extracted programs first on PATH."""
    quoted = " ".join("'" + word.replace("'", "'\\''") + "'" for word in words)
    script = f"""
        source '{os.path.join(tree, COMPLETION)}'
        registered=$(complete -p vornctl) || exit 3
        [[ $registered == 'complete -F _vornctl vornctl' ]] || {{ echo "registered: $registered" >&2; exit 4; }}
        function=${{registered#complete -F }}; function=${{function% vornctl}}
        COMP_WORDS=({quoted})
        COMP_CWORD=$(( ${{#COMP_WORDS[@]}} - 1 ))
        COMP_LINE="${{COMP_WORDS[*]}}"; COMP_POINT=${{#COMP_LINE}}
        "$function" vornctl "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD-1]}}"
        printf '%s\\n' "${{COMPREPLY[@]}}"
    """
    env = dict(os.environ, PATH=os.path.join(tree, "usr", "bin") + os.pathsep + os.environ["PATH"])
    result = run(["bash", "--norc", "--noprofile", "-c", script], env=env)
    failures.equal((result.returncode, result.stderr), (0, ""), f"completing {words}")
    return sorted(line for line in result.stdout.splitlines() if line)


def completion(tree, failures):
    # "ser" begins both serial and serve; "seri" is serial alone.
    failures.equal(complete(tree, ["vornctl", "ser"], failures), ["serial", "serve"], "vornctl ser")
    failures.equal(complete(tree, ["vornctl", "seri"], failures), ["serial"], "vornctl seri")
    failures.equal(complete(tree, ["vornctl", "serve", "--"], failures),
                   ["--access-file", "--allow-host", "--box", "--config", "--insecure-http",
                    "--listen", "--qr", "--report", "--report-ca", "--report-cert",
                    "--report-insecure", "--report-key", "--report-password-file", "--report-user",
                    "--site", "--tls-cert", "--tls-key", "--token-file"], "serve --")
    failures.equal(complete(tree, ["vornctl", "access", ""], failures), ["add", "list", "revoke"],
                   "vornctl access")
    failures.equal(complete(tree, ["vornctl", "access", "revoke", "--"], failures),
                   ["--access-file", "--config", "--token-file"], "access revoke --")
    failures.equal(complete(tree, ["vornctl", "fleet", "j"], failures), ["journal"], "fleet j")
    failures.equal(complete(tree, ["vornctl", "--interface", "127.0.0.1", "serial", "p"], failures),
                   ["program"], "vornctl --interface A serial p")
    failures.equal(complete(tree, ["vornctl", "list", "--c"], failures), ["--csv"], "list --c")
    failures.equal(complete(tree, ["vornctl", "serial", "set", "--"], failures),
                   ["--all", "--allow-duplicate", "--wait", "--yes"], "serial set --")
    failures.equal(complete(tree, ["vornctl", "jo"], failures), ["journal"], "vornctl jo")
    failures.equal(complete(tree, ["vornctl", "journal", "--"], failures),
                   ["--csv", "--device", "--json", "--since"], "journal --")
    # A command's argument is not completed with commands.
    failures.equal(complete(tree, ["vornctl", "serial", "get", ""], failures), [],
                   "serial get ID")

    # After --interface: the addresses `vornctl interfaces` lists, loopback among them.
    listed = run(["vornctl", "interfaces", "--json"],
                 env=dict(os.environ, PATH=os.path.join(tree, "usr", "bin"))).stdout
    addresses = sorted(set(re.findall(r'"address": "([0-9.]+)"', listed)))
    failures.check("127.0.0.1" in addresses, f"vornctl interfaces lists loopback: {addresses}")
    failures.equal(complete(tree, ["vornctl", "--interface", ""], failures), addresses,
                   "vornctl --interface")
    failures.equal(complete(tree, ["vornctl", "--interface", "127."], failures),
                   [a for a in addresses if a.startswith("127.")], "vornctl --interface 127.")

    # Every option that vornctl --help names is offered where it applies.
    usage = run([os.path.join(tree, "usr", "bin", "vornctl"), "--help"]).stdout
    named = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", usage))
    offered = set()
    for words in (["vornctl", "--"], ["vornctl", "interfaces", "--"], ["vornctl", "list", "--"],
                  ["vornctl", "watch", "--"], ["vornctl", "select", "--"],
                  ["vornctl", "deselect", "--"], ["vornctl", "serial", "get", "--"],
                  ["vornctl", "serial", "set", "--"], ["vornctl", "serial", "program", "--"],
                  ["vornctl", "inventory", "--"], ["vornctl", "journal", "--"],
                  ["vornctl", "serve", "--"], ["vornctl", "access", "add", "--"],
                  ["vornctl", "fleet", "--"],
                  ["vornctl", "fleet", "boxes", "--"], ["vornctl", "fleet", "devices", "--"],
                  ["vornctl", "fleet", "journal", "--"], ["vornctl", "fleet", "forget", "--"]):
        offered.update(complete(tree, words, failures))
    failures.equal(sorted(named - offered), [], "options of vornctl --help not completed")


def payload(tree, failures, version):
    with open(os.path.join(ROOT, "LICENSE")) as licence, \
            open(os.path.join(tree, "usr/share/doc/vornservice/copyright")) as copyright_file:
        failures.check(licence.read() == copyright_file.read(), "copyright is the LICENSE")
    with gzip.open(os.path.join(tree, "usr/share/doc/vornservice/changelog.gz"), "rt") as log:
        first = log.readline()
    failures.equal(first.split()[:2], [PACKAGE, f"({version})"],
                   "the changelog's latest entry is this version")
    dissector = os.path.join(tree, LUA_PLUGINS, "vorn.lua")
    with open(os.path.join(ROOT, "src", "apps", "dissector", "vorn.lua"), "rb") as source, \
            open(dissector, "rb") as packaged:
        failures.check(source.read() == packaged.read(), "the packaged dissector is vorn.lua")
    if shutil.which("tshark"):
        folders = run(["tshark", "-G", "folders"]).stdout
        where = re.search(r"^Global Lua Plugins:\s*(\S+)", folders, re.M)
        failures.equal("/" + LUA_PLUGINS, where and where.group(1),
                       "the dissector's folder is tshark's global Lua plugin folder")
        protocols = run(["tshark", "-G", "protocols", "-X", f"lua_script:{dissector}"]).stdout
        failures.check(re.search(r"\tVORN\tvorn$", protocols, re.M),
                       "tshark loads the packaged dissector")
    else:
        print("note: tshark is missing; the dissector's folder is not compared", flush=True)


def main():
    packages, version = processes.arguments(__doc__, 2)
    failures = processes.Failures()
    deb = os.path.join(packages, f"{PACKAGE}_{version}_amd64.deb")
    if not failures.check(os.path.isfile(deb), f"{deb} exists"):
        failures.finish()
    control_fields(deb, failures, version)
    contents(deb, failures)
    lintian(deb, failures)
    with tempfile.TemporaryDirectory() as tree:
        subprocess.run(["dpkg-deb", "--extract", deb, tree], check=True)
        programs(tree, failures, version)
        man_pages(tree, failures)
        completion(tree, failures)
        payload(tree, failures, version)
    failures.finish()


if __name__ == "__main__":
    main()
