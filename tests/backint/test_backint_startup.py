"""hana-backint start-up, end to end in the sandbox: every way it can fail
before a handler runs, with its exit code and log line."""
import os
import stat
import unittest

import sandbox_env as sb

sb.require_sandbox()

HOST_UUID = "0b7c9a52-3f11-4e0e-9d53-1c2f4b5a6d7e"
USAGE = ("backint\n\t -u <user_id>\n\t[ -f <function> ]\n\t[ -p <par_file> ]\n\t[ -i <in_file> ]\n"
         "\t[ -o <out_file> ]\n\t[ -s <database_backup_id> ]\n\t[ -c <number_of_objects> ]\n"
         "\t[ -l <backup_level> ]\n\t[ --svc-conf <svc.conf> ]\n\t-v\n\t-V\n\t-h\n\n")


class BackintStartup(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.user = sb.add_sid_user("HDB")

    def setUp(self):
        for path in (sb.ACCESS_KEY_FILE, sb.AGENT_CONF_DIR + "/agent.conf", sb.AGENT_CONF_DIR + "/access_key"):
            if os.path.exists(path):
                os.unlink(path)
        for name in os.listdir(sb.LOG_DIR):
            os.unlink(os.path.join(sb.LOG_DIR, name))

    def backint(self, *args, user=None):
        return sb.run_as(user, [sb.BACKINT] + list(args))

    def test_version_and_help_answer_without_anything_else(self):
        r = self.backint("-v", user=self.user)
        self.assertEqual((r.returncode, r.stdout), (0, "backint 1.5.0\n"))
        r = self.backint("-x", "-V", "-u", user=self.user)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "Corvane Corporation Strovix3 backint, API version 1.5.0, product version \n")
        r = self.backint("-h", "-v")
        self.assertEqual((r.returncode, r.stdout), (0, USAGE))

    def test_missing_user_id(self):
        r = self.backint("-f", "backup", "-x", user=self.user)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, USAGE)
        self.assertEqual(r.stderr, "Unknown backint option ?\nFailed to get user id\n")

    def test_no_access_key_file_and_no_agent_configuration(self):
        r = self.backint("-u", "HDB", "-f", "backup", user=self.user)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.endswith("Failed to get backupd host info from config file\n"), r.stderr)
        self.assertIn("/etc/opt/corvane/strovix3/agent/agent.conf", r.stderr)

    def test_access_key_file_without_key_does_not_fall_back(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        os.makedirs(sb.HANA_WORK_DIR, exist_ok=True)
        with open(sb.ACCESS_KEY_FILE, "w") as f:
            f.write('{"backupd_host": "127.0.0.1", "backupd_port": 4000}')
        r = self.backint("-u", "HDB", "-f", "backup")  # root could read the agent's key
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Failed to get backupd host info from config file\n")

    def test_access_key_file_is_written_for_sapsys_and_read_by_sid_adm(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        r = sb.write_access_key_file()
        self.assertEqual(r.returncode, 0, r.stderr)
        st = os.stat(sb.ACCESS_KEY_FILE)
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o640)
        self.assertEqual(st.st_gid, sb.SAPSYS_GID)
        with open(sb.ACCESS_KEY_FILE) as f:
            text = f.read()
        self.assertNotIn("the-agent-key", text)
        self.assertEqual(list(__import__("json").loads(text).keys()),
                         ["encoded_access_key", "backupd_host", "backupd_port", "backupd_ssl"])
        # Unchanged key: the file is left alone. Changed key: rewritten.
        mtime = os.stat(sb.ACCESS_KEY_FILE).st_mtime_ns
        os.utime(sb.ACCESS_KEY_FILE, ns=(1, 1))
        self.assertEqual(sb.write_access_key_file().returncode, 0)
        self.assertEqual(os.stat(sb.ACCESS_KEY_FILE).st_mtime_ns, 1)
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="a-new-key")
        self.assertEqual(sb.write_access_key_file().returncode, 0)
        self.assertNotEqual(os.stat(sb.ACCESS_KEY_FILE).st_mtime_ns, 1)
        del mtime
        # The same key for a backupd at another address: rewritten with it.
        sb.write_agent_conf(HOST_UUID, port=4001, access_key="a-new-key")
        self.assertEqual(sb.write_access_key_file().returncode, 0)
        with open(sb.ACCESS_KEY_FILE) as f:
            self.assertEqual(__import__("json").load(f)["backupd_port"], 4001)

        # <sid>adm reads it (it cannot read the agent's own key) and gets as far
        # as the service configuration.
        r = self.backint("-u", "HDB", "-f", "backup", "--svc-conf", "/usr/sap", user=self.user)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "svc.conf file /usr/sap not found.\nFailed to load services\n")

    def test_wrong_host_uuid_cannot_decode_the_key(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        self.assertEqual(sb.write_access_key_file().returncode, 0)
        sb.write_agent_conf("ffffffff-3f11-4e0e-9d53-1c2f4b5a6d7e", port=4000)
        r = self.backint("-u", "HDB", "-f", "backup", user=self.user)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Failed to decode the access key of '%s'\n"
                         "Failed to get backupd host info from config file\n" % sb.ACCESS_KEY_FILE)

    def test_unknown_function_fails_after_the_services_are_loaded(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        self.assertEqual(sb.write_access_key_file().returncode, 0)
        r = self.backint("-u", "HDB", "-f", "Backup", user=self.user)
        self.assertEqual(r.returncode, 1)
        # The default service configuration sends the log to the system's
        # own log file, which <sid>adm creates.
        with open(sb.backint_log("HDB")) as f:
            self.assertIn("Invalid function function\n", f.read())

    def test_every_system_logs_into_its_own_file_and_never_through_a_link(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        self.assertEqual(sb.write_access_key_file().returncode, 0)
        other = sb.add_sid_user("HDX")
        self.assertEqual(stat.S_IMODE(os.stat(sb.LOG_DIR).st_mode), 0o3775)
        for sid, user in (("HDB", self.user), ("HDX", other)):
            r = self.backint("-u", "T01@" + sid, "-f", "Backup", user=user)
            self.assertEqual((r.returncode, r.stderr), (1, ""))
            st = os.lstat(sb.backint_log(sid))
            self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)),
                             (__import__("pwd").getpwnam(user).pw_uid, sb.SAPSYS_GID, 0o640))
            with open(sb.backint_log(sid)) as f:
                self.assertEqual(f.read(), "Invalid function function\n")

        # A link planted under a system's name, or a file someone else made:
        # the run stops before anything is written there.
        victim = os.path.join(os.environ["HANA_SANDBOX_SCRATCH"], "victim")
        with open(victim, "w") as f:
            f.write("untouched\n")
        os.chmod(victim, 0o666)
        os.unlink(sb.backint_log("HDX"))
        os.symlink(victim, sb.backint_log("HDX"))
        os.chown(sb.backint_log("HDB"), 0, sb.SAPSYS_GID, follow_symlinks=False)
        os.chmod(sb.backint_log("HDB"), 0o666)
        for sid, user, why in (("HDX", other, "Too many levels of symbolic links"),
                               ("HDB", self.user, "it belongs to another user")):
            r = self.backint("-u", sid, "-f", "inquire", user=user)
            self.assertEqual(r.returncode, 1)
            self.assertTrue(r.stderr.startswith("Failed to open the log file %s: %s\n" % (sb.backint_log(sid), why)),
                            r.stderr)
            self.assertTrue(r.stderr.endswith("Failed to load services\n"), r.stderr)
        with open(victim) as f:
            self.assertEqual(f.read(), "untouched\n")

    def test_agent_configuration_is_the_fallback(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        svc = os.path.join(os.environ["HANA_SANDBOX_SCRATCH"], "empty-svc.conf")
        open(svc, "w").close()
        r = self.backint("-u", "HDB", "-f", "Backup", "--svc-conf", svc)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Invalid function function\n")

    def test_broken_service_configuration(self):
        sb.write_agent_conf(HOST_UUID, port=4000, access_key="the-agent-key")
        svc = os.path.join(os.environ["HANA_SANDBOX_SCRATCH"], "broken-svc.conf")
        with open(svc, "w") as f:
            f.write("dynamic Nothing Service_Object * no_such_library:_make_nothing() \"\"\n")
        r = self.backint("-u", "HDB", "-f", "inquire", "--svc-conf", svc)
        self.assertEqual(r.returncode, 1)
        self.assertIn("Failed to load services through reading %s: " % svc, r.stderr)
        self.assertTrue(r.stderr.endswith("Failed to load services\n"), r.stderr)


if __name__ == "__main__":
    unittest.main()
