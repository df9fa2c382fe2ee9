"""The fleet sweep, deploy/ansible/sweep.yml, run by Debian's ansible-playbook over an sshd of
its own on 127.0.0.1 (a free port, keys made here, root login by key only). The hosts are all
this machine, each with its own device folder or binary; one sits on a closed port. The summary
must have a row for every host in inventory order, and never call a host clean that gave no
answer. Skipped when not root or when ansible-playbook or sshd is missing (tools/install-deps)."""

import calendar
import csv
import glob
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from tvxtest import *

PLAYBOOK = os.path.join(ROOT, "deploy", "ansible", "sweep.yml")
ANSIBLE_PLAYBOOK = "/usr/bin/ansible-playbook"
SSHD = "/usr/sbin/sshd"
# The folders the playbook's temporary folders are made as on a host (here, this machine).
HOST_FOLDERS = "/tmp/ansible.*.tvx"

# Inventory order on purpose not alphabetical: the summary must keep it.
INVENTORY = """\
[sweep]
zeta-bitlocker tvx_devices={folders}/bitlocker
clean tvx_devices={folders}/clean
unreached ansible_port={closed_port}
opening-fails tvx_devices={folders}/unopenable
devices-missing tvx_devices={folders}/no-such-case
run-fails tvx_linux_binary={folders}/exits-1 tvx_devices={folders}/clean
copy-fails tvx_linux_binary={folders}/no-such-binary
timeout-passed tvx_linux_binary={folders}/says-timeout tvx_timeout=7

[sweep:vars]
ansible_host=127.0.0.1
ansible_port={port}
ansible_user=root
ansible_ssh_private_key_file={folders}/user_key
ansible_ssh_common_args=-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
ansible_python_interpreter=/usr/bin/python3
tvx_linux_binary={tvx}
"""

SSHD_CONFIG = """\
ListenAddress 127.0.0.1
Port {port}
HostKey {folders}/host_key
PidFile {folders}/sshd.pid
AuthorizedKeysFile {folders}/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AllowUsers root
UsePAM {use_pam}
StrictModes no
Subsystem sftp internal-sftp
"""


def free_port():
    """Returns a TCP port on 127.0.0.1 that nothing listens on at this moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def root_is_locked():
    """True when root's password is locked: sshd without PAM then refuses even a key login."""
    with open("/etc/shadow") as shadow:
        for line in shadow:
            if line.startswith("root:"):
                return line.split(":")[1].startswith("!")
    return False


def wait_for_login(port, key, process, log, seconds=10):
    """Waits until sshd lets root in with `key`; raises with sshd's log when it does not."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and process.poll() is None:
        login = subprocess.run(["ssh", "-i", key, "-p", str(port), "-o", "BatchMode=yes",
                                "-o", "StrictHostKeyChecking=no",
                                "-o", "UserKnownHostsFile=/dev/null", "root@127.0.0.1", "true"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)
        if login.returncode == 0:
            return
        time.sleep(0.1)
    with open(log, errors="replace") as f:
        raise RuntimeError("root cannot log in to the test's sshd:\n" + f.read())


def without_start_time(report):
    """A report's bytes with the start time blanked, to compare two runs of the same scan."""
    return re.sub(rb'"startedAt":\s*"[^"]*"', b'"startedAt": ""', report)


# The sweep carries whatever scanner it is given: the native suite alone runs these.
SANITIZED_SUITE = native_build_only("the sweep carries whatever scanner it is given")


