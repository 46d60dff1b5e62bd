#!/usr/bin/env python3
"""The soak run that scripts/soak.sh starts inside a network namespace.

Two tunnel pairs run side by side for the given duration:

  tcp  ends A and B meet in `zan-tcp-peer --mode pair --hold` on
       127.0.0.1:7100. After 20 s of traffic with both ends connected the
       relay is killed (SIGKILL) and restarted after 0.5 s, 8 s and 60 s in
       turn.
  udp  a calling end C reaches a listening crypto-type-8 end L through a
       forwarder (a two-socket middlebox). Besides forwarding, the
       forwarder sends L, per 100 datagrams from C: one garbage datagram,
       one bit-flipped copy and one exact replay of a recent packet from
       a third address; and a forged keep-alive every second (format
       byte 2, kind byte 3, no valid digest), 20 of them before C starts.

Each of the four directions carries 100 sequence-numbered datagrams a
second to a counting receiver. Every 30 s it prints the resident memory,
threads and open descriptors of each zan-tunnel with its latest --stats
lines; at the end, the datagrams lost per outage, the reconnect times,
the final counters and its checks, closing with "N passed, M failed".
"""

import argparse
import array
import bisect
import collections
import os
import random
import re
import selectors
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

RATE = 100                 # datagrams a second in each direction
SIZE = 172                 # payload bytes
UP_SECONDS = 20.0          # relay up time, counted from both ends being back
OUTAGES = (0.5, 8.0, 60.0)
RETRY_PAUSE_SECONDS = 1.0  # before the first retry (the try at the loss fails): shorter outages lose nothing
RECOVERY_LIMIT = 45.0      # back-off cap (30 s + 20 %) plus a connect's limit and margin
REPORT_SECONDS = 30.0
DRAIN_SECONDS = 3.0
# Queued datagrams older than 1.5 s are dropped, never sent late; the relay
# adds the time it held frames of the end that was back first.
QUEUE_AGE_LIMIT_SECONDS = 1.5
MAX_LATE_SECONDS = QUEUE_AGE_LIMIT_SECONDS + 0.5
RSS_TOLERANCE_KIB = 4096   # or 25 % of the first sample, whichever is larger
THREAD_TOLERANCE = 1
FD_TOLERANCE = 2

MAGIC = b"ZSK1"
PROBE = b"ZPRB"
HEADER = struct.Struct("!4sQd")  # magic, sequence number, send time (monotonic)

RELAY = ("127.0.0.1", 7100)
LISTEN = ("127.0.2.1", 7000)
FRONT = ("127.0.2.9", 7001)    # the calling end's destination
BACK = ("127.0.2.10", 7002)    # where the listening end sees its peer
ATTACKER = ("127.0.2.66", 7003)
KEY_ID = 1

now = time.monotonic


def log(text=""):
    print(text, flush=True)


def udp_bound(address, limit):
    """Waits until a UDP socket of this namespace is bound to `address`."""
    ip, port = address
    wanted = "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(ip))[0], port)
    deadline = now() + limit
    while now() < deadline:
        with open("/proc/net/udp") as table:
            if any(line.split()[1] == wanted for line in list(table)[1:]):
                return True
        time.sleep(0.05)
    return False


