"""Redis over TLS (rediss://, certificates the test makes with openssl): the
blocking, asyncio and Node engines check through it, with a client certificate
where the server asks for one, and a server whose certificate another CA signed
is refused with a warning that says why."""
import os
import shutil
import tempfile
import unittest

from redis_sets import HAVE_TOOLS, Servers, Workers, make_certificates, totals
from redis_support import free_port

KEYS = ["10.8.0.%d" % n for n in range(4)]


@unittest.skipUnless(HAVE_TOOLS and shutil.which("openssl"),
                     "needs redis-server, redis-cli, openssl, node and the built addon")
class TlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="vorn-tls-")
        cls.certs = make_certificates(cls.dir)
        cls.servers = Servers()
        cls.port = free_port()
        certs = cls.certs
        cls.servers.start(free_port(), "--tls-port", str(cls.port), "--tls-cert-file",
                          certs["server"], "--tls-key-file", certs["server-key"],
                          "--tls-ca-cert-file", certs["ca"], "--tls-auth-clients", "optional")

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def url(self, ca, *options):
        return "rediss://127.0.0.1:%d/0?ca_file=%s" % (self.port, self.certs[ca]) + \
            "".join("&" + option for option in options)

    def run_five(self, url):
        workers = Workers(["blocking", "asyncio", "node"], url, 1000)
        try:
            return workers.run(KEYS, 120)
        finally:
            workers.stop()

    def test_checks_go_over_tls_from_both_hosts(self):
        client = "cert_file=%s&key_file=%s" % (self.certs["client"], self.certs["client-key"])
        for options in ((), (client,), ("check_hostname=no",)):
            with self.subTest(options=options):
                answers = self.run_five(self.url("ca", *options))
                self.assertEqual([answer["warnings"] for answer in answers], [[]] * 3)
                self.assertEqual(set(totals(answers).values()), {300})
                # The next set of options starts on fresh keys.
                global KEYS
                KEYS = [key + "x" for key in KEYS]

    def test_a_certificate_from_another_ca_is_refused_and_said_so(self):
        answers = self.run_five(self.url("other-ca"))
        for answer in answers:
            self.assertTrue(answer["degraded"], answer)
            self.assertEqual(len(answer["warnings"]), 1, answer)
            self.assertRegex(answer["warnings"][0], "certificate verify failed|certificate in "
                             "certificate chain|unable to get local issuer", answer)
        # Every process answered from its own engine, which admitted all 120.
        self.assertEqual(set(totals(answers).values()), {360})

    def test_a_missing_ca_file_fails_at_construction(self):
        import vorn

        missing = os.path.join(self.dir, "absent.pem")
        url = "rediss://127.0.0.1:%d/0?ca_file=%s" % (self.port, missing)
        with self.assertRaises(FileNotFoundError):
            vorn.create_engine(redis=url)


if __name__ == "__main__":
    unittest.main()
