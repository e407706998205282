#!/usr/bin/env python3
"""Runs a systemd service unit's ExecStart as systemd would, on a machine where systemd is not
PID 1: the unit's user and group, its working, state and runtime folders, environment and
umask, no new privileges, an empty capability bounding set, its system-call filter (allow
list, removals, error number, address families and write-or-execute memory), and, in a mount
namespace of its own, ProtectSystem=strict, PrivateTmp and ProtectProc/ProcSubset.

Run as root. Prints "MAINPID=N" when the program started, the notify socket's messages as
"NOTIFY <message>" lines (Type=notify: READY=1, STATUS=...), and ends with the program's exit
status. Signals sent to this process (TERM, INT, HUP) are passed on to the program.

Usage: unitrun.py UNIT_FILE
"""

import ctypes
import errno
import os
import pwd
import grp
import select
import shlex
import signal
import socket
import subprocess
import sys
import tempfile

libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS = 0x00020000
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC = 1, 2, 4, 8
MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 32, 4096, 16384, 1 << 18
PR_CAPBSET_DROP, PR_SET_NO_NEW_PRIVS = 24, 38


def fail(text):
    print(f"unitrun: {text}", file=sys.stderr, flush=True)
    sys.exit(125)


def check(result, what):
    if result != 0:
        e = ctypes.get_errno()
        fail(f"{what}: {os.strerror(e)}")


def parse_unit(path):
    """The [Service] section: each key with its values in order (keys may repeat)."""
    service, section = {}, None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section != "[Service]" or "=" not in line:
                continue
            key, value = line.split("=", 1)
            service.setdefault(key.strip(), []).append(value.strip())
    return service


def last(service, key, default=None):
    values = service.get(key)
    return values[-1] if values else default


def expand_group(name, seen=None):
    """The system calls of a filter group (@name) as systemd-analyze lists them, nested
    groups included."""
    seen = set() if seen is None else seen
    if name in seen:
        return set()
    seen.add(name)
    out = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager", name],
                         capture_output=True, text=True, check=True).stdout
    calls = set()
    for line in out.splitlines()[1:]:
        word = line.strip()
        if not word or word.startswith("#"):
            continue
        calls |= expand_group(word, seen) if word.startswith("@") else {word}
    return calls


def allowed_calls(service):
    allowed, first = set(), True
    for value in service.get("SystemCallFilter", []):
        deny = value.startswith("~")
        words = value.lstrip("~").split()
        calls = set()
        for word in words:
            calls |= expand_group(word) if word.startswith("@") else {word}
        if first and deny:
            fail("a deny-list filter first is not supported")
        allowed = allowed - calls if deny else allowed | calls
        first = False
    return allowed


def install_filter(service, allowed):
    import seccomp

    if not allowed:
        return
    number = last(service, "SystemCallErrorNumber")
    default = seccomp.ERRNO(getattr(errno, number)) if number else seccomp.KILL_PROCESS
    f = seccomp.SyscallFilter(default)
    families = last(service, "RestrictAddressFamilies", "")
    family_numbers = [getattr(socket, name) for name in families.split()]
    deny_wx = last(service, "MemoryDenyWriteExecute") == "yes"
    PROT_WRITE, PROT_EXEC = 2, 4
    for call in sorted(allowed):
        if seccomp.resolve_syscall(0, call) == -1:
            continue  # a call this libseccomp does not know
        if call == "socket" and family_numbers:
            for number_ in family_numbers:
                f.add_rule(seccomp.ALLOW, call, seccomp.Arg(0, seccomp.EQ, number_))
        elif call == "mmap" and deny_wx:
            # Neither writable and executable at once...
            f.add_rule(seccomp.ALLOW, call,
                       seccomp.Arg(2, seccomp.MASKED_EQ, PROT_WRITE | PROT_EXEC, 0))
            f.add_rule(seccomp.ALLOW, call,
                       seccomp.Arg(2, seccomp.MASKED_EQ, PROT_WRITE | PROT_EXEC, PROT_WRITE))
            f.add_rule(seccomp.ALLOW, call,
                       seccomp.Arg(2, seccomp.MASKED_EQ, PROT_WRITE | PROT_EXEC, PROT_EXEC))
        elif call in ("mprotect", "pkey_mprotect") and deny_wx:
            # ...nor made executable later.
            f.add_rule(seccomp.ALLOW, call, seccomp.Arg(2, seccomp.MASKED_EQ, PROT_EXEC, 0))
        else:
            f.add_rule(seccomp.ALLOW, call)
    f.load()


def mount(source, target, fstype, flags, data=None):
    return libc.mount(source and source.encode(), target.encode(), fstype and fstype.encode(),
                      ctypes.c_ulong(flags), data and data.encode())