class Flow:
    """One direction: a fixed-rate sender and a counting receiver."""

    def __init__(self, name, send_to, receive_at, capacity):
        self.name = name
        self.send_to = send_to
        self.receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.receiver.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.receiver.bind(receive_at)
        self.receiver.settimeout(0.2)
        self.sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sender.bind(("127.0.0.1", 0))
        self.sent_at = array.array("d")   # send time of each sequence number
        self.received = bytearray(capacity)
        self.duplicates = 0
        self.foreign = 0
        self.probes = 0
        self.late = []  # (send time, latency) of datagrams that took over 1 s
        self.max_latency = 0.0
        self.newest_sent_at = 0.0  # send time of the newest datagram received
        self.sending = threading.Event()
        self.receiving = threading.Event()
        self.receiving.set()
        self.threads = [threading.Thread(target=self._receive, daemon=True)]
        self.threads[0].start()

    def _receive(self):
        while self.receiving.is_set():
            try:
                data = self.receiver.recv(65536)
            except socket.timeout:
                continue
            arrived = now()
            if data[:4] == PROBE:
                self.probes += 1
                continue
            if len(data) < HEADER.size or data[:4] != MAGIC:
                self.foreign += 1
                continue
            _, seq, sent = HEADER.unpack_from(data)
            if seq >= len(self.received):
                self.foreign += 1
                continue
            if self.received[seq]:
                self.duplicates += 1
                continue
            self.received[seq] = 1
            latency = arrived - sent
            self.max_latency = max(self.max_latency, latency)
            if latency > 1.0:
                self.late.append((sent, latency))
            self.newest_sent_at = max(self.newest_sent_at, sent)

    def probe(self, limit):
        """Sends probes until one arrives; false after `limit` seconds."""
        deadline = now() + limit
        while now() < deadline:
            self.sender.sendto(PROBE, self.send_to)
            time.sleep(0.1)
            if self.probes:
                return True
        return False

    def start_sending(self):
        self.sending.set()
        thread = threading.Thread(target=self._send, daemon=True)
        thread.start()
        self.threads.append(thread)

    def _send(self):
        pad = bytes(SIZE - HEADER.size)
        start = now()
        seq = 0
        while self.sending.is_set() and seq < len(self.received):
            due = start + seq / RATE
            wait = due - now()
            if wait > 0:
                time.sleep(wait)
            sent = now()
            self.sent_at.append(sent)
            self.sender.sendto(HEADER.pack(MAGIC, seq, sent) + pad, self.send_to)
            seq += 1

    def later_than(self, seconds):
        return [(sent, latency) for sent, latency in self.late if latency > seconds]

    def lost_between(self, begin, end):
        """Datagrams sent in [begin, end) that never arrived, and how many were sent."""
        lo = bisect.bisect_left(self.sent_at, begin)
        hi = bisect.bisect_left(self.sent_at, end)
        return (hi - lo) - sum(self.received[lo:hi]), hi - lo

    def stop_sending(self):
        self.sending.clear()

    def stop(self):
        self.receiving.clear()
        for thread in self.threads:
            thread.join(2)


class Process:
    """A child whose output lines are kept with the time they arrived."""

    def __init__(self, name, argv, logdir):
        self.name = name
        self.log = open(os.path.join(logdir, name + ".log"), "w", buffering=1)
        self.lines = []  # (time, stream, text)
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, errors="replace")
        self.log.write("# " + " ".join(argv) + "\n")
        self.readers = [threading.Thread(target=self._read, args=(s, n), daemon=True)
                        for s, n in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, which):
        for line in stream:
            # zan-tunnel stamps each line with its time and marks warnings
            # and errors; the patterns here match what follows.
            line = STAMP.sub("", line.rstrip("\n"), count=1)
            t = now()
            with self.lock:
                self.lines.append((t, which, line))
            self.log.write("%.3f %s %s\n" % (t, which, line))

    def matching(self, pattern, since=0.0, until=float("inf")):
        with self.lock:
            return [(t, l) for t, _, l in self.lines if since <= t < until and re.search(pattern, l)]

    def wait_for(self, pattern, since, limit):
        deadline = now() + limit
        while now() < deadline:
            found = self.matching(pattern, since)
            if found:
                return found[0][0]
            if self.proc.poll() is not None:
                return None
            time.sleep(0.05)
        return None

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        for reader in self.readers:
            reader.join(2)

    def sample(self):
        """(RSS KiB, threads, open descriptors), or None once it ended."""
        try:
            with open("/proc/%d/status" % self.proc.pid) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
            fds = len(os.listdir("/proc/%d/fd" % self.proc.pid))
            return int(fields["VmRSS"].split()[0]), int(fields["Threads"]), fds
        except (OSError, KeyError, ValueError):
            return None

    def stats_lines(self):
        """The latest block of --stats lines (printed together)."""
        stats = self.matching(r"^stats:")
        if not stats:
            return []
        last = stats[-1][0]
        return [l for t, l in stats if last - t < 0.5]


