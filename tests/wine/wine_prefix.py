"""wine_prefix.py - Wine prefixes and sessions for the runner.

A template prefix is made once per Wine version and test files (wineboot,
the test driver and class installer copied in, the base registry imported); every run gets a fresh
clone of it, with a wineserver of its own kept alive for the whole session,
so that a loaded driver stays loaded between the runner's Wine commands.
Only the Python standard library is used.
"""

import contextlib
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time

SKIP = 77


class Skip(Exception):
    """A tool the runner needs is not installed."""


class RunnerError(Exception):
    """Wine or the prefix did not behave as the runner needs."""


def require(program):
    path = shutil.which(program)
    if path is None:
        raise Skip("%s is not installed" % program)
    return path


# Wine's ANSI code page is its Unix locale's: the locale each code page a
# scenario may give takes (1252: the default, Wine's en-US).
LOCALES = {1251: "ru_RU", 936: "zh_CN"}
# The locale of each session's prefix that runs in one.
SESSION_LOCALES = {}


def make_locale(cache, code_page):
    """The Unix locale giving Wine the ANSI code page, made with localedef
    into the cache when glibc has none installed: (LANG, LOCPATH or None)."""
    name = LOCALES[code_page] + ".UTF-8"
    installed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    if name.lower().replace("-", "") in [n.lower() for n in installed]:
        return name, None
    where = os.path.join(cache, "locales")
    if not os.path.isdir(os.path.join(where, name)):
        os.makedirs(where, exist_ok=True)
        # localedef warns (exit code 1) about what glibc's own sources hold.
        subprocess.run([require("localedef"), "-i", LOCALES[code_page], "-f", "UTF-8", os.path.join(where, name)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    if not os.path.isdir(os.path.join(where, name)):
        raise Skip("localedef could not make %s" % name)
    return name, where


def wine_environment(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="winemenubuilder.exe=d")
    env.pop("DISPLAY", None)  # no window is ever wanted; Wine falls back to its null driver
    if prefix in SESSION_LOCALES:
        lang, locpath = SESSION_LOCALES[prefix]
        env.update(LANG=lang, LC_ALL=lang, **({"LOCPATH": locpath} if locpath else {}))
    return env


def wine(prefix, *args, stdout=subprocess.DEVNULL, timeout=120, check=True):
    """Runs `wine args...` in prefix. Returns the exit code."""
    result = subprocess.run(["wine"] + list(args), env=wine_environment(prefix), stdout=stdout,
                            stderr=subprocess.DEVNULL, timeout=timeout)
    if check and result.returncode != 0:
        raise RunnerError("wine %s exited with %d" % (" ".join(args), result.returncode))
    return result.returncode


def stop_session(prefix):
    """Ends the prefix's wineserver and every Wine process of it, and waits."""
    env = wine_environment(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=60)


def to_windows_path(path):
    """A Unix path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def import_reg(prefix, text, work_dir, name):
    """Imports a REGEDIT4 text (8-bit) with regedit /S."""
    path = os.path.join(work_dir, name)
    with open(path, "wb") as f:
        f.write(text.encode("latin-1"))
    wine(prefix, "regedit", "/S", to_windows_path(path))


def template_stamp(files):
    """What a template was made from: Wine's version and the bytes of the
    files copied in."""
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    digests = []
    for source in sorted(files.values()):
        with open(source, "rb") as f:
            digests.append(hashlib.sha256(f.read()).hexdigest())
    return " ".join([version] + digests)


def ensure_template(cache, files, base_registry):
    """Makes (once) the cached prefix every run starts from: wineboot, files
    ({path under C:\\windows: source}) copied in over what Wine put there,
    base_registry (.reg text) imported. Returns its path."""
    require("wine")
    require("wineserver")
    os.makedirs(cache, exist_ok=True)
    template = os.path.join(cache, "template")
    stamp_path = os.path.join(cache, "template.stamp")
    with open(os.path.join(cache, "template.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = template_stamp(files)
        if os.path.exists(stamp_path) and open(stamp_path).read() == stamp and os.path.isdir(template):
            return template
        shutil.rmtree(template, ignore_errors=True)
        with contextlib.suppress(FileNotFoundError):
            os.remove(stamp_path)
        started = time.monotonic()
        subprocess.run(["wineboot", "-i"], env=wine_environment(template), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        for target, source in files.items():
            path = os.path.join(template, "drive_c", "windows", target)
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
            shutil.copy(source, path)
        import_reg(template, base_registry, cache, "base.reg")
        stop_session(template)
        with open(stamp_path, "w") as f:
            f.write(stamp)
        print("made Wine template in %.1f s" % (time.monotonic() - started), file=sys.stderr)
        return template


def clone_prefix(template, target):
    """A private prefix from the template: files hard-linked (Wine replaces
    the registry files rather than writing into them, and the runs write no
    other file), the registry files copied, and no 'wineserver' id file, so
    that the copy gets a server of its own instead of sharing the template's."""
    shutil.rmtree(target, ignore_errors=True)
    subprocess.run(["cp", "-al", template, target], check=True)
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(target, name)
        os.remove(path)
        shutil.copy2(os.path.join(template, name), path)
    with contextlib.suppress(FileNotFoundError):
        os.remove(os.path.join(target, "wineserver"))


class Session:
    """A fresh clone of the template for one run, with its Wine session
    running until the block ends."""

    def __init__(self, template, work_dir, code_page=1252):
        """code_page: the ANSI code page the session's programs get (LOCALES)."""
        self.work_dir = work_dir
        self.prefix = os.path.join(work_dir, "prefix")
        self.server = None
        os.makedirs(work_dir, exist_ok=True)
        clone_prefix(template, self.prefix)
        if code_page != 1252:
            SESSION_LOCALES[self.prefix] = make_locale(os.path.dirname(template), code_page)

    def __enter__(self):
        # A persistent server keeps the session, and with it a loaded
        # driver, alive between the runner's Wine commands. Wine commands
        # wait for its socket: one started before it would start a server
        # of its own.
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=wine_environment(self.prefix),
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Debian's Wine keeps the server's directory under /tmp at a random
        # name, written to the prefix's "wineserver" file.
        info = os.stat(self.prefix)
        deadline = time.monotonic() + 60
        while self.server.poll() is None and time.monotonic() < deadline:
            with contextlib.suppress(OSError):
                with open(os.path.join(self.prefix, "wineserver")) as f:
                    name = f.read().strip()
                if os.path.exists("/tmp/%s/server-%x-%x/socket" % (name, info.st_dev, info.st_ino)):
                    break
            time.sleep(0.02)
        return self

    def __exit__(self, *exc):
        with contextlib.suppress(subprocess.TimeoutExpired):
            stop_session(self.prefix)
        # The server is this session's own child: end it by its id when
        # "wineserver -k" did not reach it.
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait(timeout=60)
        if not os.environ.get("EDCCA_WINE_KEEP"):
            shutil.rmtree(self.work_dir, ignore_errors=True)

    def import_reg(self, text, name):
        import_reg(self.prefix, text, self.work_dir, name)

    def run(self, exe, *arguments):
        """Runs exe with standard output to a file: its exit code, the
        bytes it wrote (as latin-1 text) and how long it took."""
        out_path = os.path.join(self.work_dir, "stdout.bin")
        started = time.monotonic()
        with open(out_path, "wb") as out:
            exit_code = wine(self.prefix, exe, *arguments, stdout=out, check=False)
        duration = time.monotonic() - started
        with open(out_path, "rb") as f:
            return {"exitCode": exit_code, "stdout": f.read().decode("latin-1"), "durationMs": round(duration * 1000)}
