#!/usr/bin/env python3
"""An independent DNS-SD peer (python3-zeroconf) for the interoperability tests.

  register NAME PORT ADDRESS [IPV6]   advertise NAME._sorvanta._tcp (TXT v=9, id=zeroconf-peer
      and the bare key "flag") until standard input closes; prints "registered".
  resolve NAME ADDRESS SECONDS        prints "found PORT key=value ..." or "missing".
  types ADDRESS SECONDS               prints every service type on the link.
  query qu|legacy NAME TYPE ADDRESS   one question, QU from port 5353 or one-shot (ID 4660)
      from another port, on a socket that hears unicast only; prints "reply port=P id=I
      questions=Q" and "TYPE TTL FLUSH" per record, or "none".
"""
import socket
import sys
import time

from zeroconf import (DNSIncoming, DNSOutgoing, DNSQuestion, IPVersion, ServiceBrowser,
                      ServiceInfo, Zeroconf, ZeroconfServiceTypes)

SERVICE_TYPE = "_sorvanta._tcp.local."


def open_zeroconf(address):
    return Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)


def register(name, port, address, ipv6=None):
    zc = open_zeroconf(address)
    addresses = [socket.inet_aton(address)]
    if ipv6:
        addresses.append(socket.inet_pton(socket.AF_INET6, ipv6))
    info = ServiceInfo(
        SERVICE_TYPE,
        name + "." + SERVICE_TYPE,
        port=int(port),
        properties={"v": "9", "id": "zeroconf-peer", "flag": None},
        server="zeroconf-peer.local.",
        addresses=addresses,
    )
    zc.register_service(info)
    print("registered", flush=True)
    sys.stdin.read()
    zc.unregister_service(info)
    zc.close()


def resolve(name, address, seconds):
    zc = open_zeroconf(address)
    full = name + "." + SERVICE_TYPE
    seen = []

    class Listener:
        def add_service(self, zc_, type_, found):
            seen.append(found)

        def update_service(self, zc_, type_, found):
            pass

        def remove_service(self, zc_, type_, found):
            pass

    browser = ServiceBrowser(zc, SERVICE_TYPE, Listener())
    deadline = time.monotonic() + float(seconds)
    result = "missing"
    while time.monotonic() < deadline:
        if full in seen:
            info = zc.get_service_info(SERVICE_TYPE, full, timeout=2000)
            if info is not None and info.port:
                txt = sorted(
                    k.decode() + "=" + (v.decode() if v is not None else "")
                    for k, v in info.properties.items()
                )
                result = "found %d %s" % (info.port, " ".join(txt))
                break
        time.sleep(0.05)
    print(result, flush=True)
    browser.cancel()
    zc.close()


def types(address, seconds):
    zc = open_zeroconf(address)
    found = ZeroconfServiceTypes.find(zc=zc, timeout=float(seconds))
    print(" ".join(sorted(found)), flush=True)
    zc.close()


def query(kind, name, type_, address):
    legacy = kind == "legacy"
    out = DNSOutgoing(0, multicast=not legacy, id_=4660 if legacy else 0)
    question = DNSQuestion(name, int(type_), 1)
    question.unicast = not legacy
    out.add_question(question)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 0 if legacy else 5353))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    sock.settimeout(1.5)
    for packet in out.packets():
        sock.sendto(packet, ("224.0.0.251", 5353))
    try:
        data, source = sock.recvfrom(9000)
    except socket.timeout:
        print("none", flush=True)
        return
    reply = DNSIncoming(data)
    lines = ["reply port=%d id=%d questions=%d" % (source[1], reply.id, len(reply.questions))]
    for record in reply.answers:
        lines.append("%d %d %d" % (record.type, record.ttl, 1 if record.unique else 0))
    print("\n".join(lines), flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "register":
        register(*sys.argv[2:])
    elif sys.argv[1] == "types":
        types(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "query":
        query(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5])
    elif sys.argv[1] == "resolve":
        resolve(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit("unknown mode")