# Counters read from the --stats line (name=value pairs); a missing one reads None.
COUNTERS = {
    "sent": r"\bdatagrams_sent=(\d+)",
    "received": r"\bdatagrams_received=(\d+)",
    "drops": r"\bdrops=(\d+)",
    "send failures": r"\bsend_failures=(\d+)",
    "connects": r"\btcp_connects=(\d+)",
    "losses": r"\btcp_losses=(\d+)",
    "tries": r"\btcp_reconnects=(\d+)",
    "stale": r"\bstale_datagrams=(\d+)",
    "kernel drops": r"\bkernel_drops=(\d+)",
    "empty": r"\bempty_datagrams=(\d+)",
    "unauthenticated": r"\bunauthenticated_control=(\d+)",
    "peer changes": r"\bpeer_changes=(\d+)",
}

# The time stamp and level mark that start a line of zan-tunnel.
STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (?:(?:debug|warning|error): )?")


def counters(lines):
    text = " ".join(lines)
    values = {}
    for name, pattern in COUNTERS.items():
        match = re.search(pattern, text)
        values[name] = int(match.group(1)) if match else None
    return values


class Forwarder:
    """The middlebox between the UDP ends, and the attacker beside it."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.front = self._socket(FRONT)
        self.back = self._socket(BACK)
        self.attacker = self._socket(ATTACKER)
        self.caller = None
        self.recent = collections.deque(maxlen=2000)
        self.lock = threading.Lock()  # guards: sent, the generator, the sockets' sends
        self.sent = collections.Counter()  # what was injected, by kind
        self.attacker_received = 0
        self.running = threading.Event()
        self.running.set()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def _socket(address):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        s.bind(address)
        s.setblocking(False)
        return s

    def forge_keep_alive(self):
        """A keep-alive made without the key: format 2, kind 3, key id, then random bytes."""
        with self.lock:
            header = bytes([2, 3]) + struct.pack("<H", KEY_ID)
            self.sent["forged keep-alives"] += 1
            self.attacker.sendto(header + self.rng.randbytes(98), LISTEN)

    def send_garbage(self, source):
        with self.lock:
            size = self.rng.randrange(0, 301)
            self.sent["empty" if size == 0 else "garbage"] += 1
            source.sendto(self.rng.randbytes(size), LISTEN)

    def inject(self, packet):
        """After forwarding `packet`: garbage, a bit-flipped copy or a replay, 1 % each."""
        r = self.rng.random()
        source = self.attacker if self.rng.random() < 0.5 else self.back
        if r < 0.01:
            self.send_garbage(source)
        elif r < 0.02:
            flipped = bytearray(packet)
            bit = self.rng.randrange(len(flipped) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            with self.lock:
                self.sent["bit-flipped"] += 1
                source.sendto(bytes(flipped), LISTEN)
        elif r < 0.03 and self.recent:
            copy = self.rng.choice(self.recent)
            with self.lock:
                self.sent["data replays" if len(copy) > 1 and copy[1] == 2 else "other replays"] += 1
                self.attacker.sendto(copy, LISTEN)

    def _run(self):
        selector = selectors.DefaultSelector()
        for s in (self.front, self.back, self.attacker):
            selector.register(s, selectors.EVENT_READ)
        next_forgery = now() + 1.0
        while self.running.is_set():
            for key, _ in selector.select(0.1):
                s = key.fileobj
                while True:
                    try:
                        data, source = s.recvfrom(65536)
                    except BlockingIOError:
                        break
                    if s is self.front:
                        self.caller = source
                        self.back.sendto(data, LISTEN)
                        self.recent.append(data)
                        self.inject(data)
                    elif s is self.back and source == LISTEN and self.caller:
                        self.front.sendto(data, self.caller)
                    elif s is self.attacker:
                        self.attacker_received += 1
            if now() >= next_forgery:
                next_forgery += 1.0
                self.forge_keep_alive()

    def stop(self):
        self.running.clear()
        self.thread.join(2)


class Outage:
    def __init__(self, length, killed):
        self.length = length
        self.killed = killed
        self.restarted = None
        self.down = {}       # end name -> its first DisconnectEvent after the kill
        self.up = {}         # end name -> its first ConnectEvent after the restart
        self.recovered = None
        # flow name -> (lost, sent) of the datagrams sent before its sending
        # end reported the loss (they went into the dying connection), and
        # of those sent after it, until 2 s after both ends were back.
        self.lost_dying = {}
        self.lost_queued = {}


class Soak:
    def __init__(self, args):
        self.args = args
        self.start = None
        self.end = None
        self.stopped = None
        self.checks = []
        self.outages = []
        self.samples = collections.defaultdict(list)  # name -> [(t, rss, threads, fds)]
        self.next_report = None
        tunnel = os.path.join(args.bin_dir, "tools", "zan-tunnel", "zan-tunnel")
        # The relay keeps what an end sends before the other end is back,
        # so what is lost is the tunnel's doing, not the relay's.
        self.relay_argv = [os.path.join(args.bin_dir, "tools", "zan-tcp-peer", "zan-tcp-peer"),
                           "--port", str(RELAY[1]), "--mode", "pair", "--hold", str(1 << 20)]
        self.relay = None
        self.relay_runs = 0
        capacity = int(RATE * (args.duration + 60)) + 1000
        self.tcp_flows = [Flow("tcp A->B", ("127.0.1.2", 5004), ("127.0.1.5", 5004), capacity),
                          Flow("tcp B->A", ("127.0.1.3", 5006), ("127.0.1.4", 5006), capacity)]
        self.sending_end = {"tcp A->B": "tcp-A", "tcp B->A": "tcp-B"}
        self.udp_flows = [Flow("udp C->L", ("127.0.2.2", 5004), ("127.0.2.5", 5004), capacity),
                          Flow("udp L->C", ("127.0.2.3", 5006), ("127.0.2.4", 5006), capacity)]
        key_file = os.path.join(args.logs, "tunnel_cc.txt")
        fd = os.open(key_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        os.write(fd, ("%d %s %s 1000\n" % (KEY_ID, os.urandom(32).hex(), os.urandom(14).hex())).encode())
        os.close(fd)
        stats = ["--stats", str(int(REPORT_SECONDS))]
        tcp = ["--set", "tcp_tunnel_type=1", "--set", "tcp_tunnel_connect=%s %d" % RELAY,
               "--set", "tcp_tunnel=%s x" % RELAY[0]] + stats
        sealed = ["--crypto-type", "8", "--set-file", "tunnel_cc=" + key_file] + stats
        self.tunnel_args = {
            "tcp-A": [tunnel] + tcp + ["--receive-address", "127.0.1.2", "--receive-port", "5004",
                                       "--send-address", "127.0.1.4"],
            "tcp-B": [tunnel] + tcp + ["--receive-address", "127.0.1.3", "--receive-port", "5006",
                                       "--send-address", "127.0.1.5"],
            "udp-L": [tunnel, "--learn-port", str(LISTEN[1]), "--set", "receiver_nic=" + LISTEN[0],
                      "--receive-address", "127.0.2.3", "--receive-port", "5006",
                      "--send-address", "127.0.2.5"] + sealed,
            "udp-C": [tunnel, "--destination", "%s:%d" % FRONT, "--receive-address", "127.0.2.2",
                      "--receive-port", "5004", "--send-address", "127.0.2.4"] + sealed,
        }
        self.tunnels = {}
        self.forwarder = Forwarder(args.seed)

    # --- checks and reports

    def check(self, ok, text):
        self.checks.append((bool(ok), text))
        log("  %s  %s" % ("PASS" if ok else "FAIL", text))

    def elapsed(self, t):
        return t - self.start

    def report(self, title):
        log("--- %s at %.0f s ---" % (title, self.elapsed(now())))
        for name, tunnel in self.tunnels.items():
            sample = tunnel.sample()
            if sample is None:
                log("%-6s ended (exit %s)" % (name, tunnel.proc.poll()))
                continue
            self.samples[name].append((now(),) + sample)
            log("%-6s RSS %d KiB, threads %d, fds %d" % ((name,) + sample))
            for line in tunnel.stats_lines():
                log("         " + line)
        for flow in self.tcp_flows + self.udp_flows:
            log("%-9s sent %d, received %d, duplicates %d" % (flow.name, len(flow.sent_at),
                                                           sum(flow.received), flow.duplicates))
        log("forwarder injected: " + ", ".join("%s %d" % kv for kv in sorted(self.forwarder.sent.items())))

    def sleep_until(self, t):
        """Sleeps until `t`, printing the 30-second report when it is due."""
        while True:
            current = now()
            if current >= t:
                return
            if current >= self.next_report:
                self.report("report")
                self.next_report += REPORT_SECONDS
                continue
            time.sleep(min(t, self.next_report) - current)

    # --- the relay

    def start_relay(self):
        self.relay_runs += 1
        self.relay = Process("relay-%d" % self.relay_runs, self.relay_argv, self.args.logs)
        if self.relay.wait_for(r"^listening on", 0.0, 5.0) is None:
            log("relay did not start: see %s" % self.relay.log.name)

    # --- phases

    def set_up(self):
        log("soak: %d s, logs in %s, seed %d" % (self.args.duration, self.args.logs, self.args.seed))
        self.start_relay()
        begin = now()
        # A fresh listening end gets forgeries and garbage before its real peer exists.
        self.tunnels["udp-L"] = Process("udp-L", self.tunnel_args["udp-L"], self.args.logs)
        if not udp_bound(LISTEN, 5.0):
            log("udp-L did not bind %s:%d" % LISTEN)
        for _ in range(20):
            self.forwarder.forge_keep_alive()
            self.forwarder.send_garbage(self.forwarder.attacker)
        for name in ("udp-C", "tcp-A", "tcp-B"):
            self.tunnels[name] = Process(name, self.tunnel_args[name], self.args.logs)
        for name in ("tcp-A", "tcp-B"):
            if self.tunnels[name].wait_for(r"^ConnectEvent", begin, 15.0) is None:
                log("%s did not connect" % name)
        for flow in self.tcp_flows + self.udp_flows:
            if not flow.probe(15.0):
                log("%s: no probe came through" % flow.name)
        self.start = now()
        self.end = self.start + self.args.duration
        self.next_report = self.start + REPORT_SECONDS
        for flow in self.tcp_flows + self.udp_flows:
            flow.start_sending()
        self.report("traffic started")

    def recovered(self, outage):
        """True once both ends are connected again and both directions carry new datagrams."""
        for name in ("tcp-A", "tcp-B"):
            if name not in outage.up:
                # A connect before the restart reached the dying relay (see tcp_checks).
                found = self.tunnels[name].matching(r"^ConnectEvent", outage.restarted)
                if not found:
                    return False
                outage.up[name] = found[0][0]
        back = max(outage.up.values())
        return all(flow.newest_sent_at > back for flow in self.tcp_flows)

    def run_outages(self):
        up_until = self.start + UP_SECONDS
        while True:
            length = OUTAGES[len(self.outages) % len(OUTAGES)]
            # An outage starts only if the relay is back before the end;
            # waiting for the ends to recover may run past it, by at most
            # RECOVERY_LIMIT.
            if up_until + length + 5 > self.end:
                break
            self.sleep_until(up_until)
            outage = Outage(length, now())
            self.relay.stop(signal.SIGKILL)
            self.outages.append(outage)
            self.sleep_until(outage.killed + length)
            outage.restarted = now()
            self.start_relay()
            deadline = outage.restarted + RECOVERY_LIMIT
            while now() < deadline and not self.recovered(outage):
                self.sleep_until(min(now() + 0.05, deadline))
            if self.recovered(outage):
                outage.recovered = now()
            for name in ("tcp-A", "tcp-B"):
                found = self.tunnels[name].matching(r"^DisconnectEvent", outage.killed)
                if found:
                    outage.down[name] = found[0][0]
            log("outage %d: relay down %.1f s; %s" % (
                len(self.outages), outage.restarted - outage.killed,
                "both ends back %.2f s after the relay" % (outage.recovered - outage.restarted)
                if outage.recovered else "NOT recovered within %.0f s" % RECOVERY_LIMIT))
            up_until = (outage.recovered or now()) + UP_SECONDS
        self.sleep_until(self.end)

    def wind_down(self):
        for flow in self.tcp_flows + self.udp_flows:
            flow.stop_sending()
        time.sleep(DRAIN_SECONDS)
        self.report("last report")
        for flow in self.tcp_flows + self.udp_flows:
            flow.stop()
        self.forwarder.stop()
        self.stopped = now()
        for tunnel in self.tunnels.values():
            tunnel.stop()
        self.relay.stop()

    # --- what the run showed

    def summarize(self):
        log()
        log("=== outages ===")
        log("lost: datagrams sent from 2 s before the kill until the sending end's DisconnectEvent (in the")
        log("dying connection), and from then until 2 s after both ends were back (queued while down)")
        steady = {flow.name: [0, 0] for flow in self.tcp_flows}
        windows = [self.start]
        for i, outage in enumerate(self.outages):
            back = (outage.recovered or outage.restarted + RECOVERY_LIMIT) + 2.0
            for flow in self.tcp_flows:
                noticed = outage.down.get(self.sending_end[flow.name], outage.killed)
                outage.lost_dying[flow.name] = flow.lost_between(outage.killed - 2.0, noticed)
                outage.lost_queued[flow.name] = flow.lost_between(noticed, back)
                quiet_end = self.outages[i + 1].killed - 2.0 if i + 1 < len(self.outages) else self.end
                lost, sent = flow.lost_between(back, quiet_end)
                steady[flow.name][0] += lost
                steady[flow.name][1] += sent
            windows.append(back)
            times = []
            for name in ("tcp-A", "tcp-B"):
                down = outage.down.get(name)
                up = outage.up.get(name)
                times.append("%s disconnect %s, connect %s after the relay's restart" % (
                    name, "+%.2f s" % (down - outage.killed) if down else "none",
                    "%.2f s" % (up - outage.restarted) if up else "never"))
            log("outage %d (%.1f s at %.0f s): lost %s; %s" % (
                i + 1, outage.length, self.elapsed(outage.killed),
                ", ".join("%s %d dying + %d of %d queued" % (
                    flow.name, outage.lost_dying[flow.name][0], outage.lost_queued[flow.name][0],
                    outage.lost_queued[flow.name][1]) for flow in self.tcp_flows),
                "; ".join(times)))
        first_kill = self.outages[0].killed - 2.0 if self.outages else self.end
        for flow in self.tcp_flows:
            lost, sent = flow.lost_between(self.start, first_kill)
            steady[flow.name][0] += lost
            steady[flow.name][1] += sent

        log()
        log("=== flows ===")
        for flow in self.tcp_flows + self.udp_flows:
            lost, sent = flow.lost_between(0.0, float("inf"))
            log("%-9s sent %d, lost %d, duplicates %d, foreign %d, latest %.3f s, later than 1 s: %d" % (
                flow.name, sent, lost, flow.duplicates, flow.foreign, flow.max_latency, len(flow.later_than(1.0))))

        log()
        log("=== final counters ===")
        final = {}
        for name, tunnel in self.tunnels.items():
            lines = tunnel.stats_lines()
            final[name] = counters(lines)
            for line in lines:
                log("%-6s %s" % (name, line))
        log("forwarder injected: " + ", ".join("%s %d" % kv for kv in sorted(self.forwarder.sent.items())))
        log("attacker's socket received %d datagrams" % self.forwarder.attacker_received)

        log()
        log("=== resources (first sample, last sample, largest) ===")
        for name, samples in self.samples.items():
            first, last = samples[0], samples[-1]
            log("%-6s RSS %d -> %d KiB (max %d), threads %d -> %d (max %d), fds %d -> %d (max %d)" % (
                name, first[1], last[1], max(s[1] for s in samples), first[2], last[2],
                max(s[2] for s in samples), first[3], last[3], max(s[3] for s in samples)))

        log()
        log("=== checks ===")
        self.tcp_checks(steady)
        self.udp_checks(final)
        self.resource_checks()
        passed = sum(1 for ok, _ in self.checks if ok)
        failed = len(self.checks) - passed
        log("%d passed, %d failed" % (passed, failed))
        return failed == 0

    def tcp_checks(self, steady):
        short = [o for o in self.outages if o.length < RETRY_PAUSE_SECONDS]
        for i, outage in enumerate(self.outages):
            if outage in short:
                queued = sum(lost for lost, _ in outage.lost_queued.values())
                dying = sum(lost for lost, _ in outage.lost_dying.values())
                self.check(queued == 0, "outage %d (%.1f s, shorter than the first reconnection retry): "
                                        "%d datagrams queued while down lost" % (i + 1, outage.length, queued))
                if dying:
                    log("  NOTE  outage %d: %d datagrams lost in the dying connection (sent before the "
                        "end saw the loss; counted as sent)" % (i + 1, dying))
            self.check(outage.recovered is not None,
                       "outage %d (%.1f s) recovered within %.0f s of the relay's restart" % (
                           i + 1, outage.length, RECOVERY_LIMIT))
        self.check(len(self.outages) > 0, "%d relay outages ran" % len(self.outages))
        for name, (lost, sent) in steady.items():
            self.check(lost == 0, "%s: %d of %d datagrams lost while the relay was up" % (name, lost, sent))
        for flow in self.tcp_flows:
            late = flow.later_than(MAX_LATE_SECONDS)
            held = [entry for entry in late if self.held_by_relay(flow, *entry)]
            self.check(len(late) == len(held) and flow.duplicates == 0,
                       "%s: %d datagrams later than %.1f s besides %d the relay held for the other end, "
                       "%d duplicates" % (flow.name, len(late) - len(held), MAX_LATE_SECONDS, len(held),
                                          flow.duplicates))
        for name in ("tcp-A", "tcp-B"):
            tunnel = self.tunnels[name]
            downs = [t for t, _ in tunnel.matching(r"^DisconnectEvent", self.start, self.stopped)]
            ups = [t for t, _ in tunnel.matching(r"^ConnectEvent", self.start, self.stopped)]
            # A connect that reaches the killed relay's listener before the
            # kernel closed it is made and reset at once; the engine counts
            # it as a failed try, but the host sees both events.
            brief = [u for u in ups if any(0 <= d - u < 1.0 for d in downs)]
            if brief:
                log("  NOTE  %s: %d connections lived under 1 s (ConnectEvent then DisconnectEvent)" % (
                    name, len(brief)))
            self.check(len(downs) - len(brief) == len(self.outages) and len(ups) - len(brief) == len(self.outages),
                       "%s: one disconnect and one connect event per outage, besides connections that lived "
                       "under 1 s (%d and %d for %d, %d short-lived)" % (
                           name, len(downs), len(ups), len(self.outages), len(brief)))
            lines = len(tunnel.matching(r"^(ErrorEvent|LogEvent)", self.start, self.stopped))
            minutes = max(1.0, (self.end - self.start) / 60.0)
            self.check(lines <= 4 * minutes + 4, "%s: %d error and log lines in %.0f min (no flood)" % (
                name, lines, minutes))

    def held_by_relay(self, flow, sent, latency):
        """True when a late datagram was sent in an outage by the end that came back first,
        and came no later than the other end's return allows: the relay held it meanwhile."""
        end = self.sending_end[flow.name]
        other = "tcp-B" if end == "tcp-A" else "tcp-A"
        for outage in self.outages:
            if len(outage.up) < 2 or not outage.killed - 2.0 <= sent < (outage.recovered or 0.0) + 2.0:
                continue
            skew = outage.up[other] - outage.up[end]
            return skew > 0 and latency <= MAX_LATE_SECONDS + skew
        return False

    def udp_checks(self, final):
        listening = final["udp-L"]
        sent = self.forwarder.sent
        self.check(self.forwarder.attacker_received == 0,
                   "udp: the listening end sent nothing to the forger's address (%d datagrams)" %
                   self.forwarder.attacker_received)
        moves = self.tunnels["udp-L"].matching(r"peer address changed")
        foreign = [l for _, l in moves if not l.rstrip().endswith("%s:%d" % BACK)]
        self.check(not foreign, "udp: the peer moved only to the real peer's address (%d moves, %d elsewhere)" %
                   (len(moves), len(foreign)))
        for flow in self.udp_flows:
            lost, total = flow.lost_between(0.0, float("inf"))
            self.check(lost == 0, "%s: %d of %d datagrams lost" % (flow.name, lost, total))
        forward = self.udp_flows[0]
        self.check(forward.duplicates <= sent["data replays"],
                   "udp: %d duplicates delivered for %d replayed data packets (the tunnel adds none)" % (
                       forward.duplicates, sent["data replays"]))
        self.check(self.udp_flows[1].duplicates == 0, "%s: no duplicates" % self.udp_flows[1].name)

        missing = [k for k in ("drops", "kernel drops", "empty", "unauthenticated", "peer changes")
                   if listening.get(k) is None]
        if missing:
            self.check(False, "udp: counters not in zan-tunnel's --stats output: " + ", ".join(missing))
            return
        kernel = listening["kernel drops"]
        bad = sent["garbage"] + sent["bit-flipped"] + sent["forged keep-alives"]
        self.check(bad - kernel <= listening["drops"] <= bad,
                   "udp: listening end counted %d drops for %d bad packets sent (%d kernel drops)" % (
                       listening["drops"], bad, kernel))
        self.check(sent["forged keep-alives"] - kernel <= listening["unauthenticated"],
                   "udp: %d unauthenticated non-data packets counted for %d forged keep-alives" % (
                       listening["unauthenticated"], sent["forged keep-alives"]))
        self.check(sent["empty"] - kernel <= listening["empty"] <= sent["empty"],
                   "udp: %d empty datagrams counted for %d sent" % (listening["empty"], sent["empty"]))
        self.check(listening["peer changes"] == len(moves),
                   "udp: peer-change counter %d matches the %d events" % (listening["peer changes"], len(moves)))

    def resource_checks(self):
        for name, samples in self.samples.items():
            if len(samples) < 2:
                self.check(False, "%s: fewer than two resource samples" % name)
                continue
            (_, rss0, threads0, fds0), (_, rss1, threads1, fds1) = samples[0], samples[-1]
            rss_limit = rss0 + max(RSS_TOLERANCE_KIB, rss0 // 4)
            self.check(rss1 <= rss_limit and threads1 <= threads0 + THREAD_TOLERANCE and fds1 <= fds0 + FD_TOLERANCE,
                       "%s flat: RSS %d -> %d KiB (limit %d), threads %d -> %d (+%d), fds %d -> %d (+%d)" % (
                           name, rss0, rss1, rss_limit, threads0, threads1, THREAD_TOLERANCE, fds0, fds1,
                           FD_TOLERANCE))
        for name, tunnel in self.tunnels.items():
            code = tunnel.proc.returncode
            self.check(code == 0, "%s ran to the end and exited 0 (exit %s)" % (name, code))

    def close(self):
        for process in list(self.tunnels.values()) + ([self.relay] if self.relay else []):
            if process.proc.poll() is None:
                process.proc.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=float, required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--logs", required=True)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    soak = Soak(args)
    try:
        soak.set_up()
        soak.run_outages()
        soak.wind_down()
        return 0 if soak.summarize() else 1
    finally:
        soak.close()


if __name__ == "__main__":
    sys.exit(main())
