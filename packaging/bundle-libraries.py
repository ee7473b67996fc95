#!/usr/bin/env python3
"""Makes an installed application folder portable.

    bundle-libraries.py APP_FOLDER DEPENDS_FILE

Copies into APP_FOLDER the toolkit's plugins (plugins/), its French translations
(translations/) and every shared library the programs and plugins need (lib/), except those of
the Debian packages listed in system-packages.txt, which the machine must have. Points every
program, library and plugin at lib/ through its RUNPATH, so that the folder runs wherever it is
moved. Writes to DEPENDS_FILE the Debian dependencies of what was left out, one a line
("package (>= version)"), and prints the libraries carried.
"""

import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# The toolkit's plugins the window needs on X11, on Wayland and without a display, the image
# formats it may read, and the input methods people type with.
PLUGINS = {
    "platforms": ["libqxcb.so", "libqwayland-egl.so", "libqwayland-generic.so",
                  "libqoffscreen.so", "libqminimal.so"],
    "xcbglintegrations": ["libqxcb-glx-integration.so", "libqxcb-egl-integration.so"],
    "wayland-shell-integration": ["libxdg-shell.so"],
    "wayland-decoration-client": ["libbradient.so"],
    "wayland-graphics-integration-client": ["libqt-plugin-wayland-egl.so",
                                            "libshm-emulation-server.so",
                                            "libdmabuf-server.so", "libdrm-egl-server.so"],
    "imageformats": ["libqgif.so", "libqico.so", "libqjpeg.so"],
    "platforminputcontexts": ["libcomposeplatforminputcontextplugin.so",
                              "libibusplatforminputcontextplugin.so"],
}
TRANSLATIONS = ["qtbase_fr.qm", "qt_fr.qm"]

QT_CONF = """[Paths]
Prefix = ..
Plugins = plugins
Translations = translations
"""


def fail(message):
    sys.exit("bundle-libraries: " + message)


def run(*arguments):
    return subprocess.run(arguments, check=True, capture_output=True, text=True).stdout


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-d", path))


def resolved(path):
    """Where the loader finds each library of path (its own and those of its libraries)."""
    found = {}
    for line in run("ldd", path).splitlines():
        m = re.match(r"\s*(\S+) => (.*?) \(0x", line)
        if m:
            found[m.group(1)] = m.group(2)
        elif "=> not found" in line:
            fail(f"{path} needs {line.split()[0]}, which this machine does not have")
    return found


class Packages:
    """The Debian package that owns a file, from dpkg's lists of installed files (read once);
    the lists may name a library under /lib or under /usr/lib."""

    def __init__(self):
        self.owners = {}
        info = "/var/lib/dpkg/info"
        for name in os.listdir(info):
            if name.endswith(".list"):
                package = name[:-len(".list")].split(":")[0]
                with open(os.path.join(info, name), errors="replace") as f:
                    for line in f:
                        self.owners[line.rstrip("\n")] = package

    def owner(self, path):
        candidates = [path, os.path.realpath(path)]
        for p in list(candidates):
            if p.startswith("/usr/lib/"):
                candidates.append(p[len("/usr"):])
            elif p.startswith("/lib/"):
                candidates.append("/usr" + p)
        for p in candidates:
            if p in self.owners:
                return self.owners[p]
        return None


def upstream_version(package):
    version = run("dpkg-query", "-W", "-f=${Version}", package).strip()
    return version.rsplit("-", 1)[0] if "-" in version else version


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    app, depends_file = sys.argv[1], sys.argv[2]
    system = set()
    with open(os.path.join(HERE, "system-packages.txt")) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                system.add(line)

    core = resolved(os.path.join(app, "bin", "zarvo-recorder")).get("libQt6Core.so.6")
    if not core:
        fail("bin/zarvo-recorder does not use the toolkit")
    plugin_source = os.path.join(os.path.dirname(os.path.realpath(core)), "qt6", "plugins")
    translation_source = "/usr/share/qt6/translations"

    # Programs and plugins, each with the RUNPATH that leads it to lib/.
    elves = []
    for name in sorted(os.listdir(os.path.join(app, "bin"))):
        path = os.path.join(app, "bin", name)
        if os.path.isfile(path) and is_elf(path):
            elves.append((path, "$ORIGIN/../lib"))
    for kind, names in PLUGINS.items():
        os.makedirs(os.path.join(app, "plugins", kind), exist_ok=True)
        for name in names:
            source = os.path.join(plugin_source, kind, name)
            if not os.path.exists(source):
                fail(f"the toolkit's plugin {kind}/{name} is not installed")
            target = os.path.join(app, "plugins", kind, name)
            shutil.copyfile(source, target)
            os.chmod(target, 0o644)
            elves.append((target, "$ORIGIN/../../lib"))
    os.makedirs(os.path.join(app, "translations"), exist_ok=True)
    for name in TRANSLATIONS:
        source = os.path.join(translation_source, name)
        if not os.path.exists(source):
            fail(f"the toolkit's translation {name} is not installed")
        shutil.copyfile(source, os.path.join(app, "translations", name))
    with open(os.path.join(app, "bin", "qt.conf"), "w") as f:
        f.write(QT_CONF)

    # Walk the libraries: a system one ends the walk (its own needs are the system's), any
    # other is carried and walked in turn.
    lib = os.path.join(app, "lib")
    os.makedirs(lib, exist_ok=True)
    packages = Packages()
    used_system = set()
    carried = {}
    queue = list(elves)
    while queue:
        path, _ = queue.pop(0)
        where = resolved(path)
        for name in needed(path):
            if name in carried or name.startswith("ld-linux"):
                continue
            source = where.get(name)
            if not source:
                fail(f"the loader does not resolve {name}, needed by {path}")
            owner = packages.owner(source)
            if owner in system:
                used_system.add(owner)
                continue
            if owner is None:
                fail(f"{source}, needed by {path}, belongs to no Debian package")
            target = os.path.join(lib, name)
            shutil.copyfile(os.path.realpath(source), target)
            os.chmod(target, 0o644)
            carried[name] = owner
            queue.append((target, "$ORIGIN"))
            elves.append((target, "$ORIGIN"))

    for path, runpath in elves:
        run("patchelf", "--set-rpath", runpath, path)

    with open(depends_file, "w") as f:
        for package in sorted(used_system | {"libc6"}):
            f.write(f"{package} (>= {upstream_version(package)})\n")
    for name in sorted(carried):
        print(f"{name}\t{carried[name]}")


if __name__ == "__main__":
    main()