def confine_mounts(service, writable):
    """A mount namespace of the program's own, as systemd sets one up."""
    check(libc.unshare(CLONE_NEWNS), "unshare")
    check(mount(None, "/", None, MS_REC | MS_PRIVATE), "making mounts private")
    if last(service, "PrivateTmp") == "yes":
        for place in ("/tmp", "/var/tmp"):
            check(mount("tmpfs", place, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777"),
                  f"tmpfs on {place}")
    proc = []
    if last(service, "ProtectProc") in ("invisible", "noaccess", "ptraceable"):
        proc.append("hidepid=" + last(service, "ProtectProc"))
    if last(service, "ProcSubset") == "pid":
        proc.append("subset=pid")
    if proc:
        check(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, ",".join(proc)),
              "proc with " + ",".join(proc))
    if last(service, "ProtectSystem") == "strict":
        for place in writable:
            check(mount(place, place, None, MS_BIND | MS_REC), f"binding {place}")
        with open("/proc/self/mountinfo", encoding="utf-8") as f:
            points = [line.split()[4] for line in f]
        keep = ("/proc", "/sys", "/dev", "/run/tolvern-notify") + tuple(writable)
        for point in points:
            point = point.replace("\\040", " ")
            if any(point == k or point.startswith(k + "/") for k in keep):
                continue
            # Read-only, each mount with the flags it had.
            stat = os.statvfs(point)
            flags = MS_REMOUNT | MS_BIND | MS_RDONLY
            flags |= MS_NOSUID if stat.f_flag & os.ST_NOSUID else 0
            flags |= MS_NODEV if stat.f_flag & os.ST_NODEV else 0
            flags |= MS_NOEXEC if stat.f_flag & os.ST_NOEXEC else 0
            mount(None, point, None, flags)


def prepare_folders(service, user, group):
    """StateDirectory= and RuntimeDirectory=, owned by the unit's user."""
    made = []
    for key, base in (("StateDirectory", "/var/lib"), ("RuntimeDirectory", "/run")):
        for value in service.get(key, []):
            for name in value.split():
                path = os.path.join(base, name)
                os.makedirs(path, mode=0o755, exist_ok=True)
                os.chown(path, user.pw_uid, group.gr_gid)
                made.append(path)
    return made


def child(service, user, group, env, argv, writable, allowed):
    confine_mounts(service, writable)
    os.chdir(last(service, "WorkingDirectory", user.pw_dir))
    os.umask(int(last(service, "UMask", "0022"), 8))
    if last(service, "CapabilityBoundingSet", None) == "":
        for cap in range(64):
            if libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 and ctypes.get_errno() == errno.EINVAL:
                break
    os.setgroups([g.gr_gid for g in grp.getgrall() if user.pw_name in g.gr_mem])
    os.setgid(group.gr_gid)
    os.setuid(user.pw_uid)
    if last(service, "NoNewPrivileges") == "yes" or service.get("SystemCallFilter"):
        check(libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), "no new privileges")
    install_filter(service, allowed)
    os.execve(argv[0], argv, env)


def main():
    if len(sys.argv) != 2:
        fail("usage: unitrun.py UNIT_FILE")
    service = parse_unit(sys.argv[1])
    user = pwd.getpwnam(last(service, "User", "root"))
    group = grp.getgrnam(last(service, "Group", user.pw_name))
    writable = prepare_folders(service, user, group)
    argv = shlex.split(last(service, "ExecStart"))
    allowed = allowed_calls(service)

    notify_dir = "/run/tolvern-notify"
    os.makedirs(notify_dir, exist_ok=True)
    notify_path = tempfile.mktemp(dir=notify_dir, suffix=".sock")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    os.chmod(notify_path, 0o777)

    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
           "HOME": user.pw_dir, "USER": user.pw_name, "LOGNAME": user.pw_name,
           "SHELL": user.pw_shell, "INVOCATION_ID": os.urandom(16).hex(),
           "NOTIFY_SOCKET": notify_path, "LANG": "C.UTF-8"}
    for value in service.get("Environment", []):
        for item in shlex.split(value):
            key, _, val = item.partition("=")
            env[key] = val
    # A sanitizer build's options pass; LeakSanitizer stops the world with ptrace, which
    # the unit's filter does not allow, so it is off for the service.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    if last(service, "WatchdogSec"):
        env["WATCHDOG_USEC"] = str(int(last(service, "WatchdogSec").rstrip("s")) * 1000000)

    pid = os.fork()
    if pid == 0:
        try:
            env["WATCHDOG_PID"] = str(os.getpid())
            child(service, user, group, env, argv, writable, allowed)
        except SystemExit:
            raise
        except BaseException as e:  # noqa: BLE001 - anything that stops the start
            print(f"unitrun: {e}", file=sys.stderr, flush=True)
        os._exit(126)
    print(f"MAINPID={pid}", flush=True)
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, lambda s, _f: os.kill(pid, s))
    while True:
        try:
            ready, _, _ = select.select([notify], [], [], 0.2)
        except InterruptedError:
            continue
        if ready:
            print("NOTIFY " + notify.recv(4096).decode(errors="replace").replace("\n", " "),
                  flush=True)
            continue
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
    notify.close()
    os.unlink(notify_path)
    code = os.waitstatus_to_exitcode(status)
    print(f"EXIT={code}", flush=True)
    sys.exit(code if code >= 0 else 128 - code)


if __name__ == "__main__":
    main()