@SANITIZED_SUITE
class SweepTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest("needs root: sshd is started to log in as root")
        for program, package in ((ANSIBLE_PLAYBOOK, "ansible-core"), (SSHD, "openssh-server")):
            if not os.access(program, os.X_OK):
                raise unittest.SkipTest("%s is missing (package %s; tools/install-deps)"
                                        % (program, package))
        cls.scratch = tempfile.TemporaryDirectory(prefix="tvx-sweep-")
        cls.folders = folders = cls.scratch.name
        cls.port, cls.closed_port = free_port(), free_port()
        cls.build_device_folders()
        for key in ("host_key", "user_key"):
            tool("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(folders, key))
        os.rename(os.path.join(folders, "user_key.pub"), os.path.join(folders, "authorized_keys"))
        with open(os.path.join(folders, "sshd_config"), "w") as f:
            f.write(SSHD_CONFIG.format(port=cls.port, folders=folders,
                                       use_pam="yes" if root_is_locked() else "no"))
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege separation
        log = os.path.join(folders, "sshd.log")
        with open(log, "wb") as sshd_log:
            cls.sshd = subprocess.Popen([SSHD, "-D", "-e", "-f",
                                         os.path.join(folders, "sshd_config")],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=sshd_log)
        try:
            wait_for_login(cls.port, os.path.join(folders, "user_key"), cls.sshd, log)
            cls.folders_before = set(glob.glob(HOST_FOLDERS))
            cls.reports = os.path.join(folders, "reports")
            # A report left by an earlier sweep: the host is unreachable now, so it must go.
            os.makedirs(os.path.join(cls.reports, "hosts"))
            with open(os.path.join(cls.reports, "hosts", "unreached.json"), "w") as f:
                f.write('{"exitStatus": 0, "findings": []}\n')
            cls.started = time.monotonic()
            cls.wall_started = time.time()
            # Relative, as people type it: taken from where ansible-playbook was started.
            cls.sweep = cls.run_playbook("-e", "tvx_report_dir=reports")
            cls.took = time.monotonic() - cls.started
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sshd.send_signal(signal.SIGTERM)
        cls.sshd.wait(timeout=10)
        cls.scratch.cleanup()

    @classmethod
    def build_device_folders(cls):
        folder = lambda name: os.path.join(cls.folders, name)  # noqa: E731
        for name in ("bitlocker", "clean", "unopenable"):
            os.makedirs(folder(name))
        # A whole-disk BitLocker volume; an MBR disk with one FAT32 partition.
        write_at(sparse_file(os.path.join(folder("bitlocker"), "PhysicalDrive0"), MIB), 0,
                 bitlocker_boot_sector(0, MIB // SECTOR))
        clean = sparse_file(os.path.join(folder("clean"), "PhysicalDrive0"), MIB)
        write_at(clean, 0, mbr(starts=(64, 0, 0, 0), types=(0x0C, 0, 0, 0)))
        write_at(clean, 64 * SECTOR, boot_sector(b"MSDOS5.0", fat32_label=b"DATA"))
        # A drive entry that cannot be opened as a drive: a folder.
        os.makedirs(os.path.join(folder("unopenable"), "PhysicalDrive0"))
        with open(folder("exits-1"), "w") as f:
            f.write("#!/bin/sh\necho 'not a scanner' >&2\nexit 1\n")
        os.chmod(folder("exits-1"), 0o755)
        # A stand-in that reports, as a finding, the timeout and device folder it was given.
        with open(folder("says-timeout"), "w") as f:
            f.write("#!/bin/sh\nprintf '{\"exitStatus\": 3, \"gaps\": [], \"findings\": "
                    "[{\"message\": \"TVX_TIMEOUT=%s TVX_DEVICES=%s\"}]}\\n' \"$TVX_TIMEOUT\" "
                    "\"${TVX_DEVICES-unset}\"\nexit 3\n")
        os.chmod(folder("says-timeout"), 0o755)
        with open(folder("inventory"), "w") as f:
            f.write(INVENTORY.format(folders=cls.folders, port=cls.port,
                                     closed_port=cls.closed_port, tvx=os.path.abspath(TVX)))

    @classmethod
    def run_playbook(cls, *args):
        home = os.path.join(cls.folders, "ansible-home")
        os.makedirs(home, exist_ok=True)
        config = os.path.join(home, "ansible.cfg")  # empty: no setting of this machine's applies
        open(config, "w").close()
        env = dict(os.environ, ANSIBLE_HOME=home, ANSIBLE_LOCAL_TEMP=home + "/tmp",
                   ANSIBLE_REMOTE_TEMP=home + "/remote-tmp", ANSIBLE_CONFIG=config,
                   ANSIBLE_SSH_CONTROL_PATH_DIR=home + "/cp", ANSIBLE_FORKS="10",
                   ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
                   ANSIBLE_HOST_KEY_CHECKING="0", ANSIBLE_TIMEOUT="10")
        return subprocess.run([ANSIBLE_PLAYBOOK, "-i", os.path.join(cls.folders, "inventory"),
                               PLAYBOOK, *args], cwd=cls.folders, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                              timeout=240)

    def local_report(self, name):
        """What this machine's scanner says about one of the device folders."""
        return run_tvx(["/json"], devices=os.path.join(self.folders, name)).stdout

    def report_path(self, host):
        return os.path.join(self.reports, "hosts", host + ".json")

    def expected_rows(self):
        bitlocker = json.loads(self.local_report("bitlocker"))["findings"]
        self.assertEqual([f["kind"] for f in bitlocker], ["bitlocker"])
        missing = os.path.join(self.folders, "no-such-case")
        return [
            {"host": "zeta-bitlocker", "verdict": "found", "exitStatus": 3, "findings": 1,
             "gaps": 0, "reason": "", "messages": [bitlocker[0]["message"]]},
            {"host": "clean", "verdict": "clean", "exitStatus": 0, "findings": 0, "gaps": 0,
             "reason": "", "messages": []},
            {"host": "unreached", "verdict": "unreachable", "exitStatus": None, "findings": None,
             "gaps": None, "reason": "", "messages": []},
            {"host": "opening-fails", "verdict": "incomplete", "exitStatus": 2, "findings": 0,
             "gaps": 1, "reason": "Error opening PhysicalDrive0... Error: 5\n"
                                  "  - access is denied.", "messages": []},
            # A mistyped device folder: the report says why, instead of a parse error.
            {"host": "devices-missing", "verdict": "incomplete", "exitStatus": 2, "findings": 0,
             "gaps": 1, "reason": "TVX_DEVICES names %s, which does not exist." % missing,
             "messages": []},
            {"host": "run-fails", "verdict": "failed", "exitStatus": 1, "findings": None,
             "gaps": None, "reason": "", "messages": []},
            {"host": "copy-fails", "verdict": "failed", "exitStatus": None, "findings": None,
             "gaps": None, "reason": "", "messages": []},
            {"host": "timeout-passed", "verdict": "found", "exitStatus": 3, "findings": 1,
             "gaps": 0, "reason": "", "messages": ["TVX_TIMEOUT=7 TVX_DEVICES=unset"]},
        ]

    def test_summary_json_has_every_host_in_inventory_order(self):
        with open(os.path.join(self.reports, "summary.json"), encoding="utf-8") as f:
            summary = json.load(f)
        self.assertEqual(list(summary), ["sweptAt", "hosts"])
        # Written once the hosts are done: within the sweep's run, to the second, in UTC.
        swept = calendar.timegm(time.strptime(summary["sweptAt"], "%Y-%m-%dT%H:%M:%SZ"))
        self.assertLessEqual(int(self.wall_started), swept)
        self.assertLessEqual(swept, self.wall_started + self.took + 1)
        expected = self.expected_rows()
        self.assertEqual(len(summary["hosts"]), len(expected))
        for actual, row in zip(summary["hosts"], expected):
            with self.subTest(host=row["host"]):
                self.assertEqual(actual, row)

    def test_summary_csv_has_the_same_rows(self):
        with open(os.path.join(self.reports, "summary.csv"), encoding="utf-8", newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["host", "verdict", "exit_status", "findings", "gaps", "reason",
                                   "messages"])
        expected = self.expected_rows()
        self.assertEqual(len(rows) - 1, len(expected))
        blank = lambda value: "" if value is None else str(value)  # noqa: E731
        for actual, row in zip(rows[1:], expected):
            with self.subTest(host=row["host"]):
                self.assertEqual(actual, [row["host"], row["verdict"], blank(row["exitStatus"]),
                                          blank(row["findings"]), blank(row["gaps"]),
                                          row["reason"], " | ".join(row["messages"])])

    def test_reports_are_kept_byte_for_byte_and_only_for_hosts_that_answered(self):
        for host, folder in (("zeta-bitlocker", "bitlocker"), ("clean", "clean"),
                             ("opening-fails", "unopenable"), ("devices-missing", "no-such-case")):
            with self.subTest(host=host), open(self.report_path(host), "rb") as f:
                self.assertEqual(without_start_time(f.read()),
                                 without_start_time(self.local_report(folder)))
        for host in ("unreached", "run-fails", "copy-fails"):
            with self.subTest(host=host):
                self.assertFalse(os.path.exists(self.report_path(host)))

    def test_the_sweep_fails_naming_the_hosts_without_a_report_and_leaves_nothing_behind(self):
        output = self.sweep.stdout.decode(errors="replace")
        self.assertEqual(self.sweep.returncode, 2, output)
        for line in ("unreached: unreachable", "run-fails: failed", "copy-fails: failed"):
            self.assertIn(line, output)
        self.assertNotIn("zeta-bitlocker: ", output)
        self.assertEqual(set(glob.glob(HOST_FOLDERS)), self.folders_before)
        self.assertLess(self.took, 180, "the sweep of seven hosts took %.0f s" % self.took)


@SANITIZED_SUITE
class PlaybookCheckTest(unittest.TestCase):
    """The Windows tasks cannot run here: ansible-playbook resolves every module of the playbook
    (the ansible.windows ones come with Debian's ansible package) and ansible-lint passes it."""

    def test_syntax_check_resolves_every_module(self):
        if not os.access(ANSIBLE_PLAYBOOK, os.X_OK):
            self.skipTest("ansible-playbook is missing (package ansible-core)")
        listed = subprocess.run(["ansible-galaxy", "collection", "list", "ansible.windows"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if b"ansible.windows" not in listed.stdout:
            self.skipTest("the ansible.windows collection is missing (package ansible)")
        check = subprocess.run([ANSIBLE_PLAYBOOK, "--syntax-check", "-i", "localhost,", PLAYBOOK],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(check.returncode, 0, check.stdout.decode(errors="replace"))

    def test_ansible_lint_passes(self):
        if not have("ansible-lint"):
            self.skipTest("ansible-lint is missing (package ansible-lint)")
        lint = subprocess.run(["ansible-lint", "--offline", "--nocolor", PLAYBOOK],
                              cwd=os.path.dirname(PLAYBOOK), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        self.assertEqual(lint.returncode, 0, lint.stdout.decode(errors="replace"))


if __name__ == "__main__":
    run_file()
