"""What the Redis scale tests start and stop: a cluster of three primaries and
three replicas, a primary with a replica watched by three sentinels, TLS
certificates made with openssl, and the five worker processes (two blocking
Python, one asyncio, two Node) that check side by side through load_worker.*."""
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from redis_support import ADDON, HERE, LIBRARY_DIR, free_port

HAVE_TOOLS = all(shutil.which(tool) for tool in ("redis-server", "redis-cli", "node")) \
    and os.path.exists(ADDON)
FIVE = ["blocking", "blocking", "asyncio", "node", "node"]


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("%s not within %.0f s" % (what, seconds))
        time.sleep(0.05)


def cli(port, *args, **options):
    return subprocess.run(["redis-cli", "-p", str(port), *args], capture_output=True,
                          text=True, timeout=20, **options).stdout


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


def free_cluster_port():
    """A free port whose cluster bus port (10,000 above it) is free too."""
    while True:
        port = random.randrange(20000, 30000)
        try:
            for candidate in (port, port + 10000):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", candidate))
            return port
        except OSError:
            continue


class Servers:
    """redis-server processes in one scratch directory; kill(port) takes one down."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vorn-redis-")
        self.processes = {}

    def start(self, port, *args, config=None):
        command = ["redis-server"]
        if config is not None:
            path = os.path.join(self.dir, "%d.conf" % port)
            with open(path, "w", encoding="utf-8") as conf:
                conf.write(config)
            command.append(path)
        command += ["--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly",
                    "no", *args]
        self.processes[port] = subprocess.Popen(command, cwd=self.dir, stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL)
        wait_for(lambda: accepts(port), 10, "redis-server on %d" % port)

    def kill(self, port):
        process = self.processes.pop(port)
        process.kill()
        process.wait()

    def stop(self):
        for port in list(self.processes):
            self.kill(port)
        shutil.rmtree(self.dir, ignore_errors=True)


class Cluster(Servers):
    """Three primaries and three replicas; a primary's failure is noticed within
    a second, and the other primaries keep answering for their own slots."""

    def __init__(self):
        super().__init__()
        try:
            self._start_all()
        except BaseException:
            self.stop()  # nothing is left running when the set cannot start
            raise

    def _start_all(self):
        self.ports = [free_cluster_port() for _ in range(6)]
        for port in self.ports:
            self.start(port, "--cluster-enabled", "yes", "--cluster-config-file",
                       "nodes-%d.conf" % port, "--cluster-node-timeout", "1000",
                       "--cluster-require-full-coverage", "no")
        cli(self.ports[0], "--cluster", "create",
            *("127.0.0.1:%d" % port for port in self.ports), "--cluster-replicas", "1",
            "--cluster-yes")
        wait_for(self.healthy, 30, "the cluster")

    def healthy(self):
        # A replica takes over only once it has synced with its primary.
        return all("cluster_state:ok" in cli(port, "cluster", "info")
                   for port in self.processes) and \
            all("master_link_status:up" in cli(port, "info", "replication")
                for port in self.processes if "role:slave" in cli(port, "info", "replication"))

    @property
    def url(self):
        return "redis+cluster://" + ",".join("127.0.0.1:%d" % port for port in self.ports[:3])

    def owner_of(self, key):
        """The port of the primary that holds a full key name now."""
        import redis

        from vorn._redis_clients import key_slot

        port = next(iter(self.processes))
        slots = redis.Redis(port=port).execute_command("CLUSTER", "SLOTS")
        slot = key_slot(key.encode())
        for first, last, primary, *_ in slots:
            if first <= slot <= last:
                return int(primary[1])
        return None


class Sentinels(Servers):
    """A primary, its replica, and three sentinels that fail over within seconds."""

    SERVICE = "vornmain"

    def __init__(self):
        super().__init__()
        try:
            self._start_all()
        except BaseException:
            self.stop()
            raise

    def _start_all(self):
        self.primary, self.replica = free_port(), free_port()
        self.start(self.primary)
        self.start(self.replica, "--replicaof", "127.0.0.1", str(self.primary))
        self.sentinels = [free_port() for _ in range(3)]
        for port in self.sentinels:
            self.start(port, "--sentinel", config=(
                "sentinel monitor %s 127.0.0.1 %d 2\n" % (self.SERVICE, self.primary)
                + "sentinel down-after-milliseconds %s 1000\n" % self.SERVICE
                + "sentinel failover-timeout %s 5000\n" % self.SERVICE))
        wait_for(lambda: "master_link_status:up" in cli(self.replica, "info", "replication"),
                 30, "the replica's link")
        wait_for(lambda: all("num-other-sentinels\n2" in cli(
            port, "sentinel", "master", self.SERVICE) for port in self.sentinels), 30,
            "the sentinels finding one another")

    @property
    def url(self):
        return "redis+sentinel://" + ",".join("127.0.0.1:%d" % port
                                              for port in self.sentinels) + "/" + self.SERVICE

    def current_primary(self):
        words = cli(self.sentinels[0], "sentinel", "get-master-addr-by-name",
                    self.SERVICE).split()
        return int(words[1]) if len(words) == 2 else None


def make_certificates(directory):
    """A CA, a server certificate it signs for 127.0.0.1, a client certificate,
    and a second CA that signed nothing here: {name: path}."""
    paths = {name: os.path.join(directory, name + ".pem") for name in
             ("ca", "ca-key", "server", "server-key", "client", "client-key", "other-ca",
              "other-ca-key")}

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)

    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=vorn test " + ca, "-keyout", paths[ca + "-key"], "-out", paths[ca])
    extensions = os.path.join(directory, "san.cnf")
    with open(extensions, "w", encoding="utf-8") as cnf:
        cnf.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for leaf in ("server", "client"):
        request = os.path.join(directory, leaf + ".csr")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + leaf, "-keyout",
                paths[leaf + "-key"], "-out", request)
        openssl("x509", "-req", "-in", request, "-CA", paths["ca"], "-CAkey", paths["ca-key"],
                "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", paths[leaf])
    return paths


class Workers:
    """load_worker processes of the given kinds, all on one URL."""

    def __init__(self, kinds, url, timeout_ms):
        env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_NODE_ADDON=ADDON,
                   PYTHONPATH=os.path.dirname(os.path.dirname(HERE)))
        self.processes = []
        for kind in kinds:
            command = ["node", "load_worker.js", url, str(timeout_ms)] if kind == "node" else \
                [sys.executable, "load_worker.py", kind, url, str(timeout_ms)]
            self.processes.append(subprocess.Popen(command, cwd=HERE, env=env, text=True,
                                                   stdin=subprocess.PIPE,
                                                   stdout=subprocess.PIPE))

    def send(self, keys, rounds, pause_ms=0):
        order = json.dumps({"keys": keys, "rounds": rounds, "pause_ms": pause_ms})
        for process in self.processes:
            process.stdin.write(order + "\n")
            process.stdin.flush()

    def answers(self):
        answers = []
        for process in self.processes:
            line = process.stdout.readline()
            if not line:
                raise AssertionError("a worker exited: %s" % process.poll())
            answers.append(json.loads(line))
        return answers

    def run(self, keys, rounds, pause_ms=0):
        self.send(keys, rounds, pause_ms)
        return self.answers()

    def stop(self):
        for process in self.processes:
            process.stdin.close()
        for process in self.processes:
            process.wait(20)
            process.stdout.close()


def totals(answers):
    """Admissions per key over all workers."""
    summed = {}
    for answer in answers:
        for key, admitted in answer["admitted"].items():
            summed[key] = summed.get(key, 0) + admitted
    return summed
